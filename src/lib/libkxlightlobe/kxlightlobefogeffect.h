#ifndef KXLIGHTLOBEFOGEFFECT_H
#define KXLIGHTLOBEFOGEFFECT_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <kr/krTexture.h>
#include <ku/kuPipeline.h>
#include <ku/kuString.h>
#include <ku/kuVec.h>

class krGeometry;
class krState;
class ksGeometry;
class ksNode;
class ksTransform;

// The visible beam of a projected lobe in fog: a half sphere of radius 2 facing the lobe's
// forward axis (+y), textured with the lobe's falloff texture and drawn blended, with the
// beam's own vertex and fragment programs, from the fog-effect channel bin. The owning lobe
// hangs getRootNode() under itself, so the beam follows it, and drives it every frame: on or
// off and the colour's alpha from the fog's density (updateFromFog).
//
// The colour reaches the draw threads by frame: the mesh is kept in one copy per frame that
// can be in flight (and as many spare), and a colour change is written into a copy that no
// cull or draw thread can still be reading, then handed to the node's clones with the
// geometry's update token at the frame boundary. So the pipelined mode draws each frame with
// the colour of that frame's update, and no thread reads what the application thread writes.
//
// Threads: application thread for everything (construction, setters, configure, the lobe's
// per-frame update); draw threads only draw the nodes, through their clones.
class KXLIGHTLOBE_API kxLightLobeFogEffect : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeFogEffect)

    static constexpr float DEFAULT_BRIGHTNESS = 0.04f;
    static constexpr float DEFAULT_MIN_VISIBILITY_DENSITY = 0.08f;
    // The mesh: bands of latitude, each a strip across the headings.
    static constexpr int NUM_BANDS = 8;
    static constexpr int NUM_VERTICES = 2 * NUM_BANDS * (NUM_BANDS + 1); // 144
    static constexpr float RADIUS = 2.0f;

    kxLightLobeFogEffect();

    static kxLightLobeFogEffect* create();
    static int initializeClass();
    static int shutdownClass();

    // Requested visibility: with a texture, the beam's render and cull masks go on (its isect
    // mask stays 0, probes never hit it); without a texture, or off, all three masks are 0.
    void setEnable(bool enable);
    bool getEnable() const { return m_enable; }

    // The scale of the fog density in updateFromFog; stored unchanged.
    void setBrightness(float brightness) { m_brightness = brightness; }
    float getBrightness() const { return m_brightness; }
    // The density the scaled fog density must exceed for the beam to show; stored unchanged.
    void setMinVisibilityDensity(float density) { m_minVisibilityDensity = density; }
    float getMinVisibilityDensity() const { return m_minVisibilityDensity; }

    // Not clamped. Alpha carries the beam's strength.
    void setColor(float r, float g, float b, float a);
    void setColor(const kuVec4f& color) { setColor(color.x, color.y, color.z, color.w); }
    void getColor(float* r, float* g, float* b, float* a) const;
    const kuVec4f& getColor() const { return m_color; }

    // Offsets of the beam from the lobe: translation, rotation (heading, pitch, roll, degrees)
    // and scale, applied scale first. Until setScale is called the beam keeps its own size
    // (the stored scale reads (0, 0, 0)).
    void setTranslationOffset(double x, double y, double z);
    void setTranslationOffset(const kuVec3d& t) { setTranslationOffset(t.x, t.y, t.z); }
    void getTranslationOffset(double* x, double* y, double* z) const;
    const kuVec3d& getTranslationOffset() const { return m_translation; }
    void setRotationOffset(double h, double p, double r);
    void setRotationOffset(const kuVec3d& hpr) { setRotationOffset(hpr.x, hpr.y, hpr.z); }
    void getRotationOffset(double* h, double* p, double* r) const;
    const kuVec3d& getRotationOffset() const { return m_rotation; }
    void setScale(double x, double y, double z);
    void setScale(const kuVec3d& s) { setScale(s.x, s.y, s.z); }
    void getScale(double* x, double* y, double* z) const;
    const kuVec3d& getScale() const { return m_scale; }

    // Reads an image file as the beam's texture (before configure only; afterwards nothing
    // happens). Reports at level 5 an image that does not read or has an unsupported number of
    // components, and keeps the texture it had.
    void setTextureFile(const char* name);
    const char* getTextureFile() const { return m_textureFile.c_str(); }
    // The owning lobe's texture (any time; rebinds the beam's texture state once it exists).
    // A file name, when given, is what getTextureFile reports from then on: the name the user
    // chose, so that it reads back (and proxies see it change) even when the lobe generated a
    // texture in its place.
    void setTexture(krTexture* texture, const char* fileName = nullptr);
    krTexture* getTexture() const { return m_texture.get(); }

    // Builds the mesh, the render state and the programs. 1 (also when configured already), or
    // -32767 without a texture (reported at level 5; the beam never shows).
    int configure();
    // The same, then hangs the beam under parent (the owning lobe) whatever the result, so the
    // beam follows it; parent may be null.
    int configure(ksNode* parent);
    bool isConfigured() const { return m_configured; }

    // The transform at the root of the beam, for the lobe to add as a child.
    ksNode* getRootNode() const;
    // The geometry node under it, and the mesh copy it currently draws (for inspection).
    ksGeometry* getGeometryNode() const { return m_beamGeometryNode.get(); }
    krGeometry* getGeometry() const;
    // The render state made by configure (null before).
    krState* getState() const { return m_state.get(); }

    // The owning lobe's per-frame rule: fog of fogDensity (per unit of distance) scaled by
    // 5000 and the brightness shows the beam when it exceeds the minimum visibility density;
    // its alpha is then that scaled density, or 1 above 100. Returns whether it shows.
    bool getStrength(float fogDensity, float* alpha) const;
    // Applies the rule: switches the beam on or off as it changes and, when it shows, sets the
    // colour (r, g, b) with the rule's alpha.
    void updateFromFog(float fogDensity, float r, float g, float b);
    // The fog density the environment publishes (index 1 of "kxEnv_FogParameters"); 0 when
    // nothing is published.
    static float getEnvironmentFogDensity();

protected:
    ~kxLightLobeFogEffect() override;

private:
    void setUpGeometry();
    void applyMasks();
    void applyTransform();
    // Hands the colour to the draw side through a free copy of the mesh; false when every copy
    // may still be drawn (the colour is handed over at the next change or configure).
    bool handOverColor();

    bool m_enable = true;
    bool m_configured = false;
    float m_brightness = DEFAULT_BRIGHTNESS;
    kuString m_textureFile;
    kuVec4f m_color{1.0f, 1.0f, 1.0f, 1.0f};
    kuRef<ksTransform> m_beamTransform;
    kuRef<ksGeometry> m_beamGeometryNode;
    kuVec3d m_translation;
    kuVec3d m_rotation;
    kuVec3d m_scale{0.0, 0.0, 0.0};
    kuVec3d m_appliedScale{1.0, 1.0, 1.0};
    kuRef<krTexture> m_texture;
    kuRef<krTexture::State> m_textureState;
    kuRef<krState> m_state;
    int m_fogEffectBinId = -1;
    float m_minVisibilityDensity = DEFAULT_MIN_VISIBILITY_DENSITY;

    // The mesh copies; a copy that stopped being drawn at frame F is free from frame
    // F + kuPipeline::NUM_FRAME_SLOTS on, when no frame that drew it can be in flight.
    static constexpr int NUM_MESHES = 2 * kuPipeline::NUM_FRAME_SLOTS;
    struct Mesh {
        kuRef<krGeometry> geometry;
        int retiredAt = -(1 << 30);
    };
    Mesh m_meshes[NUM_MESHES];
    int m_currentMesh = 0;
    bool m_colorPending = false;
};

#endif
