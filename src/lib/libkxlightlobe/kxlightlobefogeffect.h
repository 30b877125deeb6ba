#ifndef KXLIGHTLOBEFOGEFFECT_H
#define KXLIGHTLOBEFOGEFFECT_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

// The visible beam of a projected lobe in fog.
// Threads: application thread.
class KXLIGHTLOBE_API kxLightLobeFogEffect : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeFogEffect)

    kxLightLobeFogEffect();

    static kxLightLobeFogEffect* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxLightLobeFogEffect() override;
};

#endif
