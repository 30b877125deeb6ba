#ifndef KXLIGHTLOBESHADERTECHNIQUEMGR_H
#define KXLIGHTLOBESHADERTECHNIQUEMGR_H

#include "kxlightlobeexport.h"
#include "kxlightlobeshaderatoms.h"

#include <kr/krShaderParameter.h>
#include <kr/krShaderTechnique.h>
#include <ku/kuMatrix.h>
#include <ku/kuVec.h>

#include <type_traits>
#include <vector>

class krDrawContext;

// The uniforms of the lobe slots: per slot K (1 to 7) the projective texture matrix
// kxLightLobe_projTexMatrixK (a row-major 4 x 4 matrix; the eye-space position as a row vector
// times it gives x, y over w on 0 to 1 across the lobe texture, z the range, w negative behind
// the light), kxLightLobe_lightParamsK (x falloff range, y brightness) and
// kxLightLobe_lightColorK (rgb). Each is a class of its own holding one parameter object,
// made on first instance() and dropped by destroy().
// Threads: application thread only.
template <int Kind, int Slot>
class KXLIGHTLOBE_API kxLightLobeShaderParameter {
public:
    enum { KIND_TEX_MATRIX = 0, KIND_LIGHT_PARAMS = 1, KIND_LIGHT_COLOR = 2 };
    typedef typename std::conditional<
        Kind == KIND_TEX_MATRIX, krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>,
        krShaderParameter<krShaderLanguage::ArrayType4<float>>>::type ParameterType;

    // The parameter, made when missing; null (reported) when it cannot be made.
    static ParameterType* instance();
    static void destroy();
    // Its name in the Cg programs.
    static const char* getName();

private:
    static kuRef<ParameterType> s_parameter;
};

#define KX_LOBE_PARAMETER_TYPEDEFS(k)                                                              \
    typedef kxLightLobeShaderParameter<0, k> kxLightLobe_projTexMatrix##k;                         \
    typedef kxLightLobeShaderParameter<1, k> kxLightLobe_lightParams##k;                           \
    typedef kxLightLobeShaderParameter<2, k> kxLightLobe_lightColor##k;                            \
    extern template class kxLightLobeShaderParameter<0, k>;                                        \
    extern template class kxLightLobeShaderParameter<1, k>;                                        \
    extern template class kxLightLobeShaderParameter<2, k>;
KX_LOBE_SLOTS(KX_LOBE_PARAMETER_TYPEDEFS)
#undef KX_LOBE_PARAMETER_TYPEDEFS

// The parameters by slot number (1 to 7; null for any other).
namespace kxLightLobeShaderParameters {
KXLIGHTLOBE_API krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>*
projTexMatrix(int slot);
KXLIGHTLOBE_API krShaderParameter<krShaderLanguage::ArrayType4<float>>* lightParams(int slot);
KXLIGHTLOBE_API krShaderParameter<krShaderLanguage::ArrayType4<float>>* lightColor(int slot);
} // namespace kxLightLobeShaderParameters

// One projected lobe's share of the shader system: its slot (stage) 1 to 7, the technique of its
// falloff for that slot, and the slot's three parameters, through which the lobe hands its
// values to a draw context every frame.
// Threads: set up on the application thread; apply operations on the draw thread that owns
// the given context.
class KXLIGHTLOBE_API kxLightLobeShaderData : public kuMemBase {
public:
    enum Falloff { LINEAR = 0, SQUARED = 1, CUBIC = 2 };
    typedef krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>> MatrixParameter;
    typedef krShaderParameter<krShaderLanguage::ArrayType4<float>> VectorParameter;

    explicit kxLightLobeShaderData(bool envFxEnabled = false, Falloff falloff = LINEAR);

    int getStage() const { return m_stage; }
    Falloff getFalloff() const { return m_falloff; }
    bool isEnvFxEnabled() const { return m_envFxEnabled; }

    // Set once, to a slot number 1 to getMaxNumProjectedLightLobes(); 1 or -32767 (reported).
    int setStage(int stage);

    // Appends a technique once; null or a repeat is reported and ignored.
    void pushTechnique(krShaderTechnique* technique);
    std::vector<kuRef<krShaderTechnique>>::const_iterator begin_techniques() const {
        return m_techniques.begin();
    }
    std::vector<kuRef<krShaderTechnique>>::const_iterator end_techniques() const {
        return m_techniques.end();
    }

    // Each parameter is set once; null or a second one is reported and ignored.
    void setTextureMatrixParam(MatrixParameter* parameter);
    void setLightingDataParam(VectorParameter* parameter);
    void setLightColorParam(VectorParameter* parameter);
    MatrixParameter* getTextureMatrixParam() const { return m_textureMatrix.get(); }
    VectorParameter* getLightingDataParam() const { return m_lightingData.get(); }
    VectorParameter* getLightColorParam() const { return m_lightColor.get(); }

    // Hand a value to the parameter for draws on context, element for element (the matrix is
    // not transposed). Data without the parameter does nothing.
    void applyTextureMatrix(const kuMatrix<float>& matrix, krDrawContext* context);
    void applyLightingParams(const kuVec4<float>& params, krDrawContext* context);
    void applyLightColor(const kuVec4<float>& color, krDrawContext* context);

protected:
    ~kxLightLobeShaderData() override;

private:
    bool m_envFxEnabled;
    int m_stage = -1;
    Falloff m_falloff;
    std::vector<kuRef<krShaderTechnique>> m_techniques;
    kuRef<MatrixParameter> m_textureMatrix;
    kuRef<VectorParameter> m_lightingData;
    kuRef<VectorParameter> m_lightColor;
};

// The module's technique manager: owns the atom families, builds the 23 techniques once per
// lifetime, and hands out the seven lobe slots in call order.
// Threads: application thread only (the module's configure phases and lobe pre-configuration).
class KXLIGHTLOBE_API kxLightLobeShaderTechniqueMgr
    : public krShaderTechniqueMgr<kxLightLobeShaderStageAtoms> {
public:
    enum Technique {
        TECHNIQUE_LINEAR_FALLOFF_1 = 0,
        TECHNIQUE_LINEAR_FALLOFF_2,
        TECHNIQUE_LINEAR_FALLOFF_3,
        TECHNIQUE_LINEAR_FALLOFF_4,
        TECHNIQUE_LINEAR_FALLOFF_5,
        TECHNIQUE_LINEAR_FALLOFF_6,
        TECHNIQUE_LINEAR_FALLOFF_7,
        TECHNIQUE_SQUARED_FALLOFF_1,
        TECHNIQUE_SQUARED_FALLOFF_2,
        TECHNIQUE_SQUARED_FALLOFF_3,
        TECHNIQUE_SQUARED_FALLOFF_4,
        TECHNIQUE_SQUARED_FALLOFF_5,
        TECHNIQUE_SQUARED_FALLOFF_6,
        TECHNIQUE_SQUARED_FALLOFF_7,
        TECHNIQUE_CUBIC_FALLOFF_1,
        TECHNIQUE_CUBIC_FALLOFF_2,
        TECHNIQUE_CUBIC_FALLOFF_3,
        TECHNIQUE_CUBIC_FALLOFF_4,
        TECHNIQUE_CUBIC_FALLOFF_5,
        TECHNIQUE_CUBIC_FALLOFF_6,
        TECHNIQUE_CUBIC_FALLOFF_7,
        TECHNIQUE_ADD_TO_OUT_COLOR,
        TECHNIQUE_FOG,
        NUM_TECHNIQUES
    };

    // The manager, made (registering every atom) with the 21 parameters when missing.
    static kxLightLobeShaderTechniqueMgr* instance();
    // Releases the parameters and the manager (with its atoms and techniques).
    static void destroy();

    // Once per manager: sets up the atoms and builds the techniques. -32767 when the atoms
    // cannot be set up; the manager stays configured and does not retry.
    int preConfigure();
    // Forgets the shader data handed out.
    int unconfigure();
    bool isConfigured() const { return m_configured; }
    int getMaxNumProjectedLightLobes() const { return m_maxLobes; }

    // Null (reported) for a value outside the techniques built.
    krShaderTechnique* getTechnique(Technique technique) const;
    // The next free slot with the technique of the falloff, or null (reported) once seven
    // were handed out.
    kxLightLobeShaderData* getShaderData(kxLightLobeShaderData::Falloff falloff);

protected:
    kxLightLobeShaderTechniqueMgr();
    ~kxLightLobeShaderTechniqueMgr() override;
    int createTechniques();

private:
    std::vector<kuRef<kxLightLobeShaderData>> m_shaderData;
    std::vector<kuRef<krShaderTechnique>> m_techniques;
    bool m_configured = false;
    int m_assignedLobes = 0;
    int m_maxLobes = 7;
};

#endif
