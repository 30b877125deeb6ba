// Generated programs compiled and drawn on the real OpenGL context: pixels against a CPU
// evaluation of the atoms' formulas, the matrix upload, the cache, and values per context.
#include <kr/krDrawContext.h>
#include <kr/krGeometry.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderAtomRegistry.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krWindow.h>

#include "kxTestSupport.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <cmath>
#include <cstdlib>
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
