#ifndef KXLIGHTLOBECONTROL_H
#define KXLIGHTLOBECONTROL_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

// The application's handle on the light-map technique as a whole: a registry-visible
// singleton that forwards to the light map.
// Threads: application thread.
class KXLIGHTLOBE_API kxLightLobeControl : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeControl)

    enum RenderQuality {
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

protected:
    kxLightLobeControl();
    ~kxLightLobeControl() override;
};

#endif
