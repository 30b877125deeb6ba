#ifndef KXLIGHTMAP_H
#define KXLIGHTMAP_H

#include "kxlightlobe.h"
#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <kr/krFog.h>
#include <kr/krTextureCoordGen.h>
#include <ku/kuAllocRef.h>
#include <ku/kuBase.h>
#include <ku/kuFrameData.h>
#include <ku/kuStat.h>
#include <kx/kxKernel.h>

#include <atomic>
#include <mutex>
#include <map>
#include <memory>

class krDrawContext;
class ksChannel;
class ksWindow;
class kxIsectorService;
class kxObserver;

// The light-map technique's singleton. It keeps one record per light-mapped channel (map
// texture, window, observer, and the per-frame light intensity and observer position that
// the application thread hands to the draw thread), advances every lobe once per frame, and
// holds the global settings the rendering reads. It also makes the falloff images shared by
// the lobes and the map.
// Threads: application thread, except the plain global settings and the per-frame values,
// which draw threads read.
class KXLIGHTLOBE_API kxLightMap : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightMap)

    struct _channel_data;

    // Calls update() once per frame from the kernel's frame event.
    class KXLIGHTLOBE_API UpdateSubscriber : public kxKernel::Subscriber {
    public:
        explicit UpdateSubscriber(kxLightMap* map) : m_map(map) {}
        void notify(int event, ksServiceMgr* serviceMgr) override;

    private:
        kxLightMap* m_map;
    };

    // The singleton, made on first call.
    static kxLightMap* instance();
    static kxLightMap* create();
    static int initializeClass();
    static int shutdownClass();
    // The channel bin the lobes' cull records go to (-1 before initializeClass).
    static int getMapCreateBinID();
    static int getMapRenderBinID();
    // Defines the two statistics on the "kxLightLobeControl" class type.
    static int registerStatisticsDefinitions();

    void setEnable(bool enable) { m_enable = enable; }
    bool getEnable() const { return m_enable; }
    // Side of the channels' maps. A channel gets none while the size is 0, above
    // kxLightLobe::MAX_TEXTURE_SIZE or larger than the channel (reported as it is drawn).
    void setTextureSize(unsigned int size) { m_textureSize = size; }
    unsigned int getTextureSize() const { return m_textureSize; }
    void setTransitionLightIntensity(float intensity) { m_transitionLightIntensity = intensity; }
    float getTransitionLightIntensity() const { return m_transitionLightIntensity; }
    void setBrightenScale(float scale) { m_brightenScale = scale; }
    float getBrightenScale() const { return m_brightenScale; }
    void setIsectorService(kxIsectorService* service);
    kxIsectorService* getIsectorService() const;
    bool isConfigured() const { return m_configured; }
    // Range at which lobes seen from the eye have faded to 1/16.
    void setEyepointFadeRange(float range);
    float getEyepointFadeRange() const { return m_eyepointFadeRange; }
    float getEyepointFadeCoefficient() const { return m_eyepointFadeCoefficient; }

    void addChannel(const ksChannel* channel);
    void removeChannel(const ksChannel* channel);
    krTexture* getMapTexture(const ksChannel* channel);
    // The channel's record, or null.
    _channel_data* getChannelData(const ksChannel* channel);
    int getNumChannels() const;
    // The values published for a channel and frame; false when none was published.
    bool getLightIntensity(const ksChannel* channel, int frame, float* intensity);
    bool getObserverPosition(const ksChannel* channel, int frame, kuVec3d* position);

    // Module phases.
    void preConfigure();
    int configure();
    int unconfigure();
    // The per-frame step.
    void update(int frame);
    // Publishes the statistics for owner (the control). 1, or -32767 when refused.
    int registerStatistics(kuBase* owner);

    // Rendering, on the channel's draw thread. preRenderLobes returns the lobe factor, or -1
    // when no map can be made for the channel this frame.
    float preRenderLobes(const ksChannel* channel, krDrawContext* context);
    void postRenderLobes(const ksChannel* channel, krDrawContext* context);
    void renderMap(const ksChannel* channel, krDrawContext* context);
    void transformCullRecord(const ksChannel* channel, kxLightLobe::CullRecord* record);
    // The light levels of a scene light intensity I in [0, 1]: the darkness term, the map's
    // base level L (0.5 leaves the scene as it is), the lobe factor F, the fog multiplier
    // 1 / (2 L) and the brightening ambient (T - I) x B, used while I < T.
    static float getDarkness(float intensity);
    static float getBaseLevel(float intensity);
    static float getLobeFactor(float intensity);
    static float getFogMultiplier(float intensity);
    float getBrighteningAmbient(float intensity) const;

    // Whether the channel's map was made in the frame being drawn.
    static bool isMapCreated(const ksChannel* channel);

    // Fills bits (size x size x 3 bytes, RGB, row-major) with a disc of radius size / 2.7 that
    // falls off from 255 at the centre by the given shape, inside a one-texel black border.
    void creatLightTextureBits(int size, kxLightLobe::Falloff falloff, unsigned char* bits) const;

protected:
    kxLightMap();
    ~kxLightMap() override;

    void updateObserverPos(const ksChannel* channel);
    void fixCloudState(kxObserver* observer);
    void clearView(bool color, bool depth, float level, krDrawContext* context);

private:
    float getEnvBrightness(_channel_data* record);
    // The channel's record, held for the caller (draw threads).
    std::shared_ptr<_channel_data> findChannelData(const ksChannel* channel) const;
    void recordUpdateTime(double start);
    // The light intensity stored for the frame being drawn, in [0, 1].
    float readLightIntensity(_channel_data* record, const ksChannel* channel, bool report);

    bool m_configured = false;
    // The global settings are read by draw threads without a lock: atomics keep that free of
    // data races without changing what they mean.
    std::atomic<bool> m_enable{true};
    // The draw threads look records up while the application thread adds and removes them:
    // the table is locked, and a draw thread keeps the record it draws alive.
    mutable std::mutex m_channelsMutex;
    std::map<const ksChannel*, std::shared_ptr<_channel_data>> m_channels;
    std::atomic<float> m_eyepointFadeCoefficient{0.0008f};
    // The range that the starting coefficient corresponds to (4 ln 2 / 0.0008).
    float m_eyepointFadeRange = 3465.7359f;
    std::atomic<float> m_transitionLightIntensity{0.5f};
    std::atomic<float> m_brightenScale{1.0f};
    std::atomic<unsigned int> m_textureSize{128};
    kuRef<kxIsectorService> m_isectorService;
    std::unique_ptr<UpdateSubscriber> m_updateSubscriber;
    std::unique_ptr<kuStat::Containers> m_statistics;
    int m_frame = 0;
    kuRef<krTexture::Blend> m_blend;
    kuRef<krTextureCoordGen> m_texGen;
};

// What the light map keeps for one channel.
struct KXLIGHTLOBE_API kxLightMap::_channel_data {
    kuRef<const ksChannel> channel; // kept alive while it has a record
    kuRef<krTexture> mapTexture;
    kuRef<krTexture::State> textureState;
    // The map's texture as the element the map is laid with (made once: no allocation per frame).
    krTexture::Element textureElement;
    kuRef<kuAllocRef> imageBits;
    int currentSize = 0; // the size imageBits was made for; 0 makes them at the next render
    int mapOriginX = 0, mapOriginY = 0;
    ksWindow* window = nullptr;
    kxObserver* observer = nullptr; // found again every frame
    kuBase* environment = nullptr;
    kuFrameData<kuVec3d> observerPosition;
    kuFrameData<float> lightIntensity;
    // The scene fog as the light map found it, installed into cloud layers at night: the
    // application thread's (cloud states are changed there).
    kuRef<krFog> fog;
    krFog::Element fogElement;
    // What the draw thread found, handed to the application thread under fogMutex.
    std::mutex fogMutex;
    kuRef<krFog> drawnFog;
    bool fogFound = false;
    // The draw thread's own fogs: the lobes' eyepoint fade while the map is made, and the scene
    // fog brightened to make up for the map's darkening while the scene is drawn. The scene's
    // fog itself belongs to the frame's channel state and is never changed here.
    kuRef<krFog> lobeFog;
    kuRef<krFog> compensatedFog;
};

#endif
