#ifndef KR_FFP_SHADER_STAGE_ATOMS_H
#define KR_FFP_SHADER_STAGE_ATOMS_H

#include <kr/krShaderStageAtoms.h>

// The runtime's own atoms: Cg code that reproduces the fixed-function drawing of the states the
// runtime sets (transform; light 0 with the material, or with the vertex colour as material, or
// the vertex colour alone; texture units 0 to 7 with their texture matrix and object- or
// eye-linear coordinate generation; the texture environment modes; linear, exp and exp2 fog;
// the output colour). Names other atoms may use: OutPosEye (eye-space position), voColor0
// (the vertex colour passed on), texcolor0 to texcolor7, foColor (the fragment colour) and
// fogFactor (OpenGL's fog factor: 1 clear, 0 only fog).
// Threads: made with the atom registry, on the application thread.

// Declares one atom class of a family; its instance() makes the registry (and with it every
// fixed-function atom) when needed.
#define KR_FFP_ATOM(Name, Anchor, Op)                                                              \
    struct KX_API Name : AtomBase<Anchor, Op> {                                                    \
        Name();                                                                                    \
        ~Name() override;                                                                          \
        static const char* getName();                                                              \
        static krShaderAtom* instance();                                                           \
                                                                                                   \
    private:                                                                                       \
        static krShaderAtom* s_instance;                                                           \
    }

#define KR_FFP_UNITS(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7)

template <int N>
struct krFFPShaderStageAtoms;

// Stage 0: the vertex inputs and the vertex program's working variables.
template <>
struct KX_API krFFPShaderStageAtoms<0> : krShaderStageAtoms<0> {
    KR_FFP_ATOM(VertexInputs, krNoAnchor, 1);
    VertexInputs m_vertexInputs;
};

// Stage 1: clip-space position, OutPosEye and the eye-space normal.
template <>
struct KX_API krFFPShaderStageAtoms<1> : krShaderStageAtoms<1> {
    KR_FFP_ATOM(Transform, krNoAnchor, 1);
    Transform m_transform;
};

// Stage 2: voColor0 (the vertex colour, or light 0 on the material or on the vertex colour),
// the eye normal for lighting per fragment, and the distance fog needs.
template <>
struct KX_API krFFPShaderStageAtoms<2> : krShaderStageAtoms<2> {
    KR_FFP_ATOM(VertexColor, krNoAnchor, 1);
    KR_FFP_ATOM(LightingColorMaterial, VertexColor, 0);
    KR_FFP_ATOM(LightingMaterial, VertexColor, 0);
    KR_FFP_ATOM(FogDistance, VertexColor, 1);
    KR_FFP_ATOM(NormalVarying, VertexColor, 1);
    VertexColor m_vertexColor;
    LightingColorMaterial m_lightingColorMaterial;
    LightingMaterial m_lightingMaterial;
    FogDistance m_fogDistance;
    NormalVarying m_normalVarying;
};

// Stage 3: per unit, the texture coordinates (from the vertex, or generated object- or
// eye-linear) through the unit's texture matrix.
template <>
struct KX_API krFFPShaderStageAtoms<3> : krShaderStageAtoms<3> {
#define KR_FFP_STAGE3_DECLARE(n)                                                                   \
    KR_FFP_ATOM(Texgen##n##Texmatrix##n, krNoAnchor, 1);                                           \
    KR_FFP_ATOM(TexgenObjectLinear##n##Texmatrix##n, Texgen##n##Texmatrix##n, 0);                  \
    KR_FFP_ATOM(TexgenEyeLinear##n##Texmatrix##n, Texgen##n##Texmatrix##n, 0);                     \
    Texgen##n##Texmatrix##n m_texgen##n;                                                           \
    TexgenObjectLinear##n##Texmatrix##n m_texgenObjectLinear##n;                                   \
    TexgenEyeLinear##n##Texmatrix##n m_texgenEyeLinear##n;
    KR_FFP_UNITS(KR_FFP_STAGE3_DECLARE)
#undef KR_FFP_STAGE3_DECLARE
};

// Stage 4: texcolorN, the projective look-up of unit N.
template <>
struct KX_API krFFPShaderStageAtoms<4> : krShaderStageAtoms<4> {
#define KR_FFP_STAGE4_DECLARE(n)                                                                   \
    KR_FFP_ATOM(Texcolor##n, krNoAnchor, 1);                                                       \
    Texcolor##n m_texcolor##n;
    KR_FFP_UNITS(KR_FFP_STAGE4_DECLARE)
#undef KR_FFP_STAGE4_DECLARE
};

// Stage 5: foColor from voColor0 (lit here, per fragment, when the state asks for it) and the
// units, by each unit's texture environment mode.
template <>
struct KX_API krFFPShaderStageAtoms<5> : krShaderStageAtoms<5> {
    KR_FFP_ATOM(BaseColor, krNoAnchor, 1);
    KR_FFP_ATOM(FragmentLightingColorMaterial, BaseColor, 1);
    KR_FFP_ATOM(FragmentLightingMaterial, FragmentLightingColorMaterial, 0);
    BaseColor m_baseColor;
    FragmentLightingColorMaterial m_fragmentLightingColorMaterial;
    FragmentLightingMaterial m_fragmentLightingMaterial;
#define KR_FFP_STAGE5_DECLARE(n)                                                                   \
    KR_FFP_ATOM(ModulateTexcolor##n, krNoAnchor, 1);                                               \
    KR_FFP_ATOM(ReplaceTexcolor##n, ModulateTexcolor##n, 0);                                       \
    KR_FFP_ATOM(DecalTexcolor##n, ModulateTexcolor##n, 0);                                         \
    KR_FFP_ATOM(BlendTexcolor##n, ModulateTexcolor##n, 0);                                         \
    KR_FFP_ATOM(AddTexcolor##n, ModulateTexcolor##n, 0);                                           \
    ModulateTexcolor##n m_modulate##n;                                                             \
    ReplaceTexcolor##n m_replace##n;                                                               \
    DecalTexcolor##n m_decal##n;                                                                   \
    BlendTexcolor##n m_blend##n;                                                                   \
    AddTexcolor##n m_add##n;
    KR_FFP_UNITS(KR_FFP_STAGE5_DECLARE)
#undef KR_FFP_STAGE5_DECLARE
};

// Stage 7: a named place for atoms that work on the combined colour.
template <>
struct KX_API krFFPShaderStageAtoms<7> : krShaderStageAtoms<7> {
    KR_FFP_ATOM(NoOpPlaceHolder, krNoAnchor, 1);
    NoOpPlaceHolder m_noOpPlaceHolder;
};

// Stage 8: fogFactor by the fog mode, then Lerp towards the fog colour.
template <>
struct KX_API krFFPShaderStageAtoms<8> : krShaderStageAtoms<8> {
    KR_FFP_ATOM(FogLinear, krNoAnchor, 1);
    KR_FFP_ATOM(FogExp, FogLinear, 0);
    KR_FFP_ATOM(FogExp2, FogLinear, 0);
    KR_FFP_ATOM(Lerp, FogLinear, 1);
    FogLinear m_fogLinear;
    FogExp m_fogExp;
    FogExp2 m_fogExp2;
    Lerp m_lerp;
};

// Stage 9: the fragment's colour.
template <>
struct KX_API krFFPShaderStageAtoms<9> : krShaderStageAtoms<9> {
    KR_FFP_ATOM(Output, krNoAnchor, 1);
    Output m_output;
};

// Stage 6 is spare: no fixed-function atom.
template <>
struct KX_API krFFPShaderStageAtoms<6> : krShaderStageAtoms<6> {};

// Which fixed-function features a state turns on: what decides the fixed-function atoms of a
// program.
struct KX_API krFixedFunctionFeatures {
    enum Lighting { LIGHTING_OFF, LIGHTING_COLOR_MATERIAL, LIGHTING_MATERIAL };
    enum Texgen { TEXGEN_OFF, TEXGEN_OBJECT_LINEAR, TEXGEN_EYE_LINEAR };
    // krTexture::Blend modes.
    enum EnvMode { ENV_MODULATE, ENV_REPLACE, ENV_DECAL, ENV_BLEND, ENV_ADD };

    int lighting = LIGHTING_OFF;
    unsigned units = 0; // bit n: unit n textured
    int texgen[8] = {};
    int envMode[8] = {};
    int fog = 0; // 0 off, else krFog::Type

    // The fixed-function atoms these features need, appended in no particular order; with
    // perFragment, lighting is computed per fragment from the interpolated eye normal.
    void collectAtoms(std::vector<krShaderAtom*>& atoms, bool perFragment = false) const;

    // The lighting atoms' uniforms, set by the draw context from its lights: the sum of the
    // ambient colours of the lights on, and light 0's diffuse colour (zero when it is off).
    static krShaderParameterBase* getLightsAmbient();
    static krShaderParameterBase* getLight0Diffuse();
};

// Every fixed-function family, in stage order; owned by the atom registry.
struct krFFPShaderAtoms {
    krFFPShaderStageAtoms<0> stage0;
    krFFPShaderStageAtoms<1> stage1;
    krFFPShaderStageAtoms<2> stage2;
    krFFPShaderStageAtoms<3> stage3;
    krFFPShaderStageAtoms<4> stage4;
    krFFPShaderStageAtoms<5> stage5;
    krFFPShaderStageAtoms<6> stage6;
    krFFPShaderStageAtoms<7> stage7;
    krFFPShaderStageAtoms<8> stage8;
    krFFPShaderStageAtoms<9> stage9;
};

#endif
