#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightlobeprojected.h>
#include <kxlightlobeproxies.h>

#include <kx/kxCoordConverter.h>
#include <kx/kxProxyMgr.h>
#include <kx/kxScene.h>
#include <kx/kxStrategies.h>

#include <functional>
#include <thread>

namespace {

// The manager runs before the module starts, so the module registers its factories.
class ProxyTest : public kxModuleTest {
protected:
    void SetUp() override {
        ASSERT_EQ(kxProxyMgr::start(), 1);
        kxModuleTest::SetUp();
    }
    // Frames are not needed to execute requests: the update thread runs the queue itself.
    void pump() { kxProxyMgr::processRequests(); }
    kxLightLobe* makeLobe(const char* name) {
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName(name);
        m_lobes.push_back(lobe);
        return lobe.get();
    }
    kxLightLobeProjected* makeProjected(const char* name) {
        kuRef<kxLightLobeProjected> lobe = kxLightLobeProjected::create();
        lobe->setName(name);
        m_projected.push_back(lobe);
        return lobe.get();
    }
    void TearDown() override {
        m_lobes.clear();
        m_projected.clear();
        kxModuleTest::TearDown();
        EXPECT_FALSE(kxProxyMgr::isValid());
    }
    std::vector<kuRef<kxLightLobe>> m_lobes;
    std::vector<kuRef<kxLightLobeProjected>> m_projected;
};

typedef kxProxies::kxLightLobe LobeProxy;
typedef kxProxies::kxLightLobeControl ControlProxy;
typedef kxProxies::kxLightLobeProjected ProjectedProxy;

// A proxy's three-component getter as a vector.
template <class Proxy, class Owner>
kuVec3d read3(const Proxy* proxy, void (Owner::*get)(double&, double&, double&) const) {
    kuVec3d v;
    (proxy->*get)(v.x, v.y, v.z);
    return v;
}

TEST_F(ProxyTest, SettersWithoutAnObjectFailLogOnceAndPostNothing) {
    kuRef<LobeProxy> lobe = new LobeProxy("nobody", 0);
    kuRef<ControlProxy> control = new ControlProxy;
    kuRef<LobeProxy> child = new LobeProxy;
    kuRef<ProjectedProxy> projected = new ProjectedProxy("nobody", 0);
    const struct {
        const char* message;
        std::function<int()> call;
    } cases[] = {
        {"kxProxies::kxLightLobe::setBrightness", [&] { return lobe->setBrightness(1); }},
        {"kxProxies::kxLightLobe::setEnable", [&] { return lobe->setEnable(true); }},
        {"kxProxies::kxLightLobe::setFalloff", [&] { return lobe->setFalloff(1); }},
        {"kxProxies::kxLightLobe::setTextureFile", [&] { return lobe->setTextureFile("a"); }},
        {"kxProxies::kxLightLobe::setIsectMask", [&] { return lobe->setIsectMask(1); }},
        {"kxProxies::kxLightLobe::setCullMask", [&] { return lobe->setCullMask(1); }},
        {"kxProxies::kxLightLobe::setPosition", [&] { return lobe->setPosition(1, 2, 3); }},
        {"kxProxies::kxLightLobe::setStrategy", [&] { return lobe->setStrategy(nullptr); }},
        {"kxProxies::kxLightLobe::addChild", [&] { return lobe->addChild(child.get()); }},
        {"kxProxies::kxLightLobe::sync", [&] { return lobe->sync(); }},
        {"kxProxies::kxLightLobeControl::setRenderQuality",
         [&] { return control->setRenderQuality(0); }},
        {"kxProxies::kxLightLobeControl::setEyepointFadeRange",
         [&] { return control->setEyepointFadeRange(5); }},
        {"kxProxies::kxLightLobeProjected::setColor",
         [&] { return projected->setColor(1, 1, 1, 1); }},
        {"kxProxies::kxLightLobeProjected::setFalloff", [&] { return projected->setFalloff(0); }},
        {"kxProxies::kxLightLobeProjected::setFogEffectScale",
         [&] { return projected->setFogEffectScale(1, 2, 3); }},
        {"kxProxies::kxLightLobeProjected::setFogEffectTextureFile",
         [&] { return projected->setFogEffectTextureFile("beam"); }},
        {"kxProxies::kxLightLobeProjected::setTextureSize",
         [&] { return projected->setTextureSize(64); }},
        {"kxProxies::kxLightLobeProjected::setTranslate",
         [&] { return projected->setTranslate(1, 2, 3); }},
        {"kxProxies::kxLightLobeProjected::removePropertyWatcher",
         [&] { return projected->removePropertyWatcher(nullptr); }},
        {"kxProxies::kxLightLobeProjected::sync", [&] { return projected->sync(); }},
    };
    pump();
    const unsigned long long executed = kxProxyMgr::getNumExecuted();
    for (const auto& c : cases) {
        kxMessageCapture capture;
        EXPECT_EQ(c.call(), -32767) << c.message;
        EXPECT_EQ(capture.count(5, std::string(c.message) + " - failed. Kestrix object is NULL."),
                  1)
            << c.message;
    }
    pump();
    EXPECT_EQ(kxProxyMgr::getNumExecuted(), executed);
}

// One row per node class: the proxy constructors, the class list and the factory the module
// registered.
TEST_F(ProxyTest, ConstructorsFindCreateOrRefuse) {
    const struct {
        std::string real;
        std::function<kuBase*(const char*)> makeReal;
        std::function<kxProxyBase*(const char*, int)> proxy;
        std::function<kuBase*(const char*)> findReal;
        std::function<kxProxyBase*(const char*)> findProxy;
        std::function<int()> size;
    } classes[] = {
        {"kxLightLobe", [&](const char* name) -> kuBase* { return makeLobe(name); },
         [](const char* name, int option) -> kxProxyBase* { return new LobeProxy(name, option); },
         [](const char* name) -> kuBase* { return kxLightLobe::find(name); },
         [](const char* name) -> kxProxyBase* { return LobeProxy::find(name); }, &LobeProxy::size},
        {"kxLightLobeProjected", [&](const char* name) -> kuBase* { return makeProjected(name); },
         [](const char* name, int option) -> kxProxyBase* {
             return new ProjectedProxy(name, option);
         },
         [](const char* name) -> kuBase* { return kxLightLobeProjected::find(name); },
         [](const char* name) -> kxProxyBase* { return ProjectedProxy::find(name); },
         &ProjectedProxy::size},
    };
    for (const auto& c : classes) {
        const std::string proxyName = "kxProxies::" + c.real;
        kuBase* taken = c.makeReal("taken");
        kxMessageCapture capture;
        kuRef<kxProxyBase> missing = c.proxy("absent", 0);
        kuRef<kxProxyBase> duplicate = c.proxy("taken", 1);
        kuRef<kxProxyBase> found = c.proxy("taken", 0);
        // On the update thread the creation runs inline instead of waiting for a frame.
        kuRef<kxProxyBase> created = c.proxy("fresh", 1);
        EXPECT_EQ(missing->getObject(), nullptr) << c.real;
        EXPECT_EQ(missing->getModuleName(), nullptr) << c.real;
        EXPECT_EQ(duplicate->getObject(), nullptr) << c.real;
        EXPECT_EQ(found->getObject(), taken) << c.real;
        EXPECT_STREQ(found->getModuleName(), c.real.c_str());
        ASSERT_NE(created->getObject(), nullptr) << c.real;
        EXPECT_EQ(created->getObject(), c.findReal("fresh")) << c.real;
        EXPECT_TRUE(kxProxyMgr::hasClassName(c.real.c_str())) << c.real;
        EXPECT_EQ(capture.count(5, proxyName +
                                       "::constructor - Constructor failed. Unable to find "
                                       "any ::" +
                                       c.real + " instance named 'absent'."),
                  1);
        EXPECT_EQ(capture.count(5, proxyName + "::constructor - Constructor failed. A ::" + c.real +
                                       " instance named 'taken' already exists."),
                  1);
        EXPECT_EQ(c.size(), 4) << c.real;
        EXPECT_EQ(c.findProxy("fresh"), created.get()) << c.real;
        created->shutdown();
        EXPECT_EQ(c.findProxy("fresh"), nullptr) << c.real;
        // An object of another class is refused.
        kuRef<kxScene> scene = new kxScene;
        scene->setName("scene");
        EXPECT_EQ(found->set(scene.get()), -32767);
        EXPECT_EQ(capture.count(6, proxyName + "::set - Object 'scene' is not of class type ::" +
                                       c.real + "."),
                  1);
        EXPECT_EQ(found->getObject(), taken) << c.real;
        kuRef<kxProxyBase> made = kxProxyMgr::obtainProxy(c.real.c_str());
        ASSERT_NE(made.get(), nullptr) << c.real;
        EXPECT_EQ(made->getProxyClassName(), proxyName);
    }
}

TEST_F(ProxyTest, PropertyNamesAndEnumTables) {
    kuRef<LobeProxy> lobe = new LobeProxy;
    kuRef<ControlProxy> control = new ControlProxy;
    kuRef<ProjectedProxy> projected = new ProjectedProxy;
    const char* lobeNames[] = {"Brightness",  "CoordConverter", "CullMask",  "Enable",
                               "FadeRange",   "Falloff",        "IsectMask", "Orientation",
                               "Position",    "RenderMask",     "Rotate",    "Scale",
                               "SpreadAngle", "StaticEnable",   "Strategy",  "StrategyEnable",
                               "TextureFile", "Translate",      "Child"};
    ASSERT_EQ(lobe->getNumProperties(), 19);
    for (int id = 0; id < 19; ++id)
        EXPECT_STREQ(lobe->getPropertyName(id), lobeNames[id]);
    // The projected names are checked with their watchers.
    ASSERT_EQ(projected->getNumProperties(), 26);
    EXPECT_STREQ(control->getPropertyName(2), "RenderQuality");
    kxMessageCapture capture;
    EXPECT_STREQ(lobe->getPropertyName(19), "");
    EXPECT_STREQ(control->getPropertyName(-1), "");
    EXPECT_STREQ(projected->getPropertyName(26), "");
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::getPropertyName - Unknown property ID 19 "
                               "passed."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeProjected::getPropertyName - Unknown "
                               "property ID 26 passed."),
              1);

    const struct {
        int proxy;
        int falloff;
        int quality;
        int projectedFalloff;
    } table[] = {{0, kxLightLobe::FALLOFF_CUBIC, kxLightLobeControl::RENDER_QUALITY_BEST,
                  kxLightLobeProjected::FALLOFF_CUBIC},
                 {1, kxLightLobe::FALLOFF_LINEAR, kxLightLobeControl::RENDER_QUALITY_BETTER,
                  kxLightLobeProjected::FALLOFF_LINEAR},
                 {2, kxLightLobe::FALLOFF_SQUARED, kxLightLobeControl::RENDER_QUALITY_GOOD,
                  kxLightLobeProjected::FALLOFF_SQUARED}};
    for (const auto& row : table) {
        EXPECT_EQ(ProjectedProxy::getFalloffEnumValue(row.proxy), row.projectedFalloff);
        EXPECT_EQ(ProjectedProxy::getFalloffEnumValue(
                      static_cast<kxLightLobeProjected::Falloff>(row.projectedFalloff)),
                  row.proxy);
        EXPECT_EQ(LobeProxy::getFalloffEnumValue(row.proxy), row.falloff);
        EXPECT_EQ(LobeProxy::getFalloffEnumValue(static_cast<kxLightLobe::Falloff>(row.falloff)),
                  row.proxy);
        EXPECT_EQ(ControlProxy::getRenderQualityEnumValue(row.proxy), row.quality);
        EXPECT_EQ(ControlProxy::getRenderQualityEnumValue(
                      static_cast<kxLightLobeControl::RenderQuality>(row.quality)),
                  row.proxy);
    }
    EXPECT_EQ(LobeProxy::getFalloffEnumValue(7), -1);
    EXPECT_EQ(ControlProxy::getRenderQualityEnumValue(3), -1);
    EXPECT_EQ(ProjectedProxy::getFalloffEnumValue(static_cast<kxLightLobeProjected::Falloff>(0)),
              -1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::getFalloffEnumValue - Unknown enum value 7 "
                               "passed."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeControl::getRenderQualityEnumValue - "
                               "Unknown enum value 3 passed."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeProjected::getFalloffEnumValue - Unknown "
                               "enum value 0 passed."),
              1);
}

// Each row: a proxy setter, then the real value it must have produced, then the cache a sync
// reads back after the real object is changed behind the proxy's back.
TEST_F(ProxyTest, SettersReachTheObjectAndSyncReadsBack) {
    kxLightLobe* real = makeLobe("lamp");
    kuRef<LobeProxy> lobe = new LobeProxy("lamp", 0);
    kxLightLobeProjected* realP = makeProjected("beam");
    kuRef<ProjectedProxy> projected = new ProjectedProxy("beam", 0);
    kuRef<kxOrbitStrategy> orbit = new kxOrbitStrategy;
    const auto color = [&] {
        kuVec4<float> c;
        projected->getColor(c.x, c.y, c.z, c.w);
        return c;
    };
    typedef ProjectedProxy P;
    // Rows without a change have no property id: no sync reads them back.
    const struct {
        const char* name;
        std::function<int()> set;
        std::function<bool()> applied;
        std::function<void()> changeReal;
        std::function<bool()> readBack;
    } rows[] = {
        {"Brightness", [&] { return lobe->setBrightness(0.25f); },
         [&] { return real->getBrightness() == 0.25f; }, [&] { real->setBrightness(0.5f); },
         [&] { return lobe->getBrightness() == 0.5f; }},
        {"Enable", [&] { return lobe->setEnable(false); }, [&] { return !real->getEnable(); },
         [&] { real->setEnable(true); }, [&] { return lobe->getEnable(); }},
        {"Falloff", [&] { return lobe->setFalloff(LobeProxy::FALLOFF_CUBIC); },
         [&] { return real->getFalloff() == kxLightLobe::FALLOFF_CUBIC; },
         [&] { real->setFalloff(kxLightLobe::FALLOFF_LINEAR); },
         [&] { return lobe->getFalloff() == LobeProxy::FALLOFF_LINEAR; }},
        {"IsectMask", [&] { return lobe->setIsectMask(0x0f); },
         [&] { return real->getIsectMask() == 0x0fu; }, [&] { real->setIsectMask(0xf0); },
         [&] { return lobe->getIsectMask() == 0xf0u; }},
        {"RenderMask", [&] { return lobe->setRenderMask(6); },
         [&] { return real->getRenderMask() == 6u; }, [&] { real->setRenderMask(9); },
         [&] { return lobe->getRenderMask() == 9u; }},
        {"Position", [&] { return lobe->setPosition(1, 2, 3); },
         [&] { return real->getPosition() == kuVec3d(1, 2, 3); },
         [&] { real->setPosition(4, 5, 6); },
         [&] {
             double x, y, z;
             lobe->getPosition(x, y, z);
             return kuVec3d(x, y, z) == kuVec3d(4, 5, 6);
         }},
        {"Scale", [&] { return lobe->setScale(2, 2, 2); },
         [&] { return real->getScale() == kuVec3d(2, 2, 2); }, [&] { real->setScale(3, 1, 1); },
         [&] {
             double x, y, z;
             lobe->getScale(x, y, z);
             return kuVec3d(x, y, z) == kuVec3d(3, 1, 1);
         }},
        {"StaticEnable", [&] { return lobe->setStaticEnable(true); },
         [&] { return real->getStaticEnable(); }, [&] { real->setStaticEnable(false); },
         [&] { return !lobe->getStaticEnable(); }},
        {"Strategy", [&] { return lobe->setStrategy(nullptr); },
         [&] { return real->getStrategy() == nullptr; }, [&] { real->setStrategy(orbit.get()); },
         [&] { return lobe->getStrategy() && lobe->getStrategy()->getObject() == orbit.get(); }},
        // The real setters clamp; a sync brings the clamped values back.
        {"P Color", [&] { return projected->setColor(2, 0.5f, -1, 1); },
         [&] { return P::Color::read(realP) == kuVec4<float>(1, 0.5f, 0, 1); },
         [&] { realP->setColor(0.25f, 0.5f, 0.75f, 1); },
         [&] { return color() == kuVec4<float>(0.25f, 0.5f, 0.75f, 1); }},
        {"P SpreadAngle", [&] { return projected->setSpreadAngle(200); },
         [&] { return realP->getSpreadAngle() == 180.0f; }, [&] { realP->setSpreadAngle(10); },
         [&] { return projected->getSpreadAngle() == 10.0f; }},
        {"P Enable", [&] { return projected->setEnable(false); },
         [&] { return !realP->getEnable(); }, [&] { realP->setEnable(true); },
         [&] { return projected->getEnable(); }},
        {"P Falloff", [&] { return projected->setFalloff(P::FALLOFF_LINEAR); },
         [&] { return realP->getFalloff() == kxLightLobeProjected::FALLOFF_LINEAR; },
         [&] { realP->setFalloff(kxLightLobeProjected::FALLOFF_CUBIC); },
         [&] { return projected->getFalloff() == P::FALLOFF_CUBIC; }},
        {"P FogEffectEnable", [&] { return projected->setFogEffectEnable(true); },
         [&] { return realP->getFogEffectEnable(); }, [&] { realP->setFogEffectEnable(false); },
         [&] { return !projected->getFogEffectEnable(); }},
        {"P FogEffectMinVisibilityDensity",
         [&] { return projected->setFogEffectMinVisibilityDensity(0.5f); },
         [&] { return realP->getFogEffectMinVisibilityDensity() == 0.5f; },
         [&] { realP->setFogEffectMinVisibilityDensity(0.25f); },
         [&] { return projected->getFogEffectMinVisibilityDensity() == 0.25f; }},
        {"P FogEffectRotationOffset",
         [&] { return projected->setFogEffectRotationOffset(10, 20, 30); },
         [&] { return realP->getFogEffectRotationOffset() == kuVec3d(10, 20, 30); },
         [&] { realP->setFogEffectRotationOffset(1, 2, 3); },
         [&] {
             return read3(projected.get(), &P::getFogEffectRotationOffset) == kuVec3d(1, 2, 3);
         }},
        {"P FogEffectScale", [&] { return projected->setFogEffectScale(6, 60, 6); },
         [&] { return realP->getFogEffectScale() == kuVec3d(6, 60, 6); },
         [&] { realP->setFogEffectScale(4, 20, 4); },
         [&] { return read3(projected.get(), &P::getFogEffectScale) == kuVec3d(4, 20, 4); }},
        {"P FogEffectTranslationOffset",
         [&] { return projected->setFogEffectTranslationOffset(0, 1, 2); },
         [&] { return realP->getFogEffectTranslationOffset() == kuVec3d(0, 1, 2); },
         [&] { realP->setFogEffectTranslationOffset(3, 4, 5); },
         [&] {
             return read3(projected.get(), &P::getFogEffectTranslationOffset) == kuVec3d(3, 4, 5);
         }},
        {"P FogEffectTextureFile", [&] { return projected->setFogEffectTextureFile("beam.int"); },
         [&] { return std::string(realP->getFogEffectTextureFile()) == "beam.int"; },
         [&] { realP->setFogEffectTextureFile("haze.int"); },
         [&] { return projected->getFogEffectTextureFile() == "haze.int"; }},
        {"P CullMask", [&] { return projected->setCullMask(5); },
         [&] { return realP->getCullMask() == 5u; }, [&] { realP->setCullMask(7); },
         [&] { return projected->getCullMask() == 7u; }},
        {"P Translate", [&] { return projected->setTranslate(1, 2, 3); },
         [&] { return realP->getPosition() == kuVec3d(1, 2, 3); },
         [&] { realP->setPosition(4, 5, 6); },
         [&] { return read3(projected.get(), &P::getTranslate) == kuVec3d(4, 5, 6); }},
        {"P TextureSize", [&] { return projected->setTextureSize(8); },
         [&] { return realP->getTextureSize() == 16u; }, nullptr, nullptr},
        {"P EnableCustomTexture", [&] { return projected->setEnableCustomTexture(true); },
         [&] { return realP->getEnableCustomTexture(); }, nullptr, nullptr},
        {"P FogEffectBrightness", [&] { return projected->setFogEffectBrightness(0.2f); },
         [&] { return realP->getFogEffectBrightness() == 0.2f; }, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.set(), 1) << row.name;
        pump();
        EXPECT_TRUE(row.applied()) << row.name;
        if (row.changeReal)
            row.changeReal();
        EXPECT_EQ(lobe->sync(), 1) << row.name;
        EXPECT_EQ(projected->sync(), 1) << row.name;
        if (row.readBack) {
            EXPECT_TRUE(row.readBack()) << row.name;
        }
    }
    // An unknown falloff is refused and leaves the cache as it was.
    EXPECT_EQ(projected->setFalloff(3), -32767);
    EXPECT_EQ(projected->getFalloff(), P::FALLOFF_CUBIC);
    // The strategy proxy stays while it stands for the same object.
    const kuRef<kxProxyBase> strategy = lobe->getStrategy();
    EXPECT_EQ(lobe->sync(LobeProxy::PROPERTY_STRATEGY), 1);
    EXPECT_EQ(lobe->getStrategy().get(), strategy.get());
    kxMessageCapture capture;
    EXPECT_EQ(lobe->sync(std::vector<int>{LobeProxy::PROPERTY_BRIGHTNESS, 42}), 1);
    EXPECT_EQ(projected->sync(std::vector<int>{P::PROPERTY_COLOR, 26}), 1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::processSyncRequests - Unknown property Id "
                               "42 passed."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeProjected::processSyncRequests - Unknown "
                               "property Id 26 passed."),
              1);
}

TEST_F(ProxyTest, ControlProxyCreatesTheSingletonAndSetsIt) {
    kuRef<ControlProxy> control = new ControlProxy("control", 1);
    ASSERT_EQ(control->getObject(), kxLightLobeControl::instance());
    EXPECT_EQ(control->setRenderQuality(ControlProxy::RENDER_QUALITY_BEST), 1);
    EXPECT_EQ(control->setEyepointFadeRange(77), 1);
    EXPECT_EQ(control->setRenderQuality(9), -32767);
    pump();
    EXPECT_EQ(kxLightLobeControl::instance()->getRenderQuality(),
              kxLightLobeControl::RENDER_QUALITY_BEST);
    EXPECT_EQ(kxLightLobeControl::instance()->getEyepointFadeRange(), 77.0f);
}

TEST_F(ProxyTest, ChildrenAreListedOnce) {
    makeLobe("parent");
    makeLobe("child");
    kuRef<LobeProxy> parent = new LobeProxy("parent", 0);
    kuRef<LobeProxy> child = new LobeProxy("child", 0);
    kuRef<LobeProxy> sameChild = new LobeProxy("child", 0);
    EXPECT_EQ(parent->addChild(child.get()), 1);
    pump();
    const unsigned long long executed = kxProxyMgr::getNumExecuted();
    EXPECT_EQ(parent->addChild(sameChild.get()), -32767);
    pump();
    EXPECT_EQ(kxProxyMgr::getNumExecuted(), executed);
    EXPECT_EQ(parent->size_child(), 1);
    ASSERT_EQ(m_lobes[0]->getNumChildren(), 1);
    EXPECT_EQ(m_lobes[0]->getChild(0), m_lobes[1].get());
    EXPECT_EQ(parent->removeChild(sameChild.get()), 1);
    EXPECT_EQ(parent->removeChild(child.get()), -32767);
    pump();
    EXPECT_EQ(m_lobes[0]->getNumChildren(), 0);
    EXPECT_TRUE(parent->empty_child());
}

// Counts the changes it is told of, with the last value.
class EnableWatcher : public kxProxyMgr::PropertyWatcher {
public:
    EnableWatcher() : PropertyWatcher(LobeProxy::PROPERTY_ENABLE) {}
    void propertyChanged(const kxProxyMgr::PropertyCheckerBase& checker) override {
        ++calls;
        last = static_cast<const LobeProxy::Enable_PropertyChecker&>(checker).getValue();
    }
    int calls = 0;
    bool last = false;
};

TEST_F(ProxyTest, WatchersFireOncePerLastingChange) {
    kxLightLobe* real = makeLobe("lamp");
    kuRef<LobeProxy> lobe = new LobeProxy("lamp", 0);
    kuRef<EnableWatcher> watcher = new EnableWatcher;
    ASSERT_EQ(lobe->sync(), 1);
    ASSERT_EQ(lobe->addPropertyWatcher(watcher.get()), 1);
    EXPECT_EQ(lobe->addPropertyWatcher(watcher.get()), -32767);
    pump();
    EXPECT_EQ(watcher->calls, 0);
    real->setEnable(false);
    pump();
    pump();
    EXPECT_EQ(watcher->calls, 1);
    EXPECT_FALSE(watcher->last);
    // A change undone before the next poll does not last.
    real->setEnable(true);
    real->setEnable(false);
    pump();
    EXPECT_EQ(watcher->calls, 1);
    lobe->setEnable(true);
    pump();
    EXPECT_EQ(watcher->calls, 2);
    EXPECT_EQ(lobe->removePropertyWatcher(watcher.get()), 1);
    pump();
    EXPECT_EQ(kxProxyMgr::getNumPropertyCheckers(), 0);
    real->setEnable(false);
    pump();
    EXPECT_EQ(watcher->calls, 2);

    struct Bad : kxProxyMgr::PropertyWatcher {
        Bad() : PropertyWatcher(LobeProxy::PROPERTY_CHILD) {}
        void propertyChanged(const kxProxyMgr::PropertyCheckerBase&) override {}
    };
    kuRef<Bad> bad = new Bad;
    kxMessageCapture capture;
    EXPECT_EQ(lobe->addPropertyWatcher(bad.get()), -32767);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::addPropertyWatcher - Unknown property Id "
                               "18 passed."),
              1);
}

// Counts the changes of any one property.
class CountingWatcher : public kxProxyMgr::PropertyWatcher {
public:
    explicit CountingWatcher(int id) : PropertyWatcher(id) {}
    void propertyChanged(const kxProxyMgr::PropertyCheckerBase&) override { ++calls; }
    int calls = 0;
};

class TestConverter : public kxCoordConverter {
public:
    int toGeodetic(const kuVec3d&, kuVec3d*) const override { return 1; }
    int toLocal(const kuVec3d&, kuVec3d*) const override { return 1; }
};

// Every projected property but Child has a checker of its own getter, seeded with the cache:
// after a sync it stays quiet until the real value changes, then fires once.
TEST_F(ProxyTest, ProjectedWatchersSeeEachProperty) {
    kxLightLobeProjected* real = makeProjected("beam");
    kuRef<ProjectedProxy> projected = new ProjectedProxy("beam", 0);
    kuRef<kxOrbitStrategy> orbit = new kxOrbitStrategy;
    kuRef<TestConverter> converter = new TestConverter;
    typedef ProjectedProxy P;
    const struct {
        int id;
        const char* name;
        std::function<void()> change;
    } rows[] = {
        {P::PROPERTY_BRIGHTNESS, "Brightness", [&] { real->setBrightness(0.1f); }},
        {P::PROPERTY_COLOR, "Color", [&] { real->setColor(1, 0, 0, 1); }},
        {P::PROPERTY_COORD_CONVERTER, "CoordConverter",
         [&] { real->setCoordConverter(converter.get()); }},
        {P::PROPERTY_CULL_MASK, "CullMask", [&] { real->setCullMask(3); }},
        {P::PROPERTY_ENABLE, "Enable", [&] { real->setEnable(!real->getEnable()); }},
        {P::PROPERTY_FADE_RANGE, "FadeRange", [&] { real->setFadeRange(5); }},
        {P::PROPERTY_FALLOFF, "Falloff",
         [&] { real->setFalloff(kxLightLobeProjected::FALLOFF_CUBIC); }},
        {P::PROPERTY_FOG_EFFECT_ENABLE, "FogEffectEnable",
         [&] { real->setFogEffectEnable(!real->getFogEffectEnable()); }},
        {P::PROPERTY_FOG_EFFECT_MIN_VISIBILITY_DENSITY, "FogEffectMinVisibilityDensity",
         [&] { real->setFogEffectMinVisibilityDensity(1); }},
        {P::PROPERTY_FOG_EFFECT_ROTATION_OFFSET, "FogEffectRotationOffset",
         [&] { real->setFogEffectRotationOffset(1, 0, 0); }},
        {P::PROPERTY_FOG_EFFECT_SCALE, "FogEffectScale", [&] { real->setFogEffectScale(2, 2, 2); }},
        {P::PROPERTY_FOG_EFFECT_TEXTURE_FILE, "FogEffectTextureFile",
         [&] { real->setFogEffectTextureFile("beam.int"); }},
        {P::PROPERTY_FOG_EFFECT_TRANSLATION_OFFSET, "FogEffectTranslationOffset",
         [&] { real->setFogEffectTranslationOffset(0, 0, 1); }},
        {P::PROPERTY_ISECT_MASK, "IsectMask", [&] { real->setIsectMask(3); }},
        {P::PROPERTY_ORIENTATION, "Orientation", [&] { real->setOrientation(10, 0, 0); }},
        {P::PROPERTY_POSITION, "Position", [&] { real->setPosition(1, 0, 0); }},
        {P::PROPERTY_RENDER_MASK, "RenderMask", [&] { real->setRenderMask(3); }},
        {P::PROPERTY_ROTATE, "Rotate", [&] { real->setOrientation(20, 0, 0); }},
        {P::PROPERTY_SCALE, "Scale", [&] { real->setScale(2, 2, 2); }},
        {P::PROPERTY_SPREAD_ANGLE, "SpreadAngle", [&] { real->setSpreadAngle(5); }},
        {P::PROPERTY_STATIC_ENABLE, "StaticEnable",
         [&] { real->setStaticEnable(!real->getStaticEnable()); }},
        {P::PROPERTY_STRATEGY, "Strategy", [&] { real->setStrategy(orbit.get()); }},
        {P::PROPERTY_STRATEGY_ENABLE, "StrategyEnable",
         [&] { real->setStrategyEnable(!real->getStrategyEnable()); }},
        // Null generates the falloff texture, which names it (the fog effect's texture above
        // generated the cubic one already, so take another falloff).
        {P::PROPERTY_TEXTURE_FILE, "TextureFile",
         [&] {
             real->setFalloff(kxLightLobeProjected::FALLOFF_LINEAR);
             real->setTextureFile(nullptr);
         }},
        {P::PROPERTY_TRANSLATE, "Translate", [&] { real->setPosition(2, 0, 0); }},
    };
    ASSERT_EQ(sizeof(rows) / sizeof(rows[0]), static_cast<std::size_t>(P::NUM_PROPERTIES - 1));
    int id = 0;
    for (const auto& row : rows) {
        const char* name = row.name;
        EXPECT_EQ(row.id, id++) << name;
        EXPECT_STREQ(projected->getPropertyName(row.id), name);
        ASSERT_EQ(projected->sync(), 1) << name;
        kuRef<CountingWatcher> watcher = new CountingWatcher(row.id);
        ASSERT_EQ(projected->addPropertyWatcher(watcher.get()), 1) << name;
        pump();
        EXPECT_EQ(watcher->calls, 0) << name;
        row.change();
        pump();
        EXPECT_EQ(watcher->calls, 1) << name;
        EXPECT_EQ(projected->removePropertyWatcher(watcher.get()), 1) << name;
        pump();
    }
    EXPECT_EQ(kxProxyMgr::getNumPropertyCheckers(), 0);
    EXPECT_STREQ(projected->getPropertyName(P::PROPERTY_CHILD), "Child");
    kuRef<CountingWatcher> child = new CountingWatcher(P::PROPERTY_CHILD);
    kxMessageCapture capture;
    EXPECT_EQ(projected->addPropertyWatcher(child.get()), -32767);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeProjected::addPropertyWatcher - Unknown "
                               "property Id 25 passed."),
              1);
}

TEST_F(ProxyTest, RequestsForADestroyedObjectDoNothing) {
    kuRef<kxLightLobe> real = kxLightLobe::create();
    real->setName("gone");
    kuRef<LobeProxy> lobe = new LobeProxy("gone", 0);
    ASSERT_EQ(lobe->sync(), 1);
    ASSERT_EQ(lobe->setBrightness(3), 1);
    kuRef<EnableWatcher> watcher = new EnableWatcher;
    ASSERT_EQ(lobe->addPropertyWatcher(watcher.get()), 1);
    pump();
    real.reset();
    EXPECT_EQ(lobe->getObject(), nullptr);
    EXPECT_EQ(lobe->setBrightness(4), 1);
    EXPECT_EQ(lobe->sync(), 1);
    pump();
    EXPECT_EQ(watcher->calls, 0);
    // The cache keeps the last value set.
    EXPECT_EQ(lobe->getBrightness(), 4.0f);
}

TEST_F(ProxyTest, StopReleasesBlockedThreads) {
    makeLobe("lamp");
    kuRef<LobeProxy> lobe = new LobeProxy("lamp", 0);
    int result = 0;
    std::thread waiter([&] { result = lobe->sync(); });
    while (kxProxyMgr::getNumBlocked() == 0)
        std::this_thread::yield();
    kxProxyMgr::stop();
    waiter.join();
    EXPECT_EQ(result, -32767);
    EXPECT_EQ(lobe->setBrightness(1), -32767);
    EXPECT_EQ(kxProxyMgr::getNumBlocked(), 0);
}

} // namespace
