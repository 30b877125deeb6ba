#include "kxlightlobecontrol.h"

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightLobeControl> s_instance;
} // namespace

kxLightLobeControl::kxLightLobeControl() {
    registerInstance(s_classType);
}
kxLightLobeControl::~kxLightLobeControl() {
    unregisterInstance(s_classType);
}

kxLightLobeControl* kxLightLobeControl::instance() {
    if (!s_instance)
        s_instance = new kxLightLobeControl;
    return s_instance.get();
}

kxLightLobeControl* kxLightLobeControl::create() {
    return instance();
}
void kxLightLobeControl::destroy() {
    s_instance.reset();
}

int kxLightLobeControl::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeControl", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return create(); }, true, false);
}

int kxLightLobeControl::shutdownClass() {
    s_instance.reset();
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeControl)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobeControl)
