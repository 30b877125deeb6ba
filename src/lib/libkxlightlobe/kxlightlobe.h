#ifndef KXLIGHTLOBE_H
#define KXLIGHTLOBE_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <kr/krTexture.h>
#include <kr/krTransform.h>
#include <ks/ksCullRecord.h>
#include <ku/kuMatrix.h>
#include <ku/kuPipeline.h>
#include <ku/kuString.h>
#include <kx/kxTransform.h>

class krTextureFactory;
class kxIsectorLOS;

// One light beam (a headlight, a landing light, a searchlight): a positionable node that finds
// where its beam meets the ground and lights a footprint of 16 vertices there through the light
// map. Its per-thread clones receive the footprint through update tokens.
// Threads: constructors, setters, update and preConfigure on the application thread against
// the master; clones are changed only by syncWithMasterClone and read by their cull thread.
class KXLIGHTLOBE_API kxLightLobe : public kxTransform {
public:
    // Shape of the brightness falloff of the lobe's own texture.
    enum Falloff : int { FALLOFF_LINEAR = 1, FALLOFF_SQUARED = 2, FALLOFF_CUBIC = 3 };

    // Update tokens from master to clones.
    enum Token {
        TOKEN_ENABLE = kxTransform::FIRST_FREE_TOKEN, // 15
        TOKEN_VERTICES,                               // 16
        TOKEN_VERTEX_BRIGHTNESS,                      // 17
        TOKEN_TEXTURE_MATRIX,                         // 18
        TOKEN_ABSOLUTE_POSE,                          // 19
        // The falloff texture was replaced: clones take a reference to the new one, so a cull
        // thread never reads the master's while the application thread replaces it.
        TOKEN_TEXTURE, // 20
        // The cull record factory was replaced.
        TOKEN_CULL_RECORD_FACTORY, // 21
        FIRST_FREE_TOKEN
    };

    enum { NUM_VERTICES = 16, NUM_ISECTORS = 3 };
    // Largest generated texture side: beyond it no driver can take the texture anyway.
    enum { MAX_TEXTURE_SIZE = 8192 };

    // What a clone holds of its master's footprint for one frame: the lines a record draws.
    struct Footprint {
        kuMatrixf textureMatrix;
        float vertexBrightness[NUM_VERTICES] = {};
        kuVec3d vertices[NUM_VERTICES];
        kuVec3d position;
        kuVec3d orientation;
    };

    // One lobe's footprint for one channel and frame, drawn into the channel's light map.
    // The cull leaves only a pointer to the clone's footprint of the frame (which stays
    // unchanged until the frame has been drawn); the draw takes the values from it, so that a
    // cull copies a few words per record rather than the 16 vertices.
    // Threads: filled on a cull thread, drawn on the channel's draw thread.
    class KXLIGHTLOBE_API CullRecord : public ksCullRecord {
    public:
        CullRecord();
        // A copy takes the values of the footprint the other refers to.
        CullRecord(const CullRecord& other);
        CullRecord& operator=(const CullRecord& other);
        ~CullRecord() override;

        void processDraw(krDrawContext* context) override;
        // Fills the values below from the footprint the cull referred to (once; draw thread).
        void takeFootprint();

        // Set by the cull, read by takeFootprint: kept in the record's first lines.
        const Footprint* footprint = nullptr;
        // The lobe's texture has no image: the footprint is drawn dark.
        bool imageless = false;
        // What the texture state below holds, so that a cull reads the record alone.
        bool textureEnabled = false;
        const krTexture* texture = nullptr;

        // The texture matrix, as the draw-context element it is drawn with.
        krTransform::ElementTexture textureTransform;
        float vertexBrightness[NUM_VERTICES];
        kuVec3d vertices[NUM_VERTICES];
        kuVec3d position;
        kuVec3d orientation;
        // Holds exactly one texture state, made with the record.
        krTexture::Element textureElement;
        // Multiplies every vertex brightness; set by the light map before each draw.
        float intensityScale = 1.0f;
    };
    typedef ksCullRecordFactoryDerived<CullRecord, ksCullRecordPool<CullRecord>,
                                       ksCullRecordFactory>
        CullRecordFactory;

    KX_DECLARE_CLASS_REGISTRY(kxLightLobe)

    explicit kxLightLobe(ksThreadBuffer* threadBuffer = nullptr);

    // Registry.
    static kxLightLobe* create();
    static int initializeClass();
    static int shutdownClass();
    static int getNum() { return size(); }
    static kxLightLobe* get(int index);

    int getNodeId() const override;

    kuBase* makeCopy(int options = 0) const override;
    bool compare(const kuBase* other, int options = 0) const override;
    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override;
    void syncWithMasterClone(int token, ksNode** clones) override;
    void prefetchForSync(int token, const ksNode* clone) const override;
    // Leaves one record of the footprint in the channel's light-map creation bin.
    int cull(ksTraversalCull* traversal) override;

    // Properties. None clamps its value.
    int setEnable(bool enable);
    bool getEnable() const { return m_enable; }
    void setBrightness(float brightness) { m_brightness = brightness; }
    float getBrightness() const { return m_brightness; }
    // Full opening angle of the beam cone, degrees.
    void setSpreadAngle(float degrees) { m_spreadAngle = degrees; }
    float getSpreadAngle() const { return m_spreadAngle; }
    // Distance at which the light has faded to nothing; also the probes' length.
    void setFadeRange(float range) { m_fadeRange = range; }
    float getFadeRange() const { return m_fadeRange; }
    // Regenerate the lobe's texture unless a texture file is in use. A value outside the
    // enumeration changes nothing (reported).
    void setFalloff(Falloff falloff);
    Falloff getFalloff() const { return m_falloff; }
    void setTextureSize(unsigned int size);
    unsigned int getTextureSize() const { return m_textureSize; }
    // Reads the texture from a file. A null or empty name changes nothing (1). An unreadable
    // file leaves the lobe without a texture and the name unchanged (-32767).
    int setTextureFile(const char* fileName);
    const char* getTextureFile() const { return m_textureFile.c_str(); }
    // Whether copies take the texture file (read by makeCopy only).
    void setEnableCustomTexture(bool enable) { m_customTexture = enable; }
    bool getEnableCustomTexture() const { return m_customTexture; }
    // Whether the lobe's probes are in the light map's isector service.
    void setIsectEnable(bool enable);
    bool getIsectEnable() const { return m_isectEnable; }
    // The probes' intersection mask (separate from the node's own isect mask).
    void setIsectMask(unsigned int mask);
    unsigned int getIsectMask() const;
    // Where the lobe's cull records come from (the class's shared factory by default).
    void setCullRecordFactory(ksCullRecordFactory* factory);
    ksCullRecordFactory* getCullRecordFactory() const;
    // The class's shared factory (null outside initializeClass/shutdownClass).
    static CullRecordFactory* getSharedCullRecordFactory();
    // Lets go of the footprints of clones gone at least kuPipeline::NUM_FRAME_SLOTS frames
    // before frame, which no record can refer to any more (application thread, each frame).
    static void releaseRetiredFootprints(int frame);

    // Binds the "LightLobe" configuration keywords.
    static int configureParser();
    // Adds the probes to the light map's isector service (module pre-configure step).
    void preConfigure();
    // The per-frame step: casts the probes against target's scene, finds the ground plane and
    // computes the footprint, then queues it for the clones.
    void update(ksNode* target);
    // Hints that update will soon run: asks the cache for the lobe, or for its probes (whose
    // addresses the lobe holds, so ask for the lobe first). Application thread; changes nothing.
    void prefetchForUpdate() const;
    void prefetchIsectorsForUpdate() const;

    // State read by the light map and by tests.
    krTexture* getTexture() const;
    // On a clone: what its latest delivered tokens brought.
    const kuMatrixf& getTextureMatrix() const;
    // Outside [0, NUM_VERTICES): the origin, and no brightness.
    const kuVec3d& getVertex(int index) const;
    float getVertexBrightness(int index) const;
    const kuVec3d& getAbsolutePositionValue() const;
    const kuVec3d& getAbsoluteOrientationValue() const;
    kxIsectorLOS* getIsector(int index) const;
    bool getRemoveIsectorsPending() const { return m_removeIsectorsPending; }
    const kuVec3d& getGroundPlane() const { return m_groundPlane; }
    bool getStaticDone() const { return m_staticDone; }

protected:
    kxLightLobe(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~kxLightLobe() override;

    // Gives the lobe the falloff texture of its falloff and texture size (shared by every
    // lobe with the same pair).
    void createTex();
    kuRef<krTexture> makeFalloffTexture() const;
    // Replaces the master's texture and queues it for the clones.
    void setTexture(krTexture* texture);
    // The lobe's world axes (the rows of its rotation) and absolute orientation from the turn
    // and scale of its world matrix (its upper 3x3).
    void makeAxes(const double (&turn)[3][3]);
    // Poses the probes and combines their hits into the ground plane; true on a valid hit.
    bool castIsectors(ksNode* target);
    // The 16 footprint vertices and their brightness from the ground plane.
    void computeVerts();
    // The same, with the lobe's world axes given (the rows of rotation).
    void computeVerts(const kuMatrixd& rotation);
    // The projection of the falloff texture across the beam cone.
    void computeTexMat();

private:
    int copy(const kxLightLobe* source, int options);
    void addIsectorsToService();
    void removeIsectorsFromService();

    // A clone's footprints: one per frame a record may still draw (see syncWithMasterClone).
    enum { NUM_FOOTPRINTS = kuPipeline::DEPTH };
    enum FootprintPart : unsigned {
        PART_VERTICES = 1,
        PART_BRIGHTNESS = 2,
        PART_TEXTURE_MATRIX = 4,
        PART_POSE = 8,
        ALL_PARTS = 15
    };
    // The footprint a token writes on a clone (application thread, at the rendezvous).
    Footprint& footprintToWrite(unsigned part);
    // The clone's footprint that holds part as last delivered.
    const Footprint& footprintHolding(unsigned part) const;
    // Completes the latest footprint with the parts no token brought (cull thread).
    void takeStaleParts();

    // What a cull reads of a clone, together (after the node's own state).
    bool m_enable = true;
    // Clones: which of the NUM_FOOTPRINTS footprints is the latest, which of its parts are
    // still to be taken from the one before it, and whether a record refers to it.
    unsigned char m_currentFootprint = 0;
    unsigned char m_staleParts = 0;
    bool m_footprintShown = false;
    Footprint* m_footprints = nullptr; // clones only
    kuRef<krTexture> m_texture;
    kuRef<ksCullRecordFactory> m_cullRecordFactory;

    bool m_wasStatic = false;
    bool m_staticDone = false;
    float m_spreadAngle = 20.0f;
    float m_fadeRange = 1000.0f;
    float m_brightness = 1.0f;
    Falloff m_falloff = FALLOFF_SQUARED;
    bool m_customTexture = false;
    kuString m_textureFile;
    unsigned int m_textureSize = 128;
    kuMatrixf m_textureMatrix;
    float m_vertexBrightness[NUM_VERTICES] = {};
    kuVec3d m_vertices[NUM_VERTICES];
    kuRef<kxIsectorLOS> m_isectors[NUM_ISECTORS];
    bool m_isectEnable = true;
    bool m_removeIsectorsPending = false;
    // The probes were last posed from a pose that cannot be cast (reported once per change).
    bool m_poseUnusable = false;
    kuVec3d m_hitPoint;
    kuVec3d m_hitNormal;
    kuVec3d m_groundPlane;
    kuVec3d m_absolutePosition;
    kuVec3d m_absoluteOrientation;
    // The spread angle the texture matrix was last made for (it depends on nothing else).
    float m_textureMatrixSpread = 0.0f;
    bool m_textureMatrixMade = false;
    // The world matrix's turn and scale that m_axes and m_absoluteOrientation were made from.
    bool m_axesMade = false;
    double m_axesTurn[3][3] = {};
    double m_axes[3][3] = {};
    // What the footprint takes from the spread angle: the beam's half-widths at unit distance
    // and the inverse lengths of its three kinds of rays, and the angle they were made for.
    bool m_footprintMade = false;
    float m_footprintSpread = 0.0f;
    double m_footprintOuter = 0.0;
    double m_footprintInner = 0.0;
    double m_footprintInverse[3] = {};
};

#endif
