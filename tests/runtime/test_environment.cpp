// The environment: sun and moon positions, brightness, fog, effects, parameters.
// Reference dates are astronomical events of 2024 (UT): June solstice 20 June, December
// solstice 21 December, March equinox 20 March, new moon 11 January 11:57, full moon
// 25 January 17:54.
#include <kr/krShaderInfrastructure.h>
#include <kr/krFog.h>
#include <kr/krRenderElements.h>
#include <kr/krState.h>
#include <ks/ksChannel.h>
#include <ku/kuMath.h>
#include <ku/kuParameter.h>
#include <kx/kxEnv.h>
#include <kx/kxKernel.h>
#include <kx/kxScene.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr double OBLIQUITY = 23.44;

class EnvTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kxKernel::initialize(0, nullptr), 1); }
    void TearDown() override {
        kuParameter::clear();
        kxEnvGlobals::destroy();
        kxKernel::shutdown();
    }

    // An environment at lon 0 with the sun and/or the moon.
    static kuRef<kxEnv> makeEnv(bool sun, bool moon, double lat, int month, int day, double hours) {
        kuRef<kxEnv> env = new kxEnv;
        if (sun)
            env->addEffect(new kxEnvSun);
        if (moon)
            env->addEffect(new kxEnvMoon);
        EXPECT_EQ(env->setLocation(lat, 0.0), 1);
        EXPECT_EQ(env->setDate(2024, month, day), 1);
        EXPECT_EQ(env->setTimeOfDay(hours), 1);
        return env;
    }
};

TEST_F(EnvTest, ClassTypesAreRegisteredAndInstancesCounted) {
    const char* names[] = {"kxEnv", "kxEnvSun", "kxEnvMoon", "kxEnvCloudLayer", "kxEnvCloudVolume"};
    for (const char* name : names) {
        const kuBase::ClassType* type = kuBase::ClassType::find(name);
        ASSERT_NE(type, nullptr) << name;
        EXPECT_TRUE(type->isOfType(kuBase::getStaticClassType())) << name;
    }
    kuRef<kxEnv> env = new kxEnv;
    kuRef<kxEnvCloudLayer> layer = new kxEnvCloudLayer;
    EXPECT_TRUE(env->isExactClassType(kuBase::ClassType::find("kxEnv")));
    EXPECT_TRUE(layer->isExactClassType(kuBase::ClassType::find("kxEnvCloudLayer")));
    EXPECT_EQ(kxEnv::getNum(), 1);
    EXPECT_EQ(kxEnv::get(0), env.get());
    env.reset();
    EXPECT_EQ(kxEnv::getNum(), 0);
}

TEST_F(EnvTest, BrightnessByTimeDateAndEffects) {
    struct Case {
        const char* label;
        bool sun, moon;
        double lat;
        int month, day;
        double hours;
        float min, max;
    };
    const Case cases[] = {
        {"summer noon", true, true, 50, 6, 20, 12.0, 1.0f, 1.0f},
        {"winter noon, sun 16.6 deg up", true, true, 50, 12, 21, 12.0, 1.0f, 1.0f},
        {"polar night noon, sun only", true, false, 80, 12, 21, 12.0, 0.0f, 0.0f},
        {"summer midnight, sun only", true, false, 50, 6, 20, 0.0, 0.0f, 0.0f},
        {"full moon midnight", true, true, 50, 1, 25, 24.0, 0.08f, 0.1f},
        {"full moon midnight, moon only", false, true, 50, 1, 25, 24.0, 0.08f, 0.1f},
        {"full moon noon, moon only (moon down)", false, true, 50, 1, 25, 12.0, 0.0f, 0.0f},
        {"new moon midnight", true, true, 50, 1, 11, 0.0, 0.0f, 0.005f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        kuRef<kxEnv> env = makeEnv(c.sun, c.moon, c.lat, c.month, c.day, c.hours);
        const float brightness = env->getIlluminationBrightness(nullptr);
        EXPECT_GE(brightness, c.min);
        EXPECT_LE(brightness, c.max);
    }
}

TEST_F(EnvTest, TwilightIsSmoothAndMonotonic) {
    struct Case {
        double from, to, direction; // direction: +1 brightening (dawn), -1 darkening (dusk)
    };
    const Case cases[] = {{4.0, 8.0, +1}, {16.0, 20.0, -1}};
    for (const Case& c : cases) {
        kuRef<kxEnv> env = makeEnv(true, false, 0, 3, 20, c.from);
        float previous = env->getIlluminationBrightness(nullptr);
        int inBetween = 0;
        for (double t = c.from + 1.0 / 60; t <= c.to; t += 1.0 / 60) {
            SCOPED_TRACE(::testing::Message() << "hours " << t);
            ASSERT_EQ(env->setTimeOfDay(t), 1);
            const float b = env->getIlluminationBrightness(nullptr);
            const double elevation = env->getSunElevation();
            if (elevation <= -6.0)
                EXPECT_EQ(b, 0.0f);
            else if (elevation >= 10.0)
                EXPECT_EQ(b, 1.0f);
            else if (elevation > -5.9 && elevation < 9.9) { // clear of float rounding
                EXPECT_GT(b, 0.0f);
                EXPECT_LT(b, 1.0f);
                ++inBetween;
            }
            // The curve flattens at both ends, so no kink shows where twilight ends.
            if (elevation > -6.0 && elevation < -5.0) {
                EXPECT_LT(b, 0.015f);
            }
            if (elevation > 9.0 && elevation < 10.0) {
                EXPECT_GT(b, 0.985f);
            }
            EXPECT_GE((b - previous) * c.direction, 0.0);
            // A quarter of a degree of sun movement per minute: no jumps.
            EXPECT_LT(std::fabs(b - previous), 0.03f);
            previous = b;
        }
        EXPECT_GT(inBetween, 30); // 16 degrees at the equator take about an hour
    }
}

// Clouds alone light nothing: without a sun or a moon the brightness is -1. An overcast sky
// dims a summer noon slightly.
TEST_F(EnvTest, BrightnessNeedsASunOrMoonAndOvercastDimsIt) {
    kuRef<kxEnv> env = makeEnv(false, false, 50, 6, 20, 12.0);
    EXPECT_EQ(env->getIlluminationBrightness(nullptr), -1.0f);
    kuRef<kxEnvCloudLayer> layer = new kxEnvCloudLayer;
    layer->setCoverage(0.0f);
    ASSERT_EQ(env->addEffect(layer.get()), 1);
    ASSERT_EQ(env->addEffect(new kxEnvCloudVolume), 1);
    EXPECT_EQ(env->getIlluminationBrightness(nullptr), -1.0f);
    kuRef<kxEnvSun> sun = new kxEnvSun;
    ASSERT_EQ(env->addEffect(sun.get()), 1);
    const float clear = env->getIlluminationBrightness(nullptr);
    EXPECT_EQ(clear, 1.0f);
    layer->setCoverage(1.0f);
    const float overcast = env->getIlluminationBrightness(nullptr);
    EXPECT_LT(overcast, clear);
    EXPECT_GT(overcast, 0.5f * clear);
    ASSERT_EQ(env->removeEffect(sun.get()), 1);
    EXPECT_EQ(env->getIlluminationBrightness(nullptr), -1.0f);
}

TEST_F(EnvTest, SunStandsOnTheMeridianAtNoon) {
    struct Case {
        double lat;
        int month, day;
        double declination;
        double northSign; // -1: the sun is to the south
    };
    const Case cases[] = {
        {50, 6, 20, OBLIQUITY, -1}, {-33.9, 12, 21, -OBLIQUITY, +1}, {40, 3, 20, 0.0, -1},
        {10, 6, 20, OBLIQUITY, +1}, {-50, 6, 20, OBLIQUITY, +1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "lat " << c.lat << " month " << c.month);
        kuRef<kxEnv> env = makeEnv(true, false, c.lat, c.month, c.day, 12.0);
        const kuVec3d sun = env->getSunDirection();
        EXPECT_NEAR(sun.length(), 1.0, 1e-9);
        EXPECT_NEAR(sun.x, 0.0, 1e-9);
        EXPECT_GT(sun.y * c.northSign, 0.0);
        // The equinox moment is hours from noon: the declination moves 0.4 degree a day.
        const double tolerance = c.declination == 0.0 ? 0.3 : 0.05;
        EXPECT_NEAR(env->getSunElevation(), 90.0 - std::fabs(c.lat - c.declination), tolerance);
        EXPECT_NEAR(std::asin(sun.z) * kuMath<double>::RAD2DEG, env->getSunElevation(), 1e-9);
        // The sun object follows its environment.
        const kuVec3d pushed = env->getSun()->getDirection();
        EXPECT_NEAR((pushed - sun).length(), 0.0, 1e-12);
    }
}

TEST_F(EnvTest, SunRisesInTheEastAndSetsInTheWest) {
    const double hours[] = {7.0, 9.0, 15.0, 17.0};
    for (double t : hours) {
        kuRef<kxEnv> env = makeEnv(true, false, 45, 6, 20, t);
        EXPECT_GT(env->getSunDirection().x * (t < 12 ? 1 : -1), 0.0) << t;
    }
}

TEST_F(EnvTest, MoonPhaseFollowsTheSynodicMonth) {
    kuRef<kxEnv> env = makeEnv(false, true, 50, 1, 25, 18.0);
    EXPECT_GT(env->getMoonPhase(), 0.99);
    EXPECT_NEAR(env->getMoon()->getPhase(), env->getMoonPhase(), 1e-12);
    ASSERT_EQ(env->setDate(2024, 1, 11), 1);
    ASSERT_EQ(env->setTimeOfDay(12.0), 1);
    EXPECT_LT(env->getMoonPhase(), 0.01);
    ASSERT_EQ(env->setDate(2024, 1, 18), 1); // first quarter 18 January 03:53
    ASSERT_EQ(env->setTimeOfDay(4.0), 1);
    EXPECT_NEAR(env->getMoonPhase(), 0.5, 0.1);
    // 90 degrees behind the sun, a first-quarter moon crosses the meridian around 18:00.
    ASSERT_EQ(env->setTimeOfDay(18.0), 1);
    const kuVec3d moon = env->getMoonDirection();
    EXPECT_GT(env->getMoonElevation(), 30.0);
    EXPECT_LT(moon.y, 0.0);
    EXPECT_LT(std::fabs(std::atan2(moon.x, -moon.y)) * kuMath<double>::RAD2DEG, 30.0);
}

TEST_F(EnvTest, SettersRejectImpossibleValues) {
    kuRef<kxEnv> env = new kxEnv;
    EXPECT_EQ(env->setTimeOfDay(24.5), -32767);
    EXPECT_EQ(env->setTimeOfDay(-0.1), -32767);
    EXPECT_EQ(env->setDate(2023, 2, 29), -32767);
    EXPECT_EQ(env->setDate(2024, 13, 1), -32767);
    EXPECT_EQ(env->setDate(2024, 2, 29), 1);
    // Years far from ours are valid dates: the arithmetic must not overflow (the sanitizer
    // build traps it) and the sky stays a number.
    EXPECT_EQ(env->setDate(2147483647, 1, 1), 1);
    EXPECT_FALSE(std::isnan(env->getIlluminationBrightness(nullptr)));
    EXPECT_EQ(env->setLocation(91, 0), -32767);
    EXPECT_EQ(env->setLocation(0, -181), -32767);
}

TEST_F(EnvTest, FogLeavesTwoPercentContrastAtTheVisibility) {
    kuRef<kxEnv> env = new kxEnv;
    const double visibilities[] = {100.0, 1000.0, 20000.0};
    for (double v : visibilities) {
        ASSERT_EQ(env->setVisibility(v), 1);
        krFog* fog = env->getFog();
        EXPECT_EQ(fog->getType(), krFog::TYPE_EXP);
        EXPECT_NEAR(fog->getValue(v), 0.98, 1e-4) << v;
        EXPECT_NEAR(fog->getValue(v / 2), 1.0 - std::sqrt(0.02), 1e-4) << v;
    }
    const float density = env->getFog()->getDensity();
    for (double bad : {0.0, -5.0, std::nan("")})
        EXPECT_EQ(env->setVisibility(bad), -32767);
    EXPECT_EQ(env->getFog()->getDensity(), density);
}

TEST_F(EnvTest, FogDarkensAtNight) {
    kuRef<kxEnv> env = makeEnv(true, false, 50, 6, 20, 12.0);
    const std::vector<float> day(env->getFog()->getColor(), env->getFog()->getColor() + 4);
    EXPECT_GT(day[2], day[0]); // blue-grey
    ASSERT_EQ(env->setTimeOfDay(0.0), 1);
    const float* night = env->getFog()->getColor();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(night[i], 0.0f) << i;
    // An environment that does not light the scene keeps a daylight fog.
    kuRef<kxEnv> unlit = new kxEnv;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(unlit->getFog()->getColor()[i], day[i]) << i;
}

TEST_F(EnvTest, FogParametersArePublished) {
    kuRef<kxEnv> env = new kxEnv;
    kuParameter* parameter = kuParameter::find("kxEnv_FogParameters");
    ASSERT_NE(parameter, nullptr);
    EXPECT_EQ(parameter->getType(), 6);
    ASSERT_EQ(env->setVisibility(5000), 1);
    float values[4];
    ASSERT_EQ(parameter->getFloats(values), 1);
    EXPECT_FLOAT_EQ(values[0], 5000.0f);
    EXPECT_FLOAT_EQ(values[1], 3.912f / 5000.0f);
    EXPECT_FLOAT_EQ(values[1], env->getFog()->getDensity());
    EXPECT_EQ(values[2], 0.0f);
    EXPECT_EQ(values[3], 1.0f);
    env->setFogEnable(false);
    parameter->getFloats(values);
    EXPECT_EQ(values[3], 0.0f);
    // Published again after the registry was cleared.
    kuParameter::clear();
    ASSERT_EQ(env->setVisibility(800), 1);
    parameter = kuParameter::find("kxEnv_FogParameters");
    ASSERT_NE(parameter, nullptr);
    parameter->getFloats(values);
    EXPECT_FLOAT_EQ(values[0], 800.0f);
}

// A projected lobe's beam scales the density by 5000 and its brightness (0.04 by default) and
// shows above its minimum (0.08): thick fog shows the beam, thin haze does not.
TEST_F(EnvTest, FogDensityShowsBeamOnlyInThickFog) {
    const struct {
        double visibility;
        bool beamShows;
    } rows[] = {{1000, true}, {5000, true}, {20000, false}, {50000, false}};
    kuRef<kxEnv> env = new kxEnv;
    for (const auto& row : rows) {
        ASSERT_EQ(env->setVisibility(row.visibility), 1);
        float values[4];
        ASSERT_EQ(kuParameter::find("kxEnv_FogParameters")->getFloats(values), 1);
        const float derived = values[1] * 5000.0f * 0.04f;
        EXPECT_EQ(0.08f < derived, row.beamShows) << row.visibility << " m: " << derived;
    }
}

TEST_F(EnvTest, EffectsIterateInOrderAdded) {
    kuRef<kxEnv> env = new kxEnv;
    EXPECT_EQ(env->begin_envfx(), env->end_envfx());
    std::vector<kuRef<kuBase>> added = {new kxEnvSun, new kxEnvCloudLayer, new kxEnvMoon,
                                        new kxEnvCloudLayer};
    for (const kuRef<kuBase>& effect : added)
        ASSERT_EQ(env->addEffect(effect.get()), 1);
    kuRef<kuBase> refused[] = {nullptr, added[1], new kxEnvSun, new kxEnvMoon, new kxScene};
    for (const kuRef<kuBase>& effect : refused)
        EXPECT_EQ(env->addEffect(effect.get()), -32767);
    ASSERT_EQ(env->removeEffect(added[2].get()), 1);
    EXPECT_EQ(env->removeEffect(added[2].get()), -32767);
    added.erase(added.begin() + 2);
    std::vector<kuBase*> seen;
    for (auto it = env->begin_envfx(); it != env->end_envfx(); ++it)
        seen.push_back(it->get());
    ASSERT_EQ(seen.size(), added.size());
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], added[i].get()) << i;
}

// Cloud layers and volumes keep a state 0 that a module may give shader code.
template <class Cloud>
void checkCloudState() {
    kuRef<Cloud> cloud = new Cloud;
    krState* state = cloud->getState(0);
    ASSERT_NE(state, nullptr);
    state->setElement(krDepthWrite::Element(false));
    krShaderInfrastructure::instance()->shaderize(cloud->getState(0));
    EXPECT_EQ(cloud->getState(0), state);
    ASSERT_NE(state->template get<krDepthWrite::Element>(), nullptr);
    EXPECT_TRUE(state->getShaderized());
    EXPECT_EQ(cloud->getState(-1), nullptr);
    EXPECT_EQ(cloud->getState(Cloud::NUM_STATES), nullptr);
}

TEST_F(EnvTest, CloudStateIsMadeOnFirstUse) {
    checkCloudState<kxEnvCloudLayer>();
    checkCloudState<kxEnvCloudVolume>();
    kuRef<kxEnvCloudLayer> layer = new kxEnvCloudLayer;
    const float coverages[][2] = {{-0.5f, 0.0f}, {0.3f, 0.3f}, {2.0f, 1.0f}};
    for (const auto& c : coverages) {
        layer->setCoverage(c[0]);
        EXPECT_EQ(layer->getCoverage(), c[1]);
    }
}

TEST_F(EnvTest, SunLightFollowsTheBrightestBody) {
    struct Case {
        int month, day;
        double hours;
        bool fromMoon;
        float minDiffuse, maxDiffuse;
    };
    const Case cases[] = {{6, 20, 12.0, false, 0.9f, 1.0f},
                          {1, 25, 24.0, true, 0.0f, 0.1f},
                          {1, 11, 0.0, false, 0.0f, 0.001f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.month << "-" << c.day << " " << c.hours);
        kuRef<kxEnv> env = makeEnv(true, true, 50, c.month, c.day, c.hours);
        kuVec3f direction;
        float diffuse[4], ambient[4];
        env->getSunLight(&direction, diffuse, ambient);
        const kuVec3d expected = c.fromMoon ? env->getMoonDirection() : env->getSunDirection();
        EXPECT_NEAR((kuVec3d(direction) - expected).length(), 0.0, 1e-6);
        EXPECT_GE(diffuse[0], c.minDiffuse);
        EXPECT_LE(diffuse[0], c.maxDiffuse);
        EXPECT_GT(ambient[0], 0.0f); // never pitch black
        EXPECT_LT(ambient[0], 1.0f);
    }
}

// The frame's light and fog reach the channel as copies: what the application thread changes
// afterwards does not reach a frame already handed over.
TEST_F(EnvTest, ApplyToChannelHandsTheFrameItsOwnLightAndFog) {
    kuRef<kxEnv> env = new kxEnv;
    kuRef<ksChannel> channel = new ksChannel;
    channel->getState(0)->setElement(krDepthWrite::Element(false));
    struct Case {
        bool envFog, channelFog, expected;
    };
    const Case cases[] = {{true, true, true}, {false, true, false}, {true, false, false}};
    for (const Case& c : cases) {
        env->setFogEnable(c.envFog);
        channel->setGraphicsModeEnable(ksChannel::MODE_FOG, c.channelFog);
        env->applyToChannel(channel.get(), nullptr);
        const kuRef<const krState> state = channel->getFrameState();
        ASSERT_TRUE(state);
        EXPECT_NE(state->get<krDepthWrite::Element>(), nullptr) << "state 0 is part of the frame";
        const krFog::Element* fog = state->get<krFog::Element>();
        EXPECT_EQ(fog != nullptr && fog->enable, c.expected);
        if (!c.expected)
            continue;
        ASSERT_NE(fog->getFog(), env->getFog());
        const float before = fog->getFog()->getColor()[0];
        EXPECT_EQ(before, env->getFog()->getColor()[0]);
        env->getFog()->setColor(before + 0.25f, 0, 0, 1);
        EXPECT_EQ(fog->getFog()->getColor()[0], before);
    }
    float diffuse[4];
    env->getSunLight(nullptr, diffuse, nullptr);
    EXPECT_EQ(channel->getFrameLighting().diffuse[1], diffuse[1]);
}

TEST_F(EnvTest, GlobalsSkyLight) {
    EXPECT_TRUE(kxEnvGlobals::instance()->getSkyLightEnable());
    kxEnvGlobals::instance()->setSkyLightEnable(false);
    EXPECT_FALSE(kxEnvGlobals::instance()->getSkyLightEnable());
    kxEnvGlobals::destroy();
    EXPECT_TRUE(kxEnvGlobals::instance()->getSkyLightEnable());
}

class ParameterTest : public ::testing::Test {
protected:
    void TearDown() override { kuParameter::clear(); }
};

TEST_F(ParameterTest, CreateFindAndTypes) {
    for (int type = 2; type <= 6; ++type) {
        const std::string name = "p" + std::to_string(type);
        kuParameter* parameter = kuParameter::create(name.c_str(), type);
        ASSERT_NE(parameter, nullptr) << type;
        EXPECT_EQ(parameter->getType(), type);
        EXPECT_EQ(kuParameter::find(name.c_str()), parameter);
        EXPECT_EQ(kuParameter::create(name.c_str(), type), parameter);
        EXPECT_EQ(kuParameter::create(name.c_str(), type == 6 ? 2 : type + 1), nullptr);
    }
    EXPECT_EQ(kuParameter::getNum(), 5);
    EXPECT_EQ(kuParameter::create(nullptr, 3), nullptr);
    EXPECT_EQ(kuParameter::create("", 3), nullptr);
    EXPECT_EQ(kuParameter::create("bad", 1), nullptr);
    EXPECT_EQ(kuParameter::create("bad", 7), nullptr);
    EXPECT_EQ(kuParameter::find("missing"), nullptr);
}

TEST_F(ParameterTest, ScalarsConvertToTheirType) {
    struct Case {
        int type;
        double set, expected;
    };
    const Case cases[] = {{2, 2.7, 1.0},   {2, 0.0, 0.0},          {5, 2.7, 2.0},
                          {5, -2.7, -2.0}, {3, 0.1, double(0.1f)}, {4, 0.1, 0.1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " value " << c.set);
        kuParameter* parameter = kuParameter::create("scalar", c.type);
        const unsigned int revision = parameter->getRevision();
        ASSERT_EQ(parameter->setDouble(c.set), 1);
        EXPECT_GT(parameter->getRevision(), revision);
        EXPECT_EQ(parameter->getDouble(), c.expected);
        float floats[4];
        ASSERT_EQ(parameter->getFloats(floats), 1);
        EXPECT_EQ(floats[0], float(c.expected));
        EXPECT_EQ(floats[3], 0.0f);
        const float four[4] = {1, 2, 3, 4};
        EXPECT_EQ(parameter->setFloats(four), -32767);
        kuParameter::clear();
    }
}

TEST_F(ParameterTest, FourFloatsAndClear) {
    kuRef<kuParameter> held = kuParameter::create("vec", 6);
    const float in[4] = {0.5f, -1.0f, 2.0f, 3.0f};
    ASSERT_EQ(held->setFloats(in), 1);
    float out[4];
    ASSERT_EQ(held->getFloats(out), 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(out[i], in[i]);
    EXPECT_EQ(held->getFloat(), 0.5f);
    EXPECT_EQ(held->setFloat(1.0f), -32767);
    EXPECT_EQ(held->getFloats(nullptr), -32767);
    kuParameter::clear();
    EXPECT_EQ(kuParameter::find("vec"), nullptr);
    EXPECT_EQ(held->getType(), 6); // still alive through the reference
    // The name is free again, for any type.
    EXPECT_NE(kuParameter::create("vec", 2), nullptr);
}

} // namespace
