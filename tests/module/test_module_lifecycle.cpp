#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightlobefogeffect.h>
#include <kxlightlobemodule.h>
#include <kxlightlobeprojected.h>
#include <kxlightmap.h>

#include <ks/ksChannelProxy.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksgu.h>
#include <kx/kxTransform.h>

#include <algorithm>

namespace {

const char* const MODULE_CLASSES[] = {
    "kxLightLobeChannelBinMgr", "kxLightMap",           "kxLightLobe",
    "kxLightLobeFogEffect",     "kxLightLobeProjected", "kxLightLobeControl"};

int countBinsNamed(const char* name) {
    int count = 0;
    for (const ksChannelProxy::Bin& bin :
         ksThread::resolveServiceMgr()->getChannelProxy()->getBins())
        count += bin.name == name;
    return count;
}

const char* const FOG_BIN = "kxLightLobeFogEffect Channel Bin";

// Positions of the module's class types in the runtime's creation order.
std::vector<int> creationPositions() {
    std::vector<kuBase::ClassType*> all = kuBase::ClassType::getAll();
    std::vector<int> positions;
    for (const char* name : MODULE_CLASSES) {
        auto it = std::find(all.begin(), all.end(), kuBase::ClassType::find(name));
        positions.push_back(it == all.end() ? -1 : static_cast<int>(it - all.begin()));
    }
    return positions;
}

class ModuleLifecycleTest : public kxModuleTest {};

TEST_F(ModuleLifecycleTest, LoadsPrerequisiteFirstAndRegistersClassesInOrder) {
    ASSERT_GE(kxModule::getNumModules(), 2);
    EXPECT_STREQ(kxModule::getModule(0)->getName(), "kxcoordsys");
    EXPECT_STREQ(kxModule::getModule(1)->getName(), "kxlightlobe");
    EXPECT_NE(kuBase::ClassType::find("kxCoordConverterFlatEarth"), nullptr);

    const std::vector<int> positions = creationPositions();
    for (std::size_t i = 0; i < positions.size(); ++i)
        ASSERT_GE(positions[i], 0) << MODULE_CLASSES[i];
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));

    EXPECT_EQ(kxLightLobe::getStaticClassType()->getParent(), kxTransform::getStaticClassType());
    EXPECT_EQ(kxLightLobeProjected::getStaticClassType()->getParent(),
              kxTransform::getStaticClassType());
    EXPECT_EQ(kxLightLobeModule::getStaticClassType()->getParent(), kxModule::getStaticClassType());
    EXPECT_TRUE(kxLightLobe::getStaticClassType()->getTrackInstances());
    EXPECT_TRUE(kxLightLobe::getStaticClassType()->getReportLiveInstances());
    EXPECT_FALSE(kxLightMap::getStaticClassType()->getReportLiveInstances());

    // The module object is an instance of its class; the singletons exist.
    EXPECT_EQ(kxLightLobeModule::size(), 1);
    EXPECT_EQ(kxLightLobeModule::find("kxlightlobe"), m_module);
    EXPECT_EQ(kxLightLobeModule::create(), nullptr);
    EXPECT_EQ(kxLightMap::size(), 1);
    ASSERT_EQ(countBinsNamed(FOG_BIN), 1);
    for (const ksChannelProxy::Bin& bin :
         ksThread::resolveServiceMgr()->getChannelProxy()->getBins())
        if (bin.name == FOG_BIN) {
            EXPECT_EQ(bin.orderValue, 1);
            EXPECT_TRUE(bin.holdsRecords);
            EXPECT_EQ(bin.opaqueModes, 49);
            EXPECT_EQ(bin.opaqueMask, -1);
        }
}

TEST_F(ModuleLifecycleTest, SecondEntryCallReturnsTheSameModule) {
    const int modules = kxModule::getNumModules();
    EXPECT_EQ(kxlightlobeInitialize(), m_module);
    EXPECT_EQ(kxModule::getNumModules(), modules);
    EXPECT_EQ(kxLightLobeModule::size(), 1);
    EXPECT_EQ(kxModule::initializeModule("kxlightlobe"), 1);
    EXPECT_EQ(kxModule::getNumModules(), modules);
}

TEST_F(ModuleLifecycleTest, InitializeWhileConfiguredDoesNothing) {
    ASSERT_EQ(kxKernel::instance()->configure(), 1);
    ASSERT_TRUE(m_module->isConfigured());
    // With the classes shut down behind its back, a real initialize would make them again.
    kxLightLobeControl::shutdownClass();
    EXPECT_EQ(m_module->initialize(0, nullptr), 1);
    EXPECT_EQ(kxLightLobeControl::getStaticClassType(), nullptr);
}

TEST_F(ModuleLifecycleTest, ConfigureAndUnconfigureAreIdempotent) {
    kxLightMap* map = kxLightMap::instance();
    m_module->configure();
    EXPECT_TRUE(m_module->isConfigured());
    EXPECT_TRUE(map->isConfigured());
    map->unconfigure();
    m_module->configure(); // second configure: the light map is not configured again
    EXPECT_FALSE(map->isConfigured());

    map->configure();
    m_module->unconfigure();
    EXPECT_FALSE(m_module->isConfigured());
    EXPECT_FALSE(map->isConfigured());
    // The bin manager was destroyed: the next initialize makes a new one with a new bin.
    ASSERT_EQ(m_module->initialize(0, nullptr), 1);
    EXPECT_EQ(countBinsNamed(FOG_BIN), 2);
    map->configure();
    m_module->unconfigure(); // second unconfigure does nothing
    EXPECT_TRUE(map->isConfigured());
}

TEST_F(ModuleLifecycleTest, ShutdownRemovesEveryModuleClass) {
    m_module->shutdown();
    for (const char* name : MODULE_CLASSES)
        EXPECT_EQ(kuBase::ClassType::find(name), nullptr) << name;
    // The runtime's classes are not the module's to remove.
    EXPECT_NE(kxTransform::getStaticClassType(), nullptr);
    // A later initialize registers them again.
    EXPECT_EQ(m_module->initialize(0, nullptr), 1);
    EXPECT_NE(kxLightLobe::getStaticClassType(), nullptr);
}

TEST_F(ModuleLifecycleTest, ClassInitializationNeedsASession) {
    m_module->shutdown();
    ASSERT_FALSE(ksgu::inInitializeClassSession());
    EXPECT_EQ(kxLightLobe::initializeClass(), -32767);
    EXPECT_EQ(kxLightMap::initializeClass(), -32767);
    EXPECT_EQ(kxLightLobe::getStaticClassType(), nullptr);
}

TEST_F(ModuleLifecycleTest, MissingParentClassStopsInitializationThere) {
    m_module->shutdown();
    kxTransform::shutdownClass();
    kxMessageCapture capture;
    EXPECT_EQ(m_module->initialize(0, nullptr), -32767);
    EXPECT_EQ(capture.count(6, "kxLightLobe::initializeClass - class type for \"kxTransform\" "
                               "does not exist"),
              1);
    EXPECT_EQ(capture.count(6, "kxLightLobeModule::init - unable to initialize"), 1);
    // The classes before the failing one stay initialized, the ones after are not made.
    EXPECT_NE(kuBase::ClassType::find("kxLightLobeChannelBinMgr"), nullptr);
    EXPECT_NE(kxLightMap::getStaticClassType(), nullptr);
    EXPECT_EQ(kxLightLobe::getStaticClassType(), nullptr);
    EXPECT_EQ(kxLightLobeControl::getStaticClassType(), nullptr);
    EXPECT_FALSE(ksgu::inInitializeClassSession());
    kxTransform::initializeClass();
}

TEST(ModuleLoading, UnknownModuleFailsWithAMessage) {
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    kxMessageCapture capture;
    EXPECT_EQ(kxModule::initializeModule("kxnosuchmodule"), -32767);
    EXPECT_EQ(capture.countContaining("unable to load module \"kxnosuchmodule\""), 1);
    EXPECT_EQ(kxModule::initializeModule("../evil"), -32767);
    EXPECT_EQ(kxModule::find("kxnosuchmodule"), nullptr);
    kxKernel::shutdown();
}

TEST(ModuleLoading, RuntimeCanBeStartedAgainAfterShutdown) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        ASSERT_EQ(kxModule::initializeModule("kxlightlobe"), 1);
        kxModule* module = kxModule::find("kxlightlobe");
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(module->initialize(0, nullptr), 1);
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName("round");
        EXPECT_EQ(kxLightLobe::find("round"), lobe.get());
        EXPECT_EQ(kxKernel::instance()->configure(), 1);
        EXPECT_EQ(kxKernel::instance()->runFrame(), 1);
        EXPECT_EQ(kxKernel::instance()->runFrame(), 1);
        EXPECT_EQ(kxKernel::instance()->getFrameNumber(), 2);
        EXPECT_EQ(kxKernel::instance()->unconfigure(), 1);
        lobe.reset();
        kxKernel::shutdown();
        EXPECT_EQ(kxKernel::instance(), nullptr);
        EXPECT_EQ(kxLightLobe::getStaticClassType(), nullptr);
    }
}

} // namespace
