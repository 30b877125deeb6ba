#include "kxlightlobemodule.h"

#include "kxlightlobe.h"
#include "kxlightlobechannelbinmgr.h"
#include "kxlightlobeclassregistry.h"
#include "kxlightlobecontrol.h"
#include "kxlightlobefogeffect.h"
#include "kxlightlobeprojected.h"
#include "kxlightlobeproxies.h"
#include "kxlightlobeshadertechniquemgr.h"
#include "kxlightmap.h"

#include <ks/ksgu.h>
#include <ku/kuNotify.h>
#include <kx/kxProxyMgr.h>

namespace {
kuBase::ClassType* s_classType = nullptr;

struct ModuleClass {
    int (*initializeClass)();
    int (*shutdownClass)();
};

// Registration order; shut down in reverse.
const ModuleClass s_moduleClasses[] = {
    {kxLightLobeChannelBinMgr::initializeClass, kxLightLobeChannelBinMgr::shutdownClass},
    {kxLightMap::initializeClass, kxLightMap::shutdownClass},
    {kxLightLobe::initializeClass, kxLightLobe::shutdownClass},
    {kxLightLobeFogEffect::initializeClass, kxLightLobeFogEffect::shutdownClass},
    {kxLightLobeProjected::initializeClass, kxLightLobeProjected::shutdownClass},
    {kxLightLobeControl::initializeClass, kxLightLobeControl::shutdownClass},
};
} // namespace

extern "C" kxModule* kxlightlobeInitialize() {
    if (kxModule* existing = kxModule::find("kxlightlobe"))
        return existing;
    if (kxModule::initializeModule("kxcoordsys") != 1) {
        kuNotify::print(5, nullptr,
                        "kxlightlobeInitialize - initialization failed! Unable to initialize "
                        "kxcoordsys.");
        return nullptr;
    }
    ksgu::initializeClassSessionBegin("kxlightlobe");
    const int status = kxLightLobeModule::initializeClass();
    ksgu::initializeClassSessionEnd();
    if (status != 1) {
        kuNotify::print(5, nullptr,
                        "kxlightlobeInitialize - initialization failed! Unable to initialize "
                        "kxLightLobeModule.");
        return nullptr;
    }
    auto* module = new kxLightLobeModule;
    kuNotify::print(2, s_classType, "kxlightlobeInitialize - kxLightLobeModule instance: %p",
                    static_cast<void*>(module));
    return module;
}

kxLightLobeModule::kxLightLobeModule() : kxModule("kxlightlobe") {
    registerInstance(s_classType);
}

kxLightLobeModule::~kxLightLobeModule() {
    unregisterInstance(s_classType);
    shutdownClass();
}

int kxLightLobeModule::initialize(int, char**) {
    if (m_configured)
        return 1;
    ksgu::initializeClassSessionBegin("kxLightLobeModule");
    for (const ModuleClass& moduleClass : s_moduleClasses) {
        if (moduleClass.initializeClass() == -32767) {
            ksgu::initializeClassSessionEnd();
            kuNotify::print(6, s_classType, "kxLightLobeModule::init - unable to initialize");
            return -32767;
        }
    }
    kxLightLobeChannelBinMgr::instance();
    ksgu::initializeClassSessionEnd();
    if (kxProxyMgr::isValid()) {
        kxProxies::kxLightLobe::registerProxyWithFactory();
        kxProxies::kxLightLobeControl::registerProxyWithFactory();
        kxProxies::kxLightLobeProjected::registerProxyWithFactory();
    }
    return 1;
}

void kxLightLobeModule::preConfigure() {
    // Registers the shader atoms and builds the techniques; nothing is drawn with them unless
    // a state asks for the shader infrastructure.
    kxLightLobeShaderTechniqueMgr::instance()->preConfigure();
    kxLightMap::instance()->preConfigure();
    for (auto it = kxLightLobe::begin(); it != kxLightLobe::end(); ++it)
        (*it)->preConfigure();
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->preConfigure();
}

void kxLightLobeModule::configure() {
    if (m_configured)
        return;
    kxLightMap::instance()->configure();
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->configure();
    m_configured = true;
}

void kxLightLobeModule::unconfigure() {
    if (!m_configured)
        return;
    kxLightMap::instance()->unconfigure();
    kxLightLobeShaderTechniqueMgr::instance()->unconfigure();
    kxLightLobeChannelBinMgr::destroy();
    kxLightLobeShaderTechniqueMgr::destroy();
    m_configured = false;
}

void kxLightLobeModule::onFirstFrame() {}
void kxLightLobeModule::onLastFrame() {}

void kxLightLobeModule::shutdown() {
    for (auto it = std::rbegin(s_moduleClasses); it != std::rend(s_moduleClasses); ++it) {
        if (it->shutdownClass() == -32767) {
            kuNotify::print(6, s_classType, "kxLightLobeModule::shutdown - unable to shutdown");
            return;
        }
    }
}

int kxLightLobeModule::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeModule", kxModule::getStaticClassType(), "kxModule",
        []() -> kuBase* { return create(); }, true, false);
}

int kxLightLobeModule::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

kxLightLobeModule* kxLightLobeModule::create() {
    return nullptr;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobeModule)
