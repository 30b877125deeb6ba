#include "kxlightlobeproxies.h"

#include <ku/kuNotify.h>

#include <string>

namespace kxProxies {

namespace {

// Creates the real object on the update thread and releases the creator. A name taken since
// the creator looked is refused here too, so two threads creating one name make one object.
template <class Proxy, class Real>
class CreateRequest : public kxProxyQueue::ProxyMessageBase {
public:
    CreateRequest(Proxy* proxy, const char* name, int threadId)
        : m_proxy(proxy), m_name(name ? name : ""), m_threadId(threadId) {}
    void execute() override {
        if (!Real::find(m_name.c_str())) {
            Real* object = Real::create();
            object->setName(m_name.c_str());
            kxProxyMgr::keepObject(object);
            kxProxyMgr::addClassName(object->getClassType()->getName());
            m_proxy->set(object);
        }
        kxProxyMgr::releaseBlockOnUpdate(m_threadId);
    }

private:
    // Not held: the creator waits in its constructor until this has run.
    Proxy* m_proxy;
    std::string m_name;
    int m_threadId;
};

// Option 0 attaches, option 1 creates; the proxy stays unattached when it cannot.
template <class Proxy, class Real>
void attachOrCreate(Proxy* proxy, const char* name, int option) {
    const char* shown = name ? name : "";
    if (option == 0) {
        if (Real* object = Real::find(name)) {
            proxy->set(object);
            return;
        }
        kuNotify::print(kuNotify::WARN, nullptr,
                        "%s::constructor - Constructor failed. Unable to find any ::%s instance "
                        "named '%s'.",
                        proxy->getProxyClassName(), proxy->getRealClassName(), shown);
        return;
    }
    if (option != 1)
        return;
    if (!Real::find(name)) {
        const int threadId = kxProxyMgr::getCurrentThreadId();
        if (kxProxyMgr::addProxyRequest(new CreateRequest<Proxy, Real>(proxy, name, threadId)) ==
            KU_SUCCESS)
            kxProxyMgr::blockOnUpdate(threadId);
        if (proxy->getObject())
            return;
        // Not made, and no other thread took the name: the manager stopped first.
        if (!Real::find(name)) {
            kuNotify::print(kuNotify::WARN, nullptr,
                            "%s::constructor - Constructor failed. No ::%s instance named '%s' "
                            "could be created.",
                            proxy->getProxyClassName(), proxy->getRealClassName(), shown);
            return;
        }
    }
    kuNotify::print(kuNotify::WARN, nullptr,
                    "%s::constructor - Constructor failed. A ::%s instance named '%s' already "
                    "exists.",
                    proxy->getProxyClassName(), proxy->getRealClassName(), shown);
}

int unknownEnum(const char* function, int value) {
    kuNotify::print(kuNotify::WARN, nullptr, "%s - Unknown enum value %d passed.", function, value);
    return -1;
}

// Where each property of a node proxy lives: in the class itself, or in a base.
enum Owner { OWN, NODE, TRANSFORM };
struct Route {
    Owner owner;
    int field;
};

} // namespace

// ---- kxLightLobe ----

namespace {
const char* const LOBE_NAMES[kxLightLobe::NUM_PROPERTIES] = {
    "Brightness",     "CoordConverter", "CullMask",    "Enable",       "FadeRange",
    "Falloff",        "IsectMask",      "Orientation", "Position",     "RenderMask",
    "Rotate",         "Scale",          "SpreadAngle", "StaticEnable", "Strategy",
    "StrategyEnable", "TextureFile",    "Translate",   "Child"};

typedef CallRequest<::kxLightLobe, kxLightLobe::Brightness> kxLightLobe_setBrightness_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::Enable> kxLightLobe_setEnable_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::FadeRange> kxLightLobe_setFadeRange_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::FalloffValue> kxLightLobe_setFalloff_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::LobeIsectMask> kxLightLobe_setIsectMask_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::SpreadAngle> kxLightLobe_setSpreadAngle_CallRequest;
typedef CallRequest<::kxLightLobe, kxLightLobe::TextureFile> kxLightLobe_setTextureFile_CallRequest;
typedef CreateRequest<kxLightLobe, ::kxLightLobe> kxLightLobe_CreateRequest;

kxProxyList<kxLightLobe> s_lobeList;
} // namespace

kxLightLobe::kxLightLobe() {
    initialize();
    s_lobeList.add(this);
}

kxLightLobe::kxLightLobe(const char* name, int option) {
    attachOrCreate<kxLightLobe, ::kxLightLobe>(this, name, option);
    initialize();
    s_lobeList.add(this);
}

kxLightLobe::~kxLightLobe() {
    s_lobeList.remove(this);
}

void kxLightLobe::shutdown() {
    s_lobeList.remove(this);
    kxTransform::shutdown();
}

void kxLightLobe::initialize() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_brightness.value = 0.0f;
    m_enable.value = false;
    m_fadeRange.value = 0.0f;
    m_falloff.value = 0;
    m_spreadAngle.value = 0.0f;
    m_textureFile.value.clear();
}

const kuBase::ClassType* kxLightLobe::getRealClassType() const {
    return ::kxLightLobe::getStaticClassType();
}

::kxLightLobe* kxLightLobe::getExactClassType() const {
    return static_cast<::kxLightLobe*>(getObject());
}

const char* const* kxLightLobe::getPropertyNames() const {
    return LOBE_NAMES;
}

int kxLightLobe::getFalloffEnumValue(::kxLightLobe::Falloff real) {
    switch (real) {
    case ::kxLightLobe::FALLOFF_CUBIC:
        return FALLOFF_CUBIC;
    case ::kxLightLobe::FALLOFF_LINEAR:
        return FALLOFF_LINEAR;
    case ::kxLightLobe::FALLOFF_SQUARED:
        return FALLOFF_SQUARED;
    }
    return unknownEnum("kxProxies::kxLightLobe::getFalloffEnumValue", real);
}

int kxLightLobe::getFalloffEnumValue(int proxyValue) {
    switch (proxyValue) {
    case FALLOFF_CUBIC:
        return ::kxLightLobe::FALLOFF_CUBIC;
    case FALLOFF_LINEAR:
        return ::kxLightLobe::FALLOFF_LINEAR;
    case FALLOFF_SQUARED:
        return ::kxLightLobe::FALLOFF_SQUARED;
    }
    return unknownEnum("kxProxies::kxLightLobe::getFalloffEnumValue", proxyValue);
}

int kxLightLobe::FalloffValue::read(const ::kxLightLobe* o) {
    return getFalloffEnumValue(o->getFalloff());
}

int kxLightLobe::setBrightness(float brightness) {
    return setCached<kxLightLobe_setBrightness_CallRequest>(m_brightness, brightness,
                                                            "setBrightness");
}

int kxLightLobe::setEnable(bool enable) {
    return setCached<kxLightLobe_setEnable_CallRequest>(m_enable, enable, "setEnable");
}

int kxLightLobe::setFadeRange(float range) {
    return setCached<kxLightLobe_setFadeRange_CallRequest>(m_fadeRange, range, "setFadeRange");
}

int kxLightLobe::setFalloff(int falloff) {
    const int real = getFalloffEnumValue(falloff);
    if (real < 0)
        return KU_FAILURE;
    return setCached<kxLightLobe_setFalloff_CallRequest>(m_falloff, falloff, "setFalloff", real);
}

int kxLightLobe::setIsectMask(unsigned int mask) {
    return setCached<kxLightLobe_setIsectMask_CallRequest>(m_isectMask, mask, "setIsectMask");
}

int kxLightLobe::setSpreadAngle(float degrees) {
    return setCached<kxLightLobe_setSpreadAngle_CallRequest>(m_spreadAngle, degrees,
                                                             "setSpreadAngle");
}

int kxLightLobe::setTextureFile(const char* fileName) {
    return setCached<kxLightLobe_setTextureFile_CallRequest>(
        m_textureFile, std::string(fileName ? fileName : ""), "setTextureFile");
}

namespace {
// Child has no value to read or watch: the list is what addChild and removeChild made.
const Route LOBE_ROUTES[kxLightLobe::NUM_PROPERTIES] = {
    {OWN, kxLightLobe::PROPERTY_BRIGHTNESS},
    {TRANSFORM, kxTransform::TRANSFORM_COORD_CONVERTER},
    {NODE, kxNode::NODE_CULL_MASK},
    {OWN, kxLightLobe::PROPERTY_ENABLE},
    {OWN, kxLightLobe::PROPERTY_FADE_RANGE},
    {OWN, kxLightLobe::PROPERTY_FALLOFF},
    {OWN, kxLightLobe::PROPERTY_ISECT_MASK},
    {TRANSFORM, kxTransform::TRANSFORM_ORIENTATION},
    {TRANSFORM, kxTransform::TRANSFORM_POSITION},
    {NODE, kxNode::NODE_RENDER_MASK},
    {TRANSFORM, kxTransform::TRANSFORM_ROTATE},
    {TRANSFORM, kxTransform::TRANSFORM_SCALE},
    {OWN, kxLightLobe::PROPERTY_SPREAD_ANGLE},
    {TRANSFORM, kxTransform::TRANSFORM_STATIC_ENABLE},
    {TRANSFORM, kxTransform::TRANSFORM_STRATEGY},
    {TRANSFORM, kxTransform::TRANSFORM_STRATEGY_ENABLE},
    {OWN, kxLightLobe::PROPERTY_TEXTURE_FILE},
    {TRANSFORM, kxTransform::TRANSFORM_TRANSLATE},
    {OWN, kxLightLobe::PROPERTY_CHILD}};
} // namespace

void kxLightLobe::syncProperty(kuBase* object, int id) {
    if (id < 0 || id >= NUM_PROPERTIES)
        return kxTransform::syncProperty(object, id);
    auto* lobe = static_cast<::kxLightLobe*>(object);
    const Route route = LOBE_ROUTES[id];
    if (route.owner == NODE)
        return syncNodeProperty(lobe, static_cast<NodeProperty>(route.field));
    if (route.owner == TRANSFORM)
        return syncTransformProperty(lobe, static_cast<TransformProperty>(route.field));
    switch (id) {
    case PROPERTY_BRIGHTNESS:
        return store(m_brightness, lobe->getBrightness());
    case PROPERTY_ENABLE:
        return store(m_enable, lobe->getEnable());
    case PROPERTY_FADE_RANGE:
        return store(m_fadeRange, lobe->getFadeRange());
    case PROPERTY_FALLOFF:
        return store(m_falloff, FalloffValue::read(lobe));
    case PROPERTY_ISECT_MASK:
        return store(m_isectMask, lobe->getIsectMask());
    case PROPERTY_SPREAD_ANGLE:
        return store(m_spreadAngle, lobe->getSpreadAngle());
    case PROPERTY_TEXTURE_FILE:
        return store(m_textureFile, TextureFile::read(lobe));
    default:
        return;
    }
}

kxProxyMgr::PropertyCheckerBase* kxLightLobe::makeChecker(kxProxyMgr::ObjectHandle* h,
                                                          kxProxyMgr::PropertyWatcher* w) {
    const int id = w->getPropertyId();
    if (id < 0 || id >= NUM_PROPERTIES)
        return nullptr;
    const Route route = LOBE_ROUTES[id];
    if (route.owner == NODE)
        return makeNodeChecker(static_cast<NodeProperty>(route.field), h, w);
    if (route.owner == TRANSFORM)
        return makeTransformChecker(static_cast<TransformProperty>(route.field), h, w);
    switch (id) {
    case PROPERTY_BRIGHTNESS:
        return new Brightness_PropertyChecker(h, w, m_brightness.value);
    case PROPERTY_ENABLE:
        return new Enable_PropertyChecker(h, w, m_enable.value);
    case PROPERTY_FADE_RANGE:
        return new FadeRange_PropertyChecker(h, w, m_fadeRange.value);
    case PROPERTY_FALLOFF:
        return new Falloff_PropertyChecker(h, w, m_falloff.value);
    case PROPERTY_ISECT_MASK:
        return new IsectMask_PropertyChecker(h, w, m_isectMask.value);
    case PROPERTY_SPREAD_ANGLE:
        return new SpreadAngle_PropertyChecker(h, w, m_spreadAngle.value);
    case PROPERTY_TEXTURE_FILE:
        return new TextureFile_PropertyChecker(h, w, m_textureFile.value);
    default:
        return nullptr;
    }
}

kxProxyQueue::ProxyMessageBase*
kxLightLobe::makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) {
    return watcherRequest<::kxLightLobe>(add, checker);
}

int kxLightLobe::registerProxyWithFactory() {
    return kxProxyMgr::registerProxyWithFactory("kxLightLobe",
                                                []() -> kxProxyBase* { return new kxLightLobe; });
}

kxProxyList<kxLightLobe>& kxLightLobe::getList() {
    return s_lobeList;
}
int kxLightLobe::size() {
    return s_lobeList.size();
}
bool kxLightLobe::empty() {
    return s_lobeList.empty();
}
kxLightLobe* kxLightLobe::find(const char* name) {
    return s_lobeList.find(name);
}

// ---- kxLightLobeControl ----

namespace {
const char* const CONTROL_NAMES[kxLightLobeControl::NUM_PROPERTIES] = {
    "Enable", "EyepointFadeRange", "RenderQuality"};

typedef CallRequest<::kxLightLobeControl, kxLightLobeControl::Enable>
    kxLightLobeControl_setEnable_CallRequest;
typedef CallRequest<::kxLightLobeControl, kxLightLobeControl::EyepointFadeRange>
    kxLightLobeControl_setEyepointFadeRange_CallRequest;
typedef CallRequest<::kxLightLobeControl, kxLightLobeControl::RenderQualityValue>
    kxLightLobeControl_setRenderQuality_CallRequest;
typedef CreateRequest<kxLightLobeControl, ::kxLightLobeControl> kxLightLobeControl_CreateRequest;

kxProxyList<kxLightLobeControl> s_controlList;
} // namespace

kxLightLobeControl::kxLightLobeControl() {
    initialize();
    s_controlList.add(this);
}

kxLightLobeControl::kxLightLobeControl(const char* name, int option) {
    attachOrCreate<kxLightLobeControl, ::kxLightLobeControl>(this, name, option);
    initialize();
    s_controlList.add(this);
}

kxLightLobeControl::~kxLightLobeControl() {
    s_controlList.remove(this);
}

void kxLightLobeControl::shutdown() {
    s_controlList.remove(this);
    kxProxyBase::shutdown();
}

void kxLightLobeControl::initialize() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_enable.value = false;
    m_eyepointFadeRange.value = 0.0f;
    m_renderQuality.value = 0;
}

const kuBase::ClassType* kxLightLobeControl::getRealClassType() const {
    return ::kxLightLobeControl::getStaticClassType();
}

::kxLightLobeControl* kxLightLobeControl::getExactClassType() const {
    return static_cast<::kxLightLobeControl*>(getObject());
}

const char* const* kxLightLobeControl::getPropertyNames() const {
    return CONTROL_NAMES;
}

int kxLightLobeControl::getRenderQualityEnumValue(::kxLightLobeControl::RenderQuality real) {
    switch (real) {
    case ::kxLightLobeControl::RENDER_QUALITY_BEST:
        return RENDER_QUALITY_BEST;
    case ::kxLightLobeControl::RENDER_QUALITY_BETTER:
        return RENDER_QUALITY_BETTER;
    case ::kxLightLobeControl::RENDER_QUALITY_GOOD:
        return RENDER_QUALITY_GOOD;
    }
    return unknownEnum("kxProxies::kxLightLobeControl::getRenderQualityEnumValue", real);
}

int kxLightLobeControl::getRenderQualityEnumValue(int proxyValue) {
    switch (proxyValue) {
    case RENDER_QUALITY_BEST:
        return ::kxLightLobeControl::RENDER_QUALITY_BEST;
    case RENDER_QUALITY_BETTER:
        return ::kxLightLobeControl::RENDER_QUALITY_BETTER;
    case RENDER_QUALITY_GOOD:
        return ::kxLightLobeControl::RENDER_QUALITY_GOOD;
    }
    return unknownEnum("kxProxies::kxLightLobeControl::getRenderQualityEnumValue", proxyValue);
}

int kxLightLobeControl::RenderQualityValue::read(const ::kxLightLobeControl* o) {
    return getRenderQualityEnumValue(o->getRenderQuality());
}

int kxLightLobeControl::setEnable(bool enable) {
    return setCached<kxLightLobeControl_setEnable_CallRequest>(m_enable, enable, "setEnable");
}

int kxLightLobeControl::setEyepointFadeRange(float range) {
    return setCached<kxLightLobeControl_setEyepointFadeRange_CallRequest>(
        m_eyepointFadeRange, range, "setEyepointFadeRange");
}

int kxLightLobeControl::setRenderQuality(int quality) {
    const int real = getRenderQualityEnumValue(quality);
    if (real < 0)
        return KU_FAILURE;
    return setCached<kxLightLobeControl_setRenderQuality_CallRequest>(m_renderQuality, quality,
                                                                      "setRenderQuality", real);
}

void kxLightLobeControl::syncProperty(kuBase* object, int id) {
    auto* control = static_cast<::kxLightLobeControl*>(object);
    switch (id) {
    case PROPERTY_ENABLE:
        return store(m_enable, control->getEnable());
    case PROPERTY_EYEPOINT_FADE_RANGE:
        return store(m_eyepointFadeRange, control->getEyepointFadeRange());
    case PROPERTY_RENDER_QUALITY:
        return store(m_renderQuality, RenderQualityValue::read(control));
    default:
        return kxProxyBase::syncProperty(object, id);
    }
}

kxProxyMgr::PropertyCheckerBase* kxLightLobeControl::makeChecker(kxProxyMgr::ObjectHandle* h,
                                                                 kxProxyMgr::PropertyWatcher* w) {
    switch (w->getPropertyId()) {
    case PROPERTY_ENABLE:
        return new Enable_PropertyChecker(h, w, m_enable.value);
    case PROPERTY_EYEPOINT_FADE_RANGE:
        return new EyepointFadeRange_PropertyChecker(h, w, m_eyepointFadeRange.value);
    case PROPERTY_RENDER_QUALITY:
        return new RenderQuality_PropertyChecker(h, w, m_renderQuality.value);
    default:
        return nullptr;
    }
}

kxProxyQueue::ProxyMessageBase*
kxLightLobeControl::makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) {
    return watcherRequest<::kxLightLobeControl>(add, checker);
}

int kxLightLobeControl::registerProxyWithFactory() {
    return kxProxyMgr::registerProxyWithFactory(
        "kxLightLobeControl", []() -> kxProxyBase* { return new kxLightLobeControl; });
}

kxProxyList<kxLightLobeControl>& kxLightLobeControl::getList() {
    return s_controlList;
}
int kxLightLobeControl::size() {
    return s_controlList.size();
}
bool kxLightLobeControl::empty() {
    return s_controlList.empty();
}
kxLightLobeControl* kxLightLobeControl::find(const char* name) {
    return s_controlList.find(name);
}

// ---- kxLightLobeProjected ----

namespace {
const char* const PROJECTED_NAMES[kxLightLobeProjected::NUM_PROPERTIES] = {
    "Brightness",
    "Color",
    "CoordConverter",
    "CullMask",
    "Enable",
    "FadeRange",
    "Falloff",
    "FogEffectEnable",
    "FogEffectMinVisibilityDensity",
    "FogEffectRotationOffset",
    "FogEffectScale",
    "FogEffectTextureFile",
    "FogEffectTranslationOffset",
    "IsectMask",
    "Orientation",
    "Position",
    "RenderMask",
    "Rotate",
    "Scale",
    "SpreadAngle",
    "StaticEnable",
    "Strategy",
    "StrategyEnable",
    "TextureFile",
    "Translate",
    "Child"};

typedef kxLightLobeProjected P;
typedef ::kxLightLobeProjected PReal;
typedef CallRequest<PReal, P::Brightness> kxLightLobeProjected_setBrightness_CallRequest;
typedef CallRequest<PReal, P::Color> kxLightLobeProjected_setColor_CallRequest;
typedef CallRequest<PReal, P::Enable> kxLightLobeProjected_setEnable_CallRequest;
typedef CallRequest<PReal, P::FadeRange> kxLightLobeProjected_setFadeRange_CallRequest;
typedef CallRequest<PReal, P::FalloffValue> kxLightLobeProjected_setFalloff_CallRequest;
typedef CallRequest<PReal, P::SpreadAngle> kxLightLobeProjected_setSpreadAngle_CallRequest;
typedef CallRequest<PReal, P::TextureFile> kxLightLobeProjected_setTextureFile_CallRequest;
typedef CallRequest<PReal, P::TextureSize> kxLightLobeProjected_setTextureSize_CallRequest;
typedef CallRequest<PReal, P::EnableCustomTexture>
    kxLightLobeProjected_setEnableCustomTexture_CallRequest;
typedef CallRequest<PReal, P::FogEffectEnable> kxLightLobeProjected_setFogEffectEnable_CallRequest;
typedef CallRequest<PReal, P::FogEffectBrightness>
    kxLightLobeProjected_setFogEffectBrightness_CallRequest;
typedef CallRequest<PReal, P::FogEffectMinVisibilityDensity>
    kxLightLobeProjected_setFogEffectMinVisibilityDensity_CallRequest;
typedef CallRequest<PReal, P::FogEffectRotationOffset>
    kxLightLobeProjected_setFogEffectRotationOffset_CallRequest;
typedef CallRequest<PReal, P::FogEffectScale> kxLightLobeProjected_setFogEffectScale_CallRequest;
typedef CallRequest<PReal, P::FogEffectTextureFile>
    kxLightLobeProjected_setFogEffectTextureFile_CallRequest;
typedef CallRequest<PReal, P::FogEffectTranslationOffset>
    kxLightLobeProjected_setFogEffectTranslationOffset_CallRequest;
typedef CreateRequest<P, PReal> kxLightLobeProjected_CreateRequest;

kxProxyList<kxLightLobeProjected> s_projectedList;
} // namespace

kxLightLobeProjected::kxLightLobeProjected() {
    initialize();
    s_projectedList.add(this);
}

kxLightLobeProjected::kxLightLobeProjected(const char* name, int option) {
    attachOrCreate<kxLightLobeProjected, ::kxLightLobeProjected>(this, name, option);
    initialize();
    s_projectedList.add(this);
}

kxLightLobeProjected::~kxLightLobeProjected() {
    s_projectedList.remove(this);
}

void kxLightLobeProjected::shutdown() {
    s_projectedList.remove(this);
    kxTransform::shutdown();
}

void kxLightLobeProjected::initialize() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_brightness.value = 0.0f;
    m_color.value = kuVec4<float>();
    m_enable.value = false;
    m_fadeRange.value = 0.0f;
    m_falloff.value = 0;
    m_spreadAngle.value = 0.0f;
    m_textureFile.value.clear();
    m_textureSize.value = 0;
    m_enableCustomTexture.value = false;
    m_fogEffectEnable.value = false;
    m_fogBrightness.value = 0.0f;
    m_fogMinVisibilityDensity.value = 0.0f;
    m_fogRotation.value = kuVec3d();
    m_fogScale.value = kuVec3d();
    m_fogTextureFile.value.clear();
    m_fogTranslation.value = kuVec3d();
}

const kuBase::ClassType* kxLightLobeProjected::getRealClassType() const {
    return ::kxLightLobeProjected::getStaticClassType();
}

::kxLightLobeProjected* kxLightLobeProjected::getExactClassType() const {
    return static_cast<::kxLightLobeProjected*>(getObject());
}

const char* const* kxLightLobeProjected::getPropertyNames() const {
    return PROJECTED_NAMES;
}

int kxLightLobeProjected::getFalloffEnumValue(::kxLightLobeProjected::Falloff real) {
    switch (real) {
    case ::kxLightLobeProjected::FALLOFF_CUBIC:
        return FALLOFF_CUBIC;
    case ::kxLightLobeProjected::FALLOFF_LINEAR:
        return FALLOFF_LINEAR;
    case ::kxLightLobeProjected::FALLOFF_SQUARED:
        return FALLOFF_SQUARED;
    }
    return unknownEnum("kxProxies::kxLightLobeProjected::getFalloffEnumValue", real);
}

int kxLightLobeProjected::getFalloffEnumValue(int proxyValue) {
    switch (proxyValue) {
    case FALLOFF_CUBIC:
        return ::kxLightLobeProjected::FALLOFF_CUBIC;
    case FALLOFF_LINEAR:
        return ::kxLightLobeProjected::FALLOFF_LINEAR;
    case FALLOFF_SQUARED:
        return ::kxLightLobeProjected::FALLOFF_SQUARED;
    }
    return unknownEnum("kxProxies::kxLightLobeProjected::getFalloffEnumValue", proxyValue);
}

int kxLightLobeProjected::FalloffValue::read(const Real* o) {
    // The real getter is not const, although it only reads.
    return getFalloffEnumValue(const_cast<Real*>(o)->getFalloff());
}

kuVec4<float> kxLightLobeProjected::Color::read(const Real* o) {
    kuVec4<float> color;
    o->getColor(&color.x, &color.y, &color.z, &color.w);
    return color;
}

int kxLightLobeProjected::setBrightness(float brightness) {
    return setCached<kxLightLobeProjected_setBrightness_CallRequest>(m_brightness, brightness,
                                                                     "setBrightness");
}

int kxLightLobeProjected::setColor(float r, float g, float b, float a) {
    return setCached<kxLightLobeProjected_setColor_CallRequest>(m_color, kuVec4<float>(r, g, b, a),
                                                                "setColor");
}

void kxLightLobeProjected::getColor(float& r, float& g, float& b, float& a) const {
    const kuVec4<float> color = getCached(m_color);
    r = color.x, g = color.y, b = color.z, a = color.w;
}

int kxLightLobeProjected::setEnable(bool enable) {
    return setCached<kxLightLobeProjected_setEnable_CallRequest>(m_enable, enable, "setEnable");
}

int kxLightLobeProjected::setFadeRange(float range) {
    return setCached<kxLightLobeProjected_setFadeRange_CallRequest>(m_fadeRange, range,
                                                                    "setFadeRange");
}

int kxLightLobeProjected::setFalloff(int falloff) {
    const int real = getFalloffEnumValue(falloff);
    if (real < 0)
        return KU_FAILURE;
    return setCached<kxLightLobeProjected_setFalloff_CallRequest>(m_falloff, falloff, "setFalloff",
                                                                  real);
}

int kxLightLobeProjected::setSpreadAngle(float degrees) {
    return setCached<kxLightLobeProjected_setSpreadAngle_CallRequest>(m_spreadAngle, degrees,
                                                                      "setSpreadAngle");
}

int kxLightLobeProjected::setTextureFile(const char* fileName) {
    return setCached<kxLightLobeProjected_setTextureFile_CallRequest>(
        m_textureFile, std::string(fileName ? fileName : ""), "setTextureFile");
}

int kxLightLobeProjected::setTextureSize(unsigned int size) {
    return setCached<kxLightLobeProjected_setTextureSize_CallRequest>(m_textureSize, size,
                                                                      "setTextureSize");
}

int kxLightLobeProjected::setEnableCustomTexture(bool enable) {
    return setCached<kxLightLobeProjected_setEnableCustomTexture_CallRequest>(
        m_enableCustomTexture, enable, "setEnableCustomTexture");
}

int kxLightLobeProjected::setFogEffectEnable(bool enable) {
    return setCached<kxLightLobeProjected_setFogEffectEnable_CallRequest>(m_fogEffectEnable, enable,
                                                                          "setFogEffectEnable");
}

int kxLightLobeProjected::setFogEffectBrightness(float brightness) {
    return setCached<kxLightLobeProjected_setFogEffectBrightness_CallRequest>(
        m_fogBrightness, brightness, "setFogEffectBrightness");
}

int kxLightLobeProjected::setFogEffectMinVisibilityDensity(float density) {
    return setCached<kxLightLobeProjected_setFogEffectMinVisibilityDensity_CallRequest>(
        m_fogMinVisibilityDensity, density, "setFogEffectMinVisibilityDensity");
}

int kxLightLobeProjected::setFogEffectRotationOffset(double h, double p, double r) {
    return setCached<kxLightLobeProjected_setFogEffectRotationOffset_CallRequest>(
        m_fogRotation, kuVec3d(h, p, r), "setFogEffectRotationOffset");
}

int kxLightLobeProjected::setFogEffectScale(double x, double y, double z) {
    return setCached<kxLightLobeProjected_setFogEffectScale_CallRequest>(
        m_fogScale, kuVec3d(x, y, z), "setFogEffectScale");
}

int kxLightLobeProjected::setFogEffectTextureFile(const char* fileName) {
    return setCached<kxLightLobeProjected_setFogEffectTextureFile_CallRequest>(
        m_fogTextureFile, std::string(fileName ? fileName : ""), "setFogEffectTextureFile");
}

int kxLightLobeProjected::setFogEffectTranslationOffset(double x, double y, double z) {
    return setCached<kxLightLobeProjected_setFogEffectTranslationOffset_CallRequest>(
        m_fogTranslation, kuVec3d(x, y, z), "setFogEffectTranslationOffset");
}

void kxLightLobeProjected::getVec(const Cached<kuVec3d>& cache, double& x, double& y,
                                  double& z) const {
    const kuVec3d v = getCached(cache);
    x = v.x, y = v.y, z = v.z;
}

void kxLightLobeProjected::getFogEffectRotationOffset(double& h, double& p, double& r) const {
    getVec(m_fogRotation, h, p, r);
}

void kxLightLobeProjected::getFogEffectScale(double& x, double& y, double& z) const {
    getVec(m_fogScale, x, y, z);
}

void kxLightLobeProjected::getFogEffectTranslationOffset(double& x, double& y, double& z) const {
    getVec(m_fogTranslation, x, y, z);
}

namespace {
const Route PROJECTED_ROUTES[kxLightLobeProjected::NUM_PROPERTIES] = {
    {OWN, P::PROPERTY_BRIGHTNESS},
    {OWN, P::PROPERTY_COLOR},
    {TRANSFORM, kxTransform::TRANSFORM_COORD_CONVERTER},
    {NODE, kxNode::NODE_CULL_MASK},
    {OWN, P::PROPERTY_ENABLE},
    {OWN, P::PROPERTY_FADE_RANGE},
    {OWN, P::PROPERTY_FALLOFF},
    {OWN, P::PROPERTY_FOG_EFFECT_ENABLE},
    {OWN, P::PROPERTY_FOG_EFFECT_MIN_VISIBILITY_DENSITY},
    {OWN, P::PROPERTY_FOG_EFFECT_ROTATION_OFFSET},
    {OWN, P::PROPERTY_FOG_EFFECT_SCALE},
    {OWN, P::PROPERTY_FOG_EFFECT_TEXTURE_FILE},
    {OWN, P::PROPERTY_FOG_EFFECT_TRANSLATION_OFFSET},
    {NODE, kxNode::NODE_ISECT_MASK},
    {TRANSFORM, kxTransform::TRANSFORM_ORIENTATION},
    {TRANSFORM, kxTransform::TRANSFORM_POSITION},
    {NODE, kxNode::NODE_RENDER_MASK},
    {TRANSFORM, kxTransform::TRANSFORM_ROTATE},
    {TRANSFORM, kxTransform::TRANSFORM_SCALE},
    {OWN, P::PROPERTY_SPREAD_ANGLE},
    {TRANSFORM, kxTransform::TRANSFORM_STATIC_ENABLE},
    {TRANSFORM, kxTransform::TRANSFORM_STRATEGY},
    {TRANSFORM, kxTransform::TRANSFORM_STRATEGY_ENABLE},
    {OWN, P::PROPERTY_TEXTURE_FILE},
    {TRANSFORM, kxTransform::TRANSFORM_TRANSLATE},
    {OWN, P::PROPERTY_CHILD}};
} // namespace

void kxLightLobeProjected::syncProperty(kuBase* object, int id) {
    if (id < 0 || id >= NUM_PROPERTIES)
        return kxTransform::syncProperty(object, id);
    auto* lobe = static_cast<Real*>(object);
    const Route route = PROJECTED_ROUTES[id];
    if (route.owner == NODE)
        return syncNodeProperty(lobe, static_cast<NodeProperty>(route.field));
    if (route.owner == TRANSFORM)
        return syncTransformProperty(lobe, static_cast<TransformProperty>(route.field));
    switch (id) {
    case PROPERTY_BRIGHTNESS:
        return store(m_brightness, Brightness::read(lobe));
    case PROPERTY_COLOR:
        return store(m_color, Color::read(lobe));
    case PROPERTY_ENABLE:
        return store(m_enable, Enable::read(lobe));
    case PROPERTY_FADE_RANGE:
        return store(m_fadeRange, FadeRange::read(lobe));
    case PROPERTY_FALLOFF:
        return store(m_falloff, FalloffValue::read(lobe));
    case PROPERTY_FOG_EFFECT_ENABLE:
        return store(m_fogEffectEnable, FogEffectEnable::read(lobe));
    case PROPERTY_FOG_EFFECT_MIN_VISIBILITY_DENSITY:
        return store(m_fogMinVisibilityDensity, FogEffectMinVisibilityDensity::read(lobe));
    case PROPERTY_FOG_EFFECT_ROTATION_OFFSET:
        return store(m_fogRotation, FogEffectRotationOffset::read(lobe));
    case PROPERTY_FOG_EFFECT_SCALE:
        return store(m_fogScale, FogEffectScale::read(lobe));
    case PROPERTY_FOG_EFFECT_TEXTURE_FILE:
        return store(m_fogTextureFile, FogEffectTextureFile::read(lobe));
    case PROPERTY_FOG_EFFECT_TRANSLATION_OFFSET:
        return store(m_fogTranslation, FogEffectTranslationOffset::read(lobe));
    case PROPERTY_SPREAD_ANGLE:
        return store(m_spreadAngle, SpreadAngle::read(lobe));
    case PROPERTY_TEXTURE_FILE:
        return store(m_textureFile, TextureFile::read(lobe));
    default:
        return;
    }
}

kxProxyMgr::PropertyCheckerBase* kxLightLobeProjected::makeChecker(kxProxyMgr::ObjectHandle* h,
                                                                   kxProxyMgr::PropertyWatcher* w) {
    const int id = w->getPropertyId();
    if (id < 0 || id >= NUM_PROPERTIES)
        return nullptr;
    const Route route = PROJECTED_ROUTES[id];
    if (route.owner == NODE)
        return makeNodeChecker(static_cast<NodeProperty>(route.field), h, w);
    if (route.owner == TRANSFORM)
        return makeTransformChecker(static_cast<TransformProperty>(route.field), h, w);
    switch (id) {
    case PROPERTY_BRIGHTNESS:
        return new Brightness_PropertyChecker(h, w, m_brightness.value);
    case PROPERTY_COLOR:
        return new Color_PropertyChecker(h, w, m_color.value);
    case PROPERTY_ENABLE:
        return new Enable_PropertyChecker(h, w, m_enable.value);
    case PROPERTY_FADE_RANGE:
        return new FadeRange_PropertyChecker(h, w, m_fadeRange.value);
    case PROPERTY_FALLOFF:
        return new Falloff_PropertyChecker(h, w, m_falloff.value);
    case PROPERTY_FOG_EFFECT_ENABLE:
        return new FogEffectEnable_PropertyChecker(h, w, m_fogEffectEnable.value);
    case PROPERTY_FOG_EFFECT_MIN_VISIBILITY_DENSITY:
        return new FogEffectMinVisibilityDensity_PropertyChecker(h, w,
                                                                 m_fogMinVisibilityDensity.value);
    case PROPERTY_FOG_EFFECT_ROTATION_OFFSET:
        return new FogEffectRotationOffset_PropertyChecker(h, w, m_fogRotation.value);
    case PROPERTY_FOG_EFFECT_SCALE:
        return new FogEffectScale_PropertyChecker(h, w, m_fogScale.value);
    case PROPERTY_FOG_EFFECT_TEXTURE_FILE:
        return new FogEffectTextureFile_PropertyChecker(h, w, m_fogTextureFile.value);
    case PROPERTY_FOG_EFFECT_TRANSLATION_OFFSET:
        return new FogEffectTranslationOffset_PropertyChecker(h, w, m_fogTranslation.value);
    case PROPERTY_SPREAD_ANGLE:
        return new SpreadAngle_PropertyChecker(h, w, m_spreadAngle.value);
    case PROPERTY_TEXTURE_FILE:
        return new TextureFile_PropertyChecker(h, w, m_textureFile.value);
    default:
        return nullptr;
    }
}

kxProxyQueue::ProxyMessageBase*
kxLightLobeProjected::makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) {
    return watcherRequest<::kxLightLobeProjected>(add, checker);
}

int kxLightLobeProjected::registerProxyWithFactory() {
    return kxProxyMgr::registerProxyWithFactory(
        "kxLightLobeProjected", []() -> kxProxyBase* { return new kxLightLobeProjected; });
}

kxProxyList<kxLightLobeProjected>& kxLightLobeProjected::getList() {
    return s_projectedList;
}
int kxLightLobeProjected::size() {
    return s_projectedList.size();
}
bool kxLightLobeProjected::empty() {
    return s_projectedList.empty();
}
kxLightLobeProjected* kxLightLobeProjected::find(const char* name) {
    return s_projectedList.find(name);
}

} // namespace kxProxies
