// The pipelined frame loop: per window a cull thread and a draw thread work on earlier frames
// while the application thread updates later ones; what a draw thread sees must be what its
// frame was culled with.
#include <kr/krWindow.h>
#include <ku/kuImageFactory.h>
#include <ks/ksChannel.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksWindow.h>
#include <kx/kxKernel.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>

#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <kr/krFog.h>
#include <kr/krState.h>
#include <kx/kxEnv.h>

#include <ku/kuNotify.h>

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Moves the observer and changes the channel's field of view and clear colour every frame, so
// that each frame has a view and settings of its own.
struct Mover : kxKernel::Subscriber {
    kxObserver* observer = nullptr;
    ksChannel* channel = nullptr;
    void notify(int, ksServiceMgr*) override {
        const int frame = kxKernel::instance()->getFrameNumber();
        observer->setPosition(7.0 * frame, 0, 200);
        channel->setProjection(30 + frame, 30, 1, 5000);
        channel->setClearColor(0.01f * static_cast<float>(frame), 0, 0, 1);
    }
};

// Records, on the draw thread before the bins, the view, projection and clear colour that
// OpenGL has for each frame.
struct DrawWatch : ksChannel::Subscriber {
    struct Seen {
        double viewX = 0;      // translation x of the view
        double projection = 0; // the projection's (0, 0)
        float clearRed = 0;
    };
    std::mutex mutex;
    std::map<int, Seen> seen; // by frame
    std::thread::id drawThread;
    void notify(int, ksChannel* channel, krDrawContext*) override {
        Seen now;
        now.viewX = channel->getViewMatrix()(3, 0);
        GLdouble projection[16];
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        now.projection = projection[0];
        GLfloat clear[4];
        glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
        now.clearRed = clear[0];
        std::lock_guard<std::mutex> guard(mutex);
        seen[ksThread::resolveFrameNumber()] = now;
        drawThread = std::this_thread::get_id();
    }
};

TEST(PipelinedFramesTest, DrawThreadsDrawEveryFrameWithItsOwnView) {
    kxMessageCapture glErrors; // each drawn channel reports an OpenGL error it finds
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    kxKernel* kernel = kxKernel::instance();
    {
        kuRef<kxScene> scene = new kxScene;
        kuRef<kxBox> box = new kxBox;
        box->setSize(50, 50, 10);
        scene->addChild(box.get());
        kuRef<ksWindow> window = new ksWindow;
        window->setSize(64, 64);
        kuRef<ksChannel> channel = new ksChannel;
        window->addChannel(channel.get());
        kuRef<kxObserver> observer = new kxObserver;
        observer->setScene(scene.get());
        observer->addChannel(channel.get());
        observer->setOrientation(0, -90, 0);
        Mover mover;
        mover.observer = observer.get();
        mover.channel = channel.get();
        DrawWatch watch;
        kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, &mover);
        channel->addSubscriber(ksChannel::EVENT_PRE_BINS, &watch);

        ASSERT_EQ(kernel->configure(), 1);
        // A few serial frames first (they leave the window's context current on this thread),
        // then pipelined ones, with the image read between frames now and then, as an
        // application writing pictures does: every frame must still be drawn.
        std::map<int, DrawWatch::Seen> set; // as the application thread set it for each frame
        const int frames = 40;
        for (int f = 1; f <= frames; ++f) {
            if (f == 6)
                kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);
            ASSERT_EQ(kernel->runFrame(), 1);
            set[f].viewX = channel->getViewMatrix()(3, 0);
            set[f].projection = channel->getProjectionMatrix()(0, 0);
            set[f].clearRed = channel->getClearColor()[0];
            if (f % 10 == 0 && window->getRenderWindow()) {
                kernel->finishFrames();
                kuRef<kuImage> image = window->getRenderWindow()->readPixels();
                EXPECT_NE(image, nullptr) << "frame " << f;
            }
        }
        kernel->finishFrames();
        if (!window->getRenderWindow()) {
            kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, &mover, false);
            kxKernel::shutdown();
            GTEST_SKIP() << "no OpenGL context";
        }
        {
            std::lock_guard<std::mutex> guard(watch.mutex);
            EXPECT_NE(watch.drawThread, std::this_thread::get_id());
            ASSERT_EQ(watch.seen.size(), static_cast<std::size_t>(frames));
            for (int f = 1; f <= frames; ++f) {
                const DrawWatch::Seen& seen = watch.seen[f];
                EXPECT_DOUBLE_EQ(seen.viewX, set[f].viewX) << "frame " << f;
                EXPECT_NEAR(seen.projection, set[f].projection, 1e-6) << "frame " << f;
                EXPECT_FLOAT_EQ(seen.clearRed, set[f].clearRed) << "frame " << f;
                if (f > 1) {
                    EXPECT_NE(set[f].viewX, set[f - 1].viewX) << "frame " << f;
                }
            }
        }
        channel->removeSubscriber(ksChannel::EVENT_PRE_BINS, &watch);
        kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, &mover, false);
        kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
    }
    kxKernel::shutdown();
    EXPECT_EQ(glErrors.countContaining("OpenGL error"), 0);
}

// An application may drop its observer and scene while pipelined frames are still culled and
// drawn: the kernel holds what those frames read until they are done (AddressSanitizer reports
// any read after the release), then lets go of it on the application thread.
TEST(PipelinedFramesTest, SceneReleasedWithFramesInFlightLastsUntilTheyAreDone) {
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    kxKernel* kernel = kxKernel::instance();
    {
        kuRef<ksWindow> window = new ksWindow;
        window->setSize(32, 32);
        kuRef<ksChannel> channel = new ksChannel;
        window->addChannel(channel.get());
        ASSERT_EQ(kernel->configure(), 1);
        kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);
        for (int round = 0; round < 10; ++round) {
            // Enough nodes that the cull is still walking them when the release comes.
            kuRef<kxScene> scene = new kxScene;
            for (int i = 0; i < 2000; ++i) {
                kuRef<kxBox> box = new kxBox;
                box->setSize(1 + i % 7, 1 + i % 5, 1 + i % 3);
                scene->addChild(box.get());
            }
            kuRef<kxObserver> observer = new kxObserver;
            observer->setScene(scene.get());
            observer->addChannel(channel.get());
            observer->setPosition(0, 0, 100);
            observer->setOrientation(0, -90, 0);
            for (int f = 0; f < 2; ++f)
                ASSERT_EQ(kernel->runFrame(), 1);
            scene = nullptr;
            observer = nullptr;
            EXPECT_EQ(kxObserver::getNum(), 1) << "held for the frames in flight";
            kernel->finishFrames();
            EXPECT_EQ(kxObserver::getNum(), 0) << "let go once they are done";
            EXPECT_EQ(kxScene::getNum(), 0);
        }
        kernel->unconfigure();
    }
    kxKernel::shutdown();
}

// The light map at night under fog and a cloud layer, pipelined: the draw thread captures the
// scene fog that the application thread installs into the clouds each frame.
class PipelinedLightMapTest : public kxModuleTest {};

TEST_F(PipelinedLightMapTest, CloudsTakeTheMapsFogWhileFramesOverlap) {
    kxKernel* kernel = kxKernel::instance();
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxBox> ground = new kxBox;
    ground->setSize(2000, 2000, 1);
    scene->addChild(ground.get());
    kuRef<kxLightLobe> lobe = kxLightLobe::create();
    lobe->setPosition(0, 0, 100);
    lobe->setOrientation(0, -90, 0);
    scene->addChild(lobe.get());
    kuRef<ksWindow> window = new ksWindow;
    window->setSize(320, 240);
    kuRef<ksChannel> channel = new ksChannel;
    window->addChannel(channel.get());
    kuRef<kxEnv> env = new kxEnv;
    env->addEffect(new kxEnvSun);
    env->addEffect(new kxEnvMoon);
    kuRef<kxEnvCloudLayer> clouds = new kxEnvCloudLayer;
    env->addEffect(clouds.get());
    env->setTimeOfDay(0.5);
    env->setFogEnable(true);
    env->setVisibility(3000);
    kuRef<kxObserver> observer = new kxObserver;
    observer->setScene(scene.get());
    observer->addChannel(channel.get());
    observer->addAttachment(env.get());
    observer->setPosition(0, -300, 200);
    observer->setOrientation(0, -30, 0);

    ASSERT_EQ(kernel->configure(), 1);
    kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);
    for (int f = 0; f < 30; ++f)
        ASSERT_EQ(runFrame(), 1);
    kernel->finishFrames();
    if (!window->getRenderWindow())
        GTEST_SKIP() << "no OpenGL context";
    EXPECT_TRUE(kxLightMap::isMapCreated(channel.get()));
    const auto* fog = clouds->getState(0)->get<krFog::Element>();
    ASSERT_NE(fog, nullptr);
    EXPECT_TRUE(fog->enable);
    kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
}

} // namespace

namespace {

// Changes, every frame on the application thread, everything the cull and draw threads read a
// copy of: the environment's time, visibility, fog and clouds, the lobes' textures, the
// channels' settings and the light map's channels.
struct Churn : kxKernel::Subscriber {
    kxEnv* env = nullptr;
    std::vector<kxLightLobe*> lobes;
    std::vector<ksChannel*> channels;
    kuRef<kxEnvCloudLayer> clouds = new kxEnvCloudLayer;
    void notify(int, ksServiceMgr*) override {
        const int frame = kxKernel::instance()->getFrameNumber();
        env->setTimeOfDay(std::fmod(frame * 0.37, 24.0));
        env->setVisibility(1000.0 + 40.0 * (frame % 50));
        if (frame % 7 == 0)
            env->setFogEnable(!env->getFogEnable());
        if (frame % 11 == 0) {
            if (env->removeEffect(clouds.get()) != 1)
                env->addEffect(clouds.get());
        }
        static const kxLightLobe::Falloff falloffs[] = {
            kxLightLobe::FALLOFF_LINEAR, kxLightLobe::FALLOFF_SQUARED, kxLightLobe::FALLOFF_CUBIC};
        for (std::size_t i = 0; i < lobes.size(); ++i) {
            if ((frame + static_cast<int>(i)) % 5 == 0)
                lobes[i]->setFalloff(falloffs[(frame / 5) % 3]);
            if ((frame + static_cast<int>(i)) % 3 == 0)
                lobes[i]->setTextureSize(frame % 2 ? 64u : 128u);
        }
        // The channels' own settings, which every cull and draw thread reads.
        for (std::size_t c = 0; c < channels.size(); ++c) {
            ksChannel* channel = channels[c];
            channel->setProjection(45.0 + frame % 10, 50, 1, 5000);
            channel->setClearColor(0, 0, 0.002f * static_cast<float>(frame % 100), 1);
            channel->setCullMask(frame % 17 == 0 ? 0xfffffffeu : 0xffffffffu);
            channel->setGraphicsModeEnable(ksChannel::MODE_SENSOR, frame % 19 == 0);
            const double left = 0.5 * static_cast<double>(c % 2);
            channel->setDrawArea(left, left + 0.5, frame % 23 == 0 ? 0.1 : 0.0, 1);
        }
        // One channel of each window leaves the light map and comes back.
        kxLightMap* map = kxLightMap::instance();
        for (std::size_t c = 0; c < channels.size(); c += 2) {
            if (frame % 13 == 0)
                map->removeChannel(channels[c]);
            else if (frame % 13 == 4)
                map->addChannel(channels[c]);
        }
    }
};

// Counts the frames each channel draws, on its draw thread.
struct DrawCount : ksChannel::Subscriber {
    std::mutex mutex;
    std::map<const ksChannel*, int> drawn;
    void notify(int, ksChannel* channel, krDrawContext*) override {
        std::lock_guard<std::mutex> guard(mutex);
        ++drawn[channel];
    }
};

struct ErrorWatch {
    std::mutex mutex;
    std::vector<std::string> errors;
    static void callback(int level, const kuBase::ClassType*, const char* message, void* self) {
        auto* watch = static_cast<ErrorWatch*>(self);
        if (level >= kuNotify::WARN && message && std::strstr(message, "OpenGL error")) {
            std::lock_guard<std::mutex> guard(watch->mutex);
            watch->errors.push_back(message);
        }
    }
};

} // namespace

// Two windows, each with two light-mapped channels and its own cull and draw threads, while the
// application thread changes the environment, the lobes and the light map every frame. Run
// under ThreadSanitizer in CI: any shared write between the threads is reported there.
TEST_F(PipelinedLightMapTest, TwoWindowsWhileEverythingChanges) {
    kxKernel* kernel = kxKernel::instance();
    ErrorWatch errors;
    kuNotify::setCallback(&ErrorWatch::callback, &errors);
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxBox> ground = new kxBox;
    ground->setSize(2000, 2000, 1);
    scene->addChild(ground.get());
    Churn churn;
    std::vector<kuRef<kxLightLobe>> lobes;
    for (int i = 0; i < 3; ++i) {
        lobes.push_back(kxLightLobe::create());
        lobes.back()->setPosition(-60.0 + 60.0 * i, 0, 80);
        lobes.back()->setOrientation(0, -80, 0);
        scene->addChild(lobes.back().get());
        churn.lobes.push_back(lobes.back().get());
    }
    kuRef<kxEnv> env = new kxEnv;
    env->addEffect(new kxEnvSun);
    env->addEffect(new kxEnvMoon);
    churn.env = env.get();
    std::vector<kuRef<ksWindow>> windows;
    std::vector<kuRef<ksChannel>> channels;
    std::vector<kuRef<kxObserver>> observers;
    DrawCount count;
    for (int w = 0; w < 2; ++w) {
        windows.push_back(new ksWindow);
        windows.back()->setSize(320, 160);
        observers.push_back(new kxObserver);
        observers.back()->setScene(scene.get());
        observers.back()->addAttachment(env.get());
        observers.back()->setPosition(40.0 * w, -300, 200);
        observers.back()->setOrientation(0, -30, 0);
        for (int c = 0; c < 2; ++c) {
            channels.push_back(new ksChannel);
            channels.back()->setDrawArea(0.5 * c, 0.5 * c + 0.5, 0, 1);
            channels.back()->setProjection(50, 50, 1, 5000);
            windows.back()->addChannel(channels.back().get());
            observers.back()->addChannel(channels.back().get());
            channels.back()->addSubscriber(ksChannel::EVENT_POST_DRAW, &count);
            churn.channels.push_back(channels.back().get());
        }
    }
    kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, &churn);
    ASSERT_EQ(kernel->configure(), 1);
    ASSERT_EQ(kxLightMap::instance()->getNumChannels(), 4);
    kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);
    const int frames = 300;
    for (int f = 0; f < frames; ++f)
        ASSERT_EQ(kernel->runFrame(), 1);
    kernel->finishFrames();
    kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
    kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, &churn, false);
    for (auto& channel : channels)
        channel->removeSubscriber(ksChannel::EVENT_POST_DRAW, &count);
    kuNotify::setCallback(nullptr, nullptr);
    if (!windows[0]->getRenderWindow())
        GTEST_SKIP() << "no OpenGL context";
    for (auto& channel : channels)
        EXPECT_EQ(count.drawn[channel.get()], frames);
    EXPECT_TRUE(errors.errors.empty()) << errors.errors.front();
}
