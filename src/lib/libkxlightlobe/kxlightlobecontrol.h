#ifndef KXLIGHTLOBECONTROL_H
#define KXLIGHTLOBECONTROL_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

class ksChannel;
class kxIsectorService;

// The application's handle on the light-map technique as a whole: a registry-visible
// singleton that forwards to the light map, and the owner of its statistics.
// Threads: application thread.
class KXLIGHTLOBE_API kxLightLobeControl : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeControl)

    enum RenderQuality : int {
        RENDER_QUALITY_GOOD = 1,   // 128-texel light map
        RENDER_QUALITY_BETTER = 2, // 256
        RENDER_QUALITY_BEST = 3    // 512
    };

    static kxLightLobeControl* instance();
    static kxLightLobeControl* create();
    static void destroy();
    static kxLightLobeControl* get(int index);
    static int getNum() { return size(); }
    static int initializeClass();
    static int shutdownClass();
    // Binds the "LightLobeControl" configuration keywords.
    static int configureParser();

    void setEnable(bool enable);
    bool getEnable() const;
    // Values outside the enumeration change nothing.
    void setRenderQuality(RenderQuality quality);
    // From the light map's texture size; sizes set directly on the map are reported as the
    // nearest end (below 128: good, otherwise best).
    RenderQuality getRenderQuality() const;
    void setEyepointFadeRange(float range);
    float getEyepointFadeRange() const;
    void setIsectorService(kxIsectorService* service);
    kxIsectorService* getIsectorService() const;
    void addChannel(const ksChannel* channel);
    void removeChannel(const ksChannel* channel);

protected:
    kxLightLobeControl();
    ~kxLightLobeControl() override;

    static int registerStatisticsDefinitions();
    static int unregisterStatisticsDefinitions();
    int registerStatistics();
    int unregisterStatistics();
};

#endif
