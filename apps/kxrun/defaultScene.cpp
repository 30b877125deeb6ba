#include "defaultScene.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>

#include <ks/ksWindow.h>
#include <ku/kuMath.h>
#include <kx/kxChannel.h>
#include <kx/kxEnv.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxShapes.h>
#include <kx/kxStrategies.h>
#include <kx/kxTerrain.h>

#include <cmath>

namespace {

// The road: an ellipse about the origin, driven counter-clockwise from its southern point.
const double ROAD_HALF_X = 420, ROAD_HALF_Y = 260;
const int ROAD_WAYPOINTS = 48;
const double SPEED = 15;           // units (metres) per second
const double FOLLOW_DISTANCE = 40; // how far along the road the observer trails the vehicle
const double OBSERVER_HEIGHT = 22; // above the road
const double TOWER_HEIGHT = 60;
const double TOWER_X = 260, TOWER_Y = -200; // inside the loop, ahead of the start

} // namespace

int kxRunDefaultScene::build(int width, int height) {
    kxScene* scene = keep(new kxScene);
    scene->setName("scene");

    kxTerrain* terrain = keep(new kxTerrain);
    terrain->setName("ground");
    terrain->setSeed(7);
    terrain->setSize(3000);
    terrain->setResolution(96);
    terrain->setAmplitude(15);
    terrain->setFeatureSize(500);
    if (terrain->build() != 1)
        return -32767;
    scene->addChild(terrain);

    // Waypoints close enough together that driving straight between them stays on the hills.
    kxPathStrategy* drive = keep(new kxPathStrategy);
    drive->setName("drive");
    drive->setSpeed(SPEED);
    drive->setLoop(true);
    kxPathStrategy* follow = keep(new kxPathStrategy);
    follow->setName("follow");
    follow->setSpeed(SPEED);
    follow->setLoop(true);
    kuVec3d road[ROAD_WAYPOINTS];
    for (int k = 0; k < ROAD_WAYPOINTS; ++k) {
        const double angle = (-90.0 + 360.0 * k / ROAD_WAYPOINTS) * kuMath<double>::DEG2RAD;
        const double x = ROAD_HALF_X * std::cos(angle), y = ROAD_HALF_Y * std::sin(angle);
        road[k].set(x, y, terrain->getHeightAt(x, y));
    }
    // The observer drives the same loop from a point on its closing leg, so it stays the same
    // distance behind the vehicle all the way round.
    const kuVec3d& first = road[0];
    kuVec3d back = road[ROAD_WAYPOINTS - 1] - first;
    back.normalize();
    const kuVec3d start = first + back * FOLLOW_DISTANCE;
    follow->addWaypoint(start.x, start.y, terrain->getHeightAt(start.x, start.y) + OBSERVER_HEIGHT);
    for (const kuVec3d& point : road) {
        drive->addWaypoint(point.x, point.y, point.z);
        follow->addWaypoint(point.x, point.y, point.z + OBSERVER_HEIGHT);
    }

    kxTransform* vehicle = keep(new kxTransform);
    vehicle->setName("vehicle");
    vehicle->setStrategy(drive);
    scene->addChild(vehicle);
    kxBox* body = keep(new kxBox);
    body->setName("body");
    body->setSize(2.0, 4.5, 1.6);
    body->setColor(0.55f, 0.12f, 0.1f, 1);
    vehicle->addChild(body);
    // The observer looks at the road ahead of the vehicle rather than at its roof.
    kxTransform* aim = keep(new kxTransform);
    aim->setName("aim");
    aim->setPosition(0, 25, 1.5);
    vehicle->addChild(aim);

    // Headlights just in front of the body (which ends at y = 2.25), so their probes do not
    // start inside it.
    const char* names[2] = {"headlight_left", "headlight_right"};
    for (int side = 0; side < 2; ++side) {
        kxLightLobe* lamp = keep(kxLightLobe::create());
        lamp->setName(names[side]);
        lamp->setPosition(side == 0 ? -0.7 : 0.7, 2.4, 0.9);
        lamp->setOrientation(0, -8, 0);
        lamp->setSpreadAngle(30);
        lamp->setFadeRange(250);
        lamp->setBrightness(1);
        vehicle->addChild(lamp);
    }

    kxBox* tower = keep(new kxBox);
    tower->setName("tower");
    tower->setSize(4, 4, TOWER_HEIGHT);
    tower->setColor(0.5f, 0.5f, 0.5f, 1);
    kxTransform* towerBase = keep(new kxTransform);
    towerBase->setName("tower_base");
    const double towerZ = terrain->getHeightAt(TOWER_X, TOWER_Y);
    towerBase->setPosition(TOWER_X, TOWER_Y, towerZ);
    towerBase->addChild(tower);
    scene->addChild(towerBase);
    // A radius-0 orbit turns the searchlight on the spot, above the tower's roof.
    kxOrbitStrategy* sweep = keep(new kxOrbitStrategy);
    sweep->setName("sweep");
    sweep->setCenter(TOWER_X, TOWER_Y, towerZ);
    sweep->setRadius(0);
    sweep->setHeight(TOWER_HEIGHT + 1);
    sweep->setAngularSpeed(12);
    sweep->setAngle(95); // lights the road ahead of the vehicle around frame 60
    kxLightLobe* searchlight = keep(kxLightLobe::create());
    searchlight->setName("searchlight");
    searchlight->setOrientation(0, -20, 0);
    searchlight->setSpreadAngle(12);
    searchlight->setFadeRange(1200);
    searchlight->setStrategy(sweep);
    scene->addChild(searchlight);

    ksWindow* window = keep(new ksWindow);
    window->setName("window");
    if (window->setSize(width, height) != 1)
        return -32767;
    ksChannel* channel = keep(new kxChannel);
    channel->setName("channel");
    const double fovX = 60;
    const double fovY = 2 *
                        std::atan(std::tan(fovX / 2 * kuMath<double>::DEG2RAD) * height / width) *
                        kuMath<double>::RAD2DEG;
    channel->setProjection(fovX, fovY, 1, 6000);
    channel->setClearColor(0.01f, 0.015f, 0.03f, 1);
    window->addChannel(channel);

    kxEnv* env = keep(new kxEnv);
    env->setName("night");
    env->setTimeOfDay(22.5);
    env->setDate(2000, 6, 16); // a full moon, low in the south-east
    env->setVisibility(6000);
    env->addEffect(keep(new kxEnvSun));
    env->addEffect(keep(new kxEnvMoon));

    kxObserver* observer = keep(new kxObserver);
    observer->setName("observer");
    observer->setScene(scene);
    observer->addChannel(channel);
    observer->addAttachment(env);
    kxLookAtStrategy* look = keep(new kxLookAtStrategy);
    look->setName("look");
    look->setNode(aim);
    look->setMotion(follow);
    observer->setStrategy(look);

    // The sharper 256-texel light map needs a channel at least that big on both sides.
    kxLightLobeControl::instance()->setRenderQuality(width >= 256 && height >= 256
                                                         ? kxLightLobeControl::RENDER_QUALITY_BETTER
                                                         : kxLightLobeControl::RENDER_QUALITY_GOOD);
    return 1;
}
