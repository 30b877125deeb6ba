// The module's shader atoms, techniques, shader data and declarations, and the programs they
// make with the runtime's fixed-function atoms: every program validates with glslangValidator,
// and every translation rule broken on purpose makes a check fail.
#include "kxCgSamples.h"
#include "kxGlslValidate.h"
#include "kxTestSupport.h"

#include <kxlightlobefogeffectprograms.h>
#include <kxlightlobeshadertechniquemgr.h>

#include <kr/krDrawContext.h>
#include <kr/krShaderAtomRegistry.h>
#include <kr/krShaderProgram.h>
#include <kr/krShaderProgramSource.h>

#include <string>
#include <vector>

namespace {

typedef kxLightLobeShaderTechniqueMgr Mgr;
typedef kxLightLobeShaderData Data;

std::string slotName(const char* base, int slot) {
    return base + std::to_string(slot);
}

std::string tokenOf(const krShaderAtom* atom) {
    return atom ? atom->getTokenName() : "(none)";
}

std::vector<std::string> tokens(const std::vector<kuRef<krShaderAtom>>& atoms) {
    std::vector<std::string> out;
    for (const kuRef<krShaderAtom>& atom : atoms)
        out.push_back(atom->getTokenName());
    return out;
}

std::vector<std::string> fullStrings(const krShaderAtom::Parameters& parameters) {
    std::vector<std::string> out;
    for (const krShaderAtom::Parameter& parameter : parameters)
        out.push_back(parameter.getFullString());
    return out;
}

class ShaderTechniques : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Mgr::instance()->preConfigure(), 1); }
    void TearDown() override {
        Mgr::instance()->unconfigure();
        Mgr::destroy();
    }

    // The texts of a program made of the fixed-function atoms of a lit, textured, fogged state
    // and the techniques of the given values.
    static krShaderProgramSource program(const std::vector<int>& values, bool perFragment,
                                         krCgTranslator::Break brk = krCgTranslator::BREAK_NONE) {
        krFixedFunctionFeatures features;
        features.lighting = krFixedFunctionFeatures::LIGHTING_COLOR_MATERIAL;
        features.units = 1;
        features.fog = 1;
        std::vector<krShaderTechnique*> techniques;
        for (int value : values)
            techniques.push_back(Mgr::instance()->getTechnique(static_cast<Mgr::Technique>(value)));
        std::vector<krShaderAtom*> atoms;
        krShaderProgramSource::collectAtoms(features, techniques, perFragment, atoms);
        krShaderProgramSource source(brk);
        EXPECT_EQ(source.build(atoms), 1);
        return source;
    }

    // Slot k (1 to 7) with falloff f (0 linear, 1 squared, 2 cubic), and the output technique.
    static std::vector<int> mix(const std::vector<int>& falloffBySlot) {
        std::vector<int> values;
        for (size_t k = 0; k < falloffBySlot.size(); ++k)
            if (falloffBySlot[k] >= 0)
                values.push_back(falloffBySlot[k] * 7 + static_cast<int>(k));
        values.push_back(Mgr::TECHNIQUE_ADD_TO_OUT_COLOR);
        return values;
    }
};

} // namespace

TEST_F(ShaderTechniques, AtomsRegisterWithTheirStagesAnchorsAndOperators) {
    struct Expected {
        std::string token;
        int stage;
        std::string anchor;
        int op;
    };
    std::vector<Expected> expected;
    for (int k = 1; k <= 7; ++k)
        expected.push_back(
            {slotName("kxLightLobeProjectedTexcoord", k), 3,
             k == 1 ? "krFFPTexgen7Texmatrix7" : slotName("kxLightLobeProjectedTexcoord", k - 1),
             1});
    const char* const falloffs[] = {
        "kxLightLobeLinearFalloffBrightnessProjTex", "kxLightLobeSquaredFalloffBrightnessProjTex",
        "kxLightLobeMakeCubicFalloffBrightnessProjTex", "kxLightLobeModulateProjTexColor"};
    for (int kind = 0; kind < 4; ++kind)
        for (int k = 1; k <= 7; ++k)
            expected.push_back(
                {slotName(falloffs[kind], k), 4,
                 kind == 0 ? slotName("krFFPTexcolor", k) : slotName(falloffs[kind - 1], k),
                 kind == 1 ? 0 : 1});
    expected.push_back({"kxLightLobeSetFLcolor", 7, "krFFPNoOpPlaceHolder", 1});
    expected.push_back({"kxLightLobeAddProjTexColor2OutColor", 7, "kxLightLobeSetFLcolor", 1});
    expected.push_back({"kxLightLobeAddProjTexColor2OutColorPerFragment", 7,
                        "kxLightLobeAddProjTexColor2OutColor", 0});
    expected.push_back({"kxLightLobeFragmentFog", 8, "krFFPLerp", 0});

    std::vector<krShaderAtomRegistry::Registration> module;
    for (const auto& registration : krShaderAtomRegistry::instance()->getRegistrations())
        if (std::string(registration.atom->getTokenName()).rfind("kxLightLobe", 0) == 0)
            module.push_back(registration);
    ASSERT_EQ(module.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(tokenOf(module[i].atom), expected[i].token) << i;
        EXPECT_EQ(module[i].stage, expected[i].stage) << expected[i].token;
        EXPECT_EQ(tokenOf(module[i].anchor), expected[i].anchor) << expected[i].token;
        EXPECT_EQ(module[i].op, expected[i].op) << expected[i].token;
    }
    typedef kxLightLobeShaderStageAtoms<3>::ProjectedTexcoord3 Atom;
    EXPECT_EQ(tokenOf(Atom::instance()), Atom::getName());
    Mgr::destroy();
    EXPECT_EQ(Atom::instance(), nullptr);
    EXPECT_EQ(krShaderAtomRegistry::instance()->findAtom("kxLightLobeFragmentFog"), nullptr);
}

TEST_F(ShaderTechniques, CodeOrderIsTheOrderTheSnippetsNeed) {
    // Every unit on, so that each slot's block has its Texcolor anchor in the program;
    // slot k uses falloff k mod 3.
    krFixedFunctionFeatures features;
    features.units = 0xff;
    features.fog = 2;
    std::vector<krShaderTechnique*> techniques;
    for (int value : mix({1, 2, 0, 1, 2, 0, 1}))
        techniques.push_back(Mgr::instance()->getTechnique(static_cast<Mgr::Technique>(value)));
    techniques.push_back(Mgr::instance()->getTechnique(Mgr::TECHNIQUE_FOG));
    for (bool perFragment : {false, true}) {
        std::vector<krShaderAtom*> atoms;
        krShaderProgramSource::collectAtoms(features, techniques, perFragment, atoms);
        krShaderProgramSource source;
        ASSERT_EQ(source.build(atoms), 1);
        std::vector<std::string> order;
        for (const krShaderAtom* atom : source.getOrderedAtoms()) {
            const std::string token = atom->getTokenName();
            if (token.rfind("kxLightLobe", 0) == 0 || token.rfind("krFFPTexcolor", 0) == 0 ||
                token == "krFFPTexgen7Texmatrix7" || token == "krFFPNoOpPlaceHolder" ||
                token == "krFFPLerp")
                order.push_back(token);
        }
        std::vector<std::string> expected = {"krFFPTexgen7Texmatrix7"};
        for (int k = 1; k <= 7; ++k)
            expected.push_back(slotName("kxLightLobeProjectedTexcoord", k));
        expected.push_back("krFFPTexcolor0");
        for (int k = 1; k <= 7; ++k) {
            expected.push_back(slotName("krFFPTexcolor", k));
            const int falloff = k % 3;
            expected.push_back(slotName(falloff == 0 ? "kxLightLobeLinearFalloffBrightnessProjTex"
                                                     : "kxLightLobeSquaredFalloffBrightnessProjTex",
                                        k));
            if (falloff == 2)
                expected.push_back(slotName("kxLightLobeMakeCubicFalloffBrightnessProjTex", k));
            expected.push_back(slotName("kxLightLobeModulateProjTexColor", k));
        }
        expected.push_back("krFFPNoOpPlaceHolder");
        if (perFragment) {
            expected.push_back("kxLightLobeSetFLcolor");
            expected.push_back("kxLightLobeAddProjTexColor2OutColorPerFragment");
        } else {
            expected.push_back("kxLightLobeAddProjTexColor2OutColor");
        }
        // The fog atom takes Lerp's place.
        expected.push_back("kxLightLobeFragmentFog");
        EXPECT_EQ(order, expected) << (perFragment ? "per fragment" : "regular");
    }
}

TEST_F(ShaderTechniques, TechniquesHoldTheirSlotsAtoms) {
    const char* const falloffs[] = {"Linear", "Squared", "Cubic"};
    for (int value = 0; value < Mgr::NUM_TECHNIQUES; ++value) {
        const krShaderTechnique* technique =
            Mgr::instance()->getTechnique(static_cast<Mgr::Technique>(value));
        ASSERT_NE(technique, nullptr) << value;
        std::string name;
        std::vector<std::string> atoms, perFragment;
        if (value < Mgr::TECHNIQUE_ADD_TO_OUT_COLOR) {
            const int k = value % 7 + 1, falloff = value / 7;
            name = "kxLightLobe Projected Texture " + std::string(falloffs[falloff]) + " Falloff " +
                   std::to_string(k);
            atoms = {slotName("kxLightLobeProjectedTexcoord", k),
                     slotName(falloff ? "kxLightLobeSquaredFalloffBrightnessProjTex"
                                      : "kxLightLobeLinearFalloffBrightnessProjTex",
                              k)};
            if (falloff == 2)
                atoms.push_back(slotName("kxLightLobeMakeCubicFalloffBrightnessProjTex", k));
            atoms.push_back(slotName("kxLightLobeModulateProjTexColor", k));
        } else if (value == Mgr::TECHNIQUE_ADD_TO_OUT_COLOR) {
            name = "kxLightLobe Projected Texture Add To OutColor";
            atoms = {"kxLightLobeAddProjTexColor2OutColor"};
            perFragment = {"kxLightLobeAddProjTexColor2OutColorPerFragment",
                           "kxLightLobeSetFLcolor"};
        } else {
            name = "kxLightLobe_Fog";
            atoms = {"kxLightLobeFragmentFog"};
        }
        EXPECT_EQ(technique->getName(), name);
        EXPECT_EQ(tokens(technique->getAtoms()), atoms) << name;
        EXPECT_EQ(tokens(technique->getPerFragmentAtoms()), perFragment) << name;
    }
    // A second preConfigure builds nothing new.
    const krShaderTechnique* first = Mgr::instance()->getTechnique(Mgr::TECHNIQUE_FOG);
    EXPECT_EQ(Mgr::instance()->preConfigure(), 1);
    EXPECT_EQ(Mgr::instance()->getTechnique(Mgr::TECHNIQUE_FOG), first);
}

TEST_F(ShaderTechniques, SlotsAreHandedOutInCallOrderUpToSeven) {
    kxMessageCapture messages;
    const Data::Falloff requests[] = {Data::CUBIC,  Data::LINEAR, Data::SQUARED, Data::LINEAR,
                                      Data::LINEAR, Data::CUBIC,  Data::SQUARED};
    const char* const expected[] = {"Cubic Falloff 1",  "Linear Falloff 2", "Squared Falloff 3",
                                    "Linear Falloff 4", "Linear Falloff 5", "Cubic Falloff 6",
                                    "Squared Falloff 7"};
    for (int i = 0; i < 7; ++i) {
        const Data* data = Mgr::instance()->getShaderData(requests[i]);
        ASSERT_NE(data, nullptr) << i;
        // The seventh lobe gets stage 7 too, so its sampler's name is projLightLobeTexture7.
        EXPECT_EQ(data->getStage(), i + 1);
        ASSERT_EQ(data->end_techniques() - data->begin_techniques(), 1);
        EXPECT_EQ((*data->begin_techniques())->getName(),
                  std::string("kxLightLobe Projected Texture ") + expected[i]);
        EXPECT_EQ(data->getTextureMatrixParam()->getName(),
                  slotName("kxLightLobe_projTexMatrix", i + 1));
        EXPECT_EQ(data->getLightingDataParam()->getName(),
                  slotName("kxLightLobe_lightParams", i + 1));
        EXPECT_EQ(data->getLightColorParam()->getName(), slotName("kxLightLobe_lightColor", i + 1));
    }
    EXPECT_EQ(messages.messages().size(), 0u);
    EXPECT_EQ(Mgr::instance()->getShaderData(Data::LINEAR), nullptr);
    EXPECT_EQ(messages.count(5, "kxLightLobeShaderTechniqueMgr::getShaderData - only 7 projected "
                                "light lobes are supported.  Some may not function."),
              1);

    // A new manager after unconfigure and destroy starts again from slot 1.
    Mgr::instance()->unconfigure();
    Mgr::destroy();
    ASSERT_EQ(Mgr::instance()->preConfigure(), 1);
    const Data* data = Mgr::instance()->getShaderData(Data::SQUARED);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->getStage(), 1);
}

TEST_F(ShaderTechniques, MisuseIsReportedAndChangesNothing) {
    kxMessageCapture messages;
    const std::string unknown =
        "kxVTShaderTechniqueMgr::getTechnique() requested unknown technique.";
    EXPECT_EQ(Mgr::instance()->getTechnique(static_cast<Mgr::Technique>(23)), nullptr);
    EXPECT_EQ(Mgr::instance()->getTechnique(static_cast<Mgr::Technique>(-1)), nullptr);
    EXPECT_EQ(messages.count(5, unknown), 2);

    // Before preConfigure the list is empty: no technique is read, and no slot is taken.
    Mgr::instance()->unconfigure();
    Mgr::destroy();
    EXPECT_EQ(Mgr::instance()->getTechnique(Mgr::TECHNIQUE_LINEAR_FALLOFF_1), nullptr);
    EXPECT_EQ(Mgr::instance()->getShaderData(Data::LINEAR), nullptr);
    EXPECT_EQ(messages.count(5, unknown), 4);
    ASSERT_EQ(Mgr::instance()->preConfigure(), 1);

    kuRef<Data> data = new Data;
    struct StageCase {
        int stage, result, after;
    };
    const StageCase stages[] = {
        {0, -32767, -1}, {8, -32767, -1}, {-1, -32767, -1}, {7, 1, 7}, {1, -32767, 7}};
    for (const StageCase& c : stages) {
        EXPECT_EQ(data->setStage(c.stage), c.result) << c.stage;
        EXPECT_EQ(data->getStage(), c.after) << c.stage;
    }

    krShaderTechnique* technique = Mgr::instance()->getTechnique(Mgr::TECHNIQUE_FOG);
    data->pushTechnique(technique);
    data->pushTechnique(technique);
    data->pushTechnique(nullptr);
    EXPECT_EQ(data->end_techniques() - data->begin_techniques(), 1);
    EXPECT_EQ(messages.count(2, "kxLightLobeShaderData::pushTechnique: shader technique cannot be "
                                "reset"),
              1);
    EXPECT_EQ(messages.count(5, "kxLightLobeShaderData::pushTechnique: cannot push a NULL "
                                "technique"),
              1);
    data->setLightColorParam(nullptr);
    EXPECT_EQ(messages.count(5, "kxLightLobeShaderData::setTextureMatrixParam: light color "
                                "parameter cannot be reset"),
              1);

    // Data without parameters applies nothing.
    krDrawContext context;
    kuMatrix<float> matrix;
    data->applyTextureMatrix(matrix, &context);
    data->applyLightingParams(kuVec4<float>(1, 2, 3, 4), &context);
    data->applyLightColor(kuVec4<float>(1, 2, 3, 4), &context);
}

TEST_F(ShaderTechniques, AppliedValuesBelongToTheirDrawContext) {
    Data* data = Mgr::instance()->getShaderData(Data::LINEAR);
    ASSERT_NE(data, nullptr);
    krDrawContext first, second;
    kuMatrix<float> matrix;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            matrix(row, column) = static_cast<float>(row * 4 + column);
    data->applyTextureMatrix(matrix, &first);
    data->applyLightColor(kuVec4<float>(0.25f, 0.5f, 0.75f, 1.0f), &second);

    krShaderLanguage::ArrayType<float, 4, 4> value;
    ASSERT_TRUE(data->getTextureMatrixParam()->getValue(&first, value));
    EXPECT_EQ(value(0, 1), 1.0f); // same row and column: no transposition here
    EXPECT_EQ(value(3, 2), 14.0f);
    EXPECT_FALSE(data->getTextureMatrixParam()->getValue(&second, value));
    krShaderLanguage::ArrayType4<float> color;
    EXPECT_FALSE(data->getLightColorParam()->getValue(&first, color));
    ASSERT_TRUE(data->getLightColorParam()->getValue(&second, color));
    EXPECT_EQ(color[2], 0.75f);
}

TEST_F(ShaderTechniques, AtomsCarryTheirSnippetsAndDeclarations) {
    typedef kxLightLobeShaderStageAtoms<3> S3;
    typedef kxLightLobeShaderStageAtoms<4> S4;
    typedef kxLightLobeShaderStageAtoms<7> S7;
    typedef kxLightLobeShaderStageAtoms<8> S8;
    const std::string BRIGHTNESS = "float3 kxLightLobeShr_brightness = float3(0.0f,0.0f,0.0f);";
    const std::string FALLOFF = "float kxLightLobeShr_falloff = 0.0f";
    const std::string PT_COLOR = "float4 kxLightLobeShr_PTcolor = float4(0.0f,0.0f,0.0f,0.0f)";
    const std::string NUM = "float kxLightLobeShr_numProjLightLobes = 0.0f";
    const std::string FL_COLOR = "float4 FLcolor = float4(0.0f,0.0f,0.0f,0.0)";
    const std::string FL_VO = "float4 flVoColor0 = voColor0";
    const std::string COLOR = "float4 kxLightLobeShr_color = float4(1.0f,1.0f,1.0f,1.0f)";
    const std::string EMISSIVE = "float emissiveScale = 1.0f";
    const std::string MAT_AMB = "float4 materialAmbient = glstate.material.ambient";
    const std::string MAT_DIF = "float4 materialDiffuse = glstate.material.diffuse";
    const std::string VO_COLOR0 = "float4 voColor0 : TEXCOORD%d";
    struct Case {
        krShaderAtom* atom;
        size_t snippetLength;
        std::vector<std::string> variables, varyings, samplers, uniforms;
    };
    std::vector<Case> cases = {
        {S4::MakeCubicFalloffBrightnessProjTex4::instance(),
         194,
         {FALLOFF, BRIGHTNESS},
         {},
         {},
         {}},
        {S7::SetFLcolor::instance(), 88, {FL_COLOR, FL_VO}, {VO_COLOR0}, {}, {}},
        {S7::AddProjTexColor2OutColor::instance(),
         354,
         {PT_COLOR, COLOR, NUM, EMISSIVE, FL_COLOR,
          "float4 light0Ambient = glstate.light[0].ambient",
          "float4 light0Diffuse = glstate.light[0].diffuse", MAT_AMB, MAT_DIF},
         {},
         {},
         {}},
        {S7::AddProjTexColor2OutColorPerFragment::instance(),
         540,
         {PT_COLOR, NUM, EMISSIVE, FL_COLOR, COLOR, FL_VO, MAT_AMB, MAT_DIF},
         {VO_COLOR0},
         {},
         {}},
        {S8::FragmentFog::instance(),
         159,
         {"const float3 fogColor = glstate.fog.color.rgb",
          "float4 texcolor0 = float4(0.0f,0.0f,0.0f,1.0)", "float fogFactor = 0.0f"},
         {},
         {},
         {}},
    };
    krShaderAtom* const texcoords[] = {
        S3::ProjectedTexcoord1::instance(), S3::ProjectedTexcoord2::instance(),
        S3::ProjectedTexcoord3::instance(), S3::ProjectedTexcoord4::instance(),
        S3::ProjectedTexcoord5::instance(), S3::ProjectedTexcoord6::instance(),
        S3::ProjectedTexcoord7::instance()};
    krShaderAtom* const linears[] = {S4::LinearFalloffBrightnessProjTex1::instance(),
                                     S4::LinearFalloffBrightnessProjTex7::instance()};
    krShaderAtom* const squareds[] = {S4::SquaredFalloffBrightnessProjTex1::instance(),
                                      S4::SquaredFalloffBrightnessProjTex7::instance()};
    krShaderAtom* const modulates[] = {S4::ModulateProjTexColor1::instance(),
                                       S4::ModulateProjTexColor7::instance()};
    for (int k = 1; k <= 7; ++k)
        cases.push_back({texcoords[k - 1],
                         193,
                         {"float4 OutPosEye = float4(0.0f,0.0f,0.0f,1.0f)"},
                         {"float4 " + slotName("voProjLightLobeTexcoord", k) + " : TEXCOORD%d"},
                         {},
                         {slotName("kxLightLobe_projTexMatrix", k)}});
    for (int i = 0; i < 2; ++i) {
        const int k = i ? 7 : 1;
        const std::string varying =
            "float4 " + slotName("voProjLightLobeTexcoord", k) + " : TEXCOORD%d";
        const std::string sampler =
            "uniform sampler2D " + slotName("projLightLobeTexture", k) + " : TEXUNIT%d";
        const std::string params = slotName("kxLightLobe_lightParams", k);
        cases.push_back({linears[i], 606, {BRIGHTNESS}, {varying}, {sampler}, {params}});
        cases.push_back({squareds[i], 715, {FALLOFF, BRIGHTNESS}, {varying}, {sampler}, {params}});
        cases.push_back({modulates[i],
                         203,
                         {PT_COLOR, BRIGHTNESS, NUM},
                         {},
                         {},
                         {slotName("kxLightLobe_lightColor", k)}});
    }
    for (const Case& c : cases) {
        const std::string token = c.atom->getTokenName();
        EXPECT_EQ(std::string(c.atom->getSnippet()).size(), c.snippetLength) << token;
        EXPECT_TRUE(c.atom->isHidden()) << token;
        EXPECT_EQ(fullStrings(c.atom->getVariables()), c.variables) << token;
        EXPECT_EQ(fullStrings(c.atom->getVertOutParameters()), c.varyings) << token;
        EXPECT_EQ(fullStrings(c.atom->getTextureParameters()), c.samplers) << token;
        std::vector<std::string> uniforms;
        for (const auto& parameter : c.atom->getParameters())
            uniforms.push_back(parameter->getName());
        EXPECT_EQ(uniforms, c.uniforms) << token;
    }
    // The slots' texts differ only in the slot digit of the names.
    EXPECT_STREQ(S4::MakeCubicFalloffBrightnessProjTex5::instance()->getSnippet(),
                 S4::MakeCubicFalloffBrightnessProjTex1::instance()->getSnippet());
    std::string seventh = S4::SquaredFalloffBrightnessProjTex1::instance()->getSnippet();
    for (const char* name :
         {"voProjLightLobeTexcoord", "projLightLobeTexture", "kxLightLobe_lightParams"})
        for (std::string::size_type at = seventh.find(slotName(name, 1)); at != std::string::npos;
             at = seventh.find(slotName(name, 1), at + 1))
            seventh[at + std::string(name).size()] = '7';
    EXPECT_EQ(seventh, S4::SquaredFalloffBrightnessProjTex7::instance()->getSnippet());
}

TEST_F(ShaderTechniques, EveryProgramTheTechniquesMakeValidates) {
    kxGlslValidator validator;
    if (!validator.available())
        GTEST_SKIP() << "glslangValidator was not found when the build was configured";
    struct Case {
        std::string what;
        std::vector<int> values;
        bool perFragment;
    };
    std::vector<Case> cases;
    // Each falloff alone in each slot, the output variants taking turns.
    for (int falloff = 0; falloff < 3; ++falloff) {
        for (int k = 1; k <= 7; ++k) {
            std::vector<int> slots(7, -1);
            slots[k - 1] = falloff;
            cases.push_back({"falloff " + std::to_string(falloff) + " in slot " + std::to_string(k),
                             mix(slots), (falloff + k) % 2 == 1});
        }
    }
    // All seven slots at once, with mixed falloffs, in both variants; and with the fog atom.
    for (int shift = 0; shift < 3; ++shift)
        for (bool perFragment : {false, true})
            cases.push_back(
                {"seven slots, shift " + std::to_string(shift),
                 mix({(0 + shift) % 3, (1 + shift) % 3, (2 + shift) % 3, (3 + shift) % 3,
                      (4 + shift) % 3, (5 + shift) % 3, (6 + shift) % 3}),
                 perFragment});
    std::vector<int> withFog = mix({2, 2, 2, 2, 2, 2, 2});
    withFog.push_back(Mgr::TECHNIQUE_FOG);
    cases.push_back({"seven cubic slots with the fog atom", withFog, true});
    for (const Case& c : cases) {
        const krShaderProgramSource source = program(c.values, c.perFragment);
        EXPECT_EQ(validator.problems(source.getVertexText(), source.getFragmentText()), "")
            << c.what;
        EXPECT_TRUE(source.getConflicts().empty()) << c.what;
    }
    // Samplers of the slots are left to be bound by role; unit 0 is bound to its unit.
    const krShaderProgramSource seven = program(mix({0, 1, 2, 0, 1, 2, 0}), false);
    std::vector<std::string> byRole;
    for (const krShaderProgramSource::Sampler& sampler : seven.getSamplers())
        if (sampler.unit < 0)
            byRole.push_back(sampler.name);
    EXPECT_EQ(byRole.size(), 7u);
    EXPECT_EQ(byRole.back(), "projLightLobeTexture7");
}

// Each rule broken on purpose must fail a check: the exact translation of a case per rule, or
// glslangValidator on the module's programs and on a whole program pair.
TEST_F(ShaderTechniques, EachBrokenTranslationRuleIsCaught) {
    kxGlslValidator validator;
    if (!validator.available())
        GTEST_SKIP() << "glslangValidator was not found when the build was configured";
    auto failedChecks = [&](krCgTranslator::Break brk) {
        std::vector<std::string> failed;
        krCgTranslator translator(brk);
        for (const kxCgGolden& golden : KX_CG_GOLDEN)
            if (translator.translate(golden.cg) != golden.glsl)
                failed.push_back(std::string("translation of ") + golden.cg);
        if (kxCgDeclaration(translator) != KX_CG_DECLARATION_GLSL)
            failed.push_back("declaration");
        for (bool perFragment : {false, true}) {
            std::vector<int> values = mix({0, 1, 2, 0, 1, 2, 0});
            values.push_back(Mgr::TECHNIQUE_FOG);
            const krShaderProgramSource source = program(values, perFragment, brk);
            if (!validator.validate(source.getVertexText(), true))
                failed.push_back("vertex program");
            if (!validator.validate(source.getFragmentText(), false))
                failed.push_back("fragment program");
        }
        std::string vertex, fragment;
        if (!translator.translateProgram(KX_CG_BEAM_VERTEX, true, "main", vertex) ||
            !translator.translateProgram(KX_CG_BEAM_FRAGMENT, false, "main", fragment) ||
            !validator.validate(vertex, true) || !validator.validate(fragment, false))
            failed.push_back("whole programs");
        return failed;
    };
    EXPECT_EQ(failedChecks(krCgTranslator::BREAK_NONE), std::vector<std::string>{});
    for (int brk = krCgTranslator::BREAK_NONE + 1; brk < krCgTranslator::NUM_BREAKS; ++brk)
        EXPECT_FALSE(failedChecks(static_cast<krCgTranslator::Break>(brk)).empty())
            << "break " << brk << " passes every check";
}

// The fog beam's programs read through in-memory files as the fog effect reads them, and
// their translations pass the validator.
TEST(FogEffectPrograms, ReadThroughTheFactoryAndValidate) {
    kuRef<krShaderProgram> program = kxLightLobeFogEffectPrograms::createProgram();
    ASSERT_TRUE(program);
    EXPECT_EQ(program->getApplyMode(), krShaderProgram::APPLY_REPLACE);
    ASSERT_EQ(program->getNumShaders(), 2);
    const krShader* vertex = program->findShader(krShader::TYPE_VERTEX);
    const krShader* fragment = program->findShader(krShader::TYPE_FRAGMENT);
    ASSERT_TRUE(vertex && fragment);
    EXPECT_EQ(vertex->getName(), "kxLightLobeFogEffectVp.cg");
    EXPECT_EQ(fragment->getName(), "kxLightLobeFogEffectFp.cg");
    EXPECT_TRUE(vertex->getHidden() && fragment->getHidden());
    kxGlslValidator validator;
    if (!validator.available())
        GTEST_SKIP() << "glslangValidator was not found when the build was configured";
    krCgTranslator translator;
    std::string vertexGlsl, fragmentGlsl;
    krCgTranslator::ProgramInfo vertexInfo, fragmentInfo;
    ASSERT_TRUE(
        translator.translateProgram(vertex->getText(), true, "main", vertexGlsl, &vertexInfo));
    ASSERT_TRUE(translator.translateProgram(fragment->getText(), false, "main", fragmentGlsl,
                                            &fragmentInfo));
    EXPECT_EQ(validator.problems(vertexGlsl, fragmentGlsl), "");
    EXPECT_EQ(vertexInfo.varyings, fragmentInfo.varyings);
    ASSERT_EQ(fragmentInfo.samplerUnits.size(), 1u);
    EXPECT_EQ(fragmentInfo.samplerUnits[0].unit, 0);
}

// The module's configure phases make the techniques and release them with the atoms.
class ShaderTechniquePhases : public kxModuleTest {};

TEST_F(ShaderTechniquePhases, ConfigureBuildsAndUnconfigureReleases) {
    typedef kxLightLobeShaderStageAtoms<3>::ProjectedTexcoord1 Atom;
    kxKernel::instance()->configure();
    EXPECT_NE(Atom::instance(), nullptr);
    EXPECT_NE(Mgr::instance()->getTechnique(Mgr::TECHNIQUE_ADD_TO_OUT_COLOR), nullptr);
    kxKernel::instance()->unconfigure();
    EXPECT_EQ(Atom::instance(), nullptr);
    // Only the runtime's own atoms are left registered, and the runtime's shutdown takes them.
    for (const krShaderAtomRegistry::Registration& r :
         krShaderAtomRegistry::instance()->getRegistrations())
        EXPECT_EQ(std::string(r.atom->getTokenName()).rfind("krFFP", 0), 0u)
            << r.atom->getTokenName();
    kxKernel::shutdown();
    EXPECT_EQ(krShaderAtomRegistry::find(), nullptr);
}
