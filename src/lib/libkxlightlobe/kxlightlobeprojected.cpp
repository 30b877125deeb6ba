#include "kxlightlobeprojected.h"

#include "kxlightlobefogeffect.h"
#include "kxlightlobeshadertechniquemgr.h"
#include "kxlightmap.h"

#include <kr/krShaderInfrastructure.h>
#include <kr/krTransform.h>
#include <ku/kuNotify.h>
#include <ku/kuPalette.h>
#include <ku/kuThread.h>
#include <kx/kxEnv.h>
#include <kx/kxPagingMgr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kuPalette> s_palette;

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

// Brightness 0: the lobe adds nothing where these are loaded.
const kuVec4<float> DARK(1.0f, 0.0f, 1.0f, 1.0f);
} // namespace

kxLightLobeProjected::kxLightLobeProjected(ksThreadBuffer* threadBuffer)
    : kxTransform(threadBuffer), m_textureState(new krTexture::State),
      m_fogEffect(new kxLightLobeFogEffect) {
    registerInstance(s_classType);
    m_fogEffect->setEnable(m_fogEffectEnable);
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
    s_palette = kxPagingMgr::instance()->getPalette();
    configureParser();
    return 1;
}

int kxLightLobeProjected::shutdownClass() {
    s_palette.reset();
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeProjected)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobeProjected)

void kxLightLobeProjected::setPalette(kuPalette* palette) {
    s_palette = palette;
}
kuPalette* kxLightLobeProjected::getPalette() {
    return s_palette.get();
}

// ---- properties ----

void kxLightLobeProjected::setEnable(bool enable) {
    m_enable = enable;
    m_fogEffect->setEnable(enable && m_fogEffectEnable);
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
    m_fogEffect->setColor(m_color[0], m_color[1], m_color[2], m_color[3]);
}

void kxLightLobeProjected::getColor(float* r, float* g, float* b, float* a) const {
    float* out[4] = {r, g, b, a};
    for (int i = 0; i < 4; ++i)
        if (out[i])
            *out[i] = m_color[i];
}

void kxLightLobeProjected::setFalloff(Falloff falloff) {
    m_textures.falloff = falloff;
    textureSettingChanged("setFalloff");
}

void kxLightLobeProjected::setTextureSize(unsigned int size) {
    m_textures.textureSize = kxLightLobeProjectedTextures::clampTextureSize(size);
    textureSettingChanged("setTextureSize");
}

void kxLightLobeProjected::textureSettingChanged(const char* setterName) {
    // Only setTextureFile binds a texture into the texture state: a texture regenerated after
    // pre-configuration is kept, not drawn.
    if (krTexture* texture = kxLightLobeProjectedTextures::textureAfterSettingChange(
            s_palette.get(), m_textures, m_preConfigured, setterName, s_classType))
        m_texture = texture;
}

int kxLightLobeProjected::setTextureFile(const char* name) {
    if (m_preConfigured)
        return -32767;
    m_texture =
        kxLightLobeProjectedTextures::chooseTexture(s_palette.get(), name, m_textures, s_classType);
    m_textureState->setTexture(m_texture.get());
    return 1;
}

krTexture* kxLightLobeProjected::getTexture(const char* name) {
    return kxLightLobeProjectedTextures::getTexture(s_palette.get(), name, m_textures, s_classType);
}

krTexture* kxLightLobeProjected::autoGenerateTexture() {
    return kxLightLobeProjectedTextures::autoGenerateTexture(s_palette.get(), m_textures,
                                                             s_classType);
}

void kxLightLobeProjected::createLightTextureBits(int size, Falloff falloff, unsigned char* bits) {
    kxLightLobeProjectedTextures::createLightTextureBits(size, falloff, bits);
}

// ---- the beam in fog ----

void kxLightLobeProjected::setFogEffectEnable(bool enable) {
    m_fogEffectEnable = enable;
    m_fogEffect->setEnable(enable);
}

void kxLightLobeProjected::setFogEffectBrightness(float brightness) {
    m_fogEffect->setBrightness(brightness);
}
float kxLightLobeProjected::getFogEffectBrightness() const {
    return m_fogEffect->getBrightness();
}

void kxLightLobeProjected::setFogEffectMinVisibilityDensity(float density) {
    m_fogEffect->setMinVisibilityDensity(density);
}
float kxLightLobeProjected::getFogEffectMinVisibilityDensity() const {
    return m_fogEffect->getMinVisibilityDensity();
}

void kxLightLobeProjected::setFogEffectTranslationOffset(double x, double y, double z) {
    m_fogEffect->setTranslationOffset(x, y, z);
}
void kxLightLobeProjected::setFogEffectTranslationOffset(const kuVec3<double>& offset) {
    m_fogEffect->setTranslationOffset(offset);
}
void kxLightLobeProjected::getFogEffectTranslationOffset(double* x, double* y, double* z) const {
    m_fogEffect->getTranslationOffset(x, y, z);
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectTranslationOffset() const {
    return m_fogEffect->getTranslationOffset();
}

void kxLightLobeProjected::setFogEffectRotationOffset(double h, double p, double r) {
    m_fogEffect->setRotationOffset(h, p, r);
}
void kxLightLobeProjected::setFogEffectRotationOffset(const kuVec3<double>& offset) {
    m_fogEffect->setRotationOffset(offset);
}
void kxLightLobeProjected::getFogEffectRotationOffset(double* h, double* p, double* r) const {
    m_fogEffect->getRotationOffset(h, p, r);
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectRotationOffset() const {
    return m_fogEffect->getRotationOffset();
}

void kxLightLobeProjected::setFogEffectScale(double x, double y, double z) {
    m_fogEffect->setScale(x, y, z);
}
void kxLightLobeProjected::setFogEffectScale(const kuVec3<double>& scale) {
    m_fogEffect->setScale(scale);
}
void kxLightLobeProjected::getFogEffectScale(double* x, double* y, double* z) const {
    m_fogEffect->getScale(x, y, z);
}
const kuVec3<double>& kxLightLobeProjected::getFogEffectScale() const {
    return m_fogEffect->getScale();
}

void kxLightLobeProjected::setFogEffectTextureFile(const char* name) {
    m_fogEffect->setTexture(kxLightLobeProjectedTextures::chooseFogEffectTexture(
                                s_palette.get(), name, m_textures, s_classType),
                            name ? name : "");
}
const char* kxLightLobeProjected::getFogEffectTextureFile() const {
    return m_fogEffect->getTextureFile();
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
    m_shaderData = manager->getShaderData(shaderFalloff(m_textures.falloff));
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
    // The beam follows the lobe; without a texture of its own it takes the generated falloff.
    if (!m_fogEffect->getTexture())
        m_fogEffect->setTexture(autoGenerateTexture());
    m_fogEffect->configure(this);
    // The beam's masks follow its switch only where it has a texture: switched on before the
    // texture came (from a file's settings, say), it is switched again now that it has one.
    m_fogEffect->setEnable(m_enable && m_fogEffectEnable);
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
        m_fogEffect->setEnable(false);
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
        // Held once found: a look-up by name every frame would allocate the key.
        if (!m_fogParameters)
            m_fogParameters = kuParameter::find(kxEnv::FOG_PARAMETERS);
        float fog[4] = {0, 0, 0, 0};
        if (m_fogParameters)
            m_fogParameters->getFloats(fog);
        m_fogEffect->updateFromFog(fog[1], m_color[0], m_color[1], m_color[2]);
        p->beamVisible = m_fogEffect->getEnable();
        p->beamAlpha = p->beamVisible ? m_fogEffect->getColor().w : 0.0f;
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
