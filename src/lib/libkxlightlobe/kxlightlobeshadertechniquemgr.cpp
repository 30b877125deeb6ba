#include "kxlightlobeshadertechniquemgr.h"

#include <ku/kuNotify.h>

#include <cstdio>

namespace {

// Holds the manager; assigning the held object again does nothing.
kuRef<kxLightLobeShaderTechniqueMgr> s_manager;

const char* const PARAMETER_NAMES[3][7] = {
    {"kxLightLobe_projTexMatrix1", "kxLightLobe_projTexMatrix2", "kxLightLobe_projTexMatrix3",
     "kxLightLobe_projTexMatrix4", "kxLightLobe_projTexMatrix5", "kxLightLobe_projTexMatrix6",
     "kxLightLobe_projTexMatrix7"},
    {"kxLightLobe_lightParams1", "kxLightLobe_lightParams2", "kxLightLobe_lightParams3",
     "kxLightLobe_lightParams4", "kxLightLobe_lightParams5", "kxLightLobe_lightParams6",
     "kxLightLobe_lightParams7"},
    {"kxLightLobe_lightColor1", "kxLightLobe_lightColor2", "kxLightLobe_lightColor3",
     "kxLightLobe_lightColor4", "kxLightLobe_lightColor5", "kxLightLobe_lightColor6",
     "kxLightLobe_lightColor7"}};

// Makes a parameter of the given name and type code, reporting why when it cannot.
krShaderParameterBase* makeParameter(const char* name, int typeCode) {
    if (!name) {
        kuNotify::print(5, nullptr, "krShaderParameter: NULL name is passed");
        return nullptr;
    }
    krShaderParameterBase* parameter = krShaderParameterBase::make(name, typeCode, 0);
    if (!parameter)
        kuNotify::print(5, nullptr,
                        "krShaderParameter::make Unable to make parameter name <%s> "
                        "with type %d",
                        name, typeCode);
    return parameter;
}

} // namespace

template <int Kind, int Slot>
kuRef<typename kxLightLobeShaderParameter<Kind, Slot>::ParameterType>
    kxLightLobeShaderParameter<Kind, Slot>::s_parameter;

template <int Kind, int Slot>
typename kxLightLobeShaderParameter<Kind, Slot>::ParameterType*
kxLightLobeShaderParameter<Kind, Slot>::instance() {
    if (!s_parameter) {
        // The type code fixes the parameter's class: 39 a 4 x 4 matrix, 23 four floats.
        s_parameter = static_cast<ParameterType*>(
            makeParameter(getName(), Kind == KIND_TEX_MATRIX ? krShaderParameterBase::TYPE_FLOAT4X4
                                                             : krShaderParameterBase::TYPE_FLOAT4));
    }
    return s_parameter.get();
}

template <int Kind, int Slot>
void kxLightLobeShaderParameter<Kind, Slot>::destroy() {
    s_parameter.reset();
}

template <int Kind, int Slot>
const char* kxLightLobeShaderParameter<Kind, Slot>::getName() {
    return PARAMETER_NAMES[Kind][Slot - 1];
}

#define KX_LOBE_PARAMETER_INSTANCES(k)                                                             \
    template class kxLightLobeShaderParameter<0, k>;                                               \
    template class kxLightLobeShaderParameter<1, k>;                                               \
    template class kxLightLobeShaderParameter<2, k>;
KX_LOBE_SLOTS(KX_LOBE_PARAMETER_INSTANCES)
#undef KX_LOBE_PARAMETER_INSTANCES

namespace kxLightLobeShaderParameters {

krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>* projTexMatrix(int slot) {
    typedef krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>* (*Instance)();
    static const Instance instances[] = {
        kxLightLobe_projTexMatrix1::instance, kxLightLobe_projTexMatrix2::instance,
        kxLightLobe_projTexMatrix3::instance, kxLightLobe_projTexMatrix4::instance,
        kxLightLobe_projTexMatrix5::instance, kxLightLobe_projTexMatrix6::instance,
        kxLightLobe_projTexMatrix7::instance};
    return slot >= 1 && slot <= 7 ? instances[slot - 1]() : nullptr;
}

krShaderParameter<krShaderLanguage::ArrayType4<float>>* lightParams(int slot) {
    typedef krShaderParameter<krShaderLanguage::ArrayType4<float>>* (*Instance)();
    static const Instance instances[] = {
        kxLightLobe_lightParams1::instance, kxLightLobe_lightParams2::instance,
        kxLightLobe_lightParams3::instance, kxLightLobe_lightParams4::instance,
        kxLightLobe_lightParams5::instance, kxLightLobe_lightParams6::instance,
        kxLightLobe_lightParams7::instance};
    return slot >= 1 && slot <= 7 ? instances[slot - 1]() : nullptr;
}

krShaderParameter<krShaderLanguage::ArrayType4<float>>* lightColor(int slot) {
    typedef krShaderParameter<krShaderLanguage::ArrayType4<float>>* (*Instance)();
    static const Instance instances[] = {
        kxLightLobe_lightColor1::instance, kxLightLobe_lightColor2::instance,
        kxLightLobe_lightColor3::instance, kxLightLobe_lightColor4::instance,
        kxLightLobe_lightColor5::instance, kxLightLobe_lightColor6::instance,
        kxLightLobe_lightColor7::instance};
    return slot >= 1 && slot <= 7 ? instances[slot - 1]() : nullptr;
}

} // namespace kxLightLobeShaderParameters

namespace {

// The manager makes and releases the parameters in this order: lightParams 1 to 7, lightColor
// 1 to 7, projTexMatrix 1 to 7.
void makeParameters() {
    for (int slot = 1; slot <= 7; ++slot)
        kxLightLobeShaderParameters::lightParams(slot);
    for (int slot = 1; slot <= 7; ++slot)
        kxLightLobeShaderParameters::lightColor(slot);
    for (int slot = 1; slot <= 7; ++slot)
        kxLightLobeShaderParameters::projTexMatrix(slot);
}

void destroyParameters() {
#define KX_LOBE_DESTROY_PARAMS(k) &kxLightLobe_lightParams##k::destroy,
#define KX_LOBE_DESTROY_COLOR(k) &kxLightLobe_lightColor##k::destroy,
#define KX_LOBE_DESTROY_MATRIX(k) &kxLightLobe_projTexMatrix##k::destroy,
    static void (*const lightParams[])() = {KX_LOBE_SLOTS(KX_LOBE_DESTROY_PARAMS)};
    static void (*const lightColors[])() = {KX_LOBE_SLOTS(KX_LOBE_DESTROY_COLOR)};
    static void (*const projTexMatrices[])() = {KX_LOBE_SLOTS(KX_LOBE_DESTROY_MATRIX)};
#undef KX_LOBE_DESTROY_PARAMS
#undef KX_LOBE_DESTROY_COLOR
#undef KX_LOBE_DESTROY_MATRIX
    for (auto* group : {lightParams, lightColors, projTexMatrices})
        for (int i = 0; i < 7; ++i)
            group[i]();
}

} // namespace

// --- kxLightLobeShaderData ---

kxLightLobeShaderData::kxLightLobeShaderData(bool envFxEnabled, Falloff falloff)
    : m_envFxEnabled(envFxEnabled), m_falloff(falloff) {}

kxLightLobeShaderData::~kxLightLobeShaderData() {
    m_textureMatrix.reset();
    m_lightingData.reset();
    m_lightColor.reset();
    m_techniques.clear();
}

int kxLightLobeShaderData::setStage(int stage) {
    const int maximum = kxLightLobeShaderTechniqueMgr::instance()->getMaxNumProjectedLightLobes();
    // Slots are numbered 1 to the maximum, as getShaderData hands them out.
    if (m_stage != -1 || stage < 1 || stage > maximum) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderData::setStage: either current stage %i cannot be reset "
                        "or stage argument %i is invalid (<0 or >= max number of projected light "
                        "lobes %i)",
                        m_stage, stage, maximum);
        return KU_FAILURE;
    }
    m_stage = stage;
    return KU_SUCCESS;
}

void kxLightLobeShaderData::pushTechnique(krShaderTechnique* technique) {
    if (!technique) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderData::pushTechnique: cannot push a NULL technique");
        return;
    }
    for (const kuRef<krShaderTechnique>& held : m_techniques) {
        if (held.get() == technique) {
            kuNotify::print(2, nullptr,
                            "kxLightLobeShaderData::pushTechnique: shader technique "
                            "cannot be reset");
            return;
        }
    }
    m_techniques.emplace_back(technique);
}

void kxLightLobeShaderData::setTextureMatrixParam(MatrixParameter* parameter) {
    if (!parameter || m_textureMatrix) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderData::setTextureMatrixParam: texture matrix "
                        "parameter cannot be reset");
        return;
    }
    m_textureMatrix = parameter;
}

void kxLightLobeShaderData::setLightingDataParam(VectorParameter* parameter) {
    if (!parameter || m_lightingData) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderData::setTextureMatrixParam: lighting data "
                        "parameter cannot be reset");
        return;
    }
    m_lightingData = parameter;
}

void kxLightLobeShaderData::setLightColorParam(VectorParameter* parameter) {
    if (!parameter || m_lightColor) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderData::setTextureMatrixParam: light color "
                        "parameter cannot be reset");
        return;
    }
    m_lightColor = parameter;
}

void kxLightLobeShaderData::applyTextureMatrix(const kuMatrix<float>& matrix,
                                               krDrawContext* context) {
    if (!m_textureMatrix)
        return;
    krShaderLanguage::ArrayType<float, 4, 4> value;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            value(row, column) = matrix(row, column);
    m_textureMatrix->setValue(value, context);
}

void kxLightLobeShaderData::applyLightingParams(const kuVec4<float>& params,
                                                krDrawContext* context) {
    if (!m_lightingData)
        return;
    krShaderLanguage::ArrayType4<float> value;
    for (int i = 0; i < 4; ++i)
        value[i] = params[i];
    m_lightingData->setValue(value, context);
}

void kxLightLobeShaderData::applyLightColor(const kuVec4<float>& color, krDrawContext* context) {
    if (!m_lightColor)
        return;
    krShaderLanguage::ArrayType4<float> value;
    for (int i = 0; i < 4; ++i)
        value[i] = color[i];
    m_lightColor->setValue(value, context);
}

// --- kxLightLobeShaderTechniqueMgr ---

kxLightLobeShaderTechniqueMgr::kxLightLobeShaderTechniqueMgr() = default;

kxLightLobeShaderTechniqueMgr::~kxLightLobeShaderTechniqueMgr() {
    m_techniques.clear();
    m_shaderData.clear();
}

kxLightLobeShaderTechniqueMgr* kxLightLobeShaderTechniqueMgr::instance() {
    if (!s_manager) {
        s_manager = new kxLightLobeShaderTechniqueMgr;
        makeParameters();
    }
    return s_manager.get();
}

void kxLightLobeShaderTechniqueMgr::destroy() {
    destroyParameters();
    s_manager.reset();
}

int kxLightLobeShaderTechniqueMgr::preConfigure() {
    if (m_configured)
        return KU_SUCCESS;
    m_configured = true;
    return createTechniques() == KU_FAILURE ? KU_FAILURE : KU_SUCCESS;
}

int kxLightLobeShaderTechniqueMgr::unconfigure() {
    m_shaderData.clear();
    m_configured = false;
    return KU_SUCCESS;
}

int kxLightLobeShaderTechniqueMgr::createTechniques() {
    if (define() != 1) {
        kuNotify::print(5, nullptr,
                        "kxVTShaderTechniqueMgr::createTechniques() unable to "
                        "register shader infrastructure atoms.");
        return KU_FAILURE;
    }
    typedef kxLightLobeShaderStageAtoms<3> S3;
    typedef kxLightLobeShaderStageAtoms<4> S4;
    typedef kxLightLobeShaderStageAtoms<7> S7;
    typedef kxLightLobeShaderStageAtoms<8> S8;
    struct Slot {
        krShaderAtom *texcoord, *linear, *squared, *makeCubic, *modulate;
    };
#define KX_LOBE_SLOT_ATOMS(k)                                                                      \
    {S3::ProjectedTexcoord##k::instance(), S4::LinearFalloffBrightnessProjTex##k::instance(),      \
     S4::SquaredFalloffBrightnessProjTex##k::instance(),                                           \
     S4::MakeCubicFalloffBrightnessProjTex##k::instance(),                                         \
     S4::ModulateProjTexColor##k::instance()},
    const Slot slots[] = {KX_LOBE_SLOTS(KX_LOBE_SLOT_ATOMS)};
#undef KX_LOBE_SLOT_ATOMS
    static const char* const FALLOFF_NAMES[] = {"Linear", "Squared", "Cubic"};

    for (int value = 0; value < NUM_TECHNIQUES; ++value) {
        kuRef<krShaderTechnique> technique = new krShaderTechnique;
        char name[64];
        if (value < TECHNIQUE_ADD_TO_OUT_COLOR) {
            const int falloff = value / 7;
            const Slot& slot = slots[value % 7];
            std::snprintf(name, sizeof name, "kxLightLobe Projected Texture %s Falloff %d",
                          FALLOFF_NAMES[falloff], value % 7 + 1);
            technique->push_back_atom(slot.texcoord);
            technique->push_back_atom(falloff == 0 ? slot.linear : slot.squared);
            if (falloff == 2)
                technique->push_back_atom(slot.makeCubic);
            technique->push_back_atom(slot.modulate);
        } else if (value == TECHNIQUE_ADD_TO_OUT_COLOR) {
            std::snprintf(name, sizeof name, "kxLightLobe Projected Texture Add To OutColor");
            technique->push_back_atom(S7::AddProjTexColor2OutColor::instance());
            technique->push_back_per_fragment_atom(
                S7::AddProjTexColor2OutColorPerFragment::instance());
            technique->push_back_per_fragment_atom(S7::SetFLcolor::instance());
        } else {
            std::snprintf(name, sizeof name, "kxLightLobe_Fog");
            technique->push_back_atom(S8::FragmentFog::instance());
        }
        technique->setName(name);
        m_techniques.push_back(technique);
    }
    return KU_SUCCESS;
}

krShaderTechnique* kxLightLobeShaderTechniqueMgr::getTechnique(Technique technique) const {
    // The list is empty before preConfigure() and after a failed one.
    if (technique < 0 || static_cast<size_t>(technique) >= m_techniques.size()) {
        kuNotify::print(5, nullptr,
                        "kxVTShaderTechniqueMgr::getTechnique() requested unknown technique.");
        return nullptr;
    }
    return m_techniques[technique].get();
}

kxLightLobeShaderData*
kxLightLobeShaderTechniqueMgr::getShaderData(kxLightLobeShaderData::Falloff falloff) {
    if (m_assignedLobes >= m_maxLobes) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderTechniqueMgr::getShaderData - only %i projected light "
                        "lobes are supported.  Some may not function.",
                        m_maxLobes);
        return nullptr;
    }
    const int offset = falloff == kxLightLobeShaderData::SQUARED ? m_maxLobes
                       : falloff == kxLightLobeShaderData::CUBIC ? 2 * m_maxLobes
                                                                 : 0;
    krShaderTechnique* technique =
        instance()->getTechnique(static_cast<Technique>(m_assignedLobes + offset));
    if (!technique)
        return nullptr;
    const int slot = ++m_assignedLobes;
    if (slot > 7) {
        kuNotify::print(5, nullptr,
                        "kxLightLobeShaderTechniqueMgr::getShaderData - shader parameters do not "
                        "exist for projected light lobe %i",
                        slot);
        return nullptr;
    }
    kuRef<kxLightLobeShaderData> data = new kxLightLobeShaderData;
    data->setStage(slot);
    data->pushTechnique(technique);
    data->setTextureMatrixParam(kxLightLobeShaderParameters::projTexMatrix(slot));
    data->setLightingDataParam(kxLightLobeShaderParameters::lightParams(slot));
    data->setLightColorParam(kxLightLobeShaderParameters::lightColor(slot));
    m_shaderData.push_back(data);
    return data.get();
}
