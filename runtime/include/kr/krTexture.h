#ifndef KR_TEXTURE_H
#define KR_TEXTURE_H

#include <ku/kuAllocRef.h>
#include <kr/krElement.h>
#include <ku/kuBase.h>

#include <memory>
#include <vector>

// A texture: its size, pixel format, sampling parameters and image levels, held in memory.
// The draw side turns it into an OpenGL texture when it is first used; getRevision() tells it
// when what it uploaded has gone stale.
// Threads: set up on the application thread; the draw side only reads a texture.
class krDrawContext;

class KX_API krTexture : public kuBase {
public:
    class State;
    class Element;
    class Blend;

    // Pixel formats, named by what their components mean.
    enum Format {
        FORMAT_RGB = 5,              // three components
        FORMAT_RGBA = 6,             // four components
        FORMAT_INTENSITY = 10,       // one component, used for all four channels
        FORMAT_INTENSITY_ALPHA = 11, // two components: intensity, alpha
    };
    // Component types.
    enum Type { TYPE_UNSIGNED_BYTE = 2 };
    // What lies outside [0, 1] in each texture coordinate.
    enum Wrap {
        WRAP_REPEAT = 0,
        WRAP_CLAMP = 1,           // clamp the coordinate; edge texels blend with the border
        WRAP_CLAMP_TO_BORDER = 2, // the border colour
        WRAP_CLAMP_TO_EDGE = 3,   // the edge texels, never the border colour
    };
    // Sampling within a level.
    enum Filter {
        FILTER_NEAREST = 0,
        FILTER_DEFAULT = 1, // no preference: the draw side picks (linear today)
        FILTER_LINEAR = 2,
    };
    // How minification picks image levels (the second argument of setMinFilter).
    enum Mipmap {
        MIPMAP_AUTO = 0,    // between levels like the filter within one, when levels 1.. exist
        MIPMAP_NONE = 1,    // the base level only
        MIPMAP_NEAREST = 2, // the nearest level
        MIPMAP_LINEAR = 3,  // a blend of the two nearest levels
    };
    // Level 0 is the base image; each further level halves the size (down to 1 x 1).
    static constexpr int MAX_IMAGE_LEVELS = 32;

    krTexture();
    krTexture(const krTexture&) = delete;
    krTexture& operator=(const krTexture&) = delete;

    // Components per texel of a format (1 to 4), or 0 for an unknown format.
    static int getFormatComponents(int format);
    // The format for a number of components (1 to 4), or -1.
    static int getFormatForComponents(int components);

    // Setters that take an enumeration value refuse others: they report at level 5, change
    // nothing and return -32767. Every accepted change returns 1 and advances the revision.

    // Depth 0 (or 1) makes a two-dimensional texture.
    int setDimensions(int width, int height, int depth);
    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    int getDepth() const { return m_depth; }

    int setFormat(int format, int type);
    int getFormat() const { return m_format; }
    int getType() const { return m_type; }

    int setWrap(int s, int t, int r);
    int getWrapS() const { return m_wrap[0]; }
    int getWrapT() const { return m_wrap[1]; }
    int getWrapR() const { return m_wrap[2]; }

    // RGBA, each in [0, 1]; used where a coordinate wraps to WRAP_CLAMP_TO_BORDER.
    void setBorderColor(const float color[4]);
    const float* getBorderColor() const { return m_borderColor; }

    int setMinFilter(int filter, int mipmap);
    int getMinFilter() const { return m_minFilter; }
    int getMinMipmap() const { return m_minMipmap; }
    int setMagFilter(int filter);
    int getMagFilter() const { return m_magFilter; }

    // The texture takes a reference to bits (null clears the level). Levels 0 to
    // MAX_IMAGE_LEVELS - 1. The bits of a level are width * height * components bytes of that
    // level's size, rows from the bottom up; they are checked when used, not here.
    int setImageLevel(int level, kuAllocRef* bits);
    kuAllocRef* getImageLevel(int level) const;
    // One more than the highest level set, 0 when there is none.
    int getNumImageLevels() const { return int(m_levels.size()); }

    // Replaces levels 1 and up with box-filtered reductions of level 0, down to 1 x 1. Needs a
    // two-dimensional size, a known format and a level 0 of at least the size it implies.
    int generateMipmaps();

    // Advances with every change, so that a copy made elsewhere (on the GPU) can tell it is old.
    unsigned getRevision() const { return m_revision; }
    // Unique for the life of the process: a new texture at an old one's address is not taken
    // for it.
    unsigned long long getSerial() const { return m_serial; }

    // Copies a rectangle of the current frame buffer (lower-left corner x, y, size width x
    // height) into the level at (xOffset, yOffset), on the draw thread with the context
    // current. The texture is given storage first when it has none on the GPU. 1, or -32767
    // when the rectangle does not fit the level.
    int subloadLevel(krDrawContext* context, int level, int x, int y, int xOffset, int yOffset,
                     int width, int height, bool keepImage);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~krTexture() override;

private:
    friend class krTextureFactory;

    void refuse(const char* what, int value) const;

    int m_width = 0;
    int m_height = 0;
    int m_depth = 0;
    int m_format = FORMAT_RGB;
    int m_type = TYPE_UNSIGNED_BYTE;
    int m_wrap[3] = {WRAP_REPEAT, WRAP_REPEAT, WRAP_REPEAT};
    float m_borderColor[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int m_minFilter = FILTER_LINEAR;
    int m_minMipmap = MIPMAP_AUTO;
    int m_magFilter = FILTER_LINEAR;
    std::vector<kuRef<kuAllocRef>> m_levels;
    unsigned m_revision = 0;
    unsigned long long m_serial;
    // Made by a caching krTextureFactory and cleared by the destructor: the cache's way of
    // telling that the texture is gone without holding a reference to it.
    std::shared_ptr<krTexture*> m_liveLink;
};

// How a texture's colour combines with the fragment's: 0 modulate (multiply), 1 replace,
// 2 decal, 3 blend, 4 add.
class KX_API krTexture::Blend : public kuMemBase {
public:
    enum Mode { MODE_MODULATE = 0, MODE_REPLACE = 1, MODE_DECAL = 2, MODE_BLEND = 3, MODE_ADD = 4 };
    explicit Blend(int mode = MODE_MODULATE) : m_mode(mode) {}
    void setMode(int mode) { m_mode = mode; }
    int getMode() const { return m_mode; }

protected:
    ~Blend() override = default;

private:
    int m_mode;
};

// Whether a texture is applied, and which one.
// Threads: as krTexture.
class KX_API krTexture::State : public kuMemBase {
public:
    State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // The state takes a reference to the texture (null releases it).
    void setTexture(krTexture* texture);
    krTexture* getTexture() const { return m_texture.get(); }
    void setEnable(bool enable) { m_enable = enable; }
    bool getEnable() const { return m_enable; }
    // How the texture combines with the fragment (null: modulate).
    void setBlend(Blend* blend);
    Blend* getBlend() const { return m_blend.get(); }

protected:
    ~State() override;

private:
    kuRef<krTexture> m_texture;
    kuRef<Blend> m_blend;
    bool m_enable = false;
};

// The texture states in effect for a draw, as a value: state i on texture unit i. Copying an
// element copies its list of references: the copy shares the states themselves, and appending
// to one list leaves the other alone. Shared states may change between draws: a value
// applied before one of its states (its switch, texture, texture image or blend) changed
// differs from the same states as they are now, so that setting them again binds them again
// (the upload happens only when a texture's image changed).
class KX_API krTexture::Element : public krElementT<krTexture::Element, KR_ELEMENT_TEXTURE> {
public:
    bool operator==(const Element& other) const;
    void apply(krDrawContext& context) const override;

    typedef std::vector<kuRef<State>> StateList;
    typedef StateList::iterator iterator;
    typedef StateList::const_iterator const_iterator;

    // The element takes a reference to the state; null is ignored.
    void appendState(State* state);
    void clear() {
        m_states.clear();
        m_seenValid = false;
    }
    std::size_t getNumStates() const { return m_states.size(); }

    iterator begin_texture_state() { return m_states.begin(); }
    iterator end_texture_state() { return m_states.end(); }
    const_iterator begin_texture_state() const { return m_states.begin(); }
    const_iterator end_texture_state() const { return m_states.end(); }

private:
    // What a state was when the element was applied, for up to MAX_SEEN states (an element
    // with more always applies).
    struct Seen {
        const krTexture* texture = nullptr;
        unsigned long long serial = 0;
        unsigned revision = 0;
        int mode = 0;
        bool enable = false;
        bool operator==(const Seen& o) const {
            return texture == o.texture && serial == o.serial && revision == o.revision &&
                   mode == o.mode && enable == o.enable;
        }
    };
    static constexpr std::size_t MAX_SEEN = 8;
    static Seen look(const State* state);
    // No state changed since the element was applied (true when it never was).
    bool unchanged() const;

    StateList m_states;
    mutable Seen m_seen[MAX_SEEN];
    mutable bool m_seenValid = false;
};

#endif
