#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightlobeproxies.h>

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
    void TearDown() override {
        m_lobes.clear();
        kxModuleTest::TearDown();
        EXPECT_FALSE(kxProxyMgr::isValid());
    }
    std::vector<kuRef<kxLightLobe>> m_lobes;
};

typedef kxProxies::kxLightLobe LobeProxy;
typedef kxProxies::kxLightLobeControl ControlProxy;

TEST_F(ProxyTest, SettersWithoutAnObjectFailLogOnceAndPostNothing) {
    kuRef<LobeProxy> lobe = new LobeProxy("nobody", 0);
    kuRef<ControlProxy> control = new ControlProxy;
    kuRef<LobeProxy> child = new LobeProxy;
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

TEST_F(ProxyTest, ConstructorsFindCreateOrRefuse) {
    makeLobe("taken");
    kxMessageCapture capture;
    kuRef<LobeProxy> missing = new LobeProxy("absent", 0);
    kuRef<LobeProxy> duplicate = new LobeProxy("taken", 1);
    kuRef<LobeProxy> found = new LobeProxy("taken", 0);
    // On the update thread the creation runs inline instead of waiting for a frame.
    kuRef<LobeProxy> created = new LobeProxy("fresh", 1);
    EXPECT_EQ(missing->getObject(), nullptr);
    EXPECT_EQ(missing->getModuleName(), nullptr);
    EXPECT_EQ(duplicate->getObject(), nullptr);
    EXPECT_EQ(found->getObject(), m_lobes[0].get());
    EXPECT_STREQ(found->getModuleName(), "kxLightLobe");
    ASSERT_NE(created->getExactClassType(), nullptr);
    EXPECT_EQ(created->getExactClassType(), kxLightLobe::find("fresh"));
    EXPECT_TRUE(kxProxyMgr::hasClassName("kxLightLobe"));
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::constructor - Constructor failed. Unable "
                               "to find any ::kxLightLobe instance named 'absent'."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::constructor - Constructor failed. A "
                               "::kxLightLobe instance named 'taken' already exists."),
              1);
    EXPECT_EQ(LobeProxy::size(), 4);
    EXPECT_EQ(LobeProxy::find("fresh"), created.get());
    created->shutdown();
    EXPECT_EQ(LobeProxy::find("fresh"), nullptr);
    // An object of another class is refused.
    kuRef<kxScene> scene = new kxScene;
    scene->setName("scene");
    EXPECT_EQ(found->set(scene.get()), -32767);
    EXPECT_EQ(capture.count(6, "kxProxies::kxLightLobe::set - Object 'scene' is not of class type "
                               "::kxLightLobe."),
              1);
    EXPECT_EQ(found->getObject(), m_lobes[0].get());
}

TEST_F(ProxyTest, PropertyNamesAndEnumTables) {
    kuRef<LobeProxy> lobe = new LobeProxy;
    kuRef<ControlProxy> control = new ControlProxy;
    const char* lobeNames[] = {"Brightness",  "CoordConverter", "CullMask",  "Enable",
                               "FadeRange",   "Falloff",        "IsectMask", "Orientation",
                               "Position",    "RenderMask",     "Rotate",    "Scale",
                               "SpreadAngle", "StaticEnable",   "Strategy",  "StrategyEnable",
                               "TextureFile", "Translate",      "Child"};
    ASSERT_EQ(lobe->getNumProperties(), 19);
    for (int id = 0; id < 19; ++id)
        EXPECT_STREQ(lobe->getPropertyName(id), lobeNames[id]);
    EXPECT_STREQ(control->getPropertyName(2), "RenderQuality");
    kxMessageCapture capture;
    EXPECT_STREQ(lobe->getPropertyName(19), "");
    EXPECT_STREQ(control->getPropertyName(-1), "");
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::getPropertyName - Unknown property ID 19 "
                               "passed."),
              1);

    const struct {
        int proxy;
        int falloff;
        int quality;
    } table[] = {{0, kxLightLobe::FALLOFF_CUBIC, kxLightLobeControl::RENDER_QUALITY_BEST},
                 {1, kxLightLobe::FALLOFF_LINEAR, kxLightLobeControl::RENDER_QUALITY_BETTER},
                 {2, kxLightLobe::FALLOFF_SQUARED, kxLightLobeControl::RENDER_QUALITY_GOOD}};
    for (const auto& row : table) {
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
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::getFalloffEnumValue - Unknown enum value 7 "
                               "passed."),
              1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobeControl::getRenderQualityEnumValue - "
                               "Unknown enum value 3 passed."),
              1);
}

// Each row: a proxy setter, then the real value it must have produced, then the cache a sync
// reads back after the real object is changed behind the proxy's back.
TEST_F(ProxyTest, SettersReachTheObjectAndSyncReadsBack) {
    kxLightLobe* real = makeLobe("lamp");
    kuRef<LobeProxy> lobe = new LobeProxy("lamp", 0);
    kuRef<kxOrbitStrategy> orbit = new kxOrbitStrategy;
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
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.set(), 1) << row.name;
        pump();
        EXPECT_TRUE(row.applied()) << row.name;
        row.changeReal();
        EXPECT_EQ(lobe->sync(), 1) << row.name;
        EXPECT_TRUE(row.readBack()) << row.name;
    }
    // The strategy proxy stays while it stands for the same object.
    const kuRef<kxProxyBase> strategy = lobe->getStrategy();
    EXPECT_EQ(lobe->sync(LobeProxy::PROPERTY_STRATEGY), 1);
    EXPECT_EQ(lobe->getStrategy().get(), strategy.get());
    kxMessageCapture capture;
    EXPECT_EQ(lobe->sync(std::vector<int>{LobeProxy::PROPERTY_BRIGHTNESS, 42}), 1);
    EXPECT_EQ(capture.count(5, "kxProxies::kxLightLobe::processSyncRequests - Unknown property Id "
                               "42 passed."),
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
