#include "kx/detail/runtimeClasses.h"

#include <kr/krGeometry.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krTexture.h>
#include <ks/ksChannel.h>
#include <ks/ksGeometry.h>
#include <ks/ksNode.h>
#include <ks/ksTransform.h>
#include <ks/ksWindow.h>
#include <ku/kuBase.h>
#include <kx/kxChannel.h>
#include <kx/kxCoordConverter.h>
#include <kx/kxEnv.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>
#include <kx/kxStrategies.h>
#include <kx/kxStrategy.h>
#include <kx/kxTerrain.h>
#include <kx/kxTransform.h>

namespace {
struct ClassEntry {
    int (*initialize)();
    int (*shutdown)();
};

const ClassEntry s_classes[] = {
    {kuBase::initializeClass, kuBase::shutdownClass},
    {krTexture::initializeClass, krTexture::shutdownClass},
    {krGeometry::initializeClass, krGeometry::shutdownClass},
    {krShaderInfrastructure::initializeClass, krShaderInfrastructure::shutdownClass},
    {ksNode::initializeClass, ksNode::shutdownClass},
    {ksTransform::initializeClass, ksTransform::shutdownClass},
    {ksGeometry::initializeClass, ksGeometry::shutdownClass},
    {kxTransform::initializeClass, kxTransform::shutdownClass},
    {kxTerrain::initializeClass, kxTerrain::shutdownClass},
    {kxBox::initializeClass, kxBox::shutdownClass},
    {kxPlane::initializeClass, kxPlane::shutdownClass},
    {kxStrategy::initializeClass, kxStrategy::shutdownClass},
    {kxPathStrategy::initializeClass, kxPathStrategy::shutdownClass},
    {kxOrbitStrategy::initializeClass, kxOrbitStrategy::shutdownClass},
    {kxLookAtStrategy::initializeClass, kxLookAtStrategy::shutdownClass},
    {kxModule::initializeClass, kxModule::shutdownClass},
    {ksChannel::initializeClass, ksChannel::shutdownClass},
    {kxChannel::initializeClass, kxChannel::shutdownClass},
    {ksWindow::initializeClass, ksWindow::shutdownClass},
    {kxScene::initializeClass, kxScene::shutdownClass},
    {kxObserver::initializeClass, kxObserver::shutdownClass},
    {kxCoordConverter::initializeClass, kxCoordConverter::shutdownClass},
    {kxIsectorLOS::initializeClass, kxIsectorLOS::shutdownClass},
    {kxIsectorService::initializeClass, kxIsectorService::shutdownClass},
    {kxIsectorServiceAsynchronous::initializeClass, kxIsectorServiceAsynchronous::shutdownClass},
    {kxEnv::initializeClass, kxEnv::shutdownClass},
    {kxEnvSun::initializeClass, kxEnvSun::shutdownClass},
    {kxEnvMoon::initializeClass, kxEnvMoon::shutdownClass},
    {kxEnvCloudLayer::initializeClass, kxEnvCloudLayer::shutdownClass},
    {kxEnvCloudVolume::initializeClass, kxEnvCloudVolume::shutdownClass},
};
} // namespace

int kxRuntimeClasses::initialize() {
    for (const ClassEntry& entry : s_classes)
        if (entry.initialize() != 1)
            return -32767;
    return 1;
}

void kxRuntimeClasses::shutdown() {
    for (auto it = std::rbegin(s_classes); it != std::rend(s_classes); ++it)
        it->shutdown();
}
