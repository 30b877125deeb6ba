#ifndef KR_ELEMENT_H
#define KR_ELEMENT_H

#include <ku/kuExport.h>

class krDrawContext;

// Ids of the draw context's state elements, one stack each.
enum krElementId {
    KR_ELEMENT_MODELVIEW = 0,
    KR_ELEMENT_PROJECTION,
    KR_ELEMENT_TEXTURE_MATRIX,
    KR_ELEMENT_TEXTURE,
    KR_ELEMENT_TEXGEN,
    KR_ELEMENT_ALPHA_BLEND,
    KR_ELEMENT_DEPTH_TEST,
    KR_ELEMENT_DEPTH_WRITE,
    KR_ELEMENT_LIGHTING,
    KR_ELEMENT_FOG,
    KR_ELEMENT_MULTISAMPLE,
    KR_ELEMENT_NORMALIZE,
    KR_ELEMENT_DECAL,
    KR_ELEMENT_POLYGON,
    KR_ELEMENT_SHADER,         // the GL program in use (0: fixed function)
    KR_ELEMENT_SHADER_PROGRAM, // a whole program a state carries (krShaderProgram)
    KR_ELEMENT_COLOR_MASK,
    // From here on the elements belong to the channel rather than to what it draws: its lights
    // and its rectangle. A state that does not inherit leaves them as they are.
    KR_ELEMENT_LIGHT,
    KR_ELEMENT_VIEWPORT,
    KR_ELEMENT_SCISSOR,
    KR_NUM_ELEMENTS
};
constexpr int KR_FIRST_CHANNEL_ELEMENT = KR_ELEMENT_LIGHT;

// One piece of drawing state (a matrix, a blend mode, a fog), as a value. The draw context
// keeps a stack of each and applies one to OpenGL only when it differs from what is in effect.
// Threads: the draw thread of the context it is set on.
class KX_API krElement {
public:
    virtual ~krElement() = default;
    virtual int getId() const = 0;
    virtual krElement* clone() const = 0;
    virtual bool equals(const krElement& other) const = 0;
    // Becomes a copy of other (of the same id; others are ignored) in place: the draw context
    // keeps its values in storage it reuses, so a steady frame allocates nothing.
    virtual void assign(const krElement& other) = 0;
    // Issues the OpenGL calls that put this value into effect.
    virtual void apply(krDrawContext& context) const = 0;
    // Puts this value into effect where previous (of the same id) is in effect: a large
    // element may issue the calls only for the parts that differ. By default, apply().
    virtual void applyFrom(krDrawContext& context, const krElement& previous) const {
        (void)previous;
        apply(context);
    }
};

// The boilerplate of an element type: its id, copying and comparison through operator==.
template <class Derived, int ID>
class krElementT : public krElement {
public:
    static constexpr int Id = ID;
    int getId() const override { return ID; }
    krElement* clone() const override { return new Derived(static_cast<const Derived&>(*this)); }
    bool equals(const krElement& other) const override {
        return other.getId() == ID &&
               static_cast<const Derived&>(*this) == static_cast<const Derived&>(other);
    }
    void assign(const krElement& other) override {
        if (other.getId() == ID && &other != this)
            static_cast<Derived&>(*this) = static_cast<const Derived&>(other);
    }
};

#endif
