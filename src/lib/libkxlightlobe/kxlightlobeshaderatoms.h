#ifndef KXLIGHTLOBESHADERATOMS_H
#define KXLIGHTLOBESHADERATOMS_H

#include "kxlightlobeexport.h"

#include <kr/krFFPShaderStageAtoms.h>

// The module's Cg atoms for projected lobes, one family per meta-shader stage. Per lobe slot K
// (1 to 7): stage 3 writes the slot's projective texture coordinates; stage 4 computes the
// slot's brightness (linear, squared, or squared then made cubic) and adds its colour to the
// sum; stage 7 folds the averaged sum into the lit colour (regular or per-fragment); stage 8
// holds a fog blend of its own. Each atom is anchored so that its code follows the runtime's
// fixed-function code it needs: slot K's stage-4 block right after TexcolorK, the projective
// coordinates after Texgen7Texmatrix7, the output after NoOpPlaceHolder, the fog in Lerp's
// place. The families are members of the technique manager, which constructs them (that
// registers every atom) and calls define() (snippets and declarations).
// Threads: application thread only (the module's configure phases).

// Declares one atom class; instance() is the runtime atom while the manager lives, else null.
#define KX_LOBE_ATOM(Name, Anchor, Op)                                                             \
    struct KXLIGHTLOBE_API Name : AtomBase<Anchor, Op> {                                           \
        Name();                                                                                    \
        ~Name() override;                                                                          \
        static const char* getName();                                                              \
        static krShaderAtom* instance() { return s_instance; }                                     \
                                                                                                   \
    private:                                                                                       \
        static krShaderAtom* s_instance;                                                           \
    }

#define KX_LOBE_SLOTS(X) X(1) X(2) X(3) X(4) X(5) X(6) X(7)

// Stages without module atoms.
template <int N>
struct kxLightLobeShaderStageAtoms : krShaderStageAtoms<N> {
    int define() { return 1; }
};

template <>
struct KXLIGHTLOBE_API kxLightLobeShaderStageAtoms<3> : krShaderStageAtoms<3> {
    KX_LOBE_ATOM(ProjectedTexcoord1, krFFPShaderStageAtoms<3>::Texgen7Texmatrix7, 1);
    KX_LOBE_ATOM(ProjectedTexcoord2, ProjectedTexcoord1, 1);
    KX_LOBE_ATOM(ProjectedTexcoord3, ProjectedTexcoord2, 1);
    KX_LOBE_ATOM(ProjectedTexcoord4, ProjectedTexcoord3, 1);
    KX_LOBE_ATOM(ProjectedTexcoord5, ProjectedTexcoord4, 1);
    KX_LOBE_ATOM(ProjectedTexcoord6, ProjectedTexcoord5, 1);
    KX_LOBE_ATOM(ProjectedTexcoord7, ProjectedTexcoord6, 1);
#define KX_LOBE_STAGE3_MEMBER(k) ProjectedTexcoord##k m_projectedTexcoord##k;
    KX_LOBE_SLOTS(KX_LOBE_STAGE3_MEMBER)
#undef KX_LOBE_STAGE3_MEMBER

    int define();
};

template <>
struct KXLIGHTLOBE_API kxLightLobeShaderStageAtoms<4> : krShaderStageAtoms<4> {
#define KX_LOBE_STAGE4_CLASSES(k)                                                                  \
    KX_LOBE_ATOM(LinearFalloffBrightnessProjTex##k, krFFPShaderStageAtoms<4>::Texcolor##k, 1);     \
    KX_LOBE_ATOM(SquaredFalloffBrightnessProjTex##k, LinearFalloffBrightnessProjTex##k, 0);        \
    KX_LOBE_ATOM(MakeCubicFalloffBrightnessProjTex##k, SquaredFalloffBrightnessProjTex##k, 1);     \
    KX_LOBE_ATOM(ModulateProjTexColor##k, MakeCubicFalloffBrightnessProjTex##k, 1);
    KX_LOBE_SLOTS(KX_LOBE_STAGE4_CLASSES)
#undef KX_LOBE_STAGE4_CLASSES

    // Members in registration order: every linear atom, then squared, make-cubic, modulate.
#define KX_LOBE_LINEAR_MEMBER(k) LinearFalloffBrightnessProjTex##k m_linear##k;
#define KX_LOBE_SQUARED_MEMBER(k) SquaredFalloffBrightnessProjTex##k m_squared##k;
#define KX_LOBE_CUBIC_MEMBER(k) MakeCubicFalloffBrightnessProjTex##k m_makeCubic##k;
#define KX_LOBE_MODULATE_MEMBER(k) ModulateProjTexColor##k m_modulate##k;
    KX_LOBE_SLOTS(KX_LOBE_LINEAR_MEMBER)
    KX_LOBE_SLOTS(KX_LOBE_SQUARED_MEMBER)
    KX_LOBE_SLOTS(KX_LOBE_CUBIC_MEMBER)
    KX_LOBE_SLOTS(KX_LOBE_MODULATE_MEMBER)
#undef KX_LOBE_LINEAR_MEMBER
#undef KX_LOBE_SQUARED_MEMBER
#undef KX_LOBE_CUBIC_MEMBER
#undef KX_LOBE_MODULATE_MEMBER

    int define();
};

template <>
struct KXLIGHTLOBE_API kxLightLobeShaderStageAtoms<7> : krShaderStageAtoms<7> {
    KX_LOBE_ATOM(SetFLcolor, krFFPShaderStageAtoms<7>::NoOpPlaceHolder, 1);
    KX_LOBE_ATOM(AddProjTexColor2OutColor, SetFLcolor, 1);
    KX_LOBE_ATOM(AddProjTexColor2OutColorPerFragment, AddProjTexColor2OutColor, 0);
    SetFLcolor m_setFLcolor;
    AddProjTexColor2OutColor m_addProjTexColor2OutColor;
    AddProjTexColor2OutColorPerFragment m_addProjTexColor2OutColorPerFragment;

    int define();
};

template <>
struct KXLIGHTLOBE_API kxLightLobeShaderStageAtoms<8> : krShaderStageAtoms<8> {
    KX_LOBE_ATOM(FragmentFog, krFFPShaderStageAtoms<8>::Lerp, 0);
    FragmentFog m_fragmentFog;

    int define();
};

#endif
