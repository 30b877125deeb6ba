// Projected lobes without drawing: what each frame publishes for the draw threads, the slots,
// the channels the light map hands them, what a draw event loads into a draw context, and the
// configuration keywords.
#include "kxTestSupport.h"

#include <kxlightlobecontrol.h>
#include <kxlightlobefogeffect.h>
#include <kxlightlobeprojected.h>
#include <kxlightlobeshadertechniquemgr.h>
#include <kxlightmap.h>

#include <kc/kcConfigParser.h>
#include <kr/krDrawContext.h>
#include <kr/krShaderInfrastructure.h>
#include <ks/ksChannel.h>
#include <ku/kuParameter.h>
#include <ku/kuThread.h>
#include <kx/kxEnv.h>
#include <kx/kxScene.h>

#include <cmath>
#include <functional>
#include <string>

namespace {

typedef kxLightLobeProjected::ShaderParameters Record;

class ProjectedLobeTest : public kxModuleTest {
protected:
    void SetUp() override {
        kxModuleTest::SetUp();
        krShaderInfrastructure::instance()->setEnable(true);
        m_scene = new kxScene;
        m_channel = new ksChannel;
        m_channel->setName("channel");
    }
    void TearDown() override {
        m_lobes.clear();
        m_channel.reset();
        m_scene.reset();
        kxModuleTest::TearDown();
    }
    kxLightLobeProjected* addLobe(double x, double y, double z, double h, double p) {
        kuRef<kxLightLobeProjected> lobe = kxLightLobeProjected::create();
        lobe->setPosition(x, y, z, nullptr);
        lobe->setOrientation(h, p, 0);
        m_scene->addChild(lobe.get());
        m_lobes.push_back(lobe);
        return lobe.get();
    }
    // Runs a frame and returns what the lobe published for it.
    Record frame(kxLightLobeProjected* lobe, bool* published = nullptr) {
        EXPECT_EQ(runFrame(), 1);
        Record record;
        const bool found = lobe->getShaderParameters(kuThread::resolveFrameNumber(), &record);
        if (published)
            *published = found;
        else
            EXPECT_TRUE(found);
        return record;
    }

    kuRef<kxScene> m_scene;
    kuRef<ksChannel> m_channel;
    std::vector<kuRef<kxLightLobeProjected>> m_lobes;
};

void expectVec(const kuVec4<float>& actual, const kuVec4<float>& expected) {
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(actual[i], expected[i], 1e-6) << "component " << i;
}

TEST_F(ProjectedLobeTest, EachFramePublishesTheLightOfItsSettings) {
    kxLightLobeProjected* lobe = addLobe(0, 0, 100, 0, -90);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    ASSERT_TRUE(lobe->isConfigured());
    struct Case {
        const char* what;
        std::function<void(kxLightLobeProjected*)> set;
        bool valid;
        kuVec4<float> params, color;
    };
    const Case cases[] = {
        {"defaults", [](kxLightLobeProjected*) {}, true, {300, 0.8f, 1, 1}, {1, 1, 1, 1}},
        {"fade range below 1 sends 1",
         [](kxLightLobeProjected* l) { l->setFadeRange(0.5f); },
         true,
         {1, 0.8f, 1, 1},
         {1, 1, 1, 1}},
        {"fade range 500",
         [](kxLightLobeProjected* l) { l->setFadeRange(500); },
         true,
         {500, 0.8f, 1, 1},
         {1, 1, 1, 1}},
        {"grey is lifted by brightness times headroom",
         [](kxLightLobeProjected* l) { l->setColor(0.5f, 0.5f, 0.5f, 1); },
         true,
         {300, 0.8f, 1, 1},
         {0.9f, 0.9f, 0.9f, 1}},
        {"red has no headroom to lift",
         [](kxLightLobeProjected* l) {
             l->setColor(1, 0, 0, 0.5f);
             l->setBrightness(0.3f);
         },
         true,
         {300, 0.3f, 1, 1},
         {1, 0, 0, 1}},
        {"clamped colour and brightness",
         [](kxLightLobeProjected* l) {
             l->setColor(2, -1, 0.25f, 1);
             l->setBrightness(-1);
         },
         true,
         {300, 0, 1, 1},
         {1, 0, 0.25f, 1}},
        {"lobe off",
         [](kxLightLobeProjected* l) { l->setEnable(false); },
         false,
         {1, 0, 1, 1},
         {1, 1, 1, 1}},
        {"light map off",
         [](kxLightLobeProjected*) { kxLightLobeControl::instance()->setEnable(false); },
         false,
         {1, 0, 1, 1},
         {1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lobe->setEnable(true);
        lobe->setFadeRange(300);
        lobe->setBrightness(0.8f);
        lobe->setColor(1, 1, 1, 1);
        kxLightLobeControl::instance()->setEnable(true);
        c.set(lobe);
        const Record record = frame(lobe);
        EXPECT_EQ(record.projectionValid, c.valid);
        expectVec(record.lightParams, c.params);
        if (c.valid)
            expectVec(record.lightColor, c.color);
    }
}

// The published matrix takes a world point to the lobe texture: the axis to its centre, the rim
// of the cone to its edge, with w the distance along the axis (negative behind the lamp).
TEST_F(ProjectedLobeTest, ProjectionMatrixMapsTheConeOntoTheTexture) {
    kuRef<kxTransform> tower = new kxTransform;
    tower->setPosition(50, -20, 0, nullptr);
    tower->setOrientation(40, 0, 0);
    m_scene->addChild(tower.get());
    kuRef<kxLightLobeProjected> lobe = kxLightLobeProjected::create();
    lobe->setPosition(0, 5, 60, nullptr);
    lobe->setOrientation(30, -45, 0);
    lobe->setSpreadAngle(40);
    tower->addChild(lobe.get());
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    const Record record = frame(lobe.get());
    ASSERT_TRUE(record.projectionValid);

    const kuMatrixd world = lobe->getWorldMatrix();
    const double t = std::tan(20.0 * std::acos(-1.0) / 180.0);
    struct Case {
        kuVec3d local; // in the lobe's coordinates: +y forward, +x right, +z up
        double s, t, w;
    };
    const Case cases[] = {{{0, 80, 0}, 0.5, 0.5, 80},
                          {{80 * t, 80, 0}, 1.0, 0.5, 80},
                          {{0, 30, -30 * t}, 0.5, 0.0, 30},
                          {{0, -10, 0}, 0.5, 0.5, -10}};
    for (const Case& c : cases) {
        const kuVec3d p = world.transformPoint(c.local);
        const kuVec4<double> q = record.projTexMatrix.transform(kuVec4<double>(p, 1));
        EXPECT_NEAR(q.w, c.w, 1e-6);
        EXPECT_NEAR(q.x / q.w, c.s, 1e-6);
        EXPECT_NEAR(q.y / q.w, c.t, 1e-6);
        // z grows with the distance along the axis, as the range falloff reads it.
        EXPECT_NEAR(q.z, 35000.0 * (c.w - 1.0) / 34999.0, 1e-6);
    }
}

// The beam's strength from the fog density the environment publishes (index 1) times 5000 and
// the beam brightness (0.04): shown above the minimum 0.08, alpha 1 above 100; a dark lobe hides
// it. The beam hangs under the lobe and takes the lobe's generated texture.
TEST_F(ProjectedLobeTest, BeamFollowsTheFogDensity) {
    kxLightLobeProjected* lobe = addLobe(0, 0, 100, 0, -90);
    lobe->setColor(1, 0.5f, 0.25f, 1);
    lobe->setFogEffectEnable(true);
    kuParameter* fog = kuParameter::create(kxEnv::FOG_PARAMETERS, kuParameter::TYPE_FLOAT4);
    ASSERT_NE(fog, nullptr);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    kxLightLobeFogEffect* beam = lobe->getFogEffect();
    ASSERT_TRUE(beam->isConfigured());
    EXPECT_EQ(beam->getRootNode()->getParent(0), lobe);
    EXPECT_EQ(beam->getTexture(), lobe->getTexture());
    struct Case {
        float density;
        bool fogEffect, lobeEnable, visible;
        float alpha;
    };
    const Case cases[] = {{0.0f, true, true, false, 0},      {0.0003f, true, true, false, 0},
                          {0.0005f, true, true, true, 0.1f}, {0.25f, true, true, true, 50.0f},
                          {0.75f, true, true, true, 1.0f},   {0.75f, false, true, false, 0},
                          {0.75f, true, false, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.density);
        const float values[4] = {1, c.density, 0, 0};
        fog->setFloats(values);
        lobe->setFogEffectEnable(c.fogEffect);
        lobe->setEnable(c.lobeEnable);
        const Record record = frame(lobe);
        EXPECT_EQ(record.beamVisible, c.visible);
        EXPECT_EQ(beam->getEnable(), c.visible);
        EXPECT_NEAR(record.beamAlpha, c.alpha, 1e-5);
        if (c.visible) {
            float r, g, b, a;
            beam->getColor(&r, &g, &b, &a);
            EXPECT_EQ(kuVec3<float>(r, g, b), kuVec3<float>(1, 0.5f, 0.25f));
            EXPECT_NEAR(a, c.alpha, 1e-5);
        }
    }
}

TEST_F(ProjectedLobeTest, SlotsRunOutAfterSeven) {
    for (int i = 0; i < 8; ++i)
        addLobe(10.0 * i, 0, 50, 0, -90);
    kxMessageCapture messages;
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    EXPECT_EQ(messages.count(5, "kxLightLobeShaderTechniqueMgr::getShaderData - only 7 projected "
                                "light lobes are supported.  Some may not function."),
              1);
    EXPECT_EQ(messages.count(5, "kxLightLobeProjected::preConfigure: unable to pre-configure "
                                "projected light lobe"),
              1);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m_lobes[i]->isConfigured(), i < 7);
        bool published = false;
        frame(m_lobes[i].get(), &published);
        EXPECT_EQ(published, i < 7);
        if (i < 7) {
            EXPECT_EQ(m_lobes[i]->getShaderData()->getStage(), i + 1);
        }
    }
}

TEST_F(ProjectedLobeTest, WithoutShaderInfrastructureNothingIsConfigured) {
    krShaderInfrastructure::instance()->setEnable(false);
    kxLightLobeProjected* lobe = addLobe(0, 0, 100, 0, -90);
    kxMessageCapture messages;
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    EXPECT_EQ(messages.count(5, "kxLightLobeProjected::preConfigure: shader infrastructure must "
                                "be enabled for projected light lobes to function."),
              1);
    EXPECT_FALSE(lobe->isConfigured());
    EXPECT_EQ(lobe->getShaderData(), nullptr);
}

// The draw event loads the frame's values into that context only; a channel the light map does
// not hold, or a frame with no record, gets brightness 0 instead of what was there before.
TEST_F(ProjectedLobeTest, DrawEventLoadsTheFrameIntoTheContext) {
    kuRef<ksChannel> other = new ksChannel;
    kxLightLobeControl::instance()->addChannel(m_channel.get());
    kxLightLobeProjected* lobe = addLobe(0, 0, 100, 0, -90);
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    EXPECT_TRUE(lobe->hasChannel(m_channel.get()));
    EXPECT_FALSE(lobe->hasChannel(other.get()));
    const Record record = frame(lobe);
    const int published = kuThread::resolveFrameNumber();
    kxLightLobeShaderData* data = lobe->getShaderData();
    ASSERT_NE(data, nullptr);

    struct Case {
        const char* what;
        ksChannel* channel;
        int frame;
        bool lit;
    };
    const Case cases[] = {{"added channel", m_channel.get(), published, true},
                          {"channel never added", other.get(), published, false},
                          {"frame never published", m_channel.get(), published + 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        krDrawContext context;
        const krShaderLanguage::ArrayType4<float> stale{{500, 1, 1, 1}};
        data->getLightingDataParam()->setValue(stale, &context);
        kuThread::setFrameNumber(c.frame);
        lobe->notify(ksChannel::EVENT_PRE_BINS, c.channel, &context);
        kuThread::setFrameNumber(published);
        krShaderLanguage::ArrayType4<float> params;
        ASSERT_TRUE(data->getLightingDataParam()->getValue(&context, params));
        EXPECT_FLOAT_EQ(params[1], c.lit ? 0.8f : 0.0f);
        krShaderLanguage::ArrayType<float, 4, 4> matrix;
        EXPECT_EQ(data->getTextureMatrixParam()->getValue(&context, matrix), c.lit);
        krShaderLanguage::ArrayType4<float> color;
        EXPECT_EQ(data->getLightColorParam()->getValue(&context, color), c.lit);
    }
    EXPECT_TRUE(record.projectionValid);

    // The light map's channel changes reach the lobe.
    kxLightLobeControl::instance()->removeChannel(m_channel.get());
    EXPECT_FALSE(lobe->hasChannel(m_channel.get()));
    kxLightLobeControl::instance()->addChannel(other.get());
    EXPECT_TRUE(lobe->hasChannel(other.get()));
}

TEST_F(ProjectedLobeTest, ConfigurationKeywords) {
    static const char* const PROPERTIES[] = {"addChild",
                                             "removeChild",
                                             "setCullMask",
                                             "setRenderMask",
                                             "setIsectMask",
                                             "setCoordConverter",
                                             "setStrategy",
                                             "setStrategyEnable",
                                             "setTranslate",
                                             "setRotate",
                                             "setPosition",
                                             "setOrientation",
                                             "setScale",
                                             "setStaticEnable",
                                             "setEnable",
                                             "setBrightness",
                                             "setSpreadAngle",
                                             "setFadeRange",
                                             "setColor",
                                             "setFalloff",
                                             "setTextureSize",
                                             "setTextureFile",
                                             "setEnableCustomTexture",
                                             "setFogEffectEnable",
                                             "setFogEffectTextureFile",
                                             "setFogEffectTranslationOffset",
                                             "setFogEffectRotationOffset",
                                             "setFogEffectScale",
                                             "setFogEffectMinVisibilityDensity",
                                             "setFogEffectBrightness"};
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    for (const char* property : PROPERTIES)
        EXPECT_TRUE(parser->isConfigurableProp("LightLobeProjected", property)) << property;

    typedef kxLightLobeProjected P;
    struct Case {
        const char* property;
        std::function<bool(P*)> check;
        bool parseError;
    };
    const Case cases[] = {
        {"<setColor r=\"0.5\" g=\"2\" b=\"0.25\" a=\"1\"/>",
         [](P* l) {
             float r, g, b, a;
             l->getColor(&r, &g, &b, &a);
             return r == 0.5f && g == 1.0f && b == 0.25f && a == 1.0f;
         },
         false},
        {"<setSpreadAngle>200</setSpreadAngle>", [](P* l) { return l->getSpreadAngle() == 180; },
         false},
        {"<setFalloff>FALLOFF_LINEAR</setFalloff>",
         [](P* l) { return l->getFalloff() == P::FALLOFF_LINEAR; }, false},
        {"<setFalloff>FALLOFF_ROUND</setFalloff>",
         [](P* l) { return l->getFalloff() == P::FALLOFF_SQUARED; }, true},
        {"<setTextureSize>512</setTextureSize>", [](P* l) { return l->getTextureSize() == 64u; },
         true},
        {"<setEnable>maybe</setEnable>", [](P* l) { return !l->getEnable(); }, true},
        {"<setFogEffectRotationOffset hoffset=\"10\" roffset=\"3\"/>",
         [](P* l) { return l->getFogEffectRotationOffset() == kuVec3<double>(10, 0, 3); }, true},
        {"<setFogEffectMinVisibilityDensity>0.5</setFogEffectMinVisibilityDensity>",
         [](P* l) { return l->getFogEffectMinVisibilityDensity() == 0.5f; }, false},
        {"<setPosition x=\"1\" y=\"2\" z=\"3\"/>",
         [](P* l) { return l->getPosition() == kuVec3d(1, 2, 3); }, false},
    };
    for (const Case& c : cases) {
        parser->clear();
        const std::string text = "<kestrix>\n<LightLobeProjected name=\"lamp\">\n" +
                                 std::string(c.property) + "\n</LightLobeProjected>\n</kestrix>\n";
        EXPECT_EQ(parser->parseString(text.c_str(), "lamp.xml"), 1);
        auto* lobe = static_cast<P*>(parser->findInstance("lamp"));
        ASSERT_NE(lobe, nullptr) << c.property;
        EXPECT_TRUE(c.check(lobe)) << c.property;
        EXPECT_EQ(parser->getNumErrors() > 0, c.parseError) << c.property;
    }
    parser->clear();
}

} // namespace
