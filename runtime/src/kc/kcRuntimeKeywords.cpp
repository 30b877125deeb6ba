#include <kc/kcRuntimeKeywords.h>

#include <kc/kcConfigParser.h>
#include <kr/krShaderInfrastructure.h>
#include <ks/ksChannel.h>
#include <kx/kxChannel.h>
#include <ks/ksWindow.h>
#include <ku/kuNotify.h>
#include <kx/kxCoordConverter.h>
#include <kx/kxEnv.h>
#include <kx/kxKernel.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>
#include <kx/kxStrategies.h>
#include <kx/kxTerrain.h>
#include <kx/kxTransform.h>

#include <initializer_list>
#include <set>
#include <vector>

namespace {

typedef kcArgDefinitions Args;

Args list(kcVariant::Type type, std::initializer_list<const char*> names) {
    Args args;
    for (const char* name : names)
        args.add(name, type);
    return args;
}

int status(int result) {
    return result == KU_SUCCESS ? KU_SUCCESS : KU_FAILURE;
}

template <class T>
T* as(kuBase* instance) {
    return static_cast<T*>(instance);
}

// ---- Window ----

int windowSetSize(kuBase* o, const kcArgValues& v) {
    return status(as<ksWindow>(o)->setSize(v.getInt(0), v.getInt(1)));
}
int windowSetOrigin(kuBase* o, const kcArgValues& v) {
    as<ksWindow>(o)->setOrigin(v.getInt(0), v.getInt(1));
    return KU_SUCCESS;
}
int windowAddChannel(kuBase* o, const kcArgValues& v) {
    return status(as<ksWindow>(o)->addChannel(as<ksChannel>(v.getBase(0))));
}

// ---- ShaderInfrastructure ----

int shaderInfrastructureSetEnable(kuBase* o, const kcArgValues& v) {
    as<krShaderInfrastructure>(o)->setEnable(v.getBool(0));
    return KU_SUCCESS;
}

// ---- Channel ----

int channelSetDrawArea(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setDrawArea(v.getDouble(0), v.getDouble(1), v.getDouble(2), v.getDouble(3));
    return KU_SUCCESS;
}
int channelSetProjection(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setProjection(v.getDouble(0), v.getDouble(1), v.getDouble(2), v.getDouble(3));
    return KU_SUCCESS;
}
int channelSetOffset(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setOffset(v.getDouble(0), v.getDouble(1), v.getDouble(2), v.getDouble(3),
                                v.getDouble(4), v.getDouble(5));
    return KU_SUCCESS;
}
int channelSetGraphicsModes(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setGraphicsModes(static_cast<int>(v.getBitmask(0)));
    return KU_SUCCESS;
}
int channelSetCullMask(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setCullMask(v.getBitmask(0));
    return KU_SUCCESS;
}
int channelSetClearColor(kuBase* o, const kcArgValues& v) {
    as<ksChannel>(o)->setClearColor(v.getFloat(0), v.getFloat(1), v.getFloat(2), v.getFloat(3));
    return KU_SUCCESS;
}

// ---- Positionables (observers and transforms) ----

template <class T>
int setPosition(kuBase* o, const kcArgValues& v) {
    as<T>(o)->setPosition(v.getDouble(0), v.getDouble(1), v.getDouble(2), nullptr);
    return KU_SUCCESS;
}
template <class T>
int setOrientation(kuBase* o, const kcArgValues& v) {
    as<T>(o)->setOrientation(v.getDouble(0), v.getDouble(1), v.getDouble(2));
    return KU_SUCCESS;
}

kxLookAtStrategy* asLookAt(kxStrategy* strategy) {
    return strategy && strategy->isOfClassType(kxLookAtStrategy::getStaticClassType())
               ? static_cast<kxLookAtStrategy*>(strategy)
               : nullptr;
}

// Under a look-at, another strategy becomes its motion: the target moves, then aims.
template <class T>
int setStrategy(kuBase* o, const kcArgValues& v) {
    T* target = as<T>(o);
    auto* strategy = as<kxStrategy>(v.getBase(0));
    kxLookAtStrategy* lookAt = asLookAt(target->getStrategy());
    if (lookAt && lookAt != strategy && !asLookAt(strategy))
        return kcRuntimeKeywords::holds(strategy, lookAt) ? KU_FAILURE
                                                          : status(lookAt->setMotion(strategy));
    if (kcRuntimeKeywords::holds(strategy, o))
        return KU_FAILURE;
    target->setStrategy(strategy);
    return KU_SUCCESS;
}

template <class T>
int setLookAt(kuBase* o, const kcArgValues& v) {
    T* target = as<T>(o);
    auto* node = as<kxTransform>(v.getBase(0));
    // The look-at will hold the node: a node that holds the target (itself, for one) would
    // close a loop.
    if (kcRuntimeKeywords::holds(node, o))
        return KU_FAILURE;
    if (kxLookAtStrategy* lookAt = asLookAt(target->getStrategy())) {
        // Another target may share the look-at.
        if (kcRuntimeKeywords::holds(node, lookAt))
            return KU_FAILURE;
        lookAt->setNode(node);
        return KU_SUCCESS;
    }
    kuRef<kxLookAtStrategy> lookAt = new kxLookAtStrategy;
    lookAt->setNode(node);
    lookAt->setMotion(target->getStrategy());
    target->setStrategy(lookAt.get());
    return KU_SUCCESS;
}

// ---- Observer ----

int observerSetScene(kuBase* o, const kcArgValues& v) {
    as<kxObserver>(o)->setScene(as<kxScene>(v.getBase(0)));
    return KU_SUCCESS;
}
int observerAddChannel(kuBase* o, const kcArgValues& v) {
    return status(as<kxObserver>(o)->addChannel(as<ksChannel>(v.getBase(0))));
}
int observerAddAttachment(kuBase* o, const kcArgValues& v) {
    if (kcRuntimeKeywords::holds(v.getBase(0), o))
        return KU_FAILURE;
    return status(as<kxObserver>(o)->addAttachment(v.getBase(0)));
}

// ---- Scene and Transform ----

int sceneAddChild(kuBase* o, const kcArgValues& v) {
    return status(as<kxScene>(o)->addChild(as<ksNode>(v.getBase(0))));
}
int sceneSetCoordConverter(kuBase* o, const kcArgValues& v) {
    as<kxScene>(o)->setCoordConverter(as<kxCoordConverter>(v.getBase(0)));
    return KU_SUCCESS;
}

int transformAddChild(kuBase* o, const kcArgValues& v) {
    auto* node = as<kxTransform>(o);
    auto* child = as<ksNode>(v.getBase(0));
    // A file can describe a loop; the graph must not hold one.
    if (kcRuntimeKeywords::holds(child, o))
        return KU_FAILURE;
    return status(node->addChild(child));
}
int transformSetScale(kuBase* o, const kcArgValues& v) {
    as<kxTransform>(o)->setScale(v.getDouble(0), v.getDouble(1), v.getDouble(2));
    return KU_SUCCESS;
}
int transformSetStaticEnable(kuBase* o, const kcArgValues& v) {
    as<kxTransform>(o)->setStaticEnable(v.getBool(0));
    return KU_SUCCESS;
}
int transformSetStrategyEnable(kuBase* o, const kcArgValues& v) {
    as<kxTransform>(o)->setStrategyEnable(v.getBool(0));
    return KU_SUCCESS;
}

// ---- Terrain ----

int terrainSetSeed(kuBase* o, const kcArgValues& v) {
    as<kxTerrain>(o)->setSeed(static_cast<std::uint32_t>(v.getInt(0)));
    return KU_SUCCESS;
}
int terrainSetSize(kuBase* o, const kcArgValues& v) {
    as<kxTerrain>(o)->setSize(v.getDouble(0));
    return KU_SUCCESS;
}
int terrainSetResolution(kuBase* o, const kcArgValues& v) {
    as<kxTerrain>(o)->setResolution(v.getInt(0));
    return KU_SUCCESS;
}
int terrainSetAmplitude(kuBase* o, const kcArgValues& v) {
    as<kxTerrain>(o)->setAmplitude(v.getDouble(0));
    return KU_SUCCESS;
}
int terrainSetFeatureSize(kuBase* o, const kcArgValues& v) {
    as<kxTerrain>(o)->setFeatureSize(v.getDouble(0));
    return KU_SUCCESS;
}
// The mesh depends on every setting: build it once they are all in.
int terrainFinish(kuBase* o, const kcArgValues&) {
    return status(as<kxTerrain>(o)->build());
}

// ---- Shapes ----

int boxSetSize(kuBase* o, const kcArgValues& v) {
    return status(as<kxBox>(o)->setSize(v.getDouble(0), v.getDouble(1), v.getDouble(2)));
}
int boxSetColor(kuBase* o, const kcArgValues& v) {
    as<kxBox>(o)->setColor(v.getFloat(0), v.getFloat(1), v.getFloat(2), v.getFloat(3));
    return KU_SUCCESS;
}
int planeSetSize(kuBase* o, const kcArgValues& v) {
    return status(as<kxPlane>(o)->setSize(v.getDouble(0), v.getDouble(1)));
}
int planeSetColor(kuBase* o, const kcArgValues& v) {
    as<kxPlane>(o)->setColor(v.getFloat(0), v.getFloat(1), v.getFloat(2), v.getFloat(3));
    return KU_SUCCESS;
}

// ---- Strategies ----

int pathAddWaypoint(kuBase* o, const kcArgValues& v) {
    as<kxPathStrategy>(o)->addWaypoint(v.getDouble(0), v.getDouble(1), v.getDouble(2));
    return KU_SUCCESS;
}
int pathSetSpeed(kuBase* o, const kcArgValues& v) {
    return status(as<kxPathStrategy>(o)->setSpeed(v.getDouble(0)));
}
int pathSetLoop(kuBase* o, const kcArgValues& v) {
    as<kxPathStrategy>(o)->setLoop(v.getBool(0));
    return KU_SUCCESS;
}
int orbitSetCenter(kuBase* o, const kcArgValues& v) {
    as<kxOrbitStrategy>(o)->setCenter(v.getDouble(0), v.getDouble(1), v.getDouble(2));
    return KU_SUCCESS;
}
int orbitSetRadius(kuBase* o, const kcArgValues& v) {
    return status(as<kxOrbitStrategy>(o)->setRadius(v.getDouble(0)));
}
int orbitSetAngularSpeed(kuBase* o, const kcArgValues& v) {
    as<kxOrbitStrategy>(o)->setAngularSpeed(v.getDouble(0));
    return KU_SUCCESS;
}
int orbitSetHeight(kuBase* o, const kcArgValues& v) {
    as<kxOrbitStrategy>(o)->setHeight(v.getDouble(0));
    return KU_SUCCESS;
}
int orbitSetAngle(kuBase* o, const kcArgValues& v) {
    as<kxOrbitStrategy>(o)->setAngle(v.getDouble(0));
    return KU_SUCCESS;
}
int lookAtSetNode(kuBase* o, const kcArgValues& v) {
    if (kcRuntimeKeywords::holds(v.getBase(0), o))
        return KU_FAILURE;
    as<kxLookAtStrategy>(o)->setNode(as<kxTransform>(v.getBase(0)));
    return KU_SUCCESS;
}
int lookAtSetMotion(kuBase* o, const kcArgValues& v) {
    if (kcRuntimeKeywords::holds(v.getBase(0), o))
        return KU_FAILURE;
    return status(as<kxLookAtStrategy>(o)->setMotion(as<kxStrategy>(v.getBase(0))));
}

// ---- Environment ----

int envSetTimeOfDay(kuBase* o, const kcArgValues& v) {
    return status(as<kxEnv>(o)->setTimeOfDay(v.getDouble(0)));
}
int envSetDate(kuBase* o, const kcArgValues& v) {
    return status(as<kxEnv>(o)->setDate(v.getInt(0), v.getInt(1), v.getInt(2)));
}
int envSetLocation(kuBase* o, const kcArgValues& v) {
    return status(as<kxEnv>(o)->setLocation(v.getDouble(0), v.getDouble(1)));
}
int envSetVisibility(kuBase* o, const kcArgValues& v) {
    return status(as<kxEnv>(o)->setVisibility(v.getDouble(0)));
}
int envSetFogEnable(kuBase* o, const kcArgValues& v) {
    as<kxEnv>(o)->setFogEnable(v.getBool(0));
    return KU_SUCCESS;
}
// Sun and moon have no settings of their own, so a file switches them on or off rather than
// naming instances: true adds one when there is none, false removes it.
template <class Body>
int envSetBody(kxEnv* env, Body* present, bool enable) {
    if (!enable)
        return present ? status(env->removeEffect(present)) : KU_SUCCESS;
    if (present)
        return KU_SUCCESS;
    kuRef<Body> body = new Body;
    return status(env->addEffect(body.get()));
}
int envAddSun(kuBase* o, const kcArgValues& v) {
    auto* env = as<kxEnv>(o);
    return envSetBody(env, env->getSun(), v.getBool(0));
}
int envAddMoon(kuBase* o, const kcArgValues& v) {
    auto* env = as<kxEnv>(o);
    return envSetBody(env, env->getMoon(), v.getBool(0));
}
int envAddCloudLayer(kuBase* o, const kcArgValues& v) {
    kuRef<kxEnvCloudLayer> layer = new kxEnvCloudLayer;
    layer->setAltitude(v.getDouble(0));
    layer->setThickness(v.getDouble(1));
    layer->setCoverage(v.getFloat(2));
    return status(as<kxEnv>(o)->addEffect(layer.get()));
}

// Collects the result of every binding.
struct Binder {
    kcConfigParser* parser;
    int result = KU_SUCCESS;

    void check(int status) {
        if (status != KU_SUCCESS)
            result = KU_FAILURE;
    }
    void type(const char* keyword, kuBase::ClassType* classType,
              kuBase::CreateFunc create = nullptr) {
        check(parser->addConfigurableClass(keyword, classType, create));
    }
    void prop(const char* keyword, const char* property, const Args& args,
              kcPropertyHandler handler) {
        check(parser->addConfigurableProp(keyword, property, args, handler));
    }
    void ref(const char* keyword, const char* property, const char* arg, const char* className,
             kcPropertyHandler handler) {
        check(parser->addReferenceProp(keyword, property, arg, className, handler));
    }
};

const char* const STRATEGY = "kxPositionable::Strategy";

} // namespace

bool kcRuntimeKeywords::holds(const kuBase* from, const kuBase* target) {
    std::vector<const kuBase*> pending{from};
    std::set<const kuBase*> seen;
    while (!pending.empty()) {
        const kuBase* object = pending.back();
        pending.pop_back();
        if (!object || !seen.insert(object).second)
            continue;
        if (object == target)
            return true;
        if (object->isOfClassType(ksNode::getStaticClassType())) {
            const auto* node = static_cast<const ksNode*>(object);
            for (int i = 0; i < node->getNumChildren(); ++i)
                pending.push_back(node->getChild(i));
        }
        if (object->isOfClassType(kxTransform::getStaticClassType()))
            pending.push_back(static_cast<const kxTransform*>(object)->getStrategy());
        if (object->isOfClassType(kxObserver::getStaticClassType())) {
            const auto* observer = static_cast<const kxObserver*>(object);
            pending.push_back(observer->getStrategy());
            for (int i = 0; i < observer->getNumAttachments(); ++i)
                pending.push_back(observer->getAttachment(i));
        }
        if (object->isOfClassType(kxLookAtStrategy::getStaticClassType())) {
            const auto* lookAt = static_cast<const kxLookAtStrategy*>(object);
            pending.push_back(lookAt->getNode());
            pending.push_back(lookAt->getMotion());
        }
    }
    return false;
}

int kcRuntimeKeywords::registerAll() {
    Binder b{kcConfigParser::getTheConfigParser()};
    const auto D = kcVariant::TYPE_DOUBLE;
    const auto F = kcVariant::TYPE_FLOAT;
    const auto I = kcVariant::TYPE_INT;
    const auto B = kcVariant::TYPE_BOOL;

    // The runtime's class types have no creation functors of their own.
    b.type("Window", ksWindow::getStaticClassType(), []() -> kuBase* { return new ksWindow; });
    b.prop("Window", "setSize", list(I, {"width", "height"}), windowSetSize);
    b.prop("Window", "setOrigin", list(I, {"x", "y"}), windowSetOrigin);
    b.ref("Window", "addChannel", "channel", "ksChannel", windowAddChannel);

    b.type("Channel", kxChannel::getStaticClassType(), kxChannel::create);
    b.prop("Channel", "setDrawArea", list(D, {"left", "right", "bottom", "top"}),
           channelSetDrawArea);
    b.prop("Channel", "setProjection", list(D, {"fovx", "fovy", "near", "far"}),
           channelSetProjection);
    b.prop("Channel", "setOffset", list(D, {"x", "y", "z", "h", "p", "r"}), channelSetOffset);
    Args modes;
    modes.addBitmask("modes", {{"lighting", ksChannel::MODE_LIGHTING},
                               {"fog", ksChannel::MODE_FOG},
                               {"sensor", ksChannel::MODE_SENSOR},
                               {"wireframe", ksChannel::MODE_WIREFRAME}});
    b.prop("Channel", "setGraphicsModes", modes, channelSetGraphicsModes);
    b.prop("Channel", "setCullMask", list(kcVariant::TYPE_BITMASK, {"mask"}), channelSetCullMask);
    b.prop("Channel", "setClearColor", list(F, {"r", "g", "b", "a"}), channelSetClearColor);

    // The one instance, whatever the element's name.
    b.type("ShaderInfrastructure", krShaderInfrastructure::getStaticClassType(),
           []() -> kuBase* { return krShaderInfrastructure::instance(); });
    b.prop("ShaderInfrastructure", "setEnable", list(B, {"enable"}), shaderInfrastructureSetEnable);

    b.type("Observer", kxObserver::getStaticClassType(),
           []() -> kuBase* { return new kxObserver; });
    b.ref("Observer", "setScene", "scene", "kxScene", observerSetScene);
    b.ref("Observer", "addChannel", "channel", "ksChannel", observerAddChannel);
    b.ref("Observer", "addAttachment", "object", "kuBase", observerAddAttachment);
    b.prop("Observer", "setPosition", list(D, {"x", "y", "z"}), setPosition<kxObserver>);
    b.prop("Observer", "setOrientation", list(D, {"h", "p", "r"}), setOrientation<kxObserver>);
    b.ref("Observer", "setStrategy", "strategy", STRATEGY, setStrategy<kxObserver>);
    b.ref("Observer", "setLookAt", "node", "kxTransform", setLookAt<kxObserver>);

    b.type("Scene", kxScene::getStaticClassType(), []() -> kuBase* { return new kxScene; });
    b.ref("Scene", "addChild", "node", "ksNode", sceneAddChild);
    b.ref("Scene", "setCoordConverter", "converter", "kxCoordConverter", sceneSetCoordConverter);

    b.type("Transform", kxTransform::getStaticClassType(),
           []() -> kuBase* { return new kxTransform; });
    b.ref("Transform", "addChild", "node", "ksNode", transformAddChild);
    b.prop("Transform", "setPosition", list(D, {"x", "y", "z"}), setPosition<kxTransform>);
    b.prop("Transform", "setOrientation", list(D, {"h", "p", "r"}), setOrientation<kxTransform>);
    b.prop("Transform", "setScale", list(D, {"x", "y", "z"}), transformSetScale);
    b.prop("Transform", "setStaticEnable", list(B, {"enable"}), transformSetStaticEnable);
    b.ref("Transform", "setStrategy", "strategy", STRATEGY, setStrategy<kxTransform>);
    b.prop("Transform", "setStrategyEnable", list(B, {"enable"}), transformSetStrategyEnable);
    b.ref("Transform", "setLookAt", "node", "kxTransform", setLookAt<kxTransform>);

    b.type("Terrain", kxTerrain::getStaticClassType(), []() -> kuBase* { return new kxTerrain; });
    b.prop("Terrain", "setSeed", list(I, {"seed"}), terrainSetSeed);
    b.prop("Terrain", "setSize", list(D, {"size"}), terrainSetSize);
    b.prop("Terrain", "setResolution", list(I, {"cells"}), terrainSetResolution);
    b.prop("Terrain", "setAmplitude", list(D, {"amplitude"}), terrainSetAmplitude);
    b.prop("Terrain", "setFeatureSize", list(D, {"size"}), terrainSetFeatureSize);
    b.check(kcConfigParser::getTheConfigParser()->addFinishHandler("Terrain", terrainFinish));

    b.type("Box", kxBox::getStaticClassType());
    b.prop("Box", "setSize", list(D, {"width", "length", "height"}), boxSetSize);
    b.prop("Box", "setColor", list(F, {"r", "g", "b", "a"}), boxSetColor);
    b.type("Plane", kxPlane::getStaticClassType());
    b.prop("Plane", "setSize", list(D, {"width", "length"}), planeSetSize);
    b.prop("Plane", "setColor", list(F, {"r", "g", "b", "a"}), planeSetColor);

    b.type("PathStrategy", kxPathStrategy::getStaticClassType());
    b.prop("PathStrategy", "addWaypoint", list(D, {"x", "y", "z"}), pathAddWaypoint);
    b.prop("PathStrategy", "setSpeed", list(D, {"speed"}), pathSetSpeed);
    b.prop("PathStrategy", "setLoop", list(B, {"loop"}), pathSetLoop);
    b.type("OrbitStrategy", kxOrbitStrategy::getStaticClassType());
    b.prop("OrbitStrategy", "setCenter", list(D, {"x", "y", "z"}), orbitSetCenter);
    b.prop("OrbitStrategy", "setRadius", list(D, {"radius"}), orbitSetRadius);
    b.prop("OrbitStrategy", "setAngularSpeed", list(D, {"speed"}), orbitSetAngularSpeed);
    b.prop("OrbitStrategy", "setHeight", list(D, {"height"}), orbitSetHeight);
    b.prop("OrbitStrategy", "setAngle", list(D, {"angle"}), orbitSetAngle);
    b.type("LookAtStrategy", kxLookAtStrategy::getStaticClassType());
    b.ref("LookAtStrategy", "setNode", "node", "kxTransform", lookAtSetNode);
    b.ref("LookAtStrategy", "setMotion", "strategy", STRATEGY, lookAtSetMotion);
    b.type("Env", kxEnv::getStaticClassType(), []() -> kuBase* { return new kxEnv; });
    b.prop("Env", "setTimeOfDay", list(D, {"hours"}), envSetTimeOfDay);
    b.prop("Env", "setDate", list(I, {"year", "month", "day"}), envSetDate);
    b.prop("Env", "setLocation", list(D, {"lat", "lon"}), envSetLocation);
    b.prop("Env", "setVisibility", list(D, {"visibility"}), envSetVisibility);
    b.prop("Env", "setFogEnable", list(B, {"enable"}), envSetFogEnable);
    b.prop("Env", "addSun", list(B, {"enable"}), envAddSun);
    b.prop("Env", "addMoon", list(B, {"enable"}), envAddMoon);
    b.prop("Env", "addCloudLayer", list(D, {"altitude", "thickness", "coverage"}),
           envAddCloudLayer);
    return b.result;
}

namespace {
void startConfiguration() {
    if (kcRuntimeKeywords::registerAll() != KU_SUCCESS)
        kuNotify::print(kuNotify::FAIL, nullptr,
                        "kxKernel::initialize - unable to register the configuration keywords");
}

// The configuration sits above the kernel, so it hooks itself in as the runtime library loads:
// the runtime's keywords are bound at each start-up, and the parser with the instances it made
// goes at each shutdown, before the modules whose classes they are of are released.
[[maybe_unused]] const int s_hookedIntoKernel =
    kxKernel::addLayerHooks(startConfiguration, kcConfigParser::destroy);
} // namespace
