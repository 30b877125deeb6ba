#ifndef KR_RENDERELEMENTS_H
#define KR_RENDERELEMENTS_H

#include <kr/krElement.h>

// The small switches of the draw context: blending, depth, lighting, normalizing,
// multisampling, decal offsets, colour mask, the program in use, viewport and scissor box.
// Each is a value; see krDrawContext for how they apply.

// Blending as source factor times the fragment plus destination factor times the frame buffer.
// Blend factors: 0 zero, 1 one, 2 source colour, 3 one minus source colour, 4 source alpha,
// 5 one minus source alpha, 6 destination colour, 7 one minus destination colour,
// 8 destination alpha, 9 one minus destination alpha.
class KX_API krAlphaBlend {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_ALPHA_BLEND> {
    public:
        Element() = default;
        Element(bool e, int s, int d) : enable(e), source(s), destination(d) {}
        bool operator==(const Element& o) const {
            return enable == o.enable && source == o.source && destination == o.destination;
        }
        void apply(krDrawContext& context) const override;
        bool enable = false;
        int source = 4, destination = 5;
    };
};

// Depth functions in OpenGL's order: 0 never, 1 less, 2 equal, 3 less or equal, 4 greater,
// 5 not equal, 6 greater or equal, 7 always.
class KX_API krDepthTest {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_DEPTH_TEST> {
    public:
        Element() = default;
        Element(bool e, int f) : enable(e), function(f) {}
        bool operator==(const Element& o) const {
            return enable == o.enable && function == o.function;
        }
        void apply(krDrawContext& context) const override;
        bool enable = true;
        int function = 3;
    };
};

class KX_API krDepthWrite {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_DEPTH_WRITE> {
    public:
        Element() = default;
        explicit Element(bool e) : enable(e) {}
        bool operator==(const Element& o) const { return enable == o.enable; }
        void apply(krDrawContext& context) const override;
        bool enable = true;
    };
};

class KX_API krLighting {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_LIGHTING> {
    public:
        Element() = default;
        explicit Element(bool e) : enable(e) {}
        bool operator==(const Element& o) const { return enable == o.enable; }
        void apply(krDrawContext& context) const override;
        bool enable = false;
    };
};

class KX_API krNormalize {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_NORMALIZE> {
    public:
        Element() = default;
        explicit Element(bool e) : enable(e) {}
        bool operator==(const Element& o) const { return enable == o.enable; }
        void apply(krDrawContext& context) const override;
        bool enable = false;
    };
};

// Multisampled drawing; coverage below 1 draws the record with that sample coverage.
class KX_API krMultiSample {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_MULTISAMPLE> {
    public:
        Element() = default;
        Element(bool e, float c, bool invert) : enable(e), coverage(c), invertCoverage(invert) {}
        bool operator==(const Element& o) const {
            return enable == o.enable && coverage == o.coverage &&
                   invertCoverage == o.invertCoverage;
        }
        void apply(krDrawContext& context) const override;
        bool enable = false;
        float coverage = 1.0f;
        bool invertCoverage = false;
    };
};

// Polygon offset for coplanar layers (decals).
class KX_API krDecal {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_DECAL> {
    public:
        Element() = default;
        Element(bool e, float f, float u) : enable(e), factor(f), units(u) {}
        bool operator==(const Element& o) const {
            return enable == o.enable && factor == o.factor && units == o.units;
        }
        void apply(krDrawContext& context) const override;
        bool enable = false;
        float factor = 0.0f, units = 0.0f;
    };
};

// How polygons are rasterized: filled, as outlines or as points; which faces are culled
// (front faces wind counter-clockwise on screen); and whether lighting lights the back face
// with its own reversed normal.
class KX_API krPolygon {
public:
    enum Mode { MODE_FILL = 0, MODE_LINE = 1, MODE_POINT = 2 };
    enum Face { FACE_BACK = 0, FACE_FRONT = 1, FACE_FRONT_AND_BACK = 2 };
    class KX_API Element : public krElementT<Element, KR_ELEMENT_POLYGON> {
    public:
        Element() = default;
        Element(bool twoSided, bool cull, int m = MODE_FILL, int face = FACE_BACK)
            : twoSidedLighting(twoSided), cullEnable(cull), mode(m), cullFace(face) {}
        bool operator==(const Element& o) const {
            return twoSidedLighting == o.twoSidedLighting && cullEnable == o.cullEnable &&
                   mode == o.mode && cullFace == o.cullFace;
        }
        void apply(krDrawContext& context) const override;
        bool twoSidedLighting = false;
        bool cullEnable = false;
        int mode = MODE_FILL;     // a Mode; others fill
        int cullFace = FACE_BACK; // a Face; others cull back faces
    };
};

// Which colour components drawing writes.
class KX_API krColorMask {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_COLOR_MASK> {
    public:
        Element() = default;
        Element(bool r, bool g, bool b, bool a) : red(r), green(g), blue(b), alpha(a) {}
        bool operator==(const Element& o) const {
            return red == o.red && green == o.green && blue == o.blue && alpha == o.alpha;
        }
        void apply(krDrawContext& context) const override;
        bool red = true, green = true, blue = true, alpha = true;
    };
};

// The GL program that draws (a program name of the GL context); 0 is the fixed-function
// pipeline. Programs are made elsewhere: the element only selects one.
class KX_API krProgram {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_SHADER> {
    public:
        Element() = default;
        explicit Element(unsigned int p) : program(p) {}
        bool operator==(const Element& o) const { return program == o.program; }
        void apply(krDrawContext& context) const override;
        unsigned int program = 0;
    };
};

// The rectangle of the drawable that drawing maps to, lower-left corner and size in pixels.
// A negative width or height stands for the whole drawable (the default).
class KX_API krViewport {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_VIEWPORT> {
    public:
        Element() = default;
        Element(int x_, int y_, int w, int h) : x(x_), y(y_), width(w), height(h) {}
        bool operator==(const Element& o) const {
            return x == o.x && y == o.y && width == o.width && height == o.height;
        }
        void apply(krDrawContext& context) const override;
        // The rectangle in pixels, the whole drawable resolved.
        void getRect(const krDrawContext& context, int rect[4]) const;
        int x = 0, y = 0, width = -1, height = -1;
    };
};

// Drawing (and clearing) limited to a rectangle, lower-left corner and size in pixels.
class KX_API krScissor {
public:
    class KX_API Element : public krElementT<Element, KR_ELEMENT_SCISSOR> {
    public:
        Element() = default;
        Element(bool e, int x_, int y_, int w, int h)
            : enable(e), x(x_), y(y_), width(w), height(h) {}
        bool operator==(const Element& o) const {
            return enable == o.enable &&
                   (!enable || (x == o.x && y == o.y && width == o.width && height == o.height));
        }
        void apply(krDrawContext& context) const override;
        bool enable = false;
        int x = 0, y = 0, width = 0, height = 0;
    };
};

#endif
