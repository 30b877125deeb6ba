#include "kxlightlobeshaderatoms.h"

#include "kxlightlobeshadertechniquemgr.h"

#include <cstdio>
#include <string>

namespace {

// Snippet texts; '#' stands for the slot digit.
const char* const PROJECTED_TEXCOORD =
    "    // Compute projected texture coordinates on range 0->1 based\n"
    "    // on position and orientation of light lobe.\n"
    "\n"
    "    voProjLightLobeTexcoord# = mul( OutPosEye, kxLightLobe_projTexMatrix# );\n";

const char* const LINEAR_FALLOFF =
    "    // If fragment is behind the projection, brightness is 0.  Otherwise,\n"
    "    // multiply the light lobe texture intensity by brightness (0->1)\n"
    "    // and falloff as a linear function of range.  Falloff range and\n"
    "    // brightness are in kxLightLobe_lightParams#.xy, respectfully.\n"
    "\n"
    "    kxLightLobeShr_brightness = ( voProjLightLobeTexcoord#.w < 0.0 ) ? 0.0f :\n"
    "        saturate( tex2Dproj(projLightLobeTexture#, voProjLightLobeTexcoord#.xyw).rgb *\n"
    "                  kxLightLobe_lightParams#.yyy * ((kxLightLobe_lightParams#.x -\n"
    "                  voProjLightLobeTexcoord#.z) / kxLightLobe_lightParams#.x) );\n";

const char* const SQUARED_FALLOFF =
    "    // If the fragment is behind the projection, brightness is 0.\n"
    "    // Otherwise multiply the light lobe texture intensity by the\n"
    "    // brightness (0->1) and square of falloff.  Falloff range and\n"
    "    // brightness are in kxLightLobe_lightParams#.xy, respectfully.\n"
    "\n"
    "    // First, ompute brightness falloff as a linear function of range.\n"
    "    kxLightLobeShr_falloff = saturate( (kxLightLobe_lightParams#.x -\n"
    "       voProjLightLobeTexcoord#.z) / kxLightLobe_lightParams#.x );\n"
    "\n"
    "    kxLightLobeShr_brightness = ( voProjLightLobeTexcoord#.w < 0 ) ? 0.0f :\n"
    "       tex2Dproj(projLightLobeTexture#, voProjLightLobeTexcoord#.xyw).rgb *\n"
    "       kxLightLobe_lightParams#.yyy * kxLightLobeShr_falloff * kxLightLobeShr_falloff;\n";

const char* const MAKE_CUBIC_FALLOFF =
    "    // Modulate light lobe brightness with falloff to get a cubic\n"
    "    // falloff based on range to fragment.\n"
    "\n"
    "    kxLightLobeShr_brightness = kxLightLobeShr_brightness * kxLightLobeShr_falloff;\n";

const char* const MODULATE_COLOR =
    "    // Modulate light lobe color with brightness and add to sum.\n"
    "\n"
    "    kxLightLobeShr_numProjLightLobes += 1.0f;\n"
    "    kxLightLobeShr_PTcolor.rgb += kxLightLobe_lightColor#.rgb * kxLightLobeShr_brightness;\n";

const char* const SET_FL_COLOR = "    // .\n"
                                 "\n"
                                 "    FLcolor.rgb   = foColor.rgb;\n"
                                 "    flVoColor0.rgb  = flVoColor0.rgb * 0.0f;\n";

const char* const ADD_TO_OUT_COLOR =
    "    // Set the output color to the max of the standard lighting result\n"
    "    // and the average contribution of all projected light lobes.\n"
    "\n"
    "    kxLightLobeShr_PTcolor.rgb = kxLightLobeShr_color.rgb * emissiveScale *\n"
    "       ( kxLightLobeShr_PTcolor.rgb / kxLightLobeShr_numProjLightLobes );\n"
    "    foColor.rgb = max( foColor.rgb, kxLightLobeShr_PTcolor.rgb );\n";

const char* const ADD_TO_OUT_COLOR_PER_FRAGMENT =
    "    // Set the output color to the max of the standard lighting result\n"
    "    // and the average contribution of all projected light lobes.\n"
    "\n"
    "    kxLightLobeShr_PTcolor.rgb = kxLightLobeShr_color.rgb * emissiveScale *\n"
    "       ( kxLightLobeShr_PTcolor.rgb / kxLightLobeShr_numProjLightLobes );\n"
    "    kxLightLobeShr_PTcolor.rgb = \n"
    "       materialAmbient.rgb * kxLightLobeShr_PTcolor.rgb +\n"
    "       materialDiffuse.rgb * kxLightLobeShr_PTcolor.rgb;\n"
    "    foColor.rgb = max( FLcolor.rgb, kxLightLobeShr_PTcolor.rgb ) +\n"
    "                    flVoColor0.rgb;\n";

const char* const FRAGMENT_FOG =
    "\tfloat3 ff_color = lerp(fogColor, foColor.rgb, fogFactor);\n"
    "\tfloat3 col = saturate(foColor.rgb + texcolor0.rgb + ff_color);\n"
    "\tfoColor = float4( col, foColor.a );";

// Variable lines. Shared names carry one text across every atom that declares them, the
// runtime's fixed-function atoms included (OutPosEye, texcolor0, fogFactor, fogColor).
const char* const OUT_POS_EYE = "float4 OutPosEye = float4(0.0f,0.0f,0.0f,1.0f)";
const char* const BRIGHTNESS = "float3 kxLightLobeShr_brightness = float3(0.0f,0.0f,0.0f);";
const char* const FALLOFF = "float kxLightLobeShr_falloff = 0.0f";
const char* const PT_COLOR = "float4 kxLightLobeShr_PTcolor = float4(0.0f,0.0f,0.0f,0.0f)";
const char* const NUM_LOBES = "float kxLightLobeShr_numProjLightLobes = 0.0f";
const char* const FL_COLOR = "float4 FLcolor = float4(0.0f,0.0f,0.0f,0.0)";
const char* const FL_VO_COLOR0 = "float4 flVoColor0 = voColor0";
const char* const LOBE_COLOR = "float4 kxLightLobeShr_color = float4(1.0f,1.0f,1.0f,1.0f)";
const char* const EMISSIVE_SCALE = "float emissiveScale = 1.0f";
const char* const LIGHT0_AMBIENT = "float4 light0Ambient = glstate.light[0].ambient";
const char* const LIGHT0_DIFFUSE = "float4 light0Diffuse = glstate.light[0].diffuse";
const char* const MATERIAL_AMBIENT = "float4 materialAmbient = glstate.material.ambient";
const char* const MATERIAL_DIFFUSE = "float4 materialDiffuse = glstate.material.diffuse";
const char* const FOG_COLOR = "const float3 fogColor = glstate.fog.color.rgb";
const char* const TEXCOLOR0 = "float4 texcolor0 = float4(0.0f,0.0f,0.0f,1.0)";
const char* const FOG_FACTOR = "float fogFactor = 0.0f";

std::string forSlot(const char* text, int slot) {
    std::string out = text;
    for (char& c : out)
        if (c == '#')
            c = static_cast<char>('0' + slot);
    return out;
}

void variable(krShaderAtom* atom, const char* line) {
    atom->getVariables().addParameter(line, -1);
}

// A varying of four floats; its register number is the generator's to choose.
void varying(krShaderAtom* atom, const std::string& name) {
    krShaderAtom::Parameter parameter;
    parameter.setType("float4");
    parameter.setName(name.c_str());
    parameter.setSemantic("TEXCOORD%d");
    char text[256];
    std::snprintf(text, sizeof text, "%s %s : %s", parameter.getType(), parameter.getName(),
                  parameter.getSemantic());
    parameter.setFullString(text);
    parameter.setNumComponents(4);
    atom->getVertOutParameters().addParameter(parameter, -1);
}

// A sampler, bound by the texture state whose role is its name.
void sampler(krShaderAtom* atom, const std::string& name) {
    krShaderAtom::Parameter parameter;
    char type[64];
    std::snprintf(type, sizeof type, "uniform %s", "sampler2D");
    parameter.setType(type);
    parameter.setName(name.c_str());
    parameter.setSemantic("TEXUNIT%d");
    char text[256];
    std::snprintf(text, sizeof text, "%s %s : %s", parameter.getType(), parameter.getName(),
                  parameter.getSemantic());
    parameter.setFullString(text);
    atom->getTextureParameters().addParameter(parameter, -1);
}

void begin(krShaderAtom* atom, const std::string& snippet) {
    atom->clearDefinition();
    atom->setSnippet(snippet.c_str());
    atom->setHidden();
}

krShaderParameterBase* projTexMatrix(int slot) {
    return kxLightLobeShaderParameters::projTexMatrix(slot);
}
krShaderParameterBase* lightParams(int slot) {
    return kxLightLobeShaderParameters::lightParams(slot);
}
krShaderParameterBase* lightColor(int slot) {
    return kxLightLobeShaderParameters::lightColor(slot);
}

} // namespace

#define KX_LOBE_ATOM_DEFINE(N, Name, Token)                                                        \
    krShaderAtom* kxLightLobeShaderStageAtoms<N>::Name::s_instance = nullptr;                      \
    kxLightLobeShaderStageAtoms<N>::Name::Name() {                                                 \
        assert(!s_instance && "Redundant Shader Atom regisration");                                \
        s_instance = m_atom.get();                                                                 \
        m_atom->setTokenName(Token);                                                               \
        registerAtom();                                                                            \
    }                                                                                              \
    kxLightLobeShaderStageAtoms<N>::Name::~Name() {                                                \
        s_instance = nullptr;                                                                      \
    }                                                                                              \
    const char* kxLightLobeShaderStageAtoms<N>::Name::getName() {                                  \
        return Token;                                                                              \
    }

#define KX_LOBE_SLOT_DEFINE(k)                                                                     \
    KX_LOBE_ATOM_DEFINE(3, ProjectedTexcoord##k, "kxLightLobeProjectedTexcoord" #k)                \
    KX_LOBE_ATOM_DEFINE(4, LinearFalloffBrightnessProjTex##k,                                      \
                        "kxLightLobeLinearFalloffBrightnessProjTex" #k)                            \
    KX_LOBE_ATOM_DEFINE(4, SquaredFalloffBrightnessProjTex##k,                                     \
                        "kxLightLobeSquaredFalloffBrightnessProjTex" #k)                           \
    KX_LOBE_ATOM_DEFINE(4, MakeCubicFalloffBrightnessProjTex##k,                                   \
                        "kxLightLobeMakeCubicFalloffBrightnessProjTex" #k)                         \
    KX_LOBE_ATOM_DEFINE(4, ModulateProjTexColor##k, "kxLightLobeModulateProjTexColor" #k)
KX_LOBE_SLOTS(KX_LOBE_SLOT_DEFINE)
#undef KX_LOBE_SLOT_DEFINE

KX_LOBE_ATOM_DEFINE(7, SetFLcolor, "kxLightLobeSetFLcolor")
KX_LOBE_ATOM_DEFINE(7, AddProjTexColor2OutColor, "kxLightLobeAddProjTexColor2OutColor")
KX_LOBE_ATOM_DEFINE(7, AddProjTexColor2OutColorPerFragment,
                    "kxLightLobeAddProjTexColor2OutColorPerFragment")
KX_LOBE_ATOM_DEFINE(8, FragmentFog, "kxLightLobeFragmentFog")

int kxLightLobeShaderStageAtoms<3>::define() {
    krShaderAtom* const atoms[] = {m_projectedTexcoord1, m_projectedTexcoord2, m_projectedTexcoord3,
                                   m_projectedTexcoord4, m_projectedTexcoord5, m_projectedTexcoord6,
                                   m_projectedTexcoord7};
    for (int slot = 1; slot <= 7; ++slot) {
        krShaderAtom* atom = atoms[slot - 1];
        begin(atom, forSlot(PROJECTED_TEXCOORD, slot));
        // Slot 1 lists its variable first, the others their varying first.
        if (slot == 1)
            variable(atom, OUT_POS_EYE);
        varying(atom, forSlot("voProjLightLobeTexcoord#", slot));
        if (slot != 1)
            variable(atom, OUT_POS_EYE);
        atom->push_back_parameter(projTexMatrix(slot));
    }
    return 1;
}

int kxLightLobeShaderStageAtoms<4>::define() {
    struct Slot {
        krShaderAtom *linear, *squared, *makeCubic, *modulate;
    };
#define KX_LOBE_STAGE4_SLOT(k) {m_linear##k, m_squared##k, m_makeCubic##k, m_modulate##k},
    const Slot slots[] = {KX_LOBE_SLOTS(KX_LOBE_STAGE4_SLOT)};
#undef KX_LOBE_STAGE4_SLOT
    for (int slot = 1; slot <= 7; ++slot) {
        const Slot& atoms = slots[slot - 1];
        const std::string texcoord = forSlot("voProjLightLobeTexcoord#", slot);
        const std::string texture = forSlot("projLightLobeTexture#", slot);

        begin(atoms.linear, forSlot(LINEAR_FALLOFF, slot));
        varying(atoms.linear, texcoord);
        sampler(atoms.linear, texture);
        variable(atoms.linear, BRIGHTNESS);
        atoms.linear->push_back_parameter(lightParams(slot));

        begin(atoms.squared, forSlot(SQUARED_FALLOFF, slot));
        varying(atoms.squared, texcoord);
        sampler(atoms.squared, texture);
        variable(atoms.squared, FALLOFF);
        variable(atoms.squared, BRIGHTNESS);
        atoms.squared->push_back_parameter(lightParams(slot));

        begin(atoms.makeCubic, MAKE_CUBIC_FALLOFF);
        variable(atoms.makeCubic, FALLOFF);
        variable(atoms.makeCubic, BRIGHTNESS);

        begin(atoms.modulate, forSlot(MODULATE_COLOR, slot));
        variable(atoms.modulate, PT_COLOR);
        variable(atoms.modulate, BRIGHTNESS);
        variable(atoms.modulate, NUM_LOBES);
        atoms.modulate->push_back_parameter(lightColor(slot));
    }
    return 1;
}

int kxLightLobeShaderStageAtoms<7>::define() {
    krShaderAtom* atom = m_setFLcolor;
    begin(atom, SET_FL_COLOR);
    varying(atom, "voColor0");
    variable(atom, FL_COLOR);
    variable(atom, FL_VO_COLOR0);

    atom = m_addProjTexColor2OutColor;
    begin(atom, ADD_TO_OUT_COLOR);
    for (const char* line : {PT_COLOR, LOBE_COLOR, NUM_LOBES, EMISSIVE_SCALE, FL_COLOR,
                             LIGHT0_AMBIENT, LIGHT0_DIFFUSE, MATERIAL_AMBIENT, MATERIAL_DIFFUSE})
        variable(atom, line);

    atom = m_addProjTexColor2OutColorPerFragment;
    begin(atom, ADD_TO_OUT_COLOR_PER_FRAGMENT);
    varying(atom, "voColor0");
    for (const char* line : {PT_COLOR, NUM_LOBES, EMISSIVE_SCALE, FL_COLOR, LOBE_COLOR,
                             FL_VO_COLOR0, MATERIAL_AMBIENT, MATERIAL_DIFFUSE})
        variable(atom, line);
    return 1;
}

int kxLightLobeShaderStageAtoms<8>::define() {
    krShaderAtom* atom = m_fragmentFog;
    begin(atom, FRAGMENT_FOG);
    variable(atom, FOG_COLOR);
    variable(atom, TEXCOLOR0);
    variable(atom, FOG_FACTOR);
    return 1;
}
