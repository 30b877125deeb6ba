#ifndef KC_RUNTIMEKEYWORDS_H
#define KC_RUNTIMEKEYWORDS_H

#include <ku/kuBase.h>

// The runtime's own configuration keywords (class keyword: properties):
//   Window: setSize(width, height), setOrigin(x, y), addChannel(channel)
//   Channel: setDrawArea(left, right, bottom, top), setProjection(fovx, fovy, near, far),
//     setOffset(x, y, z, h, p, r), setGraphicsModes(modes), setCullMask(mask),
//     setClearColor(r, g, b, a)
//   Observer: setScene(scene), addChannel(channel), addAttachment(object), setPosition(x, y, z),
//     setOrientation(h, p, r), setStrategy(strategy), setLookAt(node)
//   Scene: addChild(node), setCoordConverter(converter)
//   Transform: addChild(node), setPosition(x, y, z), setOrientation(h, p, r),
//     setScale(x, y, z), setStaticEnable(enable), setStrategy(strategy),
//     setStrategyEnable(enable), setLookAt(node)
//   Terrain: setSeed(seed), setSize(size), setResolution(cells), setAmplitude(amplitude),
//     setFeatureSize(size); built once the file has been applied
//   Box: setSize(width, length, height), setColor(r, g, b, a)
//   Plane: setSize(width, length), setColor(r, g, b, a)
//   PathStrategy: addWaypoint(x, y, z), setSpeed(speed), setLoop(loop)
//   OrbitStrategy: setCenter(x, y, z), setRadius(radius), setAngularSpeed(speed),
//     setHeight(height), setAngle(angle)
//   LookAtStrategy: setNode(node), setMotion(strategy)
//   Env: setTimeOfDay(hours), setDate(year, month, day), setLocation(lat, lon),
//     setVisibility(visibility), setFogEnable(enable), addSun(enable), addMoon(enable),
//     addCloudLayer(altitude, thickness, coverage); addSun/addMoon true adds the body when
//     there is none, false removes it
// Graphics modes are a bitmask of lighting, fog, sensor and wireframe (or numbers).
// setLookAt gives the observer or transform a look-at strategy aimed at the node; a strategy
// set before or after it becomes the look-at's motion, so the target moves and then aims.
// Threads: application thread.
namespace kcRuntimeKeywords {
// Binds every keyword above in the configuration parser (the kernel's start-up runs it through
// a layer hook, after the runtime's classes exist). 1, or -32767 when a binding failed.
KX_API int registerAll();
// Whether from is target or holds it through the counted references that configuration
// keywords make: a node holds its children, a transform or an observer its strategy, an
// observer its attachments, a look-at strategy its node and its motion. A file can describe a
// loop of these, which would never be released, so every keyword that adds such a reference
// (these and a module's own, for its transform classes) refuses one that would close a loop.
KX_API bool holds(const kuBase* from, const kuBase* target);
} // namespace kcRuntimeKeywords

#endif
