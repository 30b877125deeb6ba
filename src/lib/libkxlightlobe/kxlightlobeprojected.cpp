#include "kxlightlobeprojected.h"

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxLightLobeProjected::kxLightLobeProjected(ksThreadBuffer* threadBuffer)
    : kxTransform(threadBuffer) {
    registerInstance(s_classType);
}

kxLightLobeProjected::kxLightLobeProjected(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : kxTransform(clones, index, threadBuffer) {}

kxLightLobeProjected::~kxLightLobeProjected() {
    if (isMasterClone())
        unregisterInstance(s_classType);
}

kxLightLobeProjected* kxLightLobeProjected::create() {
    return new kxLightLobeProjected(nullptr);
}

ksNode* kxLightLobeProjected::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new kxLightLobeProjected(getClones(), index, threadBuffer);
}

int kxLightLobeProjected::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeProjected", kxTransform::getStaticClassType(), "kxTransform",
        []() -> kuBase* { return create(); }, true, false);
}

int kxLightLobeProjected::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeProjected)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobeProjected)
