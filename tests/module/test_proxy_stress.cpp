#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobeproxies.h>

#include <kx/kxProxyMgr.h>
#include <kx/kxScene.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef kxProxies::kxLightLobe LobeProxy;

// Many threads steer lobes through proxies while the application thread runs frames over
// flat ground. Run under ThreadSanitizer in CI.
class ProxyStressTest : public kxModuleTest {
protected:
    void SetUp() override {
        ASSERT_EQ(kxProxyMgr::start(), 1);
        kxModuleTest::SetUp();
        m_scene = new kxScene;
        m_ground = kxFlatGround(4000, 8);
        m_scene->addChild(m_ground.get());
    }
    void TearDown() override {
        m_scene.reset();
        m_ground.reset();
        kxModuleTest::TearDown();
    }
    kxLightLobe* addLobe(const std::string& name, double x) {
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName(name.c_str());
        lobe->setPosition(x, 0, 20);
        lobe->setOrientation(0, -90, 0);
        m_scene->addChild(lobe.get());
        return lobe.get();
    }

    kuRef<kxScene> m_scene;
    kuRef<kxTerrain> m_ground;
};

// Counts lasting changes of one lobe's Enable.
class CountingWatcher : public kxProxyMgr::PropertyWatcher {
public:
    CountingWatcher() : PropertyWatcher(LobeProxy::PROPERTY_ENABLE) {}
    void propertyChanged(const kxProxyMgr::PropertyCheckerBase&) override { ++calls; }
    int calls = 0;
};

TEST_F(ProxyStressTest, EightThreadsSetAndSyncWhileFramesRun) {
    constexpr int THREADS = 8;
    constexpr int LOBES_PER_THREAD = 2;
    constexpr int SETS = 100000;
    constexpr int SYNC_EVERY = 1000;
    std::vector<std::vector<kxLightLobe*>> real(THREADS);
    for (int t = 0; t < THREADS; ++t)
        for (int k = 0; k < LOBES_PER_THREAD; ++k)
            real[t].push_back(addLobe("t" + std::to_string(t) + "_" + std::to_string(k),
                                      40.0 * (t * LOBES_PER_THREAD + k)));
    kxLightLobe* watched = addLobe("watched", -100);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);

    kuRef<LobeProxy> watchedProxy = new LobeProxy("watched", 0);
    kuRef<CountingWatcher> watcher = new CountingWatcher;
    ASSERT_EQ(watchedProxy->sync(), 1);
    ASSERT_EQ(watchedProxy->addPropertyWatcher(watcher.get()), 1);
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    const unsigned long long executedBefore = kxProxyMgr::getNumExecuted();

    std::atomic<int> running{THREADS};
    std::atomic<long> posted{0};
    std::atomic<int> staleSyncs{0};
    std::atomic<int> failedCalls{0};
    // The last values each proxy set: (brightness, fade range, spread angle, position x).
    struct Last {
        float brightness = 0, fadeRange = 0, spreadAngle = 0;
        double x = 0;
    };
    std::vector<std::vector<Last>> last(THREADS, std::vector<Last>(LOBES_PER_THREAD));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            std::vector<kuRef<LobeProxy>> proxies;
            for (int k = 0; k < LOBES_PER_THREAD; ++k)
                proxies.push_back(new LobeProxy(real[t][k]->getName(), 0));
            const std::vector<int> ids = {
                LobeProxy::PROPERTY_BRIGHTNESS, LobeProxy::PROPERTY_FADE_RANGE,
                LobeProxy::PROPERTY_SPREAD_ANGLE, LobeProxy::PROPERTY_POSITION};
            long mine = 0;
            for (int n = 1; n <= SETS; ++n) {
                const int k = n % LOBES_PER_THREAD;
                LobeProxy* proxy = proxies[k].get();
                Last& l = last[t][k];
                const float value = static_cast<float>(n);
                int result = 0;
                switch ((n / LOBES_PER_THREAD) % 4) {
                case 0:
                    result = proxy->setBrightness(l.brightness = value);
                    break;
                case 1:
                    result = proxy->setFadeRange(l.fadeRange = value + 1000);
                    break;
                case 2:
                    result = proxy->setSpreadAngle(l.spreadAngle = value / 1024);
                    break;
                default:
                    result = proxy->setPosition(l.x = n, t, 20);
                    break;
                }
                failedCalls += result != 1;
                ++mine;
                if (n % SYNC_EVERY == 0) {
                    failedCalls += proxy->sync(ids) != 1;
                    ++mine;
                    double x, y, z;
                    proxy->getPosition(x, y, z);
                    // Nobody else writes these lobes: the sync reads back this thread's own
                    // last writes.
                    staleSyncs += proxy->getBrightness() != l.brightness ||
                                  proxy->getFadeRange() != l.fadeRange ||
                                  proxy->getSpreadAngle() != l.spreadAngle || x != l.x;
                }
            }
            posted += mine;
            --running;
        });

    // Meanwhile the application changes the watched lobe: some changes last a frame, some are
    // undone before the next frame's poll.
    int lasting = 0;
    int frames = 0;
    while (running.load() > 0) {
        ++frames;
        if (frames % 3 == 0) {
            watched->setEnable(!watched->getEnable());
            ++lasting;
        }
        if (frames % 5 == 0) {
            watched->setEnable(!watched->getEnable());
            watched->setEnable(!watched->getEnable());
        }
        ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);

    EXPECT_EQ(failedCalls.load(), 0);
    EXPECT_EQ(staleSyncs.load(), 0);
    EXPECT_EQ(kxProxyMgr::getNumExecuted() - executedBefore,
              static_cast<unsigned long long>(posted.load()));
    EXPECT_EQ(posted.load(), THREADS * (SETS + SETS / SYNC_EVERY));
    EXPECT_EQ(kxProxyMgr::getNumBlocked(), 0);
    for (int t = 0; t < THREADS; ++t)
        for (int k = 0; k < LOBES_PER_THREAD; ++k) {
            const Last& l = last[t][k];
            EXPECT_EQ(real[t][k]->getBrightness(), l.brightness) << t << " " << k;
            EXPECT_EQ(real[t][k]->getFadeRange(), l.fadeRange) << t << " " << k;
            EXPECT_EQ(real[t][k]->getSpreadAngle(), l.spreadAngle) << t << " " << k;
            EXPECT_EQ(real[t][k]->getPosition(), kuVec3d(l.x, t, 20)) << t << " " << k;
        }
    EXPECT_GT(frames, 3);
    EXPECT_EQ(watcher->calls, lasting);
    EXPECT_EQ(watchedProxy->removePropertyWatcher(watcher.get()), 1);
}

TEST_F(ProxyStressTest, CreationFromSeveralThreadsThenFrames) {
    constexpr int THREADS = 6;
    std::atomic<int> running{THREADS + 2};
    std::vector<kuRef<LobeProxy>> made(THREADS);
    kuRef<LobeProxy> rivals[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            made[t] = new LobeProxy(("made" + std::to_string(t)).c_str(), 1);
            // Configured through the proxy before frames run.
            made[t]->setPosition(60.0 * t, 0, 30);
            made[t]->setOrientation(0, -90, 0);
            made[t]->setSpreadAngle(40);
            --running;
        });
    // Two threads racing for one name make one object between them.
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&, r] {
            rivals[r] = new LobeProxy("shared", 1);
            --running;
        });
    // No frames yet: the application thread executes the requests itself.
    while (running.load() > 0)
        kxProxyMgr::processRequests();
    for (std::thread& thread : threads)
        thread.join();
    kxProxyMgr::processRequests();

    EXPECT_EQ(kxLightLobe::getNum(), THREADS + 1);
    EXPECT_NE(rivals[0]->getObject() == nullptr, rivals[1]->getObject() == nullptr);
    for (int t = 0; t < THREADS; ++t) {
        kxLightLobe* lobe = kxLightLobe::find(("made" + std::to_string(t)).c_str());
        ASSERT_NE(lobe, nullptr);
        EXPECT_EQ(made[t]->getObject(), lobe);
        EXPECT_EQ(kxLightLobe::find(lobe->getName(), 1), nullptr);
        m_scene->addChild(lobe);
    }
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    for (int frame = 0; frame < 3; ++frame)
        ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    for (int t = 0; t < THREADS; ++t) {
        const kxLightLobe* lobe = kxLightLobe::find(("made" + std::to_string(t)).c_str());
        // The centre of the footprint lies on the ground below the lobe, lit.
        EXPECT_NEAR(lobe->getVertex(5).z, 0.0, 0.05) << t;
        EXPECT_NEAR(lobe->getVertex(5).x, 60.0 * t, 15.0) << t;
        EXPECT_GT(lobe->getVertexBrightness(5), 0.0f) << t;
    }
}

} // namespace
