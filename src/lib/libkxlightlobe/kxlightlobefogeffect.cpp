#include "kxlightlobefogeffect.h"

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxLightLobeFogEffect::kxLightLobeFogEffect() {
    registerInstance(s_classType);
}
kxLightLobeFogEffect::~kxLightLobeFogEffect() {
    unregisterInstance(s_classType);
}

kxLightLobeFogEffect* kxLightLobeFogEffect::create() {
    return new kxLightLobeFogEffect;
}

int kxLightLobeFogEffect::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeFogEffect", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return create(); }, true, false);
}

int kxLightLobeFogEffect::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeFogEffect)
