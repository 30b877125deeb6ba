#include "kxlightlobeprojected.h"

#include "kxlightlobefogeffect.h"
#include "kxlightlobeshadertechniquemgr.h"
#include "kxlightmap.h"

#include <kr/krShaderInfrastructure.h>
#include <kr/krTextureFactory.h>
#include <kr/krTransform.h>
#include <ks/ksgu.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>
#include <ku/kuThread.h>
#include <kx/kxEnv.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
kuBase::ClassType* s_classType = nullptr;

// Texture formats a projected lobe accepts from a file; every other one is refused.
bool isAcceptedFormat(int format) {
    static const int ACCEPTED[] = {1, 2, 3, 5, 6, 8, 9, 10, 11, 18, 19, 20, 21};
    return std::find(std::begin(ACCEPTED), std::end(ACCEPTED), format) != std::end(ACCEPTED);
}

const char* generatedName(int falloff) {
    switch (falloff) {
    case kxLightLobeProjected::FALLOFF_SQUARED:
        return "lightLobe_Falloff_Squared.int";
    case kxLightLobeProjected::FALLOFF_CUBIC:
        return "lightLobe_Falloff_Cubic.int";
    default:
        return "lightLobe_Falloff_Linear.int";
    }
}

// The projected class's falloff to the shader data's.
kxLightLobeShaderData::Falloff shaderFalloff(int falloff) {
    switch (falloff) {
    case kxLightLobeProjected::FALLOFF_SQUARED:
        return kxLightLobeShaderData::SQUARED;
    case kxLightLobeProjected::FALLOFF_CUBIC:
        return kxLightLobeShaderData::CUBIC;
    default:
        return kxLightLobeShaderData::LINEAR;
    }
}

void setClamped(krTexture* texture) {
    static const float BORDER[4] = {0, 0, 0, 0};
    texture->setMinFilter(krTexture::FILTER_LINEAR, krTexture::MIPMAP_AUTO);
    texture->setWrap(krTexture::WRAP_CLAMP_TO_BORDER, krTexture::WRAP_CLAMP_TO_BORDER, 0);
    texture->setBorderColor(BORDER);
}

// Brightness 0: the lobe adds nothing where these are loaded.
const kuVec4<float> DARK(1.0f, 0.0f, 1.0f, 1.0f);
} // namespace

kxLightLobeProjected::kxLightLobeProjected(ksThreadBuffer* threadBuffer)
    : kxTransform(threadBuffer), m_textureState(new krTexture::State),
      m_fogEffect(new kxLightLobeFogEffect) {
    registerInstance(s_classType);
    m_frameData.reset(new kuFrameData<ShaderParameters>());
}

kxLightLobeProjected::kxLightLobeProjected(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : kxTransform(clones, index, threadBuffer) {}

kxLightLobeProjected::~kxLightLobeProjected() {
    if (!isMasterClone())
        return;
    // A channel that outlives the lobe must not tell it of its draws any more.
    if (m_configured)
        for (int i = 0; i < ksChannel::getNum(); ++i)
            ksChannel::get(i)->removeSubscriber(ksChannel::EVENT_PRE_BINS, this);
    m_frameData.reset();
    m_textureState.reset();
    m_fogEffect.reset();
    {
        std::lock_guard<std::mutex> guard(m_channelsMutex);
        m_activeChannels.clear();
    }
    unregisterInstance(s_classType);
}

kxLightLobeProjected* kxLightLobeProjected::create() {
    return new kxLightLobeProjected(nullptr);
}

ksNode* kxLightLobeProjected::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new kxLightLobeProjected(getClones(), index, threadBuffer);
}

int kxLightLobeProjected::initializeClass() {
    const int result = kxClassRegistry::createClassType(
        s_classType, "kxLightLobeProjected", kxTransform::getStaticClassType(), "kxTransform",
        []() -> kuBase* { return create(); }, true, false);
    if (result != 1)
        return result;
    configureParser();
    return 1;
}

int kxLightLobeProjected::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeProjected)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobeProjected)

// ---- properties ----

void kxLightLobeProjected::setEnable(bool enable) {
    m_enable = enable;
}

void kxLightLobeProjected::setSpreadAngle(float angle) {
    m_spreadAngle = std::min(std::max(angle, 0.0001f), 180.0f);
}

void kxLightLobeProjected::setFadeRange(float range) {
    m_fadeRange = std::max(range, 0.0f);
}

void kxLightLobeProjected::setBrightness(float brightness) {
    m_brightness = std::min(std::max(brightness, 0.0f), 1.0f);
}

void kxLightLobeProjected::setColor(float r, float g, float b, float a) {
    const float in[4] = {r, g, b, a};
    for (int i = 0; i < 4; ++i)
        m_color[i] = std::min(std::max(in[i], 0.0f), 1.0f);
}

void kxLightLobeProjected::getColor(float* r, float* g, float* b, float* a) const {
    float* out[4] = {r, g, b, a};
    for (int i = 0; i < 4; ++i)
        if (out[i])
            *out[i] = m_color[i];
}

void kxLightLobeProjected::setFalloff(Falloff falloff) {
    m_falloff = falloff;
    textureSettingChanged("setFalloff");
}

void kxLightLobeProjected::setTextureSize(unsigned int size) {
    m_textureSize = std::max(size, 16u);
    textureSettingChanged("setTextureSize");
}

void kxLightLobeProjected::textureSettingChanged(const char* what) {
    // Only setTextureFile binds a texture into the texture state: a texture regenerated after
    // pre-configuration is kept, not drawn.
    if (m_textureAutoGenerated)
        m_texture = autoGenerateTexture();
    else if (m_preConfigured)
        kuNotify::print(4, nullptr,
                        "kxLightLobeProjected::%s: has no effect after preConfigure when a "
                        "texturehas been specified.",
                        what);
}

int kxLightLobeProjected::setTextureFile(const char* name) {
    if (m_preConfigured)
        return -32767;
    if (!name || !*name) {
        m_texture = autoGenerateTexture();
    } else if (kuRef<krTexture> texture = getTexture(name)) {
        m_textureAutoGenerated = false;
        m_texture = texture;
    } else {
        m_texture = autoGenerateTexture();
        kuNotify::print(4, s_classType,
                        "kxLightLobeProjected::setTextureFile - unable to find texture \"%s\".  "
                        "Using auto-generated texture.",
                        name);
    }
    m_textureState->setTexture(m_texture.get());
    return 1;
}

// ---- the beam in fog ----

void kxLightLobeProjected::setFogEffectEnable(bool enable) {
    m_fogEffectEnable = enable;
}

void kxLightLobeProjected::setFogEffectBrightness(float brightness) {
    m_fogBrightness = brightness;
}
float kxLightLobeProjected::getFogEffectBrightness() const {
    return m_fogBrightness;
}

void kxLightLobeProjected::setFogEffectTranslationOffset(double x, double y, double z) {
    m_fogTranslation = kuVec3<double>(x, y, z);
}
void kxLightLobeProjected::setFogEffectTranslationOffset(const kuVec3<double>& offset) {
    setFogEffectTranslationOffset(offset.x, offset.y, offset.z);
}
void kxLightLobeProjected::getFogEffectTranslationOffset(double* x, double* y, double* z) const {
    *x = m_fogTranslation.x, *y = m_fogTranslation.y, *z = m_fogTranslation.z;
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectTranslationOffset() const {
    return m_fogTranslation;
}

void kxLightLobeProjected::setFogEffectRotationOffset(double h, double p, double r) {
    m_fogRotation = kuVec3<double>(h, p, r);
}
void kxLightLobeProjected::setFogEffectRotationOffset(const kuVec3<double>& offset) {
    setFogEffectRotationOffset(offset.x, offset.y, offset.z);
}
void kxLightLobeProjected::getFogEffectRotationOffset(double* h, double* p, double* r) const {
    *h = m_fogRotation.x, *p = m_fogRotation.y, *r = m_fogRotation.z;
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectRotationOffset() const {
    return m_fogRotation;
}

void kxLightLobeProjected::setFogEffectScale(double x, double y, double z) {
    m_fogScale = kuVec3<double>(x, y, z);
}
void kxLightLobeProjected::setFogEffectScale(const kuVec3<double>& scale) {
    setFogEffectScale(scale.x, scale.y, scale.z);
}
void kxLightLobeProjected::getFogEffectScale(double* x, double* y, double* z) const {
    *x = m_fogScale.x, *y = m_fogScale.y, *z = m_fogScale.z;
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectScale() const {
    return m_fogScale;
}

void kxLightLobeProjected::setFogEffectTextureFile(const char* name) {
    m_fogTextureFile = name ? name : "";
}
const char* kxLightLobeProjected::getFogEffectTextureFile() const {
    return m_fogTextureFile.c_str();
}

// ---- textures ----

kuRef<krTexture> kxLightLobeProjected::getTexture(const char* name) {
    if (!name || !*name)
        return nullptr;
    kuRef<krTextureFactory> factory = new krTextureFactory;
    kuRef<krTexture> texture =
        factory->read(name, nullptr, nullptr, nullptr,
                      krTextureFactory::MODE_CACHE | krTextureFactory::MODE_MIPMAP);
    if (!texture)
        return nullptr;
    if (!isAcceptedFormat(texture->getFormat())) {
        kuNotify::print(5, s_classType,
                        "kxLightLobeProjected::setTextureFile - format for texture \"%s\" is not "
                        "compatible with projected light lobes. Only single channel textures are "
                        "valid.  Using auto-generated texture.",
                        name);
        return nullptr;
    }
    m_textureFile = name;
    setClamped(texture.get());
    return texture;
}

kuRef<krTexture> kxLightLobeProjected::autoGenerateTexture() {
    const char* name = generatedName(m_falloff);
    m_textureFile = name;
    const int size = static_cast<int>(m_textureSize);
    kuRef<kuAllocRef> bits = kuAllocRef::malloc(static_cast<std::size_t>(size) * size);
    createLightTextureBits(size, m_falloff, bits->data());
    kuRef<krTexture> texture = new krTexture;
    texture->setName(name);
    texture->setDimensions(size, size, 0);
    texture->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
    texture->setImageLevel(0, bits.get());
    setClamped(texture.get());
    texture->generateMipmaps();
    m_textureAutoGenerated = true;
    return texture;
}

void kxLightLobeProjected::createLightTextureBits(int size, Falloff falloff, unsigned char* bits) {
    for (int i = 0; i < size; ++i)
        for (int j = 0; j < size; ++j) {
            const double dx = i - size / 2.0, dy = j - size / 2.0;
            float d = static_cast<float>(std::sqrt(dx * dx + dy * dy) / (size / 2.7));
            if (falloff == FALLOFF_SQUARED)
                d = d * d;
            else if (falloff == FALLOFF_CUBIC)
                d = d * d * d;
            if (d > 1.0f)
                d = 1.0f;
            const float v = (1.0f - d) * 255.0f;
            bits[i * size + j] = static_cast<unsigned char>(v);
        }
    for (int k = 0; k < size; ++k) {
        bits[k] = bits[(size - 1) * size + k] = 0;
        bits[k * size] = bits[k * size + size - 1] = 0;
    }
}

// ---- phases ----

void kxLightLobeProjected::preConfigure() {
    if (m_preConfigured)
        return;
    krShaderInfrastructure* shaders = krShaderInfrastructure::instance();
    if (!shaders->getEnable()) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeProjected::preConfigure: shader infrastructure must be "
                        "enabled for projected light lobes to function.");
        return;
    }
    if (!m_texture)
        setTextureFile(nullptr);
    kxLightLobeShaderTechniqueMgr* manager = kxLightLobeShaderTechniqueMgr::instance();
    m_shaderData = manager->getShaderData(shaderFalloff(m_falloff));
    if (!m_shaderData) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeProjected::preConfigure: unable to pre-configure projected "
                        "light lobe");
        return;
    }
    char role[64];
    std::snprintf(role, sizeof role, "projLightLobeTexture%d", m_shaderData->getStage());
    m_textureState->setEnable(true);

    // The averaging of all lobes into the output colour goes once onto the inherit state; the
    // state's own list tells whether it is there (a new runtime starts with an empty one).
    krState* inherit = shaders->getInheritState();
    krShaderTechnique* addToOut =
        manager->getTechnique(kxLightLobeShaderTechniqueMgr::TECHNIQUE_ADD_TO_OUT_COLOR);
    const auto& held = inherit->getTechniques();
    if (addToOut && std::none_of(held.begin(), held.end(), [&](const kuRef<krShaderTechnique>& t) {
            return t.get() == addToOut;
        }))
        inherit->push_back_technique(addToOut);
    for (auto it = m_shaderData->begin_techniques(); it != m_shaderData->end_techniques(); ++it) {
        krShaderTechnique* technique = it->get();
        if (technique->empty_texture_state())
            technique->push_back_texture_state(role, m_textureState.get());
        inherit->push_back_technique(technique);
    }
    m_preConfigured = true;
}

void kxLightLobeProjected::configure() {
    if (m_configured || !m_preConfigured)
        return;
    if (!kxEnvGlobals::instance()->getSkyLightEnable()) {
        krShaderInfrastructure* shaders = krShaderInfrastructure::instance();
        for (auto it =
                 kuInstanceIterator<kxEnvCloudLayer>::begin(kxEnvCloudLayer::getStaticClassType());
             it != kuInstanceIterator<kxEnvCloudLayer>::end(kxEnvCloudLayer::getStaticClassType());
             ++it)
            shaders->shaderize((*it)->getState(0));
        for (auto it = kuInstanceIterator<kxEnvCloudVolume>::begin(
                 kxEnvCloudVolume::getStaticClassType());
             it !=
             kuInstanceIterator<kxEnvCloudVolume>::end(kxEnvCloudVolume::getStaticClassType());
             ++it)
            shaders->shaderize((*it)->getState(0));
    }
    // Projected coordinates from [-1, 1] to [0, 1]: scale by a half, then move by a half.
    m_biasMatrix.makeScale(0.5, 0.5, 0.5);
    m_biasMatrix.setTrans(kuVec3<double>(0.5, 0.5, 0.5));
    // The lobe's forward axis +y becomes the projection's -z.
    m_axisRotation.makeRotate(0.0, -90.0, 0.0);
    m_locate.setMode(ksTraversalLocate::MODE_WORLD);
    kxLightMap* map = kxLightMap::instance();
    for (int i = 0; i < ksChannel::getNum(); ++i) {
        ksChannel* channel = ksChannel::get(i);
        channel->addSubscriber(ksChannel::EVENT_PRE_BINS, this);
        // Channels the light map took before this lobe existed are its channels too.
        if (map->getChannelData(channel))
            addChannel(channel);
    }
    m_configured = true;
}

// ---- per frame ----

void kxLightLobeProjected::update(ksNode*, bool enable) {
    if (!m_configured)
        return;
    const int frame = kuThread::resolveFrameNumber();
    ShaderParameters* p = m_frameData->lockWriteBuffer(frame);
    if (!p)
        return;
    if (!m_enable || !enable) {
        p->projectionValid = false;
        p->lightParams = DARK;
        p->beamVisible = false;
        p->beamAlpha = 0.0f;
        m_frameData->unlockWriteBuffer(frame);
        return;
    }

    p->beamVisible = false;
    p->beamAlpha = 0.0f;
    if (m_fogEffectEnable) {
        if (!m_fogParameters)
            m_fogParameters = kuParameter::find(kxEnv::FOG_PARAMETERS);
        float fog[4] = {0, 0, 0, 0};
        if (m_fogParameters)
            m_fogParameters->getFloats(fog);
        const float density = fog[1] * 5000.0f * m_fogBrightness;
        const bool visible = m_fogMinVisibilityDensity < density;
        p->beamVisible = visible;
        // The threshold is 100, not 1: a density between 1 and 100 passes as it is.
        p->beamAlpha = visible ? (density > 100.0f ? 1.0f : density) : 0.0f;
    }

    // World to lobe, lobe axes to projection axes, projection, then the bias to [0, 1].
    krTransform::ElementProjection projection;
    projection.makeSymmetric(m_spreadAngle, m_spreadAngle, 1.0, 35000.0);
    kuMatrixd matrix = m_biasMatrix;
    matrix.preMultiply(projection.matrix);
    m_locate.reset();
    m_locate.visit(this);
    kuMatrixd toLobe = m_locate.getTopMatrixStack();
    if (!toLobe.invert())
        toLobe.makeIdentity();
    matrix.preMultiply(toLobe * m_axisRotation);

    const float range = m_fadeRange < 1.0f ? 1.0f : m_fadeRange;
    p->projectionValid = true;
    p->lightParams = kuVec4<float>(range, m_brightness, 1.0f, 1.0f);
    // Lifted towards white by the brightness times the smallest headroom.
    const float lift =
        std::min(std::min(1.0f - m_color[0], 1.0f - m_color[1]), 1.0f - m_color[2]) * m_brightness;
    p->lightColor = kuVec4<float>(m_color[0] + lift, m_color[1] + lift, m_color[2] + lift, 1.0f);
    p->projTexMatrix = matrix;
    m_frameData->unlockWriteBuffer(frame);
}

bool kxLightLobeProjected::getShaderParameters(int frame, ShaderParameters* out) const {
    return m_frameData && m_frameData->read(frame, out);
}

void kxLightLobeProjected::addChannel(const ksChannel* channel) {
    if (!channel)
        return;
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    m_activeChannels.insert(channel);
}

void kxLightLobeProjected::removeChannel(const ksChannel* channel) {
    if (!channel)
        return;
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    m_activeChannels.erase(channel);
}

bool kxLightLobeProjected::hasChannel(const ksChannel* channel) const {
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    return m_activeChannels.count(channel) != 0;
}

void kxLightLobeProjected::notify(int event, ksChannel* channel, krDrawContext* context) {
    if (event != ksChannel::EVENT_PRE_BINS || !m_configured || !m_shaderData || !channel)
        return;
    // A frame never published (or already recycled) leaves the lobe dark for this draw rather
    // than lit with another frame's values.
    ShaderParameters p;
    if (!hasChannel(channel) || !m_frameData->read(kuThread::resolveFrameNumber(), &p)) {
        m_shaderData->applyLightingParams(DARK, context);
        return;
    }
    m_shaderData->applyLightingParams(p.lightParams, context);
    if (!p.projectionValid)
        return;
    // Eye coordinates to world: the runtime's view matrix holds the change of axes already, so
    // its inverse is the whole way back.
    kuMatrixd eyeToWorld = channel->getViewMatrix();
    if (!eyeToWorld.invert())
        return;
    const kuMatrixf matrix(eyeToWorld * p.projTexMatrix);
    m_shaderData->applyTextureMatrix(matrix, context);
    m_shaderData->applyLightColor(p.lightColor, context);
}
