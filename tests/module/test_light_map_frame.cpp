#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <ku/kuStat.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <cmath>
#include <kx/kxEnv.h>

namespace {

// A flat terrain, an observer above it with channels in one window, and lobes over the ground.
class LightMapFrameTest : public kxModuleTest {
protected:
    void SetUp() override {
        kxModuleTest::SetUp();
        m_scene = new kxScene;
        m_terrain = kxFlatGround(4000, 8);
        m_scene->addChild(m_terrain.get());
        m_window = new ksWindow;
        m_observer = new kxObserver;
        m_observer->setName("eye");
        m_observer->setScene(m_scene.get());
        m_observer->setPosition(0, -50, 20);
    }
    void TearDown() override {
        m_lobes.clear();
        m_channels.clear();
        m_observer.reset();
        m_window.reset();
        m_terrain.reset();
        m_scene.reset();
        kxModuleTest::TearDown();
    }
    ksChannel* addChannel(const char* name, bool observed) {
        kuRef<ksChannel> channel = new ksChannel;
        channel->setName(name);
        m_window->addChannel(channel.get());
        if (observed)
            m_observer->addChannel(channel.get());
        m_channels.push_back(channel);
        return channel.get();
    }
    kxLightLobe* addLobe(const char* name, double x, double y) {
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName(name);
        lobe->setPosition(x, y, 10);
        lobe->setOrientation(0, -30, 0);
        m_scene->addChild(lobe.get());
        m_lobes.push_back(lobe);
        return lobe.get();
    }
    // One channel's cull of the current frame, left in its bins (not recycled).
    ksChannelBin* cullChannel(ksChannel* channel, int frame, int channelId = -1) {
        const int pipeline = m_window->getThreadBuffer()->getIndex();
        ksChannelBinMgr* bins = channel->getChannelBinMgr();
        bins->beginFrame(frame);
        m_observer->updateChannelViews();
        ksTraversalCull traversal(channel, bins, channelId < 0 ? channel->getId() : channelId,
                                  pipeline, frame);
        traversal.traverse(m_scene->getRoot()->getClone(pipeline));
        return bins->getBin(kxLightMap::getMapCreateBinID());
    }

    kuRef<kxScene> m_scene;
    kuRef<kxTerrain> m_terrain;
    kuRef<ksWindow> m_window;
    kuRef<kxObserver> m_observer;
    std::vector<kuRef<ksChannel>> m_channels;
    std::vector<kuRef<kxLightLobe>> m_lobes;
};

TEST_F(LightMapFrameTest, ConfigureSubscribesAndAddsEveryChannel) {
    addChannel("left", true);
    addChannel("loose", false);
    kuRef<ksChannel> windowless = new ksChannel;
    windowless->setName("windowless");
    kxMessageCapture capture;
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    kxLightMap* map = kxLightMap::instance();
    EXPECT_EQ(map->getNumChannels(), 3);
    EXPECT_EQ(capture.count(5, "Could not find window for channel windowless!"), 1);
    EXPECT_EQ(map->getChannelData(m_channels[0].get())->window, m_window.get());
    EXPECT_EQ(kxKernel::instance()->getNumSubscribers(kxKernel::EVENT_FRAME_UPDATE), 1);
    EXPECT_NE(map->getMapTexture(m_channels[0].get()), nullptr);
    EXPECT_EQ(map->getMapTexture(m_channels[0].get())->getFormat(), 5);
    // Adding twice keeps one record; removing an absent channel changes nothing.
    map->addChannel(m_channels[0].get());
    map->removeChannel(nullptr);
    EXPECT_EQ(map->getNumChannels(), 3);
    map->removeChannel(windowless.get());
    EXPECT_EQ(map->getNumChannels(), 2);
    EXPECT_EQ(map->getMapTexture(windowless.get()), nullptr);
    map->configure(); // a second configure changes nothing
    EXPECT_EQ(map->getNumChannels(), 2);
    kxKernel::instance()->unconfigure();
    EXPECT_EQ(kxKernel::instance()->getNumSubscribers(kxKernel::EVENT_FRAME_UPDATE), 0);
}

TEST_F(LightMapFrameTest, IntensityAndObserverPositionPerFrame) {
    ksChannel* seen = addChannel("seen", true);
    ksChannel* unseen = addChannel("unseen", false);
    addLobe("lobe", 0, 0);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    kxLightMap* map = kxLightMap::instance();
    kxMessageCapture capture;
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    float intensity = -1;
    kuVec3d position;
    ASSERT_TRUE(map->getObserverPosition(seen, 1, &position));
    EXPECT_EQ(position, kuVec3d(0, -50, 20));
    EXPECT_FALSE(map->getLightIntensity(unseen, 1, &intensity));
    EXPECT_EQ(capture.count(5, "kxLightMap::update: chan unseen has no observer -- ignoring"), 1);

    m_observer->setPosition(5, -40, 25);
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    ASSERT_TRUE(map->getLightIntensity(seen, 2, &intensity));
    EXPECT_EQ(intensity, 0.0f); // no environment: full night
    EXPECT_EQ(capture.count(3, "kxLightMap: New light intensity for channel seen in frame 2: 0"),
              1);
    ASSERT_TRUE(map->getObserverPosition(seen, 2, &position));
    EXPECT_EQ(position, kuVec3d(5, -40, 25));
    ASSERT_TRUE(map->getObserverPosition(seen, 1, &position));
    EXPECT_EQ(position, kuVec3d(0, -50, 20));

    // The update's time is recorded for the control's statistics.
    EXPECT_NE(kuStat::summary().find("STATISTIC_UPDATE_TIME: count 2"), std::string::npos)
        << kuStat::summary();
}

// An environment whose brightness follows a script, one value per frame from frame 2.
class ScriptedEnv : public kxEnv {
public:
    explicit ScriptedEnv(std::vector<float> values) : m_values(std::move(values)) {}
    float getIlluminationBrightness(const kxObserver*) const override {
        const int frame = kxKernel::instance()->getFrameNumber();
        return m_values[static_cast<std::size_t>(frame - 2) % m_values.size()];
    }

private:
    std::vector<float> m_values;
};

TEST_F(LightMapFrameTest, IntensityRulesOfTheUpdate) {
    ksChannel* seen = addChannel("seen", true);
    addLobe("lobe", 0, 0);
    kuRef<ScriptedEnv> env = new ScriptedEnv({0.0f, 0.0005f, 0.0006f, 1.7f, -0.2f});
    m_observer->addAttachment(env.get());
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    kxMessageCapture capture;
    const float expected[] = {1.0f,    // frame 1: daylight, the environment is not asked
                              0.0f,    // night
                              0.0f,    // a change of exactly 0.0005 keeps the old value
                              0.0006f, // a change of 0.0006 is taken
                              1.0f,    // 1.7 is clamped
                              1.0f};   // no sun or moon: assumed daylight, with a warning
    for (int frame = 1; frame <= 6; ++frame) {
        ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
        float intensity = -1;
        ASSERT_TRUE(kxLightMap::instance()->getLightIntensity(seen, frame, &intensity));
        EXPECT_EQ(intensity, expected[frame - 1]) << "frame " << frame;
    }
    EXPECT_EQ(capture.count(5, "kxLightMap: Did not find EnvSun or EnvMoon for channel seen -- "
                               "light intensity assumed to be 1.0"),
              1);
    EXPECT_EQ(capture.count(2, "Found kxEnv  attached to observer eye"), 5);
}

TEST_F(LightMapFrameTest, NoSceneOrProjectedLobesStopTheUpdate) {
    addChannel("seen", true);
    addLobe("lobe", 0, 0);
    kxMessageCapture capture;
    m_observer->setScene(nullptr);
    m_scene.reset(); // the last reference: no scene is left
    kxLightMap::instance()->update(1);
    EXPECT_EQ(capture.count(5, "No scene -- kxLightMap::update bailing"), 1);
}

TEST_F(LightMapFrameTest, LobesFindTheGroundOneFrameAfterPosingTheirProbes) {
    addChannel("seen", true);
    kxLightLobe* lobe = addLobe("lobe", 0, 0);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    ASSERT_EQ(kxLightMap::instance()->getIsectorService(),
              kxIsectorServiceAsynchronous::obtainDefault());
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d()); // cast after frame 1's update
    ASSERT_EQ(kxKernel::instance()->runFrame(), 1);
    EXPECT_NEAR(std::fabs(lobe->getGroundPlane().z), 0.01, 1e-9); // ground through the origin
    // 10 units up, pitched 30 down: the axis meets the ground 17.3 units ahead.
    EXPECT_NEAR(lobe->getVertex(10).y, 10 / std::tan(30 * 3.14159265358979 / 180), 3.0);
    EXPECT_GT(lobe->getVertexBrightness(10), 0.9f);
}

TEST_F(LightMapFrameTest, OneRecordPerLobeChannelAndFrameFromPerChannelPools) {
    // Channel ids 0..3: use the first and the last.
    ksChannel* first = addChannel("c0", true);
    addChannel("c1", false);
    addChannel("c2", false);
    ksChannel* last = addChannel("c3", true);
    ASSERT_EQ(first->getId(), 0);
    ASSERT_EQ(last->getId(), 3);
    addLobe("a", 0, 0);
    addLobe("b", 20, 0);
    kxLightLobe::CullRecordFactory* factory = kxLightLobe::getSharedCullRecordFactory();
    ASSERT_NE(factory, nullptr);
    ksThreadBuffer::synchronize();

    std::size_t allocatedAfterFirstFrame = 0;
    for (int frame = 1; frame <= 3; ++frame) {
        ksThread::setFrameNumber(frame);
        for (ksChannel* channel : {first, last}) {
            ksChannelBin* bin = cullChannel(channel, frame);
            ASSERT_NE(bin, nullptr);
            ASSERT_EQ(bin->size(), 2u) << channel->getName() << " frame " << frame;
            for (ksCullRecord* record : *bin) {
                EXPECT_EQ(record->getChannelId(), channel->getId());
                EXPECT_EQ(record->getFactory(), factory);
                // No update ran: the lobes have no texture, so the record's state is off.
                auto* lobeRecord = static_cast<kxLightLobe::CullRecord*>(record);
                auto state = lobeRecord->textureElement.begin_texture_state();
                EXPECT_FALSE((*state)->getEnable());
            }
        }
        for (ksChannel* channel : {first, last})
            channel->getChannelBinMgr()->recycleFrame(frame);
        EXPECT_EQ(factory->getNumPooled(0), 2u);
        EXPECT_EQ(factory->getNumPooled(3), 2u);
        if (frame == 1)
            allocatedAfterFirstFrame = factory->getNumAllocated();
    }
    EXPECT_EQ(factory->getNumAllocated(), allocatedAfterFirstFrame); // steady: no new records
}

TEST_F(LightMapFrameTest, RecordsDrawTheFootprintOfTheirFrame) {
    ksChannel* channel = addChannel("c", true);
    kxLightLobe* lobe = addLobe("lobe", 0, 0);
    ksThreadBuffer::synchronize();
    // A pipelined draw lags its cull: a record may be drawn after the next two frames'
    // footprints reached the clone, and after the lobe has gone. The moving lobe's fourth frame
    // brings the brightness alone.
    std::vector<kxLightLobe::CullRecord*> records;
    std::vector<kuVec3d> positions;
    auto draw = [&](std::size_t i) {
        records[i]->takeFootprint();
        EXPECT_EQ(records[i]->position, positions[i]) << "frame " << i + 1;
    };
    for (int frame = 1; frame <= 4; ++frame) {
        ksThread::setFrameNumber(frame);
        if (frame < 4) {
            lobe->setPosition(10.0 * frame, 0, 10);
            lobe->update(nullptr);
        } else {
            lobe->getThreadBuffer()->appendUpdate(lobe, kxLightLobe::TOKEN_VERTEX_BRIGHTNESS,
                                                  nullptr, false);
        }
        ksThreadBuffer::synchronize();
        if (frame >= 3)
            draw(static_cast<std::size_t>(frame - 3));
        ksChannelBin* bin = cullChannel(channel, frame);
        ASSERT_EQ(bin->size(), 1u);
        records.push_back(static_cast<kxLightLobe::CullRecord*>(*bin->begin()));
        positions.push_back(lobe->getAbsolutePositionValue());
    }
    const kuVec3d lastVertex = lobe->getVertex(5);
    m_scene->removeChild(lobe);
    m_lobes.clear();
    ksThread::setFrameNumber(5);
    ksThreadBuffer::synchronize();
    draw(2);
    draw(3);
    EXPECT_EQ(records[3]->vertices[5], lastVertex);
    for (int frame = 1; frame <= 4; ++frame)
        channel->getChannelBinMgr()->recycleFrame(frame);
}

TEST_F(LightMapFrameTest, DisabledLobesAndBadChannelIdsLeaveNoRecord) {
    ksChannel* channel = addChannel("c0", true);
    kxLightLobe* off = addLobe("off", 0, 0);
    off->setEnable(false);
    ksThreadBuffer::synchronize();
    auto* clone = static_cast<kxLightLobe*>(off->getClone(m_window->getThreadBuffer()->getIndex()));
    ksChannelBinMgr* bins = channel->getChannelBinMgr();
    bins->beginFrame(1);
    ksTraversalCull traversal(channel, bins, channel->getId(), clone->getCloneIndex(), 1);
    EXPECT_EQ(clone->cull(&traversal), ksTraversal::RESULT_CONTINUE);
    EXPECT_EQ(bins->getBin(kxLightMap::getMapCreateBinID())->size(), 0u);
    bins->recycleFrame(1);

    off->setEnable(true);
    ksThreadBuffer::synchronize();
    kxMessageCapture capture;
    ksChannelBin* bin = cullChannel(channel, 2, 300);
    EXPECT_EQ(bin->size(), 0u);
    EXPECT_EQ(capture.countContaining("No cull record for light lobe off in channel 300"), 1);
    bins->recycleFrame(2);
}

TEST_F(LightMapFrameTest, LightLevelsOfTheIntensity) {
    const struct {
        float intensity, darkness, base, factor, fogMultiplier, ambient;
    } levels[] = {{1.0f, 0.0f, 0.5f, 0.04f, 1.0f, -0.5f},
                  {0.5f, 0.0f, 0.5f, 1.04f, 1.0f, 0.0f},
                  {0.25f, 0.1796875f, 0.284375f, 1.54f, 1.0f / 0.56875f, 0.25f},
                  {0.0f, 0.43125f, -0.0175f, 2.04f, 1.0f / -0.035f, 0.5f}};
    kxLightMap* map = kxLightMap::instance();
    for (const auto& l : levels) {
        EXPECT_NEAR(kxLightMap::getDarkness(l.intensity), l.darkness, 1e-6f) << l.intensity;
        EXPECT_NEAR(kxLightMap::getBaseLevel(l.intensity), l.base, 1e-6f) << l.intensity;
        EXPECT_NEAR(kxLightMap::getLobeFactor(l.intensity), l.factor, 1e-6f) << l.intensity;
        EXPECT_NEAR(kxLightMap::getFogMultiplier(l.intensity), l.fogMultiplier, 1e-3f)
            << l.intensity;
        EXPECT_NEAR(map->getBrighteningAmbient(l.intensity), l.ambient, 1e-6f) << l.intensity;
    }
    // At full night the compensated fog colour clamps to black: the multiplier is negative.
    EXPECT_LT(kxLightMap::getFogMultiplier(0.0f), -28.5f);
}

TEST_F(LightMapFrameTest, ControlForwardsToTheLightMap) {
    kxLightLobeControl* control = kxLightLobeControl::instance();
    kxLightMap* map = kxLightMap::instance();
    control->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_BEST);
    EXPECT_EQ(map->getTextureSize(), 512u);
    const struct {
        unsigned int size;
        kxLightLobeControl::RenderQuality quality;
    } sizes[] = {{64, kxLightLobeControl::RENDER_QUALITY_GOOD},
                 {128, kxLightLobeControl::RENDER_QUALITY_GOOD},
                 {200, kxLightLobeControl::RENDER_QUALITY_BEST},
                 {256, kxLightLobeControl::RENDER_QUALITY_BETTER},
                 {1024, kxLightLobeControl::RENDER_QUALITY_BEST}};
    for (const auto& s : sizes) {
        map->setTextureSize(s.size);
        EXPECT_EQ(control->getRenderQuality(), s.quality) << s.size;
    }
    control->setEyepointFadeRange(3000);
    EXPECT_NEAR(map->getEyepointFadeCoefficient(), 4 * std::log(2.0) / 3000, 1e-9);
    control->setEyepointFadeRange(0);
    EXPECT_EQ(map->getEyepointFadeCoefficient(), 1e30f);
    control->setEnable(false);
    EXPECT_FALSE(map->getEnable());
    EXPECT_EQ(kxLightLobeControl::find("", 0), control);
    EXPECT_EQ(kxLightLobeControl::getStaticClassType()->create(), control);
}

} // namespace
