#include <kr/krFFPShaderStageAtoms.h>

#include <cstdio>
#include <string>

namespace {

// Text with every '#' replaced by a unit digit.
std::string forUnit(const char* text, int unit) {
    std::string out = text;
    for (char& c : out)
        if (c == '#')
            c = static_cast<char>('0' + unit);
    return out;
}

krShaderAtom::Parameter declared(const std::string& type, const std::string& name,
                                 const std::string& semantic) {
    krShaderAtom::Parameter parameter;
    parameter.setType(type.c_str());
    parameter.setName(name.c_str());
    parameter.setSemantic(semantic.c_str());
    char text[256];
    std::snprintf(text, sizeof text, "%s %s : %s", type.c_str(), name.c_str(), semantic.c_str());
    parameter.setFullString(text);
    return parameter;
}

void input(krShaderAtom* atom, const char* type, const std::string& name,
           const std::string& semantic) {
    krShaderAtom::Parameter parameter = declared(type, name, semantic);
    parameter.setNumComponents(type[std::string(type).size() - 1] - '0');
    atom->getVertInParameters().addParameter(parameter, -1);
}

void varying(krShaderAtom* atom, const std::string& name) {
    krShaderAtom::Parameter parameter = declared("float4", name, "TEXCOORD%d");
    parameter.setNumComponents(4);
    atom->getVertOutParameters().addParameter(parameter, -1);
}

void output(krShaderAtom* atom, const char* name, const char* semantic) {
    krShaderAtom::Parameter parameter = declared("float4", name, semantic);
    parameter.setNumComponents(4);
    atom->getVertOutParameters().addParameter(parameter, -1);
}

void sampler(krShaderAtom* atom, int unit) {
    atom->getTextureParameters().addParameter(
        declared("uniform sampler2D", forUnit("krTextureUnit#", unit), forUnit("TEXUNIT#", unit)),
        -1);
}

void variable(krShaderAtom* atom, const std::string& line) {
    atom->getVariables().addParameter(line.c_str(), -1);
}

// Lines shared with other atoms (a module's atoms may declare the same names): one text each.
const char* const OUT_POS_EYE = "float4 OutPosEye = float4(0.0f,0.0f,0.0f,1.0f)";
const char* const EYE_NORMAL = "float3 eyeNormal = float3(0.0f,0.0f,1.0f)";
const char* const TEXCOLOR = "float4 texcolor# = float4(0.0f,0.0f,0.0f,1.0)";
const char* const FO_COLOR = "float4 foColor = float4(0.0f,0.0f,0.0f,1.0f)";
const char* const FOG_FACTOR = "float fogFactor = 0.0f";
const char* const FOG_COLOR = "const float3 fogColor = glstate.fog.color.rgb";

// Light 0 is directional (the runtime sets the sun or moon direction); with no specular term.
// A program cannot ask which lights are on: the draw context passes the ambient of every light
// on (the other lights the runtime uses are ambient only) and light 0's diffuse colour when it
// is on.
const char* const LIGHTING =
    "    // Light 0, directional, on the %s.\n"
    "    %s.rgb = saturate(glstate.material.emission.rgb +\n"
    "        (glstate.lightmodel.ambient.rgb + krLightsAmbient.rgb) * %s.rgb +\n"
    "        krLight0Diffuse.rgb * %s.rgb *\n"
    "        max(dot(%s, normalize(glstate.light[0].position.xyz)), 0.0f));\n"
    "    %s.a = %s.a;\n";

void lightingParameters(krShaderAtom* atom) {
    atom->push_back_parameter(krFixedFunctionFeatures::getLightsAmbient());
    atom->push_back_parameter(krFixedFunctionFeatures::getLight0Diffuse());
}

// Per vertex into voColor0 from eyeNormal; per fragment into foColor from the interpolated
// normal (the same formula, so a finely tessellated surface looks the same either way).
std::string lighting(const char* what, const char* ambient, const char* diffuse,
                     bool perFragment = false) {
    const char* target = perFragment ? "foColor" : "voColor0";
    const char* normal = perFragment ? "normalize(voNormal.xyz)" : "eyeNormal";
    char text[1024];
    std::snprintf(text, sizeof text, LIGHTING, what, target, ambient, diffuse, normal, target,
                  diffuse);
    return text;
}

const char* const TEXGEN_LINEAR =
    "    voTexcoord# = mul(glstate.matrix.texture[#], float4(\n"
    "        dot(%s, glstate.texgen[#].%s.s), dot(%s, glstate.texgen[#].%s.t),\n"
    "        dot(%s, glstate.texgen[#].%s.r), inTexcoord#.w));\n";

std::string texgen(int unit, const char* position, const char* plane) {
    char text[1024];
    std::snprintf(text, sizeof text, TEXGEN_LINEAR, position, plane, position, plane, position,
                  plane);
    return forUnit(text, unit);
}

void setUpTexgen(krShaderAtom* atom, int unit, const char* position, const char* plane) {
    input(atom, "float4", "inPosition", "POSITION");
    input(atom, "float4", forUnit("inTexcoord#", unit), forUnit("TEXCOORD#", unit));
    varying(atom, forUnit("voTexcoord#", unit));
    if (position[0] == 'O')
        variable(atom, OUT_POS_EYE);
    atom->setSnippet(texgen(unit, position, plane).c_str());
}

void setUpUnitColor(krShaderAtom* atom, int unit, const char* snippet) {
    variable(atom, FO_COLOR);
    variable(atom, forUnit(TEXCOLOR, unit));
    atom->setSnippet(forUnit(snippet, unit).c_str());
}

} // namespace

#define KR_FFP_DEFINE(N, Name, SETUP)                                                              \
    krShaderAtom* krFFPShaderStageAtoms<N>::Name::s_instance = nullptr;                            \
    krFFPShaderStageAtoms<N>::Name::Name() {                                                       \
        assert(!s_instance && "Redundant Shader Atom regisration");                                \
        s_instance = m_atom.get();                                                                 \
        krShaderAtom* atom = m_atom.get();                                                         \
        atom->setTokenName(getName());                                                             \
        atom->setHidden();                                                                         \
        SETUP;                                                                                     \
        registerAtom();                                                                            \
    }                                                                                              \
    krFFPShaderStageAtoms<N>::Name::~Name() {                                                      \
        s_instance = nullptr;                                                                      \
    }                                                                                              \
    const char* krFFPShaderStageAtoms<N>::Name::getName() {                                        \
        return "krFFP" #Name;                                                                      \
    }                                                                                              \
    krShaderAtom* krFFPShaderStageAtoms<N>::Name::instance() {                                     \
        krShaderAtomRegistry::instance();                                                          \
        return s_instance;                                                                         \
    }

KR_FFP_DEFINE(0, VertexInputs, {
    input(atom, "float4", "inPosition", "POSITION");
    input(atom, "float3", "inNormal", "NORMAL");
    input(atom, "float4", "inColor", "COLOR0");
    variable(atom, OUT_POS_EYE);
    variable(atom, EYE_NORMAL);
})

KR_FFP_DEFINE(1, Transform, {
    input(atom, "float4", "inPosition", "POSITION");
    input(atom, "float3", "inNormal", "NORMAL");
    output(atom, "voPosition", "POSITION");
    variable(atom, OUT_POS_EYE);
    variable(atom, EYE_NORMAL);
    atom->setSnippet("    voPosition = mul(glstate.matrix.mvp, inPosition);\n"
                     "    OutPosEye = mul(glstate.matrix.modelview[0], inPosition);\n"
                     "    eyeNormal = normalize(mul(glstate.matrix.invtrans.modelview[0],\n"
                     "        float4(inNormal, 0.0f)).xyz);\n");
})

KR_FFP_DEFINE(2, VertexColor, {
    input(atom, "float4", "inColor", "COLOR0");
    varying(atom, "voColor0");
    atom->setSnippet("    voColor0 = inColor;\n");
})

KR_FFP_DEFINE(2, LightingColorMaterial, {
    input(atom, "float4", "inColor", "COLOR0");
    varying(atom, "voColor0");
    variable(atom, EYE_NORMAL);
    atom->setSnippet(lighting("vertex colour", "inColor", "inColor").c_str());
    lightingParameters(atom);
})

KR_FFP_DEFINE(2, LightingMaterial, {
    varying(atom, "voColor0");
    variable(atom, EYE_NORMAL);
    atom->setSnippet(
        lighting("material", "glstate.material.ambient", "glstate.material.diffuse").c_str());
    lightingParameters(atom);
})

KR_FFP_DEFINE(2, NormalVarying, {
    varying(atom, "voNormal");
    variable(atom, EYE_NORMAL);
    atom->setSnippet("    voNormal = float4(eyeNormal, 0.0f);\n");
})

KR_FFP_DEFINE(2, FogDistance, {
    varying(atom, "voFogDistance");
    variable(atom, OUT_POS_EYE);
    atom->setSnippet("    voFogDistance = float4(abs(OutPosEye.z), 0.0f, 0.0f, 1.0f);\n");
})

#define KR_FFP_STAGE3_DEFINE(n)                                                                    \
    KR_FFP_DEFINE(3, Texgen##n##Texmatrix##n, {                                                    \
        input(atom, "float4", forUnit("inTexcoord#", n), forUnit("TEXCOORD#", n));                 \
        varying(atom, forUnit("voTexcoord#", n));                                                  \
        atom->setSnippet(                                                                          \
            forUnit("    voTexcoord# = mul(glstate.matrix.texture[#], inTexcoord#);\n", n)         \
                .c_str());                                                                         \
    })                                                                                             \
    KR_FFP_DEFINE(3, TexgenObjectLinear##n##Texmatrix##n,                                          \
                  setUpTexgen(atom, n, "inPosition", "object"))                                    \
    KR_FFP_DEFINE(3, TexgenEyeLinear##n##Texmatrix##n, setUpTexgen(atom, n, "OutPosEye", "eye"))
KR_FFP_UNITS(KR_FFP_STAGE3_DEFINE)

#define KR_FFP_STAGE4_DEFINE(n)                                                                    \
    KR_FFP_DEFINE(4, Texcolor##n, {                                                                \
        varying(atom, forUnit("voTexcoord#", n));                                                  \
        sampler(atom, n);                                                                          \
        variable(atom, forUnit(TEXCOLOR, n));                                                      \
        atom->setSnippet(                                                                          \
            forUnit("    texcolor# = tex2Dproj(krTextureUnit#, voTexcoord#.xyw);\n", n).c_str());  \
    })
KR_FFP_UNITS(KR_FFP_STAGE4_DEFINE)

KR_FFP_DEFINE(5, BaseColor, {
    varying(atom, "voColor0");
    variable(atom, FO_COLOR);
    atom->setSnippet("    foColor = voColor0;\n");
})

KR_FFP_DEFINE(5, FragmentLightingColorMaterial, {
    varying(atom, "voColor0");
    varying(atom, "voNormal");
    variable(atom, FO_COLOR);
    atom->setSnippet(lighting("vertex colour", "voColor0", "voColor0", true).c_str());
    lightingParameters(atom);
})

KR_FFP_DEFINE(5, FragmentLightingMaterial, {
    varying(atom, "voNormal");
    variable(atom, FO_COLOR);
    atom->setSnippet(
        lighting("material", "glstate.material.ambient", "glstate.material.diffuse", true).c_str());
    lightingParameters(atom);
})

// OpenGL's texture environment modes; the fragment's alpha is kept where OpenGL keeps it.
#define KR_FFP_STAGE5_DEFINE(n)                                                                    \
    KR_FFP_DEFINE(5, ModulateTexcolor##n,                                                          \
                  setUpUnitColor(atom, n, "    foColor = foColor * texcolor#;\n"))                 \
    KR_FFP_DEFINE(5, ReplaceTexcolor##n, setUpUnitColor(atom, n, "    foColor = texcolor#;\n"))    \
    KR_FFP_DEFINE(5, DecalTexcolor##n,                                                             \
                  setUpUnitColor(atom, n,                                                          \
                                 "    foColor.rgb = lerp(foColor.rgb, texcolor#.rgb, "             \
                                 "texcolor#.a);\n"))                                               \
    KR_FFP_DEFINE(5, BlendTexcolor##n,                                                             \
                  setUpUnitColor(atom, n,                                                          \
                                 "    foColor.rgb = lerp(foColor.rgb, "                            \
                                 "glstate.texenv[#].color.rgb, texcolor#.rgb);\n"                  \
                                 "    foColor.a = foColor.a * texcolor#.a;\n"))                    \
    KR_FFP_DEFINE(5, AddTexcolor##n,                                                               \
                  setUpUnitColor(atom, n,                                                          \
                                 "    foColor.rgb = saturate(foColor.rgb + texcolor#.rgb);\n"      \
                                 "    foColor.a = foColor.a * texcolor#.a;\n"))
KR_FFP_UNITS(KR_FFP_STAGE5_DEFINE)

KR_FFP_DEFINE(7, NoOpPlaceHolder, {})

KR_FFP_DEFINE(8, FogLinear, {
    varying(atom, "voFogDistance");
    variable(atom, FOG_FACTOR);
    atom->setSnippet("    fogFactor = saturate((glstate.fog.params.z - voFogDistance.x) *\n"
                     "        glstate.fog.params.w);\n");
})

KR_FFP_DEFINE(8, FogExp, {
    varying(atom, "voFogDistance");
    variable(atom, FOG_FACTOR);
    atom->setSnippet("    fogFactor = saturate(exp(-glstate.fog.params.x * voFogDistance.x));\n");
})

KR_FFP_DEFINE(8, FogExp2, {
    varying(atom, "voFogDistance");
    variable(atom, FOG_FACTOR);
    atom->setSnippet("    fogFactor = saturate(exp(-(glstate.fog.params.x * voFogDistance.x) *\n"
                     "        (glstate.fog.params.x * voFogDistance.x)));\n");
})

KR_FFP_DEFINE(8, Lerp, {
    variable(atom, FO_COLOR);
    variable(atom, FOG_COLOR);
    variable(atom, FOG_FACTOR);
    atom->setSnippet("    foColor.rgb = lerp(fogColor, foColor.rgb, fogFactor);\n");
})

KR_FFP_DEFINE(9, Output, {
    output(atom, "foOutColor", "COLOR");
    variable(atom, FO_COLOR);
    atom->setSnippet("    foOutColor = foColor;\n");
})

krShaderParameterBase* krFixedFunctionFeatures::getLightsAmbient() {
    static const kuRef<krShaderParameterBase> parameter(
        krShaderParameterBase::make("krLightsAmbient", krShaderParameterBase::TYPE_FLOAT4, 0));
    return parameter.get();
}

krShaderParameterBase* krFixedFunctionFeatures::getLight0Diffuse() {
    static const kuRef<krShaderParameterBase> parameter(
        krShaderParameterBase::make("krLight0Diffuse", krShaderParameterBase::TYPE_FLOAT4, 0));
    return parameter.get();
}

void krFixedFunctionFeatures::collectAtoms(std::vector<krShaderAtom*>& atoms,
                                           bool perFragment) const {
    atoms.push_back(krFFPShaderStageAtoms<0>::VertexInputs::instance());
    atoms.push_back(krFFPShaderStageAtoms<1>::Transform::instance());
    if (perFragment && lighting != LIGHTING_OFF) {
        atoms.push_back(krFFPShaderStageAtoms<2>::VertexColor::instance());
        atoms.push_back(krFFPShaderStageAtoms<2>::NormalVarying::instance());
        atoms.push_back(lighting == LIGHTING_COLOR_MATERIAL
                            ? krFFPShaderStageAtoms<5>::FragmentLightingColorMaterial::instance()
                            : krFFPShaderStageAtoms<5>::FragmentLightingMaterial::instance());
    } else if (lighting == LIGHTING_COLOR_MATERIAL) {
        atoms.push_back(krFFPShaderStageAtoms<2>::LightingColorMaterial::instance());
    } else if (lighting == LIGHTING_MATERIAL) {
        atoms.push_back(krFFPShaderStageAtoms<2>::LightingMaterial::instance());
    } else {
        atoms.push_back(krFFPShaderStageAtoms<2>::VertexColor::instance());
    }
    atoms.push_back(krFFPShaderStageAtoms<5>::BaseColor::instance());
    typedef krFFPShaderStageAtoms<3> S3;
    typedef krFFPShaderStageAtoms<4> S4;
    typedef krFFPShaderStageAtoms<5> S5;
#define KR_FFP_UNIT_ATOMS(n)                                                                       \
    {n,                                                                                            \
     {S3::Texgen##n##Texmatrix##n::instance(),                                                     \
      S3::TexgenObjectLinear##n##Texmatrix##n::instance(),                                         \
      S3::TexgenEyeLinear##n##Texmatrix##n::instance()},                                           \
     S4::Texcolor##n::instance(),                                                                  \
     {S5::ModulateTexcolor##n::instance(), S5::ReplaceTexcolor##n::instance(),                     \
      S5::DecalTexcolor##n::instance(), S5::BlendTexcolor##n::instance(),                          \
      S5::AddTexcolor##n::instance()}},
    struct UnitAtoms {
        int unit;
        krShaderAtom* texgen[3];
        krShaderAtom* texcolor;
        krShaderAtom* env[5];
    };
    const UnitAtoms unitAtoms[] = {KR_FFP_UNITS(KR_FFP_UNIT_ATOMS)};
#undef KR_FFP_UNIT_ATOMS
    for (const UnitAtoms& unit : unitAtoms) {
        if (!(units & (1u << unit.unit)))
            continue;
        const int gen = texgen[unit.unit];
        const int env = envMode[unit.unit];
        atoms.push_back(unit.texgen[gen >= 0 && gen < 3 ? gen : 0]);
        atoms.push_back(unit.texcolor);
        atoms.push_back(unit.env[env >= 0 && env < 5 ? env : 0]);
    }
    atoms.push_back(krFFPShaderStageAtoms<7>::NoOpPlaceHolder::instance());
    if (fog >= 1 && fog <= 3) {
        atoms.push_back(krFFPShaderStageAtoms<2>::FogDistance::instance());
        atoms.push_back(fog == 1   ? krFFPShaderStageAtoms<8>::FogLinear::instance()
                        : fog == 2 ? krFFPShaderStageAtoms<8>::FogExp::instance()
                                   : krFFPShaderStageAtoms<8>::FogExp2::instance());
        atoms.push_back(krFFPShaderStageAtoms<8>::Lerp::instance());
    }
    atoms.push_back(krFFPShaderStageAtoms<9>::Output::instance());
}
