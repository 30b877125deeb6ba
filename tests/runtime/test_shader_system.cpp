// The runtime's shader system without a GL context: the Cg translation rules, the atom
// registry's order from anchors and operators, the fixed-function atoms and whole programs
// (validated with glslangValidator), and the merging of declarations.
#include "kxCgSamples.h"
#include "kxGlslValidate.h"
#include "kxTestSupport.h"

#include <kr/krCgTranslator.h>
#include <kr/krFFPShaderStageAtoms.h>
#include <kr/krShaderFactory.h>
#include <kr/krShaderProgramSource.h>
#include <ku/kuFile.h>

#include <cstring>

#include <string>
#include <vector>

namespace {

// Atoms made by a test and taken out of the registry when it ends.
class TestAtoms {
public:
    krShaderAtom* make(const char* name) {
        kuRef<krShaderAtom> atom = new krShaderAtom;
        atom->setTokenName(name);
        m_atoms.push_back(atom);
        return atom.get();
    }
    ~TestAtoms() {
        for (auto it = m_atoms.rbegin(); it != m_atoms.rend(); ++it)
            krShaderAtomRegistry::instance()->unregisterAtom(it->get());
    }

private:
    std::vector<kuRef<krShaderAtom>> m_atoms;
};

std::vector<std::string> names(const std::vector<krShaderAtom*>& atoms) {
    std::vector<std::string> out;
    for (const krShaderAtom* atom : atoms)
        out.push_back(atom->getTokenName());
    return out;
}

} // namespace

TEST(CgTranslator, EachRuleTranslatesItsCase) {
    krCgTranslator translator;
    for (const kxCgGolden& golden : KX_CG_GOLDEN) {
        EXPECT_EQ(translator.translate(golden.cg), golden.glsl) << golden.cg;
        EXPECT_EQ(translator.getError(), "") << golden.cg;
    }
    EXPECT_EQ(kxCgDeclaration(translator), KX_CG_DECLARATION_GLSL);
    EXPECT_TRUE(translator.usesSelect());
    translator.translate("mul(a, (b)");
    EXPECT_NE(translator.getError(), "");
}

TEST(CgTranslator, WholeProgramsValidateAndBindTheirSamplers) {
    kxGlslValidator validator;
    if (!validator.available())
        GTEST_SKIP() << "glslangValidator was not found when the build was configured";
    krCgTranslator translator;
    std::string vertex, fragment;
    krCgTranslator::ProgramInfo vertexInfo, fragmentInfo;
    ASSERT_TRUE(translator.translateProgram(KX_CG_BEAM_VERTEX, true, "main", vertex, &vertexInfo))
        << translator.getError();
    ASSERT_TRUE(
        translator.translateProgram(KX_CG_BEAM_FRAGMENT, false, "main", fragment, &fragmentInfo))
        << translator.getError();
    EXPECT_EQ(validator.problems(vertex, fragment), "");
    ASSERT_EQ(fragmentInfo.samplerUnits.size(), 1u);
    EXPECT_EQ(fragmentInfo.samplerUnits[0].name, "texture0");
    EXPECT_EQ(fragmentInfo.samplerUnits[0].unit, 0);
    // The fragment program reads what the vertex program writes.
    EXPECT_EQ(vertexInfo.varyings, fragmentInfo.varyings);
    EXPECT_FALSE(translator.translateProgram(KX_CG_BEAM_VERTEX, true, "notThere", vertex));
    // A sampler declared at file scope is bound by its semantic too.
    const char* const global = "uniform sampler2D pattern : TEXUNIT3;\n"
                               "float4 main(float4 c : TEXCOORD0) : COLOR {\n"
                               "    return tex2D(pattern, c.xy);\n"
                               "}\n";
    ASSERT_TRUE(translator.translateProgram(global, false, "main", fragment, &fragmentInfo));
    EXPECT_TRUE(validator.validate(fragment, false)) << fragment;
    ASSERT_EQ(fragmentInfo.samplerUnits.size(), 1u);
    EXPECT_EQ(fragmentInfo.samplerUnits[0].name, "pattern");
    EXPECT_EQ(fragmentInfo.samplerUnits[0].unit, 3);
}

TEST(ShaderFactory, ReadsStagesFromInMemoryFilesAndRefusesWhatCannotBuild) {
    const char text[] = "float4 main() : COLOR { return float4(1.0f); }";
    // A file holds its own copy, read once; a closed file reads nothing.
    std::string buffer = text;
    kuRef<kuFile> file = kuFile::open(buffer.data(), buffer.size(), "colour.cg", "rt");
    ASSERT_TRUE(file);
    buffer.assign(buffer.size(), 'x');
    char head[6] = {};
    EXPECT_EQ(file->read(head, 5), 5u);
    EXPECT_STREQ(head, "float");
    EXPECT_EQ(file->rewind(), 1);
    EXPECT_EQ(file->readText(), text);
    EXPECT_TRUE(file->eof());
    EXPECT_EQ(file->close(), 1);
    EXPECT_EQ(file->readText(), "");
    EXPECT_EQ(file->close(), -32767);

    kxMessageCapture messages;
    EXPECT_FALSE(kuFile::open(text, std::strlen(text), "colour.cg", "w"));
    EXPECT_FALSE(kuFile::open("/nonexistent/colour.cg", "r"));
    kuRef<krShaderFactory> factory = new krShaderFactory;
    EXPECT_FALSE(factory->createProgram("hlsl"));
    kuRef<krShaderProgram> program = factory->createProgram("cg");
    ASSERT_TRUE(program);
    struct Case {
        const char* text;
        int type;
        bool reads;
    };
    const Case cases[] = {{text, krShader::TYPE_FRAGMENT, true},
                          {text, 2, false},
                          {"  \n", krShader::TYPE_VERTEX, false},
                          {"float4 main( { return 0; }", krShader::TYPE_VERTEX, false}};
    for (const Case& c : cases) {
        kuRef<kuFile> in = kuFile::open(c.text, std::strlen(c.text), "case.cg", "rt");
        kuRef<krShader> shader = factory->read(in.get(), c.type);
        EXPECT_EQ(static_cast<bool>(shader), c.reads) << c.text << " as " << c.type;
        if (shader) {
            EXPECT_EQ(shader->getText(), c.text);
            EXPECT_EQ(shader->getName(), "case.cg");
            EXPECT_EQ(program->insert_shader(shader.get()), 1);
            // One stage of a type per program.
            EXPECT_EQ(program->insert_shader(shader.get()), -32767);
        }
    }
    EXPECT_EQ(program->getNumShaders(), 1);
    // A stage of another language does not mix in.
    kuRef<krShaderProgram> glsl = factory->createProgram("glsl");
    kuRef<kuFile> in = kuFile::open(text, std::strlen(text), "vertex.glsl", "rt");
    kuRef<krShader> glslShader = factory->read(in.get(), krShader::TYPE_VERTEX);
    ASSERT_TRUE(glslShader);
    EXPECT_EQ(program->insert_shader(glslShader.get()), -32767);
    EXPECT_EQ(messages.countContaining("refused"), 2);
}

TEST(ShaderAtomRegistry, OrderFollowsAnchorsAndOperators) {
    krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
    TestAtoms atoms;
    // Stage 6 has no fixed-function atom of its own.
    krShaderAtom *a = atoms.make("A"), *b = atoms.make("B"), *c = atoms.make("C"),
                 *d = atoms.make("D"), *e = atoms.make("E"), *f = atoms.make("F"),
                 *g = atoms.make("G");
    const auto STAGE = static_cast<krMetaShader::Stage>(6);
    const krMetaShader::Operator AFTER = krMetaShader::OPERATOR_AFTER;
    const krMetaShader::Operator REPLACE = krMetaShader::OPERATOR_REPLACE;
    ASSERT_EQ(registry->registerAtom(a, STAGE, nullptr, AFTER), 1);
    ASSERT_EQ(registry->registerAtom(b, STAGE, nullptr, AFTER), 1);
    ASSERT_EQ(registry->registerAtom(c, STAGE, a, AFTER), 1);
    ASSERT_EQ(registry->registerAtom(d, STAGE, a, AFTER), 1);   // after C, registered earlier
    ASSERT_EQ(registry->registerAtom(e, STAGE, c, AFTER), 1);   // C's follower, before D
    ASSERT_EQ(registry->registerAtom(f, STAGE, a, REPLACE), 1); // in A's place: before C
    ASSERT_EQ(registry->registerAtom(g, STAGE, f, AFTER), 1);
    EXPECT_EQ(names(registry->getAtoms(6)),
              (std::vector<std::string>{"A", "F", "G", "C", "E", "D", "B"}));

    ASSERT_EQ(registry->unregisterAtom(c), 1);
    EXPECT_EQ(registry->getAnchor(e), a);
    EXPECT_EQ(names(registry->getAtoms(6)),
              (std::vector<std::string>{"A", "F", "G", "D", "E", "B"}));

    // An alternative present leaves its anchor out of a program.
    krShaderProgramSource source;
    ASSERT_EQ(source.build({g, a, f, b}), 1);
    EXPECT_EQ(names(source.getOrderedAtoms()), (std::vector<std::string>{"F", "G", "B"}));
}

TEST(ShaderAtomRegistry, RefusesBadRegistrations) {
    krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
    TestAtoms atoms;
    krShaderAtom *atom = atoms.make("atom"), *registered = atoms.make("registered"),
                 *stranger = atoms.make("stranger");
    ASSERT_EQ(registry->registerAtom(registered, krMetaShader::STAGE_0, nullptr,
                                     krMetaShader::OPERATOR_AFTER),
              1);
    struct Case {
        const char* what;
        krShaderAtom* atom;
        int stage;
        krShaderAtom* anchor;
        int op;
    };
    const Case cases[] = {
        {"null atom", nullptr, 0, nullptr, 1},
        {"stage 10", atom, 10, nullptr, 1},
        {"stage -1", atom, -1, nullptr, 1},
        {"operator 2", atom, 0, nullptr, 2},
        {"twice", registered, 0, nullptr, 1},
        {"anchor in another stage", atom, 1, registered, 1},
        {"unregistered anchor", atom, 0, stranger, 1},
    };
    for (const Case& c : cases) {
        kxMessageCapture messages;
        EXPECT_EQ(registry->registerAtom(c.atom, static_cast<krMetaShader::Stage>(c.stage),
                                         c.anchor, static_cast<krMetaShader::Operator>(c.op)),
                  -32767)
            << c.what;
        EXPECT_EQ(messages.messages().size(), 1u) << c.what;
    }
    EXPECT_EQ(registry->getStage(atom), -1);
    EXPECT_EQ(registry->unregisterAtom(stranger), -32767);
}

TEST(FixedFunctionAtoms, EveryFeatureMixValidates) {
    kxGlslValidator validator;
    if (!validator.available())
        GTEST_SKIP() << "glslangValidator was not found when the build was configured";
    typedef krFixedFunctionFeatures F;
    struct Case {
        const char* what;
        int lighting;
        unsigned units;
        int texgen0, texgen1;
        int env0, env1;
        int fog;
        bool perFragment;
    };
    const Case cases[] = {
        {"bare", F::LIGHTING_OFF, 0, 0, 0, 0, 0, 0, false},
        {"colour material, unit 0, linear fog", F::LIGHTING_COLOR_MATERIAL, 1, F::TEXGEN_OFF, 0,
         F::ENV_MODULATE, 0, 1, false},
        {"material, object and eye planes, exp fog", F::LIGHTING_MATERIAL, 3,
         F::TEXGEN_OBJECT_LINEAR, F::TEXGEN_EYE_LINEAR, F::ENV_DECAL, F::ENV_BLEND, 2, false},
        {"eight units, exp2 fog", F::LIGHTING_COLOR_MATERIAL, 0xff, F::TEXGEN_EYE_LINEAR,
         F::TEXGEN_OBJECT_LINEAR, F::ENV_REPLACE, F::ENV_ADD, 3, false},
        {"per fragment, colour material, unit 0, exp2 fog", F::LIGHTING_COLOR_MATERIAL, 1,
         F::TEXGEN_OFF, 0, F::ENV_MODULATE, 0, 3, true},
        {"per fragment, material, two units", F::LIGHTING_MATERIAL, 3, F::TEXGEN_EYE_LINEAR,
         F::TEXGEN_OFF, F::ENV_ADD, F::ENV_MODULATE, 0, true},
    };
    for (const Case& c : cases) {
        F features;
        features.lighting = c.lighting;
        features.units = c.units;
        features.texgen[0] = c.texgen0, features.texgen[1] = c.texgen1;
        features.envMode[0] = c.env0, features.envMode[1] = c.env1;
        features.fog = c.fog;
        std::vector<krShaderAtom*> atoms;
        krShaderProgramSource::collectAtoms(features, {}, c.perFragment, atoms);
        krShaderProgramSource source;
        ASSERT_EQ(source.build(atoms), 1) << c.what;
        EXPECT_EQ(validator.problems(source.getVertexText(), source.getFragmentText()), "")
            << c.what;
        // Lit per fragment: the fragment program lights, the vertex program does not.
        EXPECT_EQ(c.perFragment,
                  source.getFragmentText().find("gl_LightSource[0]") != std::string::npos)
            << c.what;
        EXPECT_EQ(c.lighting != F::LIGHTING_OFF && !c.perFragment,
                  source.getVertexText().find("gl_LightSource[0]") != std::string::npos)
            << c.what;
        // Units that are off cost nothing; each unit on has its sampler bound to its unit.
        int units = 0;
        for (unsigned bits = c.units; bits; bits >>= 1)
            units += bits & 1;
        ASSERT_EQ(static_cast<int>(source.getSamplers().size()), units) << c.what;
        for (size_t i = 0; i < source.getSamplers().size(); ++i)
            EXPECT_EQ(source.getSamplers()[i].name,
                      "krTextureUnit" + std::to_string(source.getSamplers()[i].unit));
        EXPECT_EQ(c.fog != 0, source.getFragmentText().find("fogFactor") != std::string::npos)
            << c.what;
    }
}

TEST(ShaderProgramSource, DeclarationsMergeByNameAndConflictsAreReportedOnce) {
    krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
    TestAtoms atoms;
    krShaderAtom *first = atoms.make("first"), *same = atoms.make("same"),
                 *other = atoms.make("other"), *again = atoms.make("again");
    const char* const lines[] = {"float k = 1.0f", " float k = 1.0f; ", "float k = 2.0f",
                                 "float k = 3.0f"};
    krShaderAtom* const all[] = {first, same, other, again};
    for (int i = 0; i < 4; ++i) {
        all[i]->getVariables().addParameter(lines[i], -1);
        all[i]->setSnippet("    k = k * 2.0f;\n");
        ASSERT_EQ(registry->registerAtom(all[i], static_cast<krMetaShader::Stage>(6),
                                         i ? all[i - 1] : nullptr, krMetaShader::OPERATOR_AFTER),
                  1);
    }
    kxMessageCapture messages;
    krShaderProgramSource source;
    ASSERT_EQ(source.build({first, same, other, again}), 1);
    EXPECT_EQ(source.getConflicts(), std::vector<std::string>{"k"});
    EXPECT_EQ(messages.countContaining("k is declared as"), 1);
    const std::string& text = source.getFragmentText();
    EXPECT_EQ(text.find("float k"), text.rfind("float k"));
    EXPECT_NE(text.find("float k = 1.0;"), std::string::npos);
}
