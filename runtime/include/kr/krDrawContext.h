#ifndef KR_DRAWCONTEXT_H
#define KR_DRAWCONTEXT_H

#include <kr/krElement.h>
#include <ku/kuMemBase.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <vector>

class krGeometry;
class krShaderProgramCache;
struct krShaderProgramKey;
class krState;
class krTexture;
class ksCullRecord;

// The drawing state of one OpenGL context: a stack per element id. Setting an element changes
// OpenGL only when the value differs from the one in effect (or when forced). Pushing keeps a
// value to come back to; popping restores it (pair them through ScopedPush). The context is
// reset at the start of each channel so that no state leaks from one channel to the next.
// Outside the elements' own apply functions, drawn code sets no OpenGL state but through here.
// Values live in storage each stack keeps: once a frame has reached its deepest push, setting,
// pushing and popping allocate nothing.
// Threads: the draw thread that owns the GL context, with that context current.
class KX_API krDrawContext {
public:
    // Sees each record a bin processor draws (for debugging views).
    class KX_API Debug {
    public:
        virtual ~Debug() = default;
        virtual void drawRecord(krDrawContext* context, ksCullRecord* record) = 0;
    };

    // Pushes element stacks for the life of a scope and pops them at its end, in reverse
    // order. Takes one id, several, ALL, or all but one (allBut).
    class KX_API ScopedPush {
    public:
        static constexpr int ALL = -1;
        struct Ids {
            unsigned int bits; // a bit per element id
        };
        static Ids allBut(int id);
        // reset: the pushed values start as defaults rather than copies of the current ones
        // (for ALL and allBut, those below KR_FIRST_CHANNEL_ELEMENT: the channel's own are
        // copied); apply: they take effect at once; forcePop: popping applies the restored
        // values even where they equal what is in effect.
        ScopedPush(krDrawContext& context, int id, bool reset = false, bool apply = true,
                   bool forcePop = false);
        ScopedPush(krDrawContext& context, std::initializer_list<int> ids, bool reset = false,
                   bool apply = true, bool forcePop = false);
        ScopedPush(krDrawContext& context, Ids ids, bool reset = false, bool apply = true,
                   bool forcePop = false);
        ~ScopedPush();
        ScopedPush(const ScopedPush&) = delete;
        ScopedPush& operator=(const ScopedPush&) = delete;

    private:
        void push(bool reset, bool apply);

        krDrawContext& m_context;
        unsigned int m_ids; // a bit per element id
        bool m_forcePop;
        bool m_all = false; // ALL or allBut
    };
    static_assert(KR_NUM_ELEMENTS <= 32, "ScopedPush keeps its ids in 32 bits");

    krDrawContext();
    ~krDrawContext();
    krDrawContext(const krDrawContext&) = delete;
    krDrawContext& operator=(const krDrawContext&) = delete;

    // The size of the drawable in pixels: the default viewport covers it.
    void setDrawableSize(int width, int height);
    int getDrawableWidth() const { return m_drawableWidth; }
    int getDrawableHeight() const { return m_drawableHeight; }

    // Every stack back to one default value, applied to OpenGL; the viewport's is the rectangle
    // OpenGL has at the reset (the channel's, where the caller set it before), so that a pass
    // that pushes the viewport comes back to it.
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
    // current one; apply puts the new top into effect at once. pushElements resets only the
    // elements below KR_FIRST_CHANNEL_ELEMENT.
    void pushElement(int id, bool reset, bool apply);
    // Pops the element's stack and puts the value below into effect (always when force).
    void popElement(int id, bool force);
    void pushElements(bool reset, bool apply);
    void popElements(bool force);

    // Sets every element the state holds; with a state that does not inherit, the elements it
    // does not hold go back to their defaults (those below KR_FIRST_CHANNEL_ELEMENT).
    void setState(const krState* state);
    // The state the drawing of the current channel inherits (the channel's state 0: its fog,
    // for instance); null outside a channel.
    const krState* getInheritedState() const { return m_inherited; }
    void setInheritedState(const krState* state) { m_inherited = state; }

    Debug* getDebug() const { return m_debug; }
    void setDebug(Debug* debug) { m_debug = debug; }

    // Clears the colour buffer to color (RGBA; null: the colour is kept) and, with depth, the
    // depth buffer, within the viewport in effect (and the scissor box when scissoring is on),
    // whatever the colour and depth masks. Every element stays as it was.
    void clear(const float* color, bool depth);

    // Draws a geometry through a display list made on first use and remade when it changes.
    void drawGeometry(const krGeometry* geometry);

    // The GL texture object of a texture, made or updated from its image levels when needed,
    // bound on the active unit.
    unsigned int bindTexture(krTexture* texture);
    // Deletes the GL objects of textures, display lists and generated programs (the context is
    // going away or was recreated).
    void releaseTextures();
    // OpenGL errors seen since the last call (0 when none), for tests and diagnostics.
    unsigned int takeGLError();

    // Uniform values of this context by parameter id (krShaderParameter keeps its values here):
    // count floats. Setting allocates only the first time an id is set; a value equal to the
    // one kept is not counted as a change.
    void setUniformValue(int id, const float* values, int count);
    bool getUniformValue(int id, float* values, int count) const;
    // The generated program of a key, made on first use (0 when it does not build), and the
    // programs of this context.
    unsigned int getShaderProgram(const krShaderProgramKey& key);
    krShaderProgramCache& getShaderPrograms();
    // Uploads to the generated program in effect the uniform values that changed since it last
    // saw them (drawGeometry does this before drawing).
    void applyUniforms();
    // With the shader infrastructure on, puts into effect the generated program for the
    // elements in effect and the state last set (drawGeometry does this before drawing).
    void useGeneratedProgram();
    // Puts into effect the program the next draw uses: the whole program of the
    // krShaderProgram element in effect when it is active (built for this context on first
    // use), else the generated one when the infrastructure is on, else the fixed-function
    // pipeline where a whole program was left in effect (drawGeometry does this).
    void useProgram();

    // A fresh default value of an element.
    static krElement* makeDefault(int id);

    // How many times an element was put into effect since the context was made (a cost
    // measure: setting what is already in effect does not count).
    unsigned long long getNumApplied() const { return m_numApplied; }

private:
    struct Stack {
        // values[0, depth) are the stack; the slots above are kept for the next push.
        std::vector<std::unique_ptr<krElement>> values;
        std::size_t depth = 1;
        std::unique_ptr<krElement> defaultValue;
        std::unique_ptr<krElement> applied; // what OpenGL has now, when appliedKnown
        bool appliedKnown = false;
        krElement& top() { return *values[depth - 1]; }
    };
    void applyTop(int id, bool force);
    // Binds the texture states the key's techniques carry on the units their roles name (the
    // units their samplers read); a unit keeps what it has when that is still current.
    void bindTechniqueTextures(const krShaderProgramKey& key);
    void forgetTechniqueTextures();
    void adoptViewport();
    // Puts what the stack last applied back into OpenGL (after clear() went around it).
    void restoreApplied(int id);

    Stack m_stacks[KR_NUM_ELEMENTS];
    unsigned long long m_numApplied = 0;
    int m_applying = -1; // the element id being applied
    int m_drawableWidth = 0, m_drawableHeight = 0;
    const krState* m_inherited = nullptr;
    const krState* m_drawnState = nullptr; // the state last set, for its techniques
    unsigned int m_wholeProgram = 0;       // the GL name of the whole program last used
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

    struct UniformValue {
        unsigned int offset = 0, count = 0;
        unsigned long long serial = 0; // 0: never set
    };
    std::vector<UniformValue> m_uniforms; // by parameter id
    std::vector<float> m_uniformFloats;
    unsigned long long m_uniformSerial = 0;
    std::unique_ptr<krShaderProgramCache> m_programs;
    // What bindTechniqueTextures last bound on each unit (forgotten whenever the texture
    // element binds units itself).
    enum { MAX_TECHNIQUE_UNITS = 8 };
    struct TechniqueUnit {
        bool known = false;
        const krTexture* texture = nullptr;
        unsigned long long serial = 0;
        unsigned int revision = 0;
    };
    TechniqueUnit m_techniqueUnits[MAX_TECHNIQUE_UNITS];
};

#endif
