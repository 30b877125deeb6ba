// Generated and whole programs compiled and drawn on the real OpenGL context: pixels against a
// CPU evaluation of the atoms' formulas, the matrix upload, the cache, values per context, and
// whole programs (the fog beam's among them) carried by states.
#include <kxlightlobefogeffectprograms.h>
#include <kxlightlobeshadertechniquemgr.h>

#include <kr/krDrawContext.h>
#include <kr/krFog.h>
#include <kr/krGeometry.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderAtomRegistry.h>
#include <kr/krShaderFactory.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krState.h>
#include <kr/krTexture.h>
#include <kr/krTransform.h>
#include <kr/krWindow.h>
#include <ku/kuAllocRef.h>
#include <ku/kuFile.h>

#include "kxTestSupport.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

namespace {

const int WIDTH = 64, HEIGHT = 48;
const float BASE = 0.2f;
const float LOBE_COLOR[4] = {0.6f, 0.5f, 0.4f, 0.0f};
// A projector that is not symmetric, so that a transposed upload shows: lobe coordinates are
// (x - 0.3, y, z, 0.6 y + 0.5) of the eye position; inside where |xy| <= w.
const float LOBE_MATRIX[16] = {1, 0, 0, -0.3f, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0.6f, 0, 0.5f};

typedef krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>> MatrixParameter;
typedef krShaderParameter<krShaderLanguage::ArrayType4<float>> ColorParameter;

// A one-slot lobe: the vertex program projects the eye position, the fragment program adds
// the lobe's colour inside the cone.
class LobeTechnique {
public:
    LobeTechnique() {
        krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
        m_matrix = static_cast<MatrixParameter*>(
            krShaderParameterBase::make("lobeMatrix", krShaderParameterBase::TYPE_FLOAT4X4, 0));
        m_color = static_cast<ColorParameter*>(
            krShaderParameterBase::make("lobeColor", krShaderParameterBase::TYPE_FLOAT4, 0));
        m_project = new krShaderAtom;
        m_project->setTokenName("TestLobeProject");
        krShaderAtom::Parameter varying;
        varying.setType("float4");
        varying.setName("lobeCoord");
        varying.setSemantic("TEXCOORD%d");
        varying.setFullString("float4 lobeCoord : TEXCOORD%d");
        varying.setNumComponents(4);
        m_project->getVertOutParameters().addParameter(varying, -1);
        m_project->setSnippet("    lobeCoord = mul(lobeMatrix, OutPosEye);\n");
        m_project->push_back_parameter(m_matrix.get());
        m_light = new krShaderAtom;
        m_light->setTokenName("TestLobeLight");
        m_light->getVertOutParameters().addParameter(varying, -1);
        m_light->setSnippet("    float inside = step(length(lobeCoord.xy), lobeCoord.w);\n"
                            "    foColor.rgb = foColor.rgb + inside * lobeColor.rgb;\n");
        m_light->push_back_parameter(m_color.get());
        registry->registerAtom(m_project.get(), static_cast<krMetaShader::Stage>(3), nullptr,
                               krMetaShader::OPERATOR_AFTER);
        registry->registerAtom(m_light.get(), static_cast<krMetaShader::Stage>(7), nullptr,
                               krMetaShader::OPERATOR_AFTER);
        m_technique = new krShaderTechnique;
        m_technique->push_back_atom(m_project.get());
        m_technique->push_back_atom(m_light.get());
    }
    ~LobeTechnique() {
        krShaderAtomRegistry::instance()->unregisterAtom(m_light.get());
        krShaderAtomRegistry::instance()->unregisterAtom(m_project.get());
    }
    krShaderProgramKey key() const {
        krShaderProgramKey k;
        k.push_back_technique(m_technique.get());
        return k;
    }
    void set(krDrawContext& context, const float* color) const {
        MatrixParameter::ValueType matrix;
        for (int i = 0; i < 16; ++i)
            matrix(i / 4, i % 4) = LOBE_MATRIX[i];
        m_matrix->setValue(matrix, &context);
        ColorParameter::ValueType value;
        for (int i = 0; i < 4; ++i)
            value[i] = color[i];
        m_color->setValue(&context, value);
    }

private:
    kuRef<MatrixParameter> m_matrix;
    kuRef<ColorParameter> m_color;
    kuRef<krShaderAtom> m_project, m_light;
    kuRef<krShaderTechnique> m_technique;
};

struct Window {
    std::unique_ptr<krWindow> window{new krWindow(WIDTH, HEIGHT)};
    krDrawContext* context = nullptr;
    bool open() {
        if (!window->isValid() || !window->makeCurrent())
            return false;
        context = window->getDrawContext();
        glViewport(0, 0, WIDTH, HEIGHT);
        context->reset();
        return true;
    }
};

kuRef<krGeometry> screenQuad() {
    kuRef<krGeometry> quad = new krGeometry;
    quad->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_FAN);
    quad->setVertices({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}});
    quad->setColors({{BASE, BASE, BASE, 1}}, krGeometry::BIND_OVERALL);
    return quad;
}

// Draws the quad with the program and reads the frame back (RGBA rows from the bottom).
std::vector<unsigned char> draw(krDrawContext& context, unsigned int program,
                                const krGeometry* quad) {
    const float black[4] = {0, 0, 0, 1};
    context.clear(black, true);
    context.setElement(krProgram::Element(program), false);
    context.drawGeometry(quad);
    std::vector<unsigned char> pixels(WIDTH * HEIGHT * 4);
    glReadPixels(0, 0, WIDTH, HEIGHT, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

int level(float value) {
    return static_cast<int>(std::lround(std::min(1.0f, std::max(0.0f, value)) * 255.0f));
}

} // namespace

TEST(GeneratedProgram, LobePixelsMatchTheCpuEvaluationOnlyWithTheTransposedUpload) {
    struct Case {
        const char* what;
        bool transpose;
        bool matches;
    };
    const Case cases[] = {{"row-major values uploaded transposed", true, true},
                          {"uploaded as they are", false, false}};
    LobeTechnique lobe;
    kuRef<krGeometry> quad = screenQuad();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Window w;
        if (!w.open())
            GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
        w.context->getShaderPrograms().setTransposeMatrices(c.transpose);
        const unsigned int program = w.context->getShaderProgram(lobe.key());
        ASSERT_NE(program, 0u);
        lobe.set(*w.context, LOBE_COLOR);
        const std::vector<unsigned char> pixels = draw(*w.context, program, quad.get());
        int inside = 0, outside = 0, wrong = 0;
        for (int j = 0; j < HEIGHT; ++j) {
            for (int i = 0; i < WIDTH; ++i) {
                const float x = (i + 0.5f) / WIDTH * 2 - 1, y = (j + 0.5f) / HEIGHT * 2 - 1;
                const float r = std::hypot(x - 0.3f, y), lw = 0.6f * y + 0.5f;
                if (std::fabs(r - lw) < 0.04f)
                    continue; // the edge: rasterisation may fall either way
                const bool in = r <= lw;
                (in ? inside : outside)++;
                for (int k = 0; k < 3; ++k)
                    if (std::abs(pixels[(j * WIDTH + i) * 4 + k] -
                                 level(BASE + (in ? LOBE_COLOR[k] : 0.0f))) > 2)
                        ++wrong;
            }
        }
        EXPECT_GT(inside, 200);
        EXPECT_GT(outside, 200);
        if (c.matches)
            EXPECT_EQ(wrong, 0);
        else
            EXPECT_GT(wrong, 100);
        EXPECT_EQ(w.context->takeGLError(), 0u);
    }
}

TEST(GeneratedProgram, EachKeyBuildsOnceAndAFailureIsReportedOnce) {
    Window w;
    if (!w.open())
        GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
    LobeTechnique lobe;
    krShaderProgramCache& cache = w.context->getShaderPrograms();
    const unsigned int first = w.context->getShaderProgram(lobe.key());
    EXPECT_NE(first, 0u);
    EXPECT_EQ(w.context->getShaderProgram(lobe.key()), first);
    EXPECT_NE(w.context->getShaderProgram(krShaderProgramKey()), first);
    EXPECT_EQ(cache.getNumBuilds(), 2u);

    // A snippet GLSL refuses: drawn fixed-function, reported once with the compiler's log.
    kuRef<krShaderAtom> broken = new krShaderAtom;
    broken->setTokenName("TestBroken");
    broken->setSnippet("    foColor = notDeclaredAnywhere;\n");
    ASSERT_EQ(krShaderAtomRegistry::instance()->registerAtom(broken.get(),
                                                             static_cast<krMetaShader::Stage>(7),
                                                             nullptr, krMetaShader::OPERATOR_AFTER),
              1);
    kuRef<krShaderTechnique> technique = new krShaderTechnique;
    technique->push_back_atom(broken.get());
    krShaderProgramKey key;
    key.push_back_technique(technique.get());
    kxMessageCapture messages;
    EXPECT_EQ(w.context->getShaderProgram(key), 0u);
    EXPECT_EQ(w.context->getShaderProgram(key), 0u);
    EXPECT_EQ(messages.countContaining("notDeclaredAnywhere"), 1);
    EXPECT_EQ(cache.getNumBuilds(), 3u);
    krShaderAtomRegistry::instance()->unregisterAtom(broken.get());
    EXPECT_EQ(w.context->takeGLError(), 0u);
}

TEST(GeneratedProgram, TwoWindowsDrawWithTheirOwnValues) {
    Window a, b;
    if (!a.open() || !b.open())
        GTEST_SKIP() << "no OpenGL context: " << a.window->getError();
    LobeTechnique lobe;
    kuRef<krGeometry> quad = screenQuad();
    const float red[4] = {0.8f, 0, 0, 0}, green[4] = {0, 0.8f, 0, 0}, blue[4] = {0, 0, 0.8f, 0};
    // Both values set before either window draws: a value shared by the parameter would show.
    ASSERT_TRUE(a.window->makeCurrent());
    lobe.set(*a.context, red);
    ASSERT_TRUE(b.window->makeCurrent());
    lobe.set(*b.context, green);
    // The middle of the cone (x 0.3, y 0.2: pixel 41, 28).
    const auto middle = [&](Window& w) {
        EXPECT_TRUE(w.window->makeCurrent());
        const std::vector<unsigned char> pixels =
            draw(*w.context, w.context->getShaderProgram(lobe.key()), quad.get());
        const unsigned char* p = &pixels[(28 * WIDTH + 41) * 4];
        return std::vector<int>{p[0], p[1], p[2]};
    };
    const int lit = level(BASE + 0.8f), unlit = level(BASE);
    EXPECT_EQ(middle(a), (std::vector<int>{lit, unlit, unlit}));
    EXPECT_EQ(middle(b), (std::vector<int>{unlit, lit, unlit}));
    // A change reaches the program that already saw the old value; the other window keeps its.
    ASSERT_TRUE(a.window->makeCurrent());
    lobe.set(*a.context, blue);
    EXPECT_EQ(middle(a), (std::vector<int>{unlit, unlit, lit}));
    EXPECT_EQ(middle(b), (std::vector<int>{unlit, lit, unlit}));

    // Each window on its own thread, setting and drawing at the same time.
    a.window->doneCurrent();
    b.window->doneCurrent();
    const float yellow[4] = {0.8f, 0.8f, 0, 0};
    const auto drawLoop = [&](Window& w, const float* first, const float* second,
                              std::atomic<int>& wrong) {
        if (!w.window->makeCurrent()) {
            wrong += 1000;
            return;
        }
        for (int round = 0; round < 40; ++round) {
            const float* color = round % 2 ? second : first;
            // As a window's draw thread does; rounds of the two windows still interleave.
            const std::unique_lock<std::mutex> drawing = w.window->lockDrawing();
            lobe.set(*w.context, color);
            std::vector<int> expected;
            for (int k = 0; k < 3; ++k)
                expected.push_back(level(BASE + color[k]));
            wrong += middle(w) != expected;
        }
        w.window->doneCurrent();
    };
    std::atomic<int> wrongA{0}, wrongB{0};
    std::thread threadA([&] { drawLoop(a, red, blue, wrongA); });
    std::thread threadB([&] { drawLoop(b, green, yellow, wrongB); });
    threadA.join();
    threadB.join();
    EXPECT_EQ(wrongA.load(), 0);
    EXPECT_EQ(wrongB.load(), 0);
}

namespace {

// A whole Cg program pair read through in-memory files, as a library carries its own.
krShaderProgram* wholeProgram(const char* vertexText, const char* fragmentText) {
    kuRef<krShaderFactory> factory = new krShaderFactory;
    kuRef<krShaderProgram> program = factory->createProgram("cg");
    program->setApplyMode(krShaderProgram::APPLY_REPLACE);
    const char* texts[2] = {vertexText, fragmentText};
    for (int type = 0; type < 2; ++type) {
        kuRef<kuFile> file = kuFile::open(texts[type], std::strlen(texts[type]), "test.cg", "rt");
        kuRef<krShader> shader = factory->read(file.get(), type);
        EXPECT_TRUE(shader) << texts[type];
        if (shader)
            program->insert_shader(shader.get());
        EXPECT_EQ(file->close(), 1);
    }
    return program.release();
}

const char* const SWAP_VERTEX = R"(
struct vout { float4 position : POSITION; float4 color : COLOR0; };
vout main(float4 position : POSITION, float4 color : COLOR0) {
    vout OUT;
    OUT.position = mul(glstate.matrix.mvp, position);
    OUT.color = color;
    return OUT;
})";
// Blue and red swapped, and a uniform colour added: the pixels show the program drew.
const char* const SWAP_FRAGMENT = R"(
float4 main(float4 color : COLOR0) : COLOR {
    return float4(color.b, color.g, color.r + 0.25f, 1.0f);
})";

kuRef<krState> stateWith(krShaderProgram* program) {
    kuRef<krState> state = new krState(false);
    if (program) {
        krShaderProgram::Element element;
        element.setEnable(true);
        element.setProgram(program);
        state->setElement(element);
    }
    return state;
}

std::vector<int> middlePixel(krDrawContext& context, const krState* state,
                             const krGeometry* geometry) {
    const float black[4] = {0, 0, 0, 0};
    context.clear(black, true);
    context.setState(state);
    context.drawGeometry(geometry);
    unsigned char p[4] = {0, 0, 0, 0};
    glReadPixels(WIDTH / 2, HEIGHT / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return {p[0], p[1], p[2]};
}

} // namespace

TEST(WholeProgram, AStateCarriesItAndEachContextBuildsItOnce) {
    Window w;
    if (!w.open())
        GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
    kuRef<krGeometry> quad = new krGeometry;
    quad->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_FAN);
    quad->setVertices({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}});
    quad->setColors({{0.2f, 0.4f, 0.6f, 1}}, krGeometry::BIND_OVERALL);
    kuRef<krShaderProgram> program = wholeProgram(SWAP_VERTEX, SWAP_FRAGMENT);
    kuRef<krState> withProgram = stateWith(program.get()), plain = stateWith(nullptr);
    krShaderProgramCache& cache = w.context->getShaderPrograms();
    const std::vector<int> swapped = {level(0.6f), level(0.4f), level(0.45f)},
                           fixed = {level(0.2f), level(0.4f), level(0.6f)};

    EXPECT_EQ(middlePixel(*w.context, withProgram.get(), quad.get()), swapped);
    EXPECT_EQ(cache.getNumBuilds(), 1u);
    // The next state without it draws fixed-function again; coming back builds nothing.
    EXPECT_EQ(middlePixel(*w.context, plain.get(), quad.get()), fixed);
    EXPECT_EQ(middlePixel(*w.context, withProgram.get(), quad.get()), swapped);
    EXPECT_EQ(cache.getNumBuilds(), 1u);
    // Carried but not applied.
    program->setApplyMode(krShaderProgram::APPLY_OFF);
    EXPECT_EQ(middlePixel(*w.context, withProgram.get(), quad.get()), fixed);
    program->setApplyMode(krShaderProgram::APPLY_REPLACE);

    // Another context builds its own copy; one that does not link is reported once, without
    // the text of a hidden stage, and draws fixed-function.
    Window other;
    ASSERT_TRUE(other.open());
    EXPECT_EQ(middlePixel(*other.context, withProgram.get(), quad.get()), swapped);
    EXPECT_EQ(other.context->getShaderPrograms().getNumBuilds(), 1u);
    kuRef<krShaderProgram> broken =
        wholeProgram(SWAP_VERTEX, "float4 main() : COLOR { return notDeclared; }");
    broken->getShader(1)->setHidden(true);
    kuRef<krState> withBroken = stateWith(broken.get());
    kxMessageCapture messages;
    EXPECT_EQ(middlePixel(*other.context, withBroken.get(), quad.get()), fixed);
    EXPECT_EQ(middlePixel(*other.context, withBroken.get(), quad.get()), fixed);
    EXPECT_EQ(messages.countContaining("notDeclared"), 1);
    EXPECT_EQ(messages.countContaining("return notDeclared"), 0);
    EXPECT_EQ(other.context->takeGLError(), 0u);
}

TEST(WholeProgram, TheFogBeamDrawsWhatItsFormulasGive) {
    Window w;
    if (!w.open())
        GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
    kuRef<krShaderProgram> beam = kxLightLobeFogEffectPrograms::createProgram();
    ASSERT_TRUE(beam);
    ASSERT_EQ(beam->getNumShaders(), 2);
    ASSERT_NE(w.context->getShaderPrograms().getWhole(*beam), 0u);

    const float color[4] = {0.05f, 0.1f, 0.15f, 0.8f};
    const unsigned char texel[3] = {153, 51, 26}; // 0.6, 0.2, 0.1
    const float fogColor[3] = {0.6f, 0.3f, 0.2f};
    // The quad's corners lie at (+-1, +-1, 0) in the eye: the four-component distance is
    // sqrt(3) at each, so the interpolated fog factor is exp(-3 density^2) everywhere.
    const float density = 0.5f, fogFactor = std::exp(-3 * density * density);

    kuRef<krGeometry> quad = new krGeometry;
    quad->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_FAN);
    quad->setVertices({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}});
    quad->setColors({{color[0], color[1], color[2], color[3]}}, krGeometry::BIND_OVERALL);
    quad->setTexCoords({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    kuRef<krTexture> texture = new krTexture;
    texture->setDimensions(2, 2, 0);
    kuRef<kuAllocRef> bits = kuAllocRef::malloc(2 * 2 * 3);
    for (int i = 0; i < 4; ++i)
        std::memcpy(static_cast<unsigned char*>(bits->data()) + 3 * i, texel, 3);
    texture->setImageLevel(0, bits.get());
    kuRef<krTexture::State> textureState = new krTexture::State;
    textureState->setTexture(texture.get());
    textureState->setEnable(true);
    kuRef<krState> state = stateWith(beam.get());
    krTexture::Element textures;
    textures.appendState(textureState.get());
    state->setElement(textures);
    state->setElement(krAlphaBlend::Element(true, 4, 5));
    krFog::Value fog;
    fog.type = krFog::TYPE_EXP2;
    fog.density = density;
    std::copy(fogColor, fogColor + 3, fog.color);
    state->setElement(krFog::Element(true, fog));

    // Blended over black: rgb times the beam's opacity, colour alpha times the texture's red.
    const float alpha = color[3] * texel[0] / 255.0f;
    std::vector<int> expected;
    for (int k = 0; k < 3; ++k) {
        const float ff = fogColor[k] + (color[k] - fogColor[k]) * fogFactor;
        expected.push_back(level(std::min(1.0f, color[k] + texel[k] / 255.0f + ff) * alpha));
    }
    const std::vector<int> pixel = middlePixel(*w.context, state.get(), quad.get());
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(pixel[k], expected[k], 2) << "channel " << k;
    EXPECT_EQ(w.context->takeGLError(), 0u);
}

namespace {

// A dome of normals over the whole view, cells x cells quads, lit by a directional light 0
// with the vertex colour as material.
kuRef<krGeometry> litGrid(int cells) {
    std::vector<kuVec3f> vertices, normals;
    std::vector<unsigned int> indices;
    for (int j = 0; j <= cells; ++j)
        for (int i = 0; i <= cells; ++i) {
            const float x = 2.0f * i / cells - 1, y = 2.0f * j / cells - 1;
            vertices.push_back({x, y, 0});
            const float n[3] = {0.9f * x, 0.9f * y, 1};
            const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            normals.push_back({n[0] / length, n[1] / length, n[2] / length});
        }
    for (int j = 0; j < cells; ++j)
        for (int i = 0; i < cells; ++i) {
            const unsigned int a = static_cast<unsigned int>(j * (cells + 1) + i);
            const unsigned int b = a + 1, c = a + cells + 1, d = c + 1;
            indices.insert(indices.end(), {a, b, d, a, d, c});
        }
    kuRef<krGeometry> grid = new krGeometry;
    grid->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLES);
    grid->setVertices(vertices);
    grid->setNormals(normals, krGeometry::BIND_PER_VERTEX);
    grid->setColors({{0.9f, 0.8f, 0.7f, 1}}, krGeometry::BIND_OVERALL);
    grid->setIndices(indices);
    return grid;
}

std::vector<unsigned char> drawLit(krDrawContext& context, const krState* state,
                                   const krGeometry* geometry) {
    krLight::Element light;
    light.colorMaterial = true;
    light.lights[0].enable = true;
    light.lights[0].setPosition(0.5f, 0.3f, 0.8f, 0);
    light.lights[0].setDiffuse(0.8f, 0.7f, 0.6f, 1);
    light.lights[0].setAmbient(0.1f, 0.1f, 0.1f, 1);
    context.setElement(light, false);
    const float black[4] = {0, 0, 0, 1};
    context.clear(black, true);
    context.setState(state);
    context.drawGeometry(geometry);
    std::vector<unsigned char> pixels(WIDTH * HEIGHT * 4);
    glReadPixels(0, 0, WIDTH, HEIGHT, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

// Pixels where a colour channel differs by more than tolerance levels.
int differing(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
              int tolerance) {
    int count = 0;
    for (size_t p = 0; p < a.size(); p += 4)
        for (size_t k = 0; k < 3; ++k)
            if (std::abs(a[p + k] - b[p + k]) > tolerance) {
                ++count;
                break;
            }
    return count;
}

} // namespace

// Lighting per fragment is the per-vertex formula at every fragment: on a fine mesh the two
// agree; on two triangles the per-vertex colour is visibly interpolated where per fragment is
// not.
TEST(GeneratedProgram, PerFragmentLightingMatchesPerVertexOnAFineMesh) {
    Window w;
    if (!w.open())
        GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
    struct Restore {
        ~Restore() { krShaderInfrastructure::instance()->setEnable(false); }
    } restore;
    krShaderInfrastructure::instance()->setEnable(true);
    kuRef<krState> perVertex = new krState(false), perFragment = new krState(false);
    perVertex->setElement(krLighting::Element(true));
    perFragment->setElement(krLighting::Element(true));
    perFragment->setPerFragmentLighting(true);
    const int pixels = WIDTH * HEIGHT;
    struct Case {
        int cells;
        bool agree;
    };
    for (const Case c : {Case{64, true}, Case{1, false}}) {
        SCOPED_TRACE(c.cells);
        kuRef<krGeometry> grid = litGrid(c.cells);
        const std::vector<unsigned char> a = drawLit(*w.context, perVertex.get(), grid.get());
        const std::vector<unsigned char> b = drawLit(*w.context, perFragment.get(), grid.get());
        if (c.agree)
            EXPECT_LE(differing(a, b, 2), pixels / 200);
        else
            EXPECT_GT(differing(a, b, 2), pixels / 10);
    }
    // One program per variant, each built once.
    EXPECT_EQ(w.context->getShaderPrograms().getNumBuilds(), 2u);
    EXPECT_EQ(w.context->takeGLError(), 0u);
}

namespace {

// One lobe over a lit, fogged quad, drawn with the module's techniques, and the same formulas
// evaluated here. The quad lies 2 units before the eye; the lobe's row-vector matrix gives
// q = 0.8 y + 0.3 (behind the projector below y = -0.375), s = (0.3 x + 0.4 y + 0.15) / q,
// t = 0.5, and range r = 8 x + 8 (beyond the fade range 10 right of x = 1/4). The texture's
// four columns grow brighter along s, and its black border lies outside [0, 1]: the cone.
struct LobeScene {
    static constexpr float RANGE = 10, BRIGHTNESS = 3, DENSITY = 0.3f;
    static constexpr unsigned char COLUMNS[4] = {60, 120, 180, 240};
    const float lobeColor[3] = {0.9f, 0.8f, 0.7f};
    const float frontAmbient[4] = {0.5f, 0.4f, 0.3f, 1}, frontDiffuse[4] = {0.3f, 0.35f, 0.4f, 1};
    const float lightAmbient = 0.1f, lightDiffuse = 0.7f;
    const float fogColor[3] = {0.1f, 0.2f, 0.3f};

    static kuMatrix<float> matrix() {
        kuMatrix<float> m;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m(r, c) = 0;
        m(0, 0) = 0.3f, m(1, 0) = 0.4f, m(3, 0) = 0.15f;
        m(1, 1) = 0.4f, m(3, 1) = 0.15f;
        m(0, 2) = 8, m(3, 2) = 8;
        m(1, 3) = 0.8f, m(3, 3) = 0.3f;
        return m;
    }
    static float q(float, float y) { return 0.8f * y + 0.3f; }
    static float s(float x, float y) { return (0.3f * x + 0.4f * y + 0.15f) / q(x, y); }

    enum Region { LIT, OUTSIDE_CONE, BEYOND_RANGE, BEHIND, EDGE };
    // Pixels whose s lies near a column's edge may sample either side: left out.
    static Region region(float x, float y) {
        const float w = q(x, y), c = s(x, y) * 4;
        if (std::fabs(w) < 0.08f)
            return EDGE;
        if (w < 0)
            return BEHIND;
        if (std::fabs(c - std::round(c)) < 0.08f)
            return EDGE;
        if (c < 0 || c > 4)
            return OUTSIDE_CONE;
        return 8 * x + 8 > RANGE ? BEYOND_RANGE : LIT;
    }

    // The colour the atoms compute at (x, y): light 0 on the front material, the lobe's
    // brightness by falloff, max with the lit colour, then exp fog at distance 2.
    void expected(float x, float y, int falloff, float out[3]) const {
        const float w = q(x, y), column = s(x, y) * 4;
        const float texel = column >= 0 && column < 4 ? COLUMNS[int(column)] / 255.0f : 0;
        const float f = (RANGE - (8 * x + 8)) / RANGE;
        float b = 0;
        if (w >= 0) {
            if (falloff == 0) {
                b = std::min(1.0f, std::max(0.0f, texel * BRIGHTNESS * f));
            } else {
                const float fs = std::min(1.0f, std::max(0.0f, f));
                b = texel * BRIGHTNESS * fs * fs * (falloff == 2 ? fs : 1);
            }
        }
        const float fog = std::exp(-DENSITY * 2);
        for (int k = 0; k < 3; ++k) {
            const float lit =
                std::min(1.0f, lightAmbient * frontAmbient[k] + lightDiffuse * frontDiffuse[k]);
            const float color = std::max(lit, lobeColor[k] * b);
            out[k] = fogColor[k] + (color - fogColor[k]) * fog;
        }
    }
};

} // namespace

// Every falloff drawn with the module's techniques gives the CPU's pixels in each region; each
// translation rule broken on purpose (and the matrix uploaded untransposed) gives other pixels.
TEST(GeneratedProgram, LobePixelsFollowTheAtomsFormulasAndEachBrokenRuleShows) {
    typedef kxLightLobeShaderTechniqueMgr Mgr;
    ASSERT_EQ(Mgr::instance()->preConfigure(), 1);
    struct Cleanup {
        ~Cleanup() {
            Mgr::instance()->unconfigure();
            Mgr::destroy();
        }
    } cleanup;
    struct Case {
        const char* what;
        int falloff;
        krCgTranslator::Break brk;
        bool transpose;
        bool matches;
    };
    const Case cases[] = {
        {"linear", 0, krCgTranslator::BREAK_NONE, true, true},
        {"squared", 1, krCgTranslator::BREAK_NONE, true, true},
        {"cubic", 2, krCgTranslator::BREAK_NONE, true, true},
        {"mul operands swapped", 0, krCgTranslator::BREAK_MUL_SWAPPED, true, false},
        {"saturate dropped", 1, krCgTranslator::BREAK_SATURATE_DROPPED, true, false},
        {"matrix uploaded untransposed", 0, krCgTranslator::BREAK_NONE, false, false},
        {"tex2Dproj as texture2D", 0, krCgTranslator::BREAK_TEX2DPROJ_AS_TEXTURE2D, true, false},
        {"back material", 0, krCgTranslator::BREAK_MATERIAL_BACK, true, false},
        {"fog parameters out of order", 0, krCgTranslator::BREAK_FOG_PARAMS_ORDER, true, false},
    };
    const LobeScene scene;
    // One slot's data per falloff: slots 1, 2 and 3.
    kuRef<kxLightLobeShaderData> byFalloff[3];
    for (int f = 0; f < 3; ++f)
        byFalloff[f] =
            Mgr::instance()->getShaderData(static_cast<kxLightLobeShaderData::Falloff>(f));

    kuRef<krGeometry> quad = new krGeometry;
    quad->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_FAN);
    quad->setVertices({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}});
    quad->setNormals({{0, 0, 1}}, krGeometry::BIND_OVERALL);
    quad->setColors({{1, 1, 1, 1}}, krGeometry::BIND_OVERALL);
    kuRef<krTexture> texture = new krTexture;
    texture->setDimensions(4, 4, 0);
    ASSERT_EQ(texture->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE), 1);
    texture->setWrap(krTexture::WRAP_CLAMP_TO_BORDER, krTexture::WRAP_CLAMP_TO_BORDER,
                     krTexture::WRAP_CLAMP_TO_BORDER);
    texture->setMinFilter(krTexture::FILTER_NEAREST, krTexture::MIPMAP_NONE);
    texture->setMagFilter(krTexture::FILTER_NEAREST);
    kuRef<kuAllocRef> bits = kuAllocRef::malloc(16);
    for (int i = 0; i < 16; ++i)
        bits->data()[i] = LobeScene::COLUMNS[i % 4];
    texture->setImageLevel(0, bits.get());

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kxLightLobeShaderData* lobe = byFalloff[c.falloff].get();
        ASSERT_TRUE(lobe);
        const int slot = lobe->getStage();
        Window w;
        if (!w.open())
            GTEST_SKIP() << "no OpenGL context: " << w.window->getError();
        krDrawContext& context = *w.context;
        context.getShaderPrograms().setTransposeMatrices(c.transpose);
        context.getShaderPrograms().setTranslationBreak(c.brk);
        krShaderProgramKey key;
        key.features.lighting = krFixedFunctionFeatures::LIGHTING_MATERIAL;
        key.features.fog = krFog::TYPE_EXP;
        for (auto it = lobe->begin_techniques(); it != lobe->end_techniques(); ++it)
            key.push_back_technique(it->get());
        key.push_back_technique(Mgr::instance()->getTechnique(Mgr::TECHNIQUE_ADD_TO_OUT_COLOR));
        const unsigned int program = context.getShaderProgram(key);
        ASSERT_NE(program, 0u);

        // The slot's texture on the unit its sampler names.
        krTexture::Element textures;
        for (int unit = 0; unit <= slot; ++unit) {
            kuRef<krTexture::State> state = new krTexture::State;
            state->setTexture(texture.get());
            state->setEnable(unit == slot);
            textures.appendState(state.get());
        }
        context.setElement(textures, false);
        krLight::Element light;
        light.lights[0].enable = true;
        light.lights[0].setPosition(0, 0, 1, 0);
        light.lights[0].setAmbient(scene.lightAmbient, scene.lightAmbient, scene.lightAmbient, 1);
        light.lights[0].setDiffuse(scene.lightDiffuse, scene.lightDiffuse, scene.lightDiffuse, 1);
        std::fill(light.modelAmbient, light.modelAmbient + 3, 0.0f);
        context.setElement(light, false);
        // No element sets a material: the front one differs from the default back one.
        glMaterialfv(GL_FRONT, GL_AMBIENT, scene.frontAmbient);
        glMaterialfv(GL_FRONT, GL_DIFFUSE, scene.frontDiffuse);
        const float ambient[4] = {scene.lightAmbient, scene.lightAmbient, scene.lightAmbient, 1};
        const float diffuse[4] = {scene.lightDiffuse, scene.lightDiffuse, scene.lightDiffuse, 1};
        context.setUniformValue(krFixedFunctionFeatures::getLightsAmbient()->getId(), ambient, 4);
        context.setUniformValue(krFixedFunctionFeatures::getLight0Diffuse()->getId(), diffuse, 4);
        krFog::Value fog;
        fog.type = krFog::TYPE_EXP;
        fog.density = LobeScene::DENSITY;
        std::copy(scene.fogColor, scene.fogColor + 3, fog.color);
        context.setElement(krFog::Element(true, fog), false);
        kuMatrixd eye;
        eye.makeTranslate(0, 0, -2);
        context.setElement(krTransform::ElementModelView(eye), false);
        context.setElement(krTransform::ElementProjection::ortho(-1, 1, -1, 1, 0, 10), false);
        lobe->applyTextureMatrix(LobeScene::matrix(), &context);
        lobe->applyLightingParams(kuVec4<float>(LobeScene::RANGE, LobeScene::BRIGHTNESS, 0, 0),
                                  &context);
        lobe->applyLightColor(
            kuVec4<float>(scene.lobeColor[0], scene.lobeColor[1], scene.lobeColor[2], 1), &context);
        const std::vector<unsigned char> pixels = draw(context, program, quad.get());

        int counted[5] = {}, wrong = 0;
        for (int j = 0; j < HEIGHT; ++j)
            for (int i = 0; i < WIDTH; ++i) {
                const float x = (i + 0.5f) / WIDTH * 2 - 1, y = (j + 0.5f) / HEIGHT * 2 - 1;
                const LobeScene::Region region = LobeScene::region(x, y);
                ++counted[region];
                if (region == LobeScene::EDGE)
                    continue;
                float want[3];
                scene.expected(x, y, c.falloff, want);
                for (int k = 0; k < 3; ++k)
                    if (std::abs(pixels[(j * WIDTH + i) * 4 + k] - level(want[k])) > 2) {
                        ++wrong;
                        break;
                    }
            }
        for (int region :
             {LobeScene::LIT, LobeScene::OUTSIDE_CONE, LobeScene::BEYOND_RANGE, LobeScene::BEHIND})
            EXPECT_GT(counted[region], 40) << "region " << region;
        if (c.matches)
            EXPECT_EQ(wrong, 0);
        else
            EXPECT_GT(wrong, 100);
        EXPECT_EQ(context.takeGLError(), 0u);
    }
}
