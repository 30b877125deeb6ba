// Bad input through the module's public interface: every setter and configuration property
// fed values that are no number, out of range, absurdly large, null or released. After each,
// frames run (update, cull and, where a GL context can be made, draw), and nothing that reaches
// the drawing may be non-finite, no allocation may follow an absurd size, and the process goes on.
#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <kc/kcConfigParser.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <ku/kuImageFactory.h>
#include <kx/kxEnv.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
const float NaNf = std::numeric_limits<float>::quiet_NaN();
const float INFf = std::numeric_limits<float>::infinity();

bool fitsFloat(const kuVec3d& v) {
    return std::fabs(v.x) <= FLT_MAX && std::fabs(v.y) <= FLT_MAX && std::fabs(v.z) <= FLT_MAX;
}

bool finite(const kuVec3d& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// A footprint vertex that can be drawn: finite, with a finite brightness of at least 0.
bool sane(const kuVec3d& vertex, float brightness) {
    return finite(vertex) && std::isfinite(brightness) && brightness >= 0.0f;
}

bool finite(const kuMatrixf& m) {
    for (int i = 0; i < 16; ++i)
        if (!std::isfinite(m.ptr()[i]))
            return false;
    return true;
}

// Makes the lobes' cull records and keeps a copy of each as it comes back after its frame,
// so that what was drawn can be inspected.
class RecordSpy : public ksCullRecordFactory {
public:
    ksCullRecord* create(int channelId, int flags) override {
        auto* record = new kxLightLobe::CullRecord;
        ref();
        record->setFactory(this);
        record->setChannelId(channelId);
        record->setFlags(flags);
        return record;
    }
    void recycle(ksCullRecord* record) override {
        if (!record)
            return;
        m_returned.push_back(*static_cast<kxLightLobe::CullRecord*>(record));
        delete record;
        unref();
    }
    std::vector<kxLightLobe::CullRecord> take() {
        std::vector<kxLightLobe::CullRecord> records;
        records.swap(m_returned);
        return records;
    }

protected:
    ~RecordSpy() override = default;

private:
    std::vector<kxLightLobe::CullRecord> m_returned;
};

// What a case expects of the lobe once frames have run.
enum Light { ANY, DARK, LIT };

// A flat night scene seen from above by one channel, with one lobe pointing down at it.
class BadInputTest : public kxModuleTest {
protected:
    void SetUp() override {
        kxModuleTest::SetUp();
        m_scene = new kxScene;
        m_terrain = kxFlatGround(4000, 8);
        m_scene->addChild(m_terrain.get());
        m_window = new ksWindow;
        m_window->setSize(320, 240);
        m_channel = new ksChannel;
        m_channel->setName("channel");
        m_channel->setProjection(60, 46.8, 1, 5000);
        m_window->addChannel(m_channel.get());
        m_env = new kxEnv;
        m_env->addEffect(new kxEnvSun);
        m_env->addEffect(new kxEnvMoon);
        m_env->setFogEnable(false);
        m_env->setTimeOfDay(0.5);
        m_observer = new kxObserver;
        m_observer->setScene(m_scene.get());
        m_observer->addChannel(m_channel.get());
        m_observer->addAttachment(m_env.get());
        m_observer->setPosition(0, 0, 300);
        m_observer->setOrientation(0, -90, 0);
        m_spy = new RecordSpy;
        m_lobe = freshLobe();
        ASSERT_EQ(kxKernel::instance()->configure(), 1);
    }
    void TearDown() override {
        kcConfigParser::getTheConfigParser()->clear();
        m_lobe.reset();
        m_observer.reset();
        m_env.reset();
        m_channel.reset();
        m_window.reset();
        m_terrain.reset();
        m_scene.reset();
        m_spy.reset();
        kxModuleTest::TearDown();
    }

    // Replaces the scene's lobe with a new one 100 units up, pointing down.
    kuRef<kxLightLobe> freshLobe() {
        if (m_lobe)
            m_scene->getRoot()->removeChild(m_lobe.get());
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName("lamp");
        lobe->setPosition(0, 0, 100);
        lobe->setOrientation(0, -90, 0);
        lobe->setSpreadAngle(30);
        adopt(lobe.get());
        return lobe;
    }
    void adopt(kxLightLobe* lobe) {
        lobe->setCullRecordFactory(m_spy.get());
        m_scene->addChild(lobe);
    }

    // Runs frames; after each, checks what the lobes and their records hold. Returns whether
    // the last frame drew the channel's light map; its records go to lastRecords.
    bool runFrames(const std::string& label, int frames = 3,
                   std::vector<kxLightLobe::CullRecord>* lastRecords = nullptr) {
        bool drawn = false;
        for (int frame = 0; frame < frames; ++frame) {
            EXPECT_EQ(kxKernel::instance()->runFrame(), 1) << label;
            drawn = kxLightMap::isMapCreated(m_channel.get());
            for (auto it = kxLightLobe::begin(); it != kxLightLobe::end(); ++it)
                expectFiniteFootprint(*it, label);
            std::vector<kxLightLobe::CullRecord> records = m_spy->take();
            for (const kxLightLobe::CullRecord& record : records)
                expectDrawable(record, drawn, label);
            if (lastRecords)
                *lastRecords = records;
            const kuSphered bounds = m_scene->getRoot()->getBounds();
            EXPECT_FALSE(std::isnan(bounds.radius)) << label;
            EXPECT_TRUE(!bounds.valid() || finite(bounds.center)) << label;
        }
        EXPECT_EQ(m_capture.countContaining("OpenGL error"), 0) << label;
        return drawn;
    }
    static void expectFiniteFootprint(const kxLightLobe* lobe, const std::string& label) {
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k)
            EXPECT_TRUE(sane(lobe->getVertex(k), lobe->getVertexBrightness(k)))
                << label << " vertex " << k << " brightness " << lobe->getVertexBrightness(k);
        EXPECT_TRUE(finite(lobe->getTextureMatrix())) << label;
    }
    // A record that went through the light map was drawn: what it drew must fit in floats.
    static void expectDrawable(const kxLightLobe::CullRecord& record, bool drawn,
                               const std::string& label) {
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k) {
            EXPECT_TRUE(sane(record.vertices[k], record.vertexBrightness[k]))
                << label << " record vertex " << k;
            EXPECT_TRUE(!drawn || fitsFloat(record.vertices[k])) << label << " drawn vertex " << k;
        }
        EXPECT_TRUE(!drawn || finite(record.textureTransform.matrix)) << label;
    }
    static bool dark(const kxLightLobe* lobe) {
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k)
            if (lobe->getVertexBrightness(k) != 0.0f)
                return false;
        return true;
    }
    static void expectLight(const kxLightLobe* lobe, Light light, const std::string& label) {
        if (light != ANY) {
            EXPECT_EQ(dark(lobe), light == DARK) << label;
        }
    }
    static bool dark(const std::vector<kxLightLobe::CullRecord>& records) {
        for (const kxLightLobe::CullRecord& record : records)
            for (float brightness : record.vertexBrightness)
                if (brightness != 0.0f)
                    return false;
        return true;
    }

    kxMessageCapture m_capture;
    kuRef<kxScene> m_scene;
    kuRef<kxTerrain> m_terrain;
    kuRef<ksWindow> m_window;
    kuRef<ksChannel> m_channel;
    kuRef<kxEnv> m_env;
    kuRef<kxObserver> m_observer;
    kuRef<RecordSpy> m_spy;
    kuRef<kxLightLobe> m_lobe;
};

const char* const UNUSABLE = "position, direction or spread angle is not a usable number";

struct SetterCase {
    const char* name;
    std::function<void(kxLightLobe*)> apply;
    Light light;
    bool reportsPose; // the unusable-pose message
};

TEST_F(BadInputTest, LobeSettersWithNumbersThatAreNoNumbers) {
    const SetterCase cases[] = {
        {"brightness NaN", [](kxLightLobe* l) { l->setBrightness(NaNf); }, DARK, false},
        {"brightness +inf", [](kxLightLobe* l) { l->setBrightness(INFf); }, DARK, false},
        {"brightness FLT_MAX", [](kxLightLobe* l) { l->setBrightness(FLT_MAX); }, LIT, false},
        {"brightness -1", [](kxLightLobe* l) { l->setBrightness(-1); }, DARK, false},
        {"brightness 0", [](kxLightLobe* l) { l->setBrightness(0); }, DARK, false},
        {"spread NaN", [](kxLightLobe* l) { l->setSpreadAngle(NaNf); }, DARK, true},
        {"spread +inf", [](kxLightLobe* l) { l->setSpreadAngle(INFf); }, DARK, true},
        {"spread -inf", [](kxLightLobe* l) { l->setSpreadAngle(-INFf); }, DARK, true},
        {"spread FLT_MAX", [](kxLightLobe* l) { l->setSpreadAngle(FLT_MAX); }, ANY, false},
        {"spread -30", [](kxLightLobe* l) { l->setSpreadAngle(-30); }, ANY, false},
        {"spread 0", [](kxLightLobe* l) { l->setSpreadAngle(0); }, ANY, false},
        {"spread 180", [](kxLightLobe* l) { l->setSpreadAngle(180); }, ANY, false},
        {"spread 720", [](kxLightLobe* l) { l->setSpreadAngle(720); }, ANY, false},
        {"fade NaN", [](kxLightLobe* l) { l->setFadeRange(NaNf); }, DARK, false},
        {"fade +inf", [](kxLightLobe* l) { l->setFadeRange(INFf); }, LIT, false},
        {"fade FLT_MAX", [](kxLightLobe* l) { l->setFadeRange(FLT_MAX); }, LIT, false},
        {"fade -1", [](kxLightLobe* l) { l->setFadeRange(-1); }, DARK, false},
        {"fade 0", [](kxLightLobe* l) { l->setFadeRange(0); }, DARK, false},
        {"position NaN", [](kxLightLobe* l) { l->setPosition(NaN, 0, 100); }, DARK, true},
        {"position +inf", [](kxLightLobe* l) { l->setPosition(0, 0, INF); }, DARK, true},
        {"position 1e300", [](kxLightLobe* l) { l->setPosition(1e300, 0, 100); }, DARK, true},
        {"position -1e300", [](kxLightLobe* l) { l->setPosition(0, 0, -1e300); }, DARK, true},
        {"position 1e18", [](kxLightLobe* l) { l->setPosition(1e18, 1e18, 1e18); }, DARK, false},
        // The ray tracer aborts on origins beyond its range (about 1.8e18): they meet nothing.
        {"position 1e30", [](kxLightLobe* l) { l->setPosition(1e30, 1e30, 1e30); }, DARK, false},
        {"translate NaN", [](kxLightLobe* l) { l->setTranslate(0, NaN, 0, true); }, DARK, true},
        {"translate 1e300", [](kxLightLobe* l) { l->setTranslate(1e300, 0, 0, false); }, DARK,
         true},
        {"orientation NaN", [](kxLightLobe* l) { l->setOrientation(0, NaN, 0); }, DARK, true},
        {"orientation inf", [](kxLightLobe* l) { l->setOrientation(INF, -90, 0); }, DARK, true},
        {"orientation 1e300", [](kxLightLobe* l) { l->setOrientation(1e300, -90, 1e300); }, ANY,
         false},
        {"rotate NaN", [](kxLightLobe* l) { l->setRotate(0, 0, NaN, true); }, DARK, true},
        {"rotate -inf", [](kxLightLobe* l) { l->setRotate(0, -INF, 0, false); }, DARK, true},
        {"scale NaN", [](kxLightLobe* l) { l->setScale(NaN, 1, 1); }, DARK, true},
        {"scale inf", [](kxLightLobe* l) { l->setScale(INF, INF, INF); }, DARK, true},
        {"scale 0", [](kxLightLobe* l) { l->setScale(0, 0, 0); }, ANY, false},
        {"scale -1", [](kxLightLobe* l) { l->setScale(-1, -1, -1); }, ANY, false},
        {"scale 1e300", [](kxLightLobe* l) { l->setScale(1e300, 1e300, 1e300); }, ANY, false},
    };
    for (const SetterCase& c : cases) {
        m_lobe = freshLobe();
        m_capture.clear();
        c.apply(m_lobe.get());
        runFrames(c.name);
        expectLight(m_lobe.get(), c.light, c.name);
        EXPECT_EQ(
            m_capture.count(5, std::string("Light lobe lamp: ") + UNUSABLE + "; it lights nothing"),
            c.reportsPose ? 1 : 0)
            << c.name;
    }
    // A pose made usable again lights the ground again, and is reported again when lost.
    m_lobe = freshLobe();
    m_lobe->setPosition(NaN, 0, 100);
    runFrames("lost");
    m_lobe->setPosition(0, 0, 100);
    runFrames("found");
    EXPECT_FALSE(dark(m_lobe.get()));
    m_capture.clear();
    m_lobe->setOrientation(NaN, 0, 0);
    runFrames("lost again");
    EXPECT_EQ(m_capture.countContaining(UNUSABLE), 1);
}

TEST_F(BadInputTest, ParentTransformsThatAreNoNumbers) {
    kuRef<kxTransform> parent = new kxTransform;
    m_scene->getRoot()->removeChild(m_lobe.get());
    parent->addChild(m_lobe.get());
    m_scene->addChild(parent.get());
    const struct {
        const char* name;
        kuVec3d position, scale;
    } cases[] = {{"parent at NaN", {NaN, 0, 0}, {1, 1, 1}},
                 {"parent scaled by NaN", {0, 0, 0}, {1, NaN, 1}},
                 {"parent at infinity", {0, 0, -INF}, {1, 1, 1}},
                 // Squared distances beyond 1e154 overflow: the bounds must not become NaN.
                 {"parent at 1e300", {0, 1e300, 0}, {1, 1, 1}}};
    for (const auto& c : cases) {
        parent->setPosition(c.position.x, c.position.y, c.position.z);
        parent->setScale(c.scale.x, c.scale.y, c.scale.z);
        runFrames(c.name);
        EXPECT_TRUE(dark(m_lobe.get())) << c.name;
    }
    parent->setPosition(0, 0, 0);
    parent->setScale(1, 1, 1);
    runFrames("parent restored");
    EXPECT_FALSE(dark(m_lobe.get()));
}

TEST_F(BadInputTest, LobeTextureSizesAreBounded) {
    const struct {
        unsigned int size;
        bool made;
    } cases[] = {{0, false},        {1, true},         {3, true},        {64, true},
                 {1u << 20, false}, {1u << 31, false}, {UINT_MAX, false}};
    for (const auto& c : cases) {
        const std::string label = "lobe texture size " + std::to_string(c.size);
        m_lobe = freshLobe();
        m_capture.clear();
        m_lobe->setTextureSize(c.size);
        std::vector<kxLightLobe::CullRecord> records;
        runFrames(label, 3, &records);
        ASSERT_EQ(records.size(), 1u) << label;
        EXPECT_FALSE(dark(m_lobe.get())) << label; // the footprint is found either way
        EXPECT_EQ(m_lobe->getTextureSize(), c.size) << label;
        krTexture* texture = m_lobe->getTexture();
        ASSERT_NE(texture, nullptr) << label;
        kuAllocRef* image = texture->getImageLevel(0);
        if (c.made) {
            ASSERT_NE(image, nullptr) << label;
            EXPECT_EQ(image->size(), std::size_t(c.size) * c.size * 3) << label;
            EXPECT_EQ(texture->getWidth(), int(c.size)) << label;
            EXPECT_FALSE(dark(records)) << label;
        } else {
            EXPECT_EQ(image, nullptr) << label;
            EXPECT_EQ(m_capture.count(5, "Light lobe lamp: no texture of size " +
                                             std::to_string(c.size) + " can be made"),
                      1)
                << label;
            // Drawn without its pattern, the lobe would light its whole footprint square.
            EXPECT_TRUE(dark(records)) << label;
        }
    }
    // A size that can be made lights the ground again.
    m_lobe->setTextureSize(128);
    std::vector<kxLightLobe::CullRecord> records;
    runFrames("size 128 again", 1, &records);
    EXPECT_FALSE(dark(records));
}

TEST_F(BadInputTest, LightMapSizesAreBoundedByTheChannel) {
    kxLightMap* map = kxLightMap::instance();
    const struct {
        unsigned int size;
        const char* message; // null: the map is made
    } cases[] = {
        {0, "kxLightMap: no light map of size 0 for chan channel"},
        {1, nullptr},
        {3, nullptr},
        {512, "Chan channel too small (320,240) for lightmap tex size (512)"},
        {1u << 16, "kxLightMap: no light map of size 65536 for chan channel"},
        {1u << 20, "kxLightMap: no light map of size 1048576 for chan channel"},
        {UINT_MAX, "kxLightMap: no light map of size 4294967295 for chan channel"},
        {128, nullptr},
    };
    for (const auto& c : cases) {
        const std::string label = "map size " + std::to_string(c.size);
        m_capture.clear();
        map->setTextureSize(c.size);
        const bool drawn = runFrames(label, 2);
        kxLightMap::_channel_data* record = map->getChannelData(m_channel.get());
        ASSERT_NE(record, nullptr);
        // Whatever was asked, nothing larger than the channel is allocated.
        EXPECT_TRUE(!record->imageBits || record->imageBits->size() <= 320u * 240u * 3u) << label;
        if (!m_window->getRenderWindow())
            continue; // nothing is drawn without a GL context
        if (c.message) {
            EXPECT_FALSE(drawn) << label;
            EXPECT_EQ(m_capture.count(5, c.message), 2) << label;
        } else {
            EXPECT_TRUE(drawn) << label;
            ASSERT_NE(record->imageBits, nullptr) << label;
            EXPECT_EQ(record->imageBits->size(), std::size_t(c.size) * c.size * 3) << label;
        }
    }
}

TEST_F(BadInputTest, LightMapAndControlSettingsThatAreNoNumbers) {
    kxLightMap* map = kxLightMap::instance();
    kxLightLobeControl* control = kxLightLobeControl::instance();
    // The grey of unlit ground in a corner of the window, or -1 without a GL context.
    auto cornerGrey = [this] {
        krWindow* window = m_window->getRenderWindow();
        if (!window)
            return -1;
        kuRef<kuImage> image = window->readPixels();
        const unsigned char* p = image->getPixel(10, 10);
        return (p[0] + p[1] + p[2]) / 3;
    };
    runFrames("defaults", 2);
    const int usual = cornerGrey();
    const struct {
        const char* name;
        std::function<void()> apply;
        bool lightIsNoNumber; // the brightening ambient would be infinite or NaN
    } cases[] = {
        {"fade range NaN", [control] { control->setEyepointFadeRange(NaNf); }, false},
        {"fade range -inf", [control] { control->setEyepointFadeRange(-INFf); }, false},
        {"fade range +inf", [control] { control->setEyepointFadeRange(INFf); }, false},
        {"fade range FLT_MAX", [control] { control->setEyepointFadeRange(FLT_MAX); }, false},
        {"transition NaN", [map] { map->setTransitionLightIntensity(NaNf); }, false},
        {"transition FLT_MAX", [map] { map->setTransitionLightIntensity(FLT_MAX); }, false},
        {"brighten inf", [map] { map->setBrightenScale(INFf); }, true},
        {"brighten -FLT_MAX", [map] { map->setBrightenScale(-FLT_MAX); }, false},
        {"brighten NaN", [map] { map->setBrightenScale(NaNf); }, true},
    };
    for (const auto& c : cases) {
        c.apply();
        runFrames(c.name, 2);
        EXPECT_TRUE(std::isfinite(map->getEyepointFadeCoefficient())) << c.name;
        // No flood of light from a setting that is no number.
        if (c.lightIsNoNumber) {
            EXPECT_LE(cornerGrey(), usual) << c.name;
        }
        control->setEyepointFadeRange(3465.7359f);
        map->setTransitionLightIntensity(0.5f);
        map->setBrightenScale(1.0f);
    }
}

TEST_F(BadInputTest, OutOfRangeEnumerations) {
    const int falloffs[] = {0, 4, 99, -1, INT_MAX};
    m_lobe->setFalloff(kxLightLobe::FALLOFF_CUBIC);
    kuRef<krTexture> cubic = m_lobe->getTexture();
    for (int value : falloffs) {
        m_capture.clear();
        m_lobe->setFalloff(static_cast<kxLightLobe::Falloff>(value));
        EXPECT_EQ(m_lobe->getFalloff(), kxLightLobe::FALLOFF_CUBIC) << value;
        EXPECT_EQ(m_lobe->getTexture(), cubic.get()) << value;
        EXPECT_EQ(m_capture.count(5, "Light lobe lamp: falloff " + std::to_string(value) +
                                         " is not a falloff; kept 3"),
                  1);
    }
    kuRef<kxLightLobe> copy = static_cast<kxLightLobe*>(m_lobe->makeCopy());
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->compare(m_lobe.get()));

    kxLightLobeControl* control = kxLightLobeControl::instance();
    control->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_BETTER);
    for (int value : {0, 4, -1, INT_MIN})
        control->setRenderQuality(static_cast<kxLightLobeControl::RenderQuality>(value));
    EXPECT_EQ(kxLightMap::instance()->getTextureSize(), 256u);
    EXPECT_EQ(control->getRenderQuality(), kxLightLobeControl::RENDER_QUALITY_BETTER);
    runFrames("enumerations");
}

TEST_F(BadInputTest, TextureFiles) {
    kxTempDir dir;
    const std::string text = dir.file("notes.txt");
    std::ofstream(text) << "not a picture\n";
    const std::string empty = dir.file("empty.png");
    std::ofstream(empty).close();
    const struct {
        const char* name;
        const char* file;
        int status;
    } cases[] = {{"null", nullptr, 1},
                 {"empty name", "", 1},
                 {"directory", dir.path().c_str(), -32767},
                 {"missing", "/nonexistent/lobe.png", -32767},
                 {"text file", text.c_str(), -32767},
                 {"empty file", empty.c_str(), -32767}};
    for (const auto& c : cases) {
        m_lobe = freshLobe();
        EXPECT_EQ(m_lobe->setTextureFile(c.file), c.status) << c.name;
        EXPECT_STREQ(m_lobe->getTextureFile(), "") << c.name;
        runFrames(c.name);
        // Left without a texture, the lobe makes its own pattern again.
        ASSERT_NE(m_lobe->getTexture(), nullptr) << c.name;
        EXPECT_EQ(m_lobe->getTexture()->getWidth(), 128) << c.name;
        EXPECT_FALSE(dark(m_lobe.get())) << c.name;
    }
}

TEST_F(BadInputTest, NullPointersAndIndices) {
    kxLightMap* map = kxLightMap::instance();
    kxLightLobeControl* control = kxLightLobeControl::instance();
    runFrames("before");
    EXPECT_EQ(m_lobe->addChild(nullptr), -32767);
    EXPECT_EQ(m_lobe->removeChild(nullptr), -32767);
    m_lobe->setStrategy(nullptr);
    m_lobe->setCoordConverter(nullptr);
    control->addChannel(nullptr);
    control->removeChannel(nullptr);
    EXPECT_EQ(map->getNumChannels(), 1);
    EXPECT_EQ(map->getMapTexture(nullptr), nullptr);
    EXPECT_TRUE(map->getLightIntensity(m_channel.get(), 3, nullptr));
    EXPECT_TRUE(map->getObserverPosition(m_channel.get(), 3, nullptr));
    EXPECT_FALSE(map->getLightIntensity(nullptr, 3, nullptr));
    EXPECT_EQ(map->preRenderLobes(nullptr, nullptr), -1.0f);
    EXPECT_EQ(map->preRenderLobes(m_channel.get(), nullptr), -1.0f);
    map->postRenderLobes(m_channel.get(), nullptr);
    map->renderMap(m_channel.get(), nullptr);
    map->transformCullRecord(m_channel.get(), nullptr);
    map->creatLightTextureBits(16, kxLightLobe::FALLOFF_LINEAR, nullptr);
    map->creatLightTextureBits(-5, kxLightLobe::FALLOFF_LINEAR, nullptr);
    EXPECT_EQ(m_lobe->cull(nullptr), ksTraversal::RESULT_CONTINUE);
    for (int index : {-1, int(kxLightLobe::NUM_VERTICES), INT_MAX, INT_MIN}) {
        EXPECT_EQ(m_lobe->getVertex(index), kuVec3d()) << index;
        EXPECT_EQ(m_lobe->getVertexBrightness(index), 0.0f) << index;
        EXPECT_EQ(m_lobe->getIsector(index), nullptr) << index;
    }
    EXPECT_EQ(kxLightLobe::find(nullptr), nullptr);
    EXPECT_FALSE(m_lobe->compare(nullptr));

    // Without a record factory the lobe leaves no record and says so.
    m_capture.clear();
    m_lobe->setCullRecordFactory(nullptr);
    runFrames("no factory", 1);
    EXPECT_EQ(m_capture.countContaining("No cull record for light lobe lamp"), 1);
    EXPECT_TRUE(m_spy->take().empty());

    // Without an isector service the probes are cast by nobody: no new footprint, no fault.
    m_lobe->setCullRecordFactory(m_spy.get());
    control->setIsectorService(nullptr);
    kuRef<kxLightLobe> late = kxLightLobe::create();
    late->setName("late");
    late->setPosition(0, 0, 50);
    late->setOrientation(0, -90, 0);
    adopt(late.get());
    runFrames("no service");
    EXPECT_TRUE(dark(late.get()));
    m_scene->getRoot()->removeChild(late.get());
}

TEST_F(BadInputTest, FramesThatCannotBeWritten) {
    kxLightMap* map = kxLightMap::instance();
    runFrames("before", 6);
    m_capture.clear();
    // Frame 2's slot now belongs to a later frame; 0 and below name no frame.
    for (int frame : {2, -1, INT_MIN})
        map->update(frame);
    EXPECT_EQ(m_capture.countContaining("cannot be written for chan channel"), 3);
    map->update(0); // the current frame, written again
    EXPECT_EQ(m_capture.countContaining("cannot be written for chan channel"), 3);
    float intensity = -1;
    EXPECT_TRUE(map->getLightIntensity(m_channel.get(), 6, &intensity));
    runFrames("after");
}

TEST_F(BadInputTest, ReleasedChannelsWindowsAndNodes) {
    kxLightMap* map = kxLightMap::instance();
    runFrames("before");
    // The channel's window goes; the channel is drawn by another window.
    m_window->removeChannel(m_channel.get());
    m_window.reset();
    runFrames("windowless channel");
    m_window = new ksWindow;
    m_window->setSize(400, 300);
    m_window->addChannel(m_channel.get());
    const bool drawn = runFrames("new window");
    EXPECT_EQ(drawn, m_window->getRenderWindow() != nullptr);

    // The map forgets the channel while it is drawn, then learns it again.
    map->removeChannel(m_channel.get());
    EXPECT_FALSE(runFrames("forgotten channel"));
    map->addChannel(m_channel.get());
    runFrames("channel again");

    // A channel that only the map still holds stays alive until the map lets it go.
    kuRef<ksChannel> extra = new ksChannel;
    extra->setName("extra");
    kxLightLobeControl::instance()->addChannel(extra.get());
    const ksChannel* held = extra.get();
    extra.reset();
    runFrames("channel held by the map alone");
    ASSERT_NE(map->getChannelData(held), nullptr);
    EXPECT_STREQ(map->getChannelData(held)->channel->getName(), "extra");
    map->removeChannel(held);
    runFrames("channel released");

    // A lobe leaves the scene: it is culled no more, and when it goes its probes go too.
    kxIsectorService* service = map->getIsectorService();
    ASSERT_NE(service, nullptr);
    kuRef<kxIsectorLOS> probe = m_lobe->getIsector(0);
    m_scene->getRoot()->removeChild(m_lobe.get());
    m_spy->take();
    runFrames("lobe out of the scene");
    EXPECT_TRUE(m_spy->take().empty());
    m_lobe.reset();
    EXPECT_FALSE(service->hasIsector(probe.get()));
    runFrames("lobe gone");

    // A lobe whose only holder is the scene goes while frames run.
    kxLightLobe* orphan = kxLightLobe::create();
    adopt(orphan);
    runFrames("held by the scene");
    m_scene->getRoot()->removeChild(orphan);
    runFrames("dropped by the scene");
}

// ---- configuration ----

struct ConfigCase {
    const char* text; // the properties of LightLobe "lobe"
    bool error;       // the parser reports a problem
    Light light;
};

TEST_F(BadInputTest, LightLobePropertiesWithBadValues) {
    kxTempDir dir;
    const std::string folder = "<setTextureFile>" + dir.path().string() + "</setTextureFile>";
    const ConfigCase cases[] = {
        {"<setBrightness>nan</setBrightness>", true, ANY},
        {"<setBrightness>inf</setBrightness>", true, ANY},
        {"<setBrightness>1e999</setBrightness>", true, ANY},
        {"<setBrightness>3.4e38</setBrightness>", false, LIT},
        {"<setBrightness></setBrightness>", true, ANY},
        {"<setBrightness>bright</setBrightness>", true, ANY},
        {"<setSpreadAngle>-nan</setSpreadAngle>", true, ANY},
        {"<setSpreadAngle>1e39</setSpreadAngle>", true, ANY},
        {"<setFadeRange>0x10</setFadeRange>", false, ANY},
        {"<setFalloff>7</setFalloff>", true, LIT},
        {"<setFalloff>FALLOFF_</setFalloff>", true, LIT},
        {"<setFalloff/>", true, LIT},
        {"<setTextureSize>0</setTextureSize>", true, LIT},
        {"<setTextureSize>1048576</setTextureSize>", true, LIT},
        {"<setTextureSize>4294967295</setTextureSize>", true, LIT},
        {"<setTextureSize>-1</setTextureSize>", true, LIT},
        {"<setTextureFile></setTextureFile>", true, LIT},
        {"<setTextureFile>/nonexistent/lobe.png</setTextureFile>", true, LIT},
        {folder.c_str(), true, LIT},
        {"<setPosition x=\"nan\" y=\"0\" z=\"100\"/>", true, ANY},
        {"<setPosition x=\"1e300\" y=\"0\" z=\"100\"/>", false, DARK},
        {"<setPosition x=\"1e999\" y=\"0\" z=\"100\"/>", true, ANY},
        {"<setPosition/>", true, ANY},
        {"<setPosition x=\"0\" y=\"0\" z=\"100\" w=\"1\"/>", true, LIT},
        {"<setOrientation h=\"inf\" p=\"-90\" r=\"0\"/>", true, ANY},
        {"<setRotate>-90</setRotate>", true, ANY},
        {"<setTranslate x=\"-1e308\" y=\"1e308\" z=\"1e308\"/>", false, DARK},
        {"<setScale x=\"1e308\" y=\"-1e308\" z=\"1e308\"/>", false, ANY},
        {"<setStaticEnable>2</setStaticEnable>", true, LIT},
        {"<setStrategyEnable>maybe</setStrategyEnable>", true, LIT},
        {"<setStrategy>nobody</setStrategy>", true, LIT},
        {"<setStrategy>lobe</setStrategy>", true, LIT},
        {"<setCoordConverter>nobody</setCoordConverter>", true, LIT},
        {"<addChild>nobody</addChild>", true, LIT},
        {"<addChild>lobe</addChild>", true, LIT},
        {"<removeChild>nobody</removeChild>", true, LIT},
        {"<removeChild>lobe</removeChild>", true, LIT},
        {"<setIsectMask>0xzz</setIsectMask>", true, DARK},
        {"<setCullMask>-1</setCullMask>", true, LIT},
        {"<setColour>1</setColour>", true, LIT},
        {"<setEnable>2</setEnable>", true, DARK},
    };
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    for (const ConfigCase& c : cases) {
        m_scene->getRoot()->removeChild(m_lobe.get());
        m_lobe.reset();
        parser->clear();
        const std::string text = "<kestrix>\n<LightLobe name=\"lobe\">\n"
                                 "<setPosition x=\"0\" y=\"0\" z=\"100\"/>\n"
                                 "<setOrientation h=\"0\" p=\"-90\" r=\"0\"/>\n" +
                                 std::string(c.text) + "\n</LightLobe>\n</kestrix>\n";
        m_capture.clear();
        EXPECT_EQ(parser->parseString(text.c_str(), "lobe.xml"), 1) << c.text;
        EXPECT_EQ(parser->getNumErrors() > 0, c.error) << c.text;
        if (c.error) {
            EXPECT_GE(m_capture.countContaining("lobe.xml:5:"), 1) << c.text;
        }
        m_lobe = static_cast<kxLightLobe*>(parser->findInstance("lobe"));
        ASSERT_NE(m_lobe, nullptr) << c.text;
        adopt(m_lobe.get());
        runFrames(c.text);
        expectLight(m_lobe.get(), c.light, c.text);
    }
}

TEST_F(BadInputTest, LoopsInTheSceneGraphAreRefused) {
    kuRef<kxLightLobe> child = kxLightLobe::create();
    ASSERT_EQ(m_lobe->addChild(child.get()), 1);
    EXPECT_EQ(child->addChild(m_lobe.get()), -32767);
    EXPECT_EQ(m_lobe->addChild(m_scene->getRoot()), -32767);
    EXPECT_EQ(child->addChild(child.get()), -32767);
    // Lobes of a file referring to each other in a loop: the closing reference is refused.
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    ASSERT_EQ(parser->parseString("<kestrix>\n"
                                  "<LightLobe name=\"a\"><addChild>b</addChild></LightLobe>\n"
                                  "<LightLobe name=\"b\"><addChild>c</addChild></LightLobe>\n"
                                  "<LightLobe name=\"c\"><addChild>a</addChild></LightLobe>\n"
                                  "</kestrix>\n",
                                  "loop.xml"),
              1);
    EXPECT_EQ(parser->getNumErrors(), 1);
    auto* a = static_cast<kxLightLobe*>(parser->findInstance("a"));
    ASSERT_NE(a, nullptr);
    adopt(a);
    runFrames("loop");
    m_scene->getRoot()->removeChild(a);
    // A lobe given a look-at strategy aimed at the lobe itself.
    ASSERT_EQ(
        parser->parseString("<kestrix>\n"
                            "<LookAtStrategy name=\"aim\"><setNode>l</setNode></LookAtStrategy>\n"
                            "<LightLobe name=\"l\"><setStrategy>aim</setStrategy></LightLobe>\n"
                            "</kestrix>\n",
                            "aim.xml"),
        1);
    EXPECT_EQ(parser->getNumErrors(), 1);
    auto* l = static_cast<kxLightLobe*>(parser->findInstance("l"));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->getStrategy(), nullptr);
}

TEST_F(BadInputTest, LightLobeControlPropertiesWithBadValues) {
    const struct {
        const char* text;
        bool error;
        unsigned int mapSize;
    } cases[] = {
        {"<setRenderQuality>3</setRenderQuality>", true, 128},
        {"<setRenderQuality/>", true, 128},
        {"<setEyepointFadeRange>nan</setEyepointFadeRange>", true, 256},
        {"<setEyepointFadeRange>-1</setEyepointFadeRange>", false, 256},
        {"<setEyepointFadeRange>1e999</setEyepointFadeRange>", true, 256},
        {"<setEnable>maybe</setEnable>", true, 256},
        {"<addChannel>nobody</addChannel>", true, 256},
        {"<addChannel>lobe</addChannel>", true, 256},
        {"<removeChannel>nobody</removeChannel>", true, 256},
        {"<removeChannel>lobe</removeChannel>", true, 256},
        {"<addChannel/>", true, 256},
        {"<setColour>1</setColour>", true, 256},
    };
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    kxLightLobeControl* control = kxLightLobeControl::instance();
    for (const auto& c : cases) {
        parser->clear();
        control->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_BETTER);
        control->setEnable(true);
        const std::string text = "<kestrix>\n<LightLobe name=\"lobe\"/>\n"
                                 "<LightLobeControl name=\"control\">\n" +
                                 std::string(c.text) + "\n</LightLobeControl>\n</kestrix>\n";
        EXPECT_EQ(parser->parseString(text.c_str(), "control.xml"), 1) << c.text;
        EXPECT_EQ(parser->getNumErrors() > 0, c.error) << c.text;
        EXPECT_EQ(kxLightMap::instance()->getTextureSize(), c.mapSize) << c.text;
        EXPECT_EQ(kxLightMap::instance()->getNumChannels(), 1) << c.text;
        EXPECT_TRUE(std::isfinite(kxLightMap::instance()->getEyepointFadeCoefficient())) << c.text;
        runFrames(c.text, 2);
    }
}

} // namespace
