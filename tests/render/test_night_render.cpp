#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <kr/krDrawContext.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksWindow.h>
#include <ku/kuImageFactory.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksServiceMgr.h>
#include <kx/kxEnv.h>
#include <kx/kxShapes.h>
#include <kx/kxTransform.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <cstdlib>

namespace {

// A flat, evenly lit ground seen from above, with one lobe pointing straight down at it.
class NightRenderTest : public kxModuleTest {
protected:
    void SetUp() override {
        kxModuleTest::SetUp();
        m_scene = new kxScene;
        m_terrain = kxFlatGround(2000, 16);
        m_scene->addChild(m_terrain.get());

        m_window = new ksWindow;
        m_window->setName("window");
        m_window->setSize(320, 240);
        m_channel = new ksChannel;
        m_channel->setName("channel");
        m_channel->setProjection(60, 46.8, 1, 5000);
        m_window->addChannel(m_channel.get());

        m_env = new kxEnv;
        m_env->addEffect(new kxEnvSun);
        m_env->addEffect(new kxEnvMoon);
        m_env->setFogEnable(false);

        m_observer = new kxObserver;
        m_observer->setName("eye");
        m_observer->setScene(m_scene.get());
        m_observer->addChannel(m_channel.get());
        m_observer->addAttachment(m_env.get());
        m_observer->setPosition(0, 0, 300);
        m_observer->setOrientation(0, -90, 0);

        m_lobe = kxLightLobe::create();
        m_lobe->setName("lamp");
        m_lobe->setPosition(0, 0, 100);
        m_lobe->setOrientation(0, -90, 0);
        m_lobe->setSpreadAngle(30);
        m_scene->addChild(m_lobe.get());
    }
    void TearDown() override {
        m_lobe.reset();
        m_observer.reset();
        m_env.reset();
        m_channel.reset();
        m_window.reset();
        m_terrain.reset();
        m_scene.reset();
        kxModuleTest::TearDown();
    }
    // Runs frames and returns the last image; skips the test when no GL context can be made.
    kuRef<kuImage> render(int frames) {
        EXPECT_EQ(kxKernel::instance()->configure(), 1);
        for (int i = 0; i < frames; ++i)
            EXPECT_EQ(runFrame(), 1);
        if (!m_window->getRenderWindow())
            return nullptr;
        kuRef<kuImage> image = m_window->getRenderWindow()->readPixels();
        if (const char* dir = std::getenv("KX_TEST_IMAGES"))
            kuImageFactory::writePNG(
                (std::string(dir) + "/" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png")
                    .c_str(),
                image.get());
        return image;
    }
    // Mean grey of a square of pixels around (x, y).
    static double grey(const kuImage* image, int x, int y, int half = 3) {
        double sum = 0;
        int count = 0;
        for (int j = y - half; j <= y + half; ++j)
            for (int i = x - half; i <= x + half; ++i) {
                const unsigned char* p = image->getPixel(i, j);
                sum += (p[0] + p[1] + p[2]) / 3.0;
                ++count;
            }
        return sum / count;
    }

    kuRef<kxScene> m_scene;
    kuRef<kxTerrain> m_terrain;
    kuRef<ksWindow> m_window;
    kuRef<ksChannel> m_channel;
    kuRef<kxEnv> m_env;
    kuRef<kxObserver> m_observer;
    kuRef<kxLightLobe> m_lobe;
};

TEST_F(NightRenderTest, LobeLightsTheGroundAtNight) {
    m_env->setTimeOfDay(0.5); // deep night
    kuRef<kuImage> image = render(4);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    const double centre = grey(image.get(), 160, 120);
    const double corner = grey(image.get(), 20, 20);
    EXPECT_GT(centre, corner + 40) << "centre " << centre << " corner " << corner;
    EXPECT_LT(corner, 30) << "the unlit ground is dark at night";
    EXPECT_TRUE(kxLightMap::isMapCreated(m_channel.get()));
}

// Generated programs of the fixed-function atoms alone (no technique) draw what the
// fixed-function pipeline draws: per channel, 99.5% of the pixels within 2 levels.
TEST_F(NightRenderTest, GeneratedProgramsDrawTheFixedFunctionImage) {
    struct Case {
        const char* what;
        double hours;
        bool fog;
    };
    const Case cases[] = {{"night: light map on the lit ground", 0.5, false},
                          {"day with fog", 12, true}};
    m_env->setTimeOfDay(0.5);
    if (!render(1))
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    krShaderInfrastructure* shaders = krShaderInfrastructure::instance();
    kxMessageCapture messages;
    const auto frame = [&](bool generated) {
        shaders->setEnable(generated);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(runFrame(), 1);
        return m_window->getRenderWindow()->readPixels();
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_env->setTimeOfDay(c.hours);
        m_env->setFogEnable(c.fog);
        kuRef<kuImage> fixed = frame(false);
        kuRef<kuImage> generated = frame(true);
        shaders->setEnable(false);
        for (int k = 0; k < 3; ++k) {
            int close = 0, total = 0;
            for (int y = 0; y < fixed->getHeight(); ++y)
                for (int x = 0; x < fixed->getWidth(); ++x, ++total)
                    close += std::abs(fixed->getPixel(x, y)[k] - generated->getPixel(x, y)[k]) <= 2;
            EXPECT_GE(close, total * 995 / 1000) << "channel " << k;
        }
    }
    // Drawn by programs that built, not by the fixed-function fallback.
    EXPECT_GT(m_window->getRenderWindow()->getDrawContext()->getShaderPrograms().getNumBuilds(),
              0u);
    EXPECT_EQ(messages.countContaining("does not build"), 0);
}

TEST_F(NightRenderTest, LobeBeyondTheEyepointFadeIsDarker) {
    m_env->setTimeOfDay(0.5);
    // The eye is 200 units from the footprint: a fade range of 100 dims it to well below 1/16.
    kxLightLobeControl::instance()->setEyepointFadeRange(100);
    kuRef<kuImage> faded = render(3);
    if (!faded)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    kxLightLobeControl::instance()->setEyepointFadeRange(100000);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(runFrame(), 1);
    kuRef<kuImage> clear = m_window->getRenderWindow()->readPixels();
    EXPECT_GT(grey(clear.get(), 160, 120), grey(faded.get(), 160, 120) + 30);
}

TEST_F(NightRenderTest, NoPoolOfLightInDaylight) {
    m_env->setTimeOfDay(12);
    kuRef<kuImage> image = render(4);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    const double centre = grey(image.get(), 160, 120);
    const double corner = grey(image.get(), 20, 20);
    EXPECT_NEAR(centre, corner, 12) << "centre " << centre << " corner " << corner;
    EXPECT_GT(corner, 60) << "the ground is lit by day";
}

TEST_F(NightRenderTest, ChannelTooSmallForTheMapGetsNone) {
    m_env->setTimeOfDay(0.5);
    m_window->setSize(400, 100);
    kxMessageCapture capture;
    kuRef<kuImage> image = render(2);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    EXPECT_GE(capture.count(5, "Chan channel too small (400,100) for lightmap tex size (128)"), 1);
    EXPECT_FALSE(kxLightMap::isMapCreated(m_channel.get()));
}

TEST_F(NightRenderTest, FootprintFallsOffAndTheMapSitsAtTheWindowCorner) {
    m_env->setTimeOfDay(0.5);
    kuRef<kuImage> image = render(3);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    const double centre = grey(image.get(), 160, 120, 1);
    const double half = grey(image.get(), 160 + 10, 120, 1);
    const double edge = grey(image.get(), 160 + 22, 120, 1);
    EXPECT_GT(centre, half);
    EXPECT_GT(half, edge);
    const kxLightMap::_channel_data* record =
        kxLightMap::instance()->getChannelData(m_channel.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->mapOriginX, 1);
    EXPECT_EQ(record->mapOriginY, 1);
}

TEST_F(NightRenderTest, RenderQualityChangeReallocatesTheMapOnce) {
    m_env->setTimeOfDay(0.5);
    m_window->setSize(640, 480);
    kxMessageCapture capture;
    if (!render(2))
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    kxLightLobeControl::instance()->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_BETTER);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(runFrame(), 1);
    EXPECT_EQ(capture.count(3, "kxLightMap texture size set to 128"), 1);
    EXPECT_EQ(capture.count(3, "kxLightMap texture size set to 256"), 1);
    const kxLightMap::_channel_data* record =
        kxLightMap::instance()->getChannelData(m_channel.get());
    ASSERT_TRUE(record && record->imageBits);
    EXPECT_EQ(record->imageBits->size(), 256u * 256u * 3u);
    EXPECT_EQ(record->mapTexture->getWidth(), 256);
}

TEST_F(NightRenderTest, TwoChannelsInOneWindowEachGetTheirMap) {
    m_env->setTimeOfDay(0.5);
    m_window->setSize(640, 240);
    m_channel->setDrawArea(0, 0.5, 0, 1);
    kuRef<ksChannel> second = new ksChannel;
    second->setName("second");
    second->setDrawArea(0.5, 1, 0, 1);
    second->setProjection(60, 46.8, 1, 5000);
    m_window->addChannel(second.get());
    m_observer->addChannel(second.get());
    kuRef<kuImage> image = render(3);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    EXPECT_TRUE(kxLightMap::isMapCreated(m_channel.get()));
    EXPECT_TRUE(kxLightMap::isMapCreated(second.get()));
    EXPECT_EQ(kxLightMap::instance()->getChannelData(second.get())->mapOriginX, 321);
    // Each half shows its own pool of light at its centre.
    EXPECT_GT(grey(image.get(), 160, 120), grey(image.get(), 20, 20) + 40);
    EXPECT_GT(grey(image.get(), 480, 120), grey(image.get(), 340, 20) + 40);
}

TEST_F(NightRenderTest, RecordsInTheFogEffectBinAreDrawn) {
    m_env->setTimeOfDay(12);
    m_lobe->setEnable(false);
    // A white square in the module's fog-effect bin, lifted off the ground.
    int fogBin = -1;
    for (const ksChannelProxy::Bin& bin :
         ksThread::resolveServiceMgr()->getChannelProxy()->getBins())
        if (bin.name == "kxLightLobeFogEffect Channel Bin")
            fogBin = bin.id;
    ASSERT_GE(fogBin, 0);
    kuRef<kxPlane> square = new kxPlane;
    square->setSize(40, 40);
    square->setColor(1, 1, 1, 1);
    square->setChannelBinId(fogBin, 0);
    kuRef<kxTransform> lift = new kxTransform;
    lift->setPosition(0, 0, 5);
    lift->addChild(square.get());
    m_scene->addChild(lift.get());
    kuRef<kuImage> image = render(2);
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    EXPECT_GT(grey(image.get(), 160, 120), grey(image.get(), 20, 20) + 40);
}

} // namespace
