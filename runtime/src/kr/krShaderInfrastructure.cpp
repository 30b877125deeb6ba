#include <kr/krShaderInfrastructure.h>

#include <kr/krDrawContext.h>
#include <kr/krFog.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krTexture.h>
#include <kr/krTextureCoordGen.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<krShaderInfrastructure> s_instance;

void appendTechniques(const krState& state, krShaderProgramKey& key) {
    for (const kuRef<krShaderTechnique>& technique : state.getTechniques())
        key.push_back_technique(technique.get());
}
} // namespace

std::atomic<bool> krShaderInfrastructure::s_enabled{false};

krShaderInfrastructure::krShaderInfrastructure() : m_inheritState(new krState) {}
krShaderInfrastructure::~krShaderInfrastructure() = default;

krShaderInfrastructure* krShaderInfrastructure::instance() {
    if (!s_instance)
        s_instance = new krShaderInfrastructure;
    return s_instance.get();
}

void krShaderInfrastructure::release() {
    s_enabled.store(false, std::memory_order_release);
    s_instance = nullptr;
}

void krShaderInfrastructure::shaderize(krState* state) {
    if (state)
        state->setShaderized(true);
}

void krShaderInfrastructure::makeKey(const krDrawContext& context, const krState* state,
                                     krShaderProgramKey& key) const {
    krFixedFunctionFeatures& f = key.features;
    if (context.get<krLighting::Element>()->enable)
        f.lighting = context.get<krLight::Element>()->colorMaterial
                         ? krFixedFunctionFeatures::LIGHTING_COLOR_MATERIAL
                         : krFixedFunctionFeatures::LIGHTING_MATERIAL;
    const krTexture::Element* textures = context.get<krTexture::Element>();
    unsigned unit = 0;
    for (auto it = textures->begin_texture_state(); it != textures->end_texture_state() && unit < 8;
         ++it, ++unit) {
        const krTexture::State* texture = it->get();
        if (!texture || !texture->getEnable() || !texture->getTexture())
            continue;
        f.units |= 1u << unit;
        f.envMode[unit] = texture->getBlend() ? texture->getBlend()->getMode() : 0;
    }
    // Coordinate generation is unit 0's.
    const krTextureCoordGen::Element* texgen = context.get<krTextureCoordGen::Element>();
    if (texgen->enable[0] && texgen->getGenerator())
        f.texgen[0] = texgen->getGenerator()->getMode(0) == krTextureCoordGen::MODE_EYE_LINEAR
                          ? krFixedFunctionFeatures::TEXGEN_EYE_LINEAR
                          : krFixedFunctionFeatures::TEXGEN_OBJECT_LINEAR;
    const krFog::Element* fog = context.get<krFog::Element>();
    if (fog->enable && fog->getFogValue())
        f.fog = fog->getFogValue()->type;
    if (!state)
        return;
    key.perFragment = state->getPerFragmentLighting();
    appendTechniques(*state, key);
    if (state->getShaderized())
        appendTechniques(*m_inheritState, key);
}

const kuBase::ClassType* krShaderInfrastructure::getClassType() const {
    return s_classType;
}
kuBase::ClassType* krShaderInfrastructure::getStaticClassType() {
    return s_classType;
}

int krShaderInfrastructure::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("krShaderInfrastructure", kuBase::getStaticClassType(), nullptr,
                                    true, false);
    return KU_SUCCESS;
}

int krShaderInfrastructure::shutdownClass() {
    release();
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
