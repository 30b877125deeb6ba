#ifndef KXLIGHTLOBEMODULE_H
#define KXLIGHTLOBEMODULE_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <kx/kxModule.h>

// The "kxlightlobe" module object: registers the module's classes and drives them through the
// runtime's module phases. Made only by kxlightlobeInitialize.
// Threads: application thread only.
class KXLIGHTLOBE_API kxLightLobeModule : public kxModule {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeModule)

    kxLightLobeModule();

    int initialize(int argc, char** argv) override;
    void preConfigure() override;
    void configure() override;
    bool isConfigured() const override { return m_configured; }
    void unconfigure() override;
    void onFirstFrame() override;
    void onLastFrame() override;
    void shutdown() override;

    static int initializeClass();
    static int shutdownClass();
    // The module object is made only by kxlightlobeInitialize: always null.
    static kxLightLobeModule* create();

protected:
    ~kxLightLobeModule() override;

private:
    bool m_configured = false;
};

extern "C" KXLIGHTLOBE_API kxModule* kxlightlobeInitialize();

#endif
