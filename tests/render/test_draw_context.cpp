// The draw context against a real OpenGL context: what it applies, when, and what it leaves.
#include <kr/krDrawContext.h>
#include <kr/krFog.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krTexture.h>
#include <kr/krTransform.h>
#include <kr/krWindow.h>
#include <ku/kuAllocRef.h>
#include <kr/krState.h>
#include <ku/kuImageFactory.h>

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <vector>

// Heap allocations of this test program, counted while a test asks for it.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
} // namespace

// Every plain form of new and delete goes through malloc and free, so that whatever the GL
// driver allocates with one form and frees with another still pairs up (under AddressSanitizer
// too). Out of line, so that the compiler does not see free() meet a pointer from new.
namespace {
void* allocate(std::size_t size) noexcept {
    if (g_counting)
        ++g_allocations;
    return std::malloc(size ? size : 1);
}
void* allocateOrThrow(std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
} // namespace

__attribute__((noinline)) void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
__attribute__((noinline)) void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
__attribute__((noinline)) void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

// OpenGL state the elements set, read back with glGet: what makes a difference to drawing (a
// scissor box or a light's colour only where they are switched on).
struct GLSnapshot {
    std::vector<float> values;
    bool operator==(const GLSnapshot& o) const { return values == o.values; }
};

GLSnapshot snapshot() {
    GLSnapshot s;
    for (GLenum cap :
         {GL_BLEND, GL_DEPTH_TEST, GL_LIGHTING, GL_LIGHT0, GL_LIGHT7, GL_FOG, GL_SCISSOR_TEST,
          GL_TEXTURE_2D, GL_COLOR_MATERIAL, GL_POLYGON_OFFSET_FILL, GL_CULL_FACE})
        s.values.push_back(glIsEnabled(cap));
    GLfloat f[16];
    GLint i[4];
    for (GLenum name :
         {GL_BLEND_SRC, GL_BLEND_DST, GL_DEPTH_FUNC, GL_DEPTH_WRITEMASK, GL_CURRENT_PROGRAM,
          GL_CULL_FACE_MODE, GL_POLYGON_MODE, GL_LIGHT_MODEL_TWO_SIDE}) {
        glGetIntegerv(name, i);
        s.values.push_back(float(i[0]));
    }
    for (GLenum name : {GL_VIEWPORT, GL_SCISSOR_BOX, GL_COLOR_WRITEMASK}) {
        if (name == GL_SCISSOR_BOX && !glIsEnabled(GL_SCISSOR_TEST))
            continue;
        glGetIntegerv(name, i);
        s.values.insert(s.values.end(), i, i + 4);
    }
    for (GLenum name : {GL_MODELVIEW_MATRIX, GL_PROJECTION_MATRIX}) {
        glGetFloatv(name, f);
        s.values.insert(s.values.end(), f, f + 16);
    }
    glGetFloatv(GL_FOG_COLOR, f);
    s.values.insert(s.values.end(), f, f + 4);
    if (glIsEnabled(GL_LIGHT7)) {
        glGetLightfv(GL_LIGHT7, GL_AMBIENT, f);
        s.values.insert(s.values.end(), f, f + 4);
    }
    return s;
}

class DrawContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.reset(new krWindow(64, 48));
        if (!m_window->isValid() || !m_window->makeCurrent())
            GTEST_SKIP() << "no OpenGL context: " << m_window->getError();
        m_context = m_window->getDrawContext();
        glViewport(0, 0, 64, 48);
        m_context->reset();
    }
    void TearDown() override {
        if (m_context) {
            EXPECT_EQ(m_context->takeGLError(), 0u);
        }
    }

    std::unique_ptr<krWindow> m_window;
    krDrawContext* m_context = nullptr;
};

kuMatrixd translation(double x, double y, double z) {
    kuMatrixd m;
    m.makeTranslate(x, y, z);
    return m;
}

krFog::Value greyFog() {
    krFog::Value value;
    value.density = 0.01f;
    value.color[0] = 0.25f;
    return value;
}

krLight::Element brightening() {
    krLight::Element lights;
    lights.lights[7].enable = true;
    lights.lights[7].setAmbient(0.3f, 0.3f, 0.3f, 1);
    return lights;
}

// Each element: a value other than the default, and the OpenGL switch it turns on.
struct Case {
    const char* name;
    std::function<void(krDrawContext&, bool force)> set;
    GLenum capability;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"blend",
         [](krDrawContext& c, bool f) { c.setElement(krAlphaBlend::Element(true, 6, 2), f); },
         GL_BLEND},
        {"lighting", [](krDrawContext& c, bool f) { c.setElement(krLighting::Element(true), f); },
         GL_LIGHTING},
        {"fog value",
         [](krDrawContext& c, bool f) { c.setElement(krFog::Element(true, greyFog()), f); },
         GL_FOG},
        {"light 7", [](krDrawContext& c, bool f) { c.setElement(brightening(), f); }, GL_LIGHT7},
        {"polygon",
         [](krDrawContext& c, bool f) {
             c.setElement(
                 krPolygon::Element(true, true, krPolygon::MODE_LINE, krPolygon::FACE_FRONT), f);
         },
         GL_CULL_FACE},
        {"scissor",
         [](krDrawContext& c, bool f) { c.setElement(krScissor::Element(true, 1, 2, 3, 4), f); },
         GL_SCISSOR_TEST},
    };
    return all;
}

TEST_F(DrawContextTest, SettingTheValueInEffectAppliesNothingUnlessForced) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        c.set(*m_context, false);
        EXPECT_TRUE(glIsEnabled(c.capability));
        // Switched off behind the context's back: an unforced set of the same value is free.
        glDisable(c.capability);
        const unsigned long long applied = m_context->getNumApplied();
        c.set(*m_context, false);
        EXPECT_FALSE(glIsEnabled(c.capability));
        EXPECT_EQ(m_context->getNumApplied(), applied);
        c.set(*m_context, true);
        EXPECT_TRUE(glIsEnabled(c.capability));

        // A pop restores what is below; forced, even when it is what the context believes is
        // in effect.
        glDisable(c.capability);
        { krDrawContext::ScopedPush push(*m_context, krDrawContext::ScopedPush::ALL); }
        EXPECT_FALSE(glIsEnabled(c.capability));
        {
            krDrawContext::ScopedPush push(*m_context, krDrawContext::ScopedPush::ALL, false, true,
                                           true);
        }
        EXPECT_TRUE(glIsEnabled(c.capability));
    }
}

TEST_F(DrawContextTest, ScopedPushLeavesTheStateAsItFoundIt) {
    m_context->setElement(krViewport::Element(4, 4, 40, 30), false);
    m_context->setElement(krTransform::ElementModelView(translation(1, 2, 3)), false);
    m_context->setElement(krFog::Element(true, greyFog()), false);
    const GLSnapshot before = snapshot();
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        {
            krDrawContext::ScopedPush all(*m_context, krDrawContext::ScopedPush::ALL, reset);
            krDrawContext::ScopedPush view(*m_context, {KR_ELEMENT_MODELVIEW, KR_ELEMENT_FOG});
            m_context->setElement(krTransform::ElementModelView(), false);
            m_context->setElement(krTransform::ElementProjection::ortho(0, 1, 0, 1, 0, 1), false);
            m_context->setElement(krAlphaBlend::Element(true, 1, 1), false);
            m_context->setElement(krDepthTest::Element(true, 4), false);
            m_context->setElement(krDepthWrite::Element(false), false);
            m_context->setElement(krColorMask::Element(false, false, false, false), false);
            m_context->setElement(krViewport::Element(1, 1, 8, 8), false);
            m_context->setElement(krScissor::Element(true, 1, 1, 4, 4), false);
            m_context->setElement(krPolygon::Element(true, true, krPolygon::MODE_POINT,
                                                     krPolygon::FACE_FRONT_AND_BACK),
                                  false);
            m_context->setElement(brightening(), false);
            m_context->setElement(krFog::Element(false, nullptr), false);
            EXPECT_FALSE(snapshot() == before);
        }
        EXPECT_TRUE(snapshot() == before);
    }
    // A reset push of all elements leaves the channel's own (here the viewport) as they are.
    krDrawContext::ScopedPush all(*m_context, krDrawContext::ScopedPush::ALL, true);
    const auto* viewport = m_context->get<krViewport::Element>();
    EXPECT_EQ(viewport->width, 40);
    EXPECT_FALSE(m_context->get<krFog::Element>()->enable);
}

TEST_F(DrawContextTest, ResetGivesEveryStackOneDefaultAndTheViewportOpenGLHas) {
    m_context->setElement(krAlphaBlend::Element(true, 1, 1), false);
    m_context->pushElement(KR_ELEMENT_LIGHTING, false, true);
    m_context->setElement(krLighting::Element(true), false);
    m_context->setElement(brightening(), false);
    glViewport(8, 6, 32, 24); // the channel's, as the kernel sets it
    m_context->reset();
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
    EXPECT_FALSE(glIsEnabled(GL_LIGHT7));
    EXPECT_FALSE(m_context->get<krLighting::Element>()->enable);
    const auto* viewport = m_context->get<krViewport::Element>();
    EXPECT_EQ(krViewport::Element(8, 6, 32, 24), *viewport);
    // The push before the reset is gone: nothing is left to pop.
    m_context->setElement(krLighting::Element(true), false);
    m_context->popElement(KR_ELEMENT_LIGHTING, false);
    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
}

TEST_F(DrawContextTest, ClearStaysInTheViewportAndScissorWhateverTheMasks) {
    const float black[4] = {0, 0, 0, 1}, red[4] = {1, 0, 0, 1};
    m_context->clear(black, true);
    m_context->setElement(krViewport::Element(8, 8, 32, 24), false);
    m_context->setElement(krScissor::Element(true, 16, 0, 64, 64), false);
    m_context->setElement(krColorMask::Element(false, false, false, false), false);
    m_context->setElement(krDepthWrite::Element(false), false);
    const GLSnapshot before = snapshot();
    m_context->clear(red, true);
    EXPECT_TRUE(snapshot() == before);
    kuRef<kuImage> image = m_window->readPixels();
    ASSERT_NE(image, nullptr);
    // Red exactly where viewport [8, 40) x [8, 32) and scissor x >= 16 overlap.
    for (int y = 0; y < 48; y += 3) {
        for (int x = 0; x < 64; x += 3) {
            const bool inside = x >= 16 && x < 40 && y >= 8 && y < 32;
            EXPECT_EQ(image->getData()[(y * 64 + x) * 3], inside ? 255 : 0) << x << "," << y;
        }
    }
}

TEST_F(DrawContextTest, LightPositionsFollowTheirFrameAndLeaveTheModelView) {
    krLight::Element lights;
    lights.lights[0].enable = true;
    lights.lights[0].setPosition(1, 0, 0, 0);
    lights.frame.makeRotate(90, 0, 0); // x turns into y or -y
    m_context->setElement(krTransform::ElementModelView(translation(5, 0, 0)), false);
    m_context->setElement(lights, false);
    GLfloat position[4], modelView[16];
    glGetLightfv(GL_LIGHT0, GL_POSITION, position);
    EXPECT_NEAR(position[0], 0, 1e-6);
    EXPECT_NEAR(std::abs(position[1]), 1, 1e-6);
    glGetFloatv(GL_MODELVIEW_MATRIX, modelView);
    EXPECT_EQ(modelView[12], 5);
    // Another frame moves the light even though its values did not change.
    lights.frame.makeIdentity();
    m_context->setElement(lights, false);
    glGetLightfv(GL_LIGHT0, GL_POSITION, position);
    EXPECT_EQ(position[0], 1);
}

TEST_F(DrawContextTest, FogValueKeepsWhatItWasGiven) {
    kuRef<krFog> fog = new krFog;
    fog->setFogValue(greyFog());
    const krFog::Element byObject(true, fog.get()), byValue(true, fog->getFogValue());
    fog->setColor(1, 1, 1, 1);
    EXPECT_EQ(byValue.getFogValue()->color[0], 0.25f);
    EXPECT_EQ(byObject.getFogValue()->color[0], 1.0f);
    EXPECT_TRUE(byValue == krFog::Element(true, greyFog()));
    EXPECT_FALSE(byValue == byObject);
    m_context->setElement(byValue, false);
    GLfloat color[4];
    glGetFloatv(GL_FOG_COLOR, color);
    EXPECT_EQ(color[0], 0.25f);
}

kuRef<krTexture::State> textureState(int width) {
    kuRef<krTexture> texture = new krTexture;
    texture->setDimensions(width, 2, 0);
    kuRef<kuAllocRef> bits = kuAllocRef::malloc(static_cast<std::size_t>(width) * 2 * 3);
    texture->setImageLevel(0, bits.get());
    kuRef<krTexture::State> state = new krTexture::State;
    state->setTexture(texture.get());
    state->setEnable(true);
    return state;
}

GLint boundOn(int unit) {
    GLint name = 0;
    glActiveTexture(GL_TEXTURE0 + unit);
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
    glActiveTexture(GL_TEXTURE0);
    return name;
}

TEST_F(DrawContextTest, TextureUnitsBindAgainOnlyWhenAStateChanged) {
    kuRef<krTexture::State> first = textureState(2), second = textureState(4);
    krTexture::Element both;
    both.appendState(first.get());
    both.appendState(second.get());
    m_context->setElement(both, false);
    const GLint names[2] = {boundOn(0), boundOn(1)};
    EXPECT_NE(names[0], 0);
    EXPECT_NE(names[1], 0);
    EXPECT_NE(names[0], names[1]);

    const unsigned long long applied = m_context->getNumApplied();
    m_context->setElement(both, false);
    EXPECT_EQ(m_context->getNumApplied(), applied);
    // A state switched off, and a bind outside the element, each count as a change.
    second->setEnable(false);
    m_context->setElement(both, false);
    EXPECT_EQ(m_context->getNumApplied(), applied + 1);
    glActiveTexture(GL_TEXTURE1);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    glActiveTexture(GL_TEXTURE0);
    m_context->bindTexture(second->getTexture());
    m_context->setElement(both, false);
    EXPECT_EQ(m_context->getNumApplied(), applied + 2);
    EXPECT_EQ(boundOn(0), names[0]);
}

TEST_F(DrawContextTest, MinificationFollowsTheFilterAndTheMipmapMode) {
    struct Row {
        int filter, mipmap, levels;
        GLint expected;
    };
    const Row rows[] = {
        {krTexture::FILTER_LINEAR, krTexture::MIPMAP_AUTO, 3, GL_LINEAR_MIPMAP_LINEAR},
        {krTexture::FILTER_NEAREST, krTexture::MIPMAP_AUTO, 3, GL_NEAREST_MIPMAP_NEAREST},
        {krTexture::FILTER_LINEAR, krTexture::MIPMAP_NEAREST, 3, GL_LINEAR_MIPMAP_NEAREST},
        {krTexture::FILTER_NEAREST, krTexture::MIPMAP_LINEAR, 3, GL_NEAREST_MIPMAP_LINEAR},
        {krTexture::FILTER_DEFAULT, krTexture::MIPMAP_NONE, 3, GL_LINEAR},
        {krTexture::FILTER_LINEAR, krTexture::MIPMAP_LINEAR, 1, GL_LINEAR},
        {krTexture::FILTER_NEAREST, krTexture::MIPMAP_NEAREST, 1, GL_NEAREST},
    };
    for (const Row& row : rows) {
        kuRef<krTexture> texture = new krTexture;
        texture->setDimensions(4, 4, 0);
        texture->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
        for (int level = 0; level < row.levels; ++level)
            texture->setImageLevel(level,
                                   kuAllocRef::malloc(static_cast<std::size_t>(16 >> (2 * level))));
        texture->setMinFilter(row.filter, row.mipmap);
        ASSERT_NE(m_context->bindTexture(texture.get()), 0u);
        GLint filter = 0;
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &filter);
        EXPECT_EQ(filter, row.expected)
            << "filter " << row.filter << ", mipmap " << row.mipmap << ", levels " << row.levels;
    }
}

TEST_F(DrawContextTest, SteadySetPushAndPopAllocateNothing) {
    kuRef<krTexture::State> state = new krTexture::State;
    krTexture::Element texture;
    texture.appendState(state.get());
    const krLight::Element lights = brightening();
    kuRef<krState> own = new krState(false); // the elements it lacks go back to defaults
    own->setElement(krDepthWrite::Element(false));
    auto frame = [&] {
        krDrawContext::ScopedPush all(*m_context, krDrawContext::ScopedPush::ALL, true);
        krDrawContext::ScopedPush more(*m_context, {KR_ELEMENT_TEXTURE, KR_ELEMENT_FOG});
        m_context->setElement(texture, false);
        m_context->setElement(lights, false);
        m_context->setElement(krFog::Element(true, greyFog()), false);
        m_context->setState(own.get());
    };
    frame(); // reaches the deepest push and sizes the texture lists
    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 10; ++i)
        frame();
    g_counting = false;
    EXPECT_EQ(g_allocations, 0);
}

} // namespace
