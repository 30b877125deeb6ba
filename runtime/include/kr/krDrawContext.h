#ifndef KR_DRAWCONTEXT_H
#define KR_DRAWCONTEXT_H

#include <kr/krElement.h>
#include <ku/kuMemBase.h>

#include <map>
#include <memory>
#include <vector>

class krGeometry;
class krState;
class krTexture;
class ksCullRecord;

// The drawing state of one OpenGL context: a stack per element id. Setting an element changes
// OpenGL only when the value differs from the one in effect (or when forced). Pushing keeps a
// value to come back to; popping restores it. The context is reset at the start of each
// channel so that no state leaks from one channel to the next.
// Threads: the draw thread that owns the GL context, with that context current.
class KX_API krDrawContext {
public:
    // Sees each record a bin processor draws (for debugging views).
    class KX_API Debug {
    public:
        virtual ~Debug() = default;
        virtual void drawRecord(krDrawContext* context, ksCullRecord* record) = 0;
    };

    krDrawContext();
    ~krDrawContext();
    krDrawContext(const krDrawContext&) = delete;
    krDrawContext& operator=(const krDrawContext&) = delete;

    // Every stack back to one default value, applied to OpenGL.
    void reset();

    // Replaces the top value of the element's stack; applies it when it differs from the value
    // in effect, or always when force is set.
    void setElement(int id, const krElement& element, bool force);
    void setElement(const krElement& element, bool force) {
        setElement(element.getId(), element, force);
    }
    const krElement* getElement(int id) const;
    template <class E>
    const E* get() const {
        return static_cast<const E*>(getElement(E::Id));
    }
    // Pushes the element's stack: the new top is the default value (reset) or a copy of the
    // current one; apply puts the new top into effect at once.
    void pushElement(int id, bool reset, bool apply);
    // Pops the element's stack and puts the value below into effect (always when force).
    void popElement(int id, bool force);
    void pushElements(bool reset, bool apply);
    void popElements(bool force);

    // Sets every element the state holds; with a state that does not inherit, the elements it
    // does not hold go back to their defaults.
    void setState(const krState* state);
    // The state the drawing of the current channel inherits (the channel's state 0: its fog,
    // for instance); null outside a channel.
    const krState* getInheritedState() const { return m_inherited; }
    void setInheritedState(const krState* state) { m_inherited = state; }

    Debug* getDebug() const { return m_debug; }
    void setDebug(Debug* debug) { m_debug = debug; }

    // Draws a geometry through a display list made on first use and remade when it changes.
    void drawGeometry(const krGeometry* geometry);

    // The GL texture object of a texture, made or updated from its image levels when needed.
    unsigned int bindTexture(krTexture* texture);
    // Forgets GL objects of textures (the context is going away or was recreated).
    void releaseTextures();
    // OpenGL errors seen since the last call (0 when none), for tests and diagnostics.
    unsigned int takeGLError();

    // A fresh default value of an element.
    static krElement* makeDefault(int id);

private:
    struct Stack {
        std::vector<std::unique_ptr<krElement>> values;
        std::unique_ptr<krElement> applied; // what OpenGL has now
    };
    void applyTop(int id, bool force);

    Stack m_stacks[KR_NUM_ELEMENTS];
    const krState* m_inherited = nullptr;
    Debug* m_debug = nullptr;

    struct TextureObject {
        unsigned int name = 0;
        unsigned long long serial = 0;
        unsigned int revision = 0;
    };
    std::map<const krTexture*, TextureObject> m_textures;
    struct DisplayList {
        unsigned int name = 0;
        unsigned long long serial = 0;
        unsigned int revision = 0;
    };
    std::map<const krGeometry*, DisplayList> m_lists;
};

#endif
