// Projected lobes drawn by the generated programs: pixels of a black plane seen from above,
// against the lobe's geometry and a CPU evaluation of the falloff atoms.
#include "kxTestSupport.h"

#include <kxlightlobecontrol.h>
#include <kxlightlobeprojected.h>

#include <kr/krShaderInfrastructure.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksWindow.h>
#include <ku/kuImageFactory.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>

#include <cmath>
#include <cstdlib>
#include <functional>

namespace {

const int WIDTH = 640, HEIGHT = 480;
const double EYE_HEIGHT = 150, LAMP_HEIGHT = 100;
const double PI = 3.14159265358979323846;
// Ground units per pixel at the centre of the view (60 degrees across 640 pixels).
const double UNITS_PER_PIXEL = EYE_HEIGHT * std::tan(PI / 6) / (WIDTH / 2);

// A black plane (so that the lit colour is the lobe's alone), seen straight down from 150 units
// by one channel, and lamps 100 units up.
class ProjectedRenderTest : public kxModuleTest {
public:
    void SetUp() override {
        kxModuleTest::SetUp();
        krShaderInfrastructure::instance()->setEnable(true);
        m_scene = new kxScene;
        m_plane = new kxPlane;
        m_plane->setSize(1000, 1000);
        m_plane->setColor(0, 0, 0, 1);
        m_scene->addChild(m_plane.get());
        m_window = new ksWindow;
        m_window->setSize(WIDTH, HEIGHT);
        m_observer = new kxObserver;
        m_observer->setScene(m_scene.get());
        m_observer->setPosition(0, 0, EYE_HEIGHT);
        m_observer->setOrientation(0, -90, 0);
        m_channel = addChannel(0, 1, 60);
    }
    void TearDown() override {
        m_lobes.clear();
        m_channels.clear();
        m_observer.reset();
        m_window.reset();
        m_plane.reset();
        m_scene.reset();
        kxModuleTest::TearDown();
    }
    ksChannel* addChannel(double left, double right, double fovX) {
        kuRef<ksChannel> channel = new ksChannel;
        channel->setDrawArea(left, right, 0, 1);
        channel->setProjection(fovX, 46.8, 1, 5000);
        m_window->addChannel(channel.get());
        m_observer->addChannel(channel.get());
        m_channels.push_back(channel);
        return channel.get();
    }
    kxLightLobeProjected* addLobe(double x, double pitch = -90) {
        kuRef<kxLightLobeProjected> lobe = kxLightLobeProjected::create();
        lobe->setPosition(x, 0, LAMP_HEIGHT, nullptr);
        lobe->setOrientation(0, pitch, 0);
        m_scene->addChild(lobe.get());
        m_lobes.push_back(lobe);
        return lobe.get();
    }
    // Configures, runs frames and returns the image; null (the test skips) without a context.
    kuRef<kuImage> render(int frames = 3) {
        EXPECT_EQ(kxKernel::instance()->configure(), 1);
        return renderMore(frames);
    }
    kuRef<kuImage> renderMore(int frames) {
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
    static double grey(const kuImage* image, int x, int y) {
        const unsigned char* p = image->getPixel(x, y);
        return (p[0] + p[1] + p[2]) / 3.0;
    }
    static int brightest(const kuImage* image) {
        int most = 0;
        for (int y = 0; y < image->getHeight(); ++y)
            for (int x = 0; x < image->getWidth(); ++x)
                for (int k = 0; k < 3; ++k)
                    most = std::max<int>(most, image->getPixel(x, y)[k]);
        return most;
    }
    // Pixels from the centre along the row to the first one that is dark (grey below 2), the
    // mean of both directions.
    static double litRadius(const kuImage* image) {
        const int y = HEIGHT / 2;
        double sum = 0;
        for (int direction : {-1, 1}) {
            int x = WIDTH / 2;
            while (x > 0 && x < WIDTH - 1 && grey(image, x, y) >= 2)
                x += direction;
            sum += std::abs(x - WIDTH / 2);
        }
        return sum / 2;
    }
    // The lit disc's radius on the ground: the texture's disc is 1/2.7 of its side across the
    // centre, so 0.74 of the cone's half-width.
    static double discRadius(double spread) {
        return LAMP_HEIGHT * std::tan(spread * PI / 360) * 2 / 2.7;
    }

    kuRef<kxScene> m_scene;
    kuRef<kxPlane> m_plane;
    kuRef<ksWindow> m_window;
    kuRef<kxObserver> m_observer;
    ksChannel* m_channel = nullptr;
    std::vector<kuRef<ksChannel>> m_channels;
    std::vector<kuRef<kxLightLobeProjected>> m_lobes;
};

TEST_F(ProjectedRenderTest, LitDiscFollowsTheSpreadAngle) {
    kxLightLobeProjected* lobe = addLobe(0);
    lobe->setSpreadAngle(20);
    if (!render())
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    for (double spread : {20.0, 30.0, 45.0}) {
        SCOPED_TRACE(spread);
        lobe->setSpreadAngle(static_cast<float>(spread));
        kuRef<kuImage> image = renderMore(2);
        const double expected = discRadius(spread) / UNITS_PER_PIXEL;
        // The squared texture falls below 2 grey levels at 0.99 of its disc.
        EXPECT_NEAR(litRadius(image.get()), expected, 2 + 0.02 * expected);
    }
}

// Across the disc the texture's profile 1 - r^k times the range falloff ((range - z) / range)^k,
// with z the distance along the axis less the near plane: k = 1, 2, 3 for linear, squared and
// cubic, as the atoms compute them.
TEST_F(ProjectedRenderTest, ProfileFollowsTheFalloff) {
    const double z = 35000.0 * (LAMP_HEIGHT - 1) / 34999.0;
    const double range = (300.0 - z) / 300.0;
    const double radius = discRadius(30);
    const kxLightLobeProjected::Falloff falloffs[] = {kxLightLobeProjected::FALLOFF_LINEAR,
                                                      kxLightLobeProjected::FALLOFF_SQUARED,
                                                      kxLightLobeProjected::FALLOFF_CUBIC};
    // The slot's technique and texture follow the falloff chosen before pre-configuration, so
    // each falloff gets a runtime of its own.
    for (kxLightLobeProjected::Falloff falloff : falloffs) {
        SCOPED_TRACE(falloff);
        if (falloff != kxLightLobeProjected::FALLOFF_LINEAR) {
            TearDown();
            SetUp();
        }
        addLobe(0)->setFalloff(falloff);
        kuRef<kuImage> image = render();
        if (!image)
            GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
        const int k = static_cast<int>(falloff);
        for (double fraction : {0.0, 0.3, 0.6, 0.85}) {
            const int offset = static_cast<int>(std::lround(fraction * radius / UNITS_PER_PIXEL));
            const double r = (offset + 0.5) * UNITS_PER_PIXEL / radius;
            const double expected =
                255 * 0.8 * (1 - std::pow(std::min(r, 1.0), k)) * std::pow(range, k);
            const double seen = 0.5 * (grey(image.get(), WIDTH / 2 + offset, HEIGHT / 2) +
                                       grey(image.get(), WIDTH / 2 - 1 - offset, HEIGHT / 2));
            EXPECT_NEAR(seen, expected, 4) << "at " << fraction << " of the radius";
        }
    }
}

// Grey (0.5, 0.5, 0.5) at brightness 0.8 lights with 0.9 grey; red stays red.
TEST_F(ProjectedRenderTest, ColourIsLiftedByBrightness) {
    kxLightLobeProjected* lobe = addLobe(0);
    kuRef<kuImage> white = render();
    if (!white)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    const unsigned char* w = white->getPixel(WIDTH / 2, HEIGHT / 2);
    ASSERT_GT(w[0], 60);
    lobe->setColor(0.5f, 0.5f, 0.5f, 1);
    kuRef<kuImage> grey = renderMore(2);
    lobe->setColor(1, 0, 0, 1);
    kuRef<kuImage> red = renderMore(2);
    const unsigned char* g = grey->getPixel(WIDTH / 2, HEIGHT / 2);
    const unsigned char* r = red->getPixel(WIDTH / 2, HEIGHT / 2);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(g[k], 0.9 * w[k], 1.5) << k;
    EXPECT_NEAR(r[0], w[0], 1);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(r[2], 0);
}

// Cases where nothing may be lit anywhere in the image.
TEST_F(ProjectedRenderTest, DarkWhereTheLobeMustNotLight) {
    struct Case {
        const char* what;
        std::function<void(ProjectedRenderTest*)> set;
    };
    const Case cases[] = {
        {"pointing up: the ground is behind the projector",
         [](ProjectedRenderTest* t) { t->addLobe(0, 90); }},
        {"ground beyond the fade range",
         [](ProjectedRenderTest* t) {
             t->addLobe(0)->setFadeRange(90);
             t->m_lobes.back()->setFalloff(kxLightLobeProjected::FALLOFF_LINEAR);
         }},
        {"lobe disabled", [](ProjectedRenderTest* t) { t->addLobe(0)->setEnable(false); }},
        {"light map disabled",
         [](ProjectedRenderTest* t) {
             t->addLobe(0);
             kxLightLobeControl::instance()->setEnable(false);
         }},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!first) {
            TearDown();
            SetUp();
        }
        first = false;
        c.set(this);
        kuRef<kuImage> image = render();
        if (!image)
            GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
        EXPECT_LE(brightest(image.get()), 1);
    }
}

TEST_F(ProjectedRenderTest, ChannelTheLightMapNeverAddedStaysDark) {
    m_window->removeChannel(m_channel);
    m_observer->removeChannel(m_channel);
    const double fovX = 2 * std::atan(std::tan(23.4 * PI / 180) * 320 / 480) * 180 / PI;
    ksChannel* left = addChannel(0, 0.5, fovX);
    addChannel(0.5, 1, fovX);
    kxLightLobeControl::instance()->addChannel(left);
    addLobe(0);
    kuRef<kuImage> image = render();
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    EXPECT_GT(grey(image.get(), 160, HEIGHT / 2), 60);
    EXPECT_LE(grey(image.get(), 480, HEIGHT / 2), 1);
}

// Seven lobes over the left of the view take every slot; the eighth, over the right, is refused
// and stays dark while the seven light.
TEST_F(ProjectedRenderTest, EighthLobeStaysDark) {
    for (int i = 0; i < 7; ++i)
        addLobe(-40);
    addLobe(40);
    kxMessageCapture messages;
    kuRef<kuImage> image = render();
    if (!image)
        GTEST_SKIP() << "no OpenGL context: " << m_window->getRenderError();
    EXPECT_EQ(messages.countContaining("only 7 projected light lobes are supported"), 1);
    const int offset = static_cast<int>(40 / UNITS_PER_PIXEL);
    EXPECT_GT(grey(image.get(), WIDTH / 2 - offset, HEIGHT / 2), 60);
    EXPECT_LE(grey(image.get(), WIDTH / 2 + offset, HEIGHT / 2), 1);
}

} // namespace
