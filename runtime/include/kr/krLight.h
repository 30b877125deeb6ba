#ifndef KR_LIGHT_H
#define KR_LIGHT_H

#include <kr/krElement.h>
#include <ku/kuMatrix.h>

// The fixed-function lights of a channel: eight light sources, the light model's ambient light
// and whether the vertex colour stands for the material's ambient and diffuse colour.
// Threads: values, made and applied on the draw thread of the context they are set on.
class KX_API krLight {
public:
    static constexpr int NUM_LIGHTS = 8;

    // One light source, colours RGBA. The position is homogeneous: w = 0 gives a direction
    // towards the light.
    struct KX_API Source {
        bool enable = false;
        float position[4] = {0, 0, 1, 0};
        float ambient[4] = {0, 0, 0, 1};
        float diffuse[4] = {0, 0, 0, 1};
        float specular[4] = {0, 0, 0, 1};
        bool operator==(const Source& other) const;
        void setPosition(float x, float y, float z, float w);
        void setAmbient(float r, float g, float b, float a);
        void setDiffuse(float r, float g, float b, float a);
        void setSpecular(float r, float g, float b, float a);
    };

    // Every light as a value. The default is OpenGL's: all lights off, light 0 white, a dim
    // grey model ambient, no colour material.
    class KX_API Element : public krElementT<Element, KR_ELEMENT_LIGHT> {
    public:
        Element();
        bool operator==(const Element& other) const;
        void apply(krDrawContext& context) const override;
        // Sets only the lights (and model values) that differ from previous.
        void applyFrom(krDrawContext& context, const krElement& previous) const override;

        Source lights[NUM_LIGHTS];
        float modelAmbient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
        // The vertex colour gives the material's ambient and diffuse colour, front and back.
        bool colorMaterial = false;
        // The modelview matrix the positions are given in: the view matrix for positions in
        // world coordinates, the identity (default) for eye coordinates. Applying leaves the
        // modelview element's matrix in effect.
        kuMatrixd frame;
    };
};

#endif
