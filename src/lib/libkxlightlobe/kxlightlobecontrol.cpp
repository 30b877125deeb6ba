#include "kxlightlobecontrol.h"

#include "kxlightmap.h"

#include <ku/kuStat.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightLobeControl> s_instance;
} // namespace

kxLightLobeControl::kxLightLobeControl() {
    registerInstance(s_classType);
    registerStatistics();
}

kxLightLobeControl::~kxLightLobeControl() {
    unregisterStatistics();
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
    if (!s_classType) {
        const int status = kxClassRegistry::createClassType(
            s_classType, "kxLightLobeControl", kuBase::getStaticClassType(), "kuBase",
            []() -> kuBase* { return create(); }, true, false);
        if (status != 1)
            return status;
        registerStatisticsDefinitions();
    }
    instance();
    configureParser();
    return 1;
}

int kxLightLobeControl::shutdownClass() {
    s_instance.reset();
    if (s_classType) {
        unregisterStatisticsDefinitions();
        delete s_classType;
        s_classType = nullptr;
    }
    return 1;
}

int kxLightLobeControl::registerStatisticsDefinitions() {
    return kxLightMap::registerStatisticsDefinitions() == -32767 ? -32767 : 1;
}

int kxLightLobeControl::unregisterStatisticsDefinitions() {
    kuStat::erase_class(s_classType);
    return 1;
}

int kxLightLobeControl::registerStatistics() {
    return kxLightMap::instance()->registerStatistics(this);
}

int kxLightLobeControl::unregisterStatistics() {
    kuStat::erase(this);
    return 1;
}

void kxLightLobeControl::setEnable(bool enable) {
    kxLightMap::instance()->setEnable(enable);
}
bool kxLightLobeControl::getEnable() const {
    return kxLightMap::instance()->getEnable();
}

void kxLightLobeControl::setRenderQuality(RenderQuality quality) {
    switch (quality) {
    case RENDER_QUALITY_GOOD:
        kxLightMap::instance()->setTextureSize(128);
        break;
    case RENDER_QUALITY_BETTER:
        kxLightMap::instance()->setTextureSize(256);
        break;
    case RENDER_QUALITY_BEST:
        kxLightMap::instance()->setTextureSize(512);
        break;
    }
}

kxLightLobeControl::RenderQuality kxLightLobeControl::getRenderQuality() const {
    const unsigned int size = kxLightMap::instance()->getTextureSize();
    if (size == 256)
        return RENDER_QUALITY_BETTER;
    if (size == 512)
        return RENDER_QUALITY_BEST;
    return size <= 128 ? RENDER_QUALITY_GOOD : RENDER_QUALITY_BEST;
}

void kxLightLobeControl::setEyepointFadeRange(float range) {
    kxLightMap::instance()->setEyepointFadeRange(range);
}

float kxLightLobeControl::getEyepointFadeRange() const {
    return kxLightMap::instance()->getEyepointFadeRange();
}

void kxLightLobeControl::setIsectorService(kxIsectorService* service) {
    kxLightMap::instance()->setIsectorService(service);
}

kxIsectorService* kxLightLobeControl::getIsectorService() const {
    return kxLightMap::instance()->getIsectorService();
}

void kxLightLobeControl::addChannel(const ksChannel* channel) {
    kxLightMap::instance()->addChannel(channel);
}

void kxLightLobeControl::removeChannel(const ksChannel* channel) {
    kxLightMap::instance()->removeChannel(channel);
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeControl)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobeControl)
