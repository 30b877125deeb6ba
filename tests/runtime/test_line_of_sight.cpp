// Line-of-sight probes cast against real geometry: placement and direction, nearest and any
// hits, range, masks, back faces, moving objects, terrain, and the synchronous and
// asynchronous services.
#include "kx/detail/kxLineOfSightScene.h"

#include <kr/krGeometry.h>
#include <ks/ksGeometry.h>
#include <ks/ksNode.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxKernel.h>
#include <kx/kxTerrain.h>
#include <kx/kxTransform.h>

#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <chrono>
#include <cmath>
#include <random>
#include <thread>

namespace {

constexpr int DOWN = -90;
constexpr int UP = 90;
const int NEAREST = kxIsectorLOS::MODE_DEFAULT | kxIsectorLOS::MODE_NEAREST;
const int ANY = kxIsectorLOS::MODE_DEFAULT;

class LineOfSightTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        m_root = new ksNode;
    }
    void TearDown() override {
        m_root.reset();
        kxLineOfSightScene::setRayMaskEnable(true);
        kxKernel::shutdown();
    }

    kuRef<kxIsectorLOS> probe(const kuVec3d& position, double heading, double pitch,
                              int mode = NEAREST, double range = 1000) {
        kuRef<kxIsectorLOS> p = new kxIsectorLOS;
        p->setTarget(m_root.get());
        p->setPosition(position.x, position.y, position.z);
        p->setOrientation(heading, pitch, 0);
        p->setMode(mode);
        p->setSegmentRange(range);
        return p;
    }

    // Enough probes over a 2000-unit terrain that a run is still in flight when startAll
    // returns.
    std::vector<kuRef<kxIsectorLOS>> grid(kxIsectorService* service, ksNode* target) {
        std::vector<kuRef<kxIsectorLOS>> probes;
        for (int i = 0; i < 3000; ++i) {
            probes.push_back(probe({(i % 60) * 30.0 - 900, (i / 60) * 30.0 - 750, 100}, i,
                                   -60 - i % 30, NEAREST, 5000));
            probes.back()->setTarget(target);
            service->addIsector(probes.back().get(), kxIsectorService::MODE_CONTINUOUS);
        }
        return probes;
    }

    kuRef<ksNode> m_root;
};

// Triangles from consecutive vertex triples.
kuRef<ksGeometry> triangles(const std::vector<kuVec3f>& vertices) {
    kuRef<krGeometry> geometry = new krGeometry;
    geometry->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLES);
    geometry->setVertices(vertices);
    kuRef<ksGeometry> node = new ksGeometry;
    node->setGeometry(geometry.get(), 0);
    return node;
}

// A square of side 2 * half at height z whose front faces up (counter-clockwise seen from
// above), or down.
kuRef<ksGeometry> square(float z, float half = 50, bool facingUp = true) {
    const kuVec3f a(-half, -half, z), b(half, -half, z), c(half, half, z), d(-half, half, z);
    return facingUp ? triangles({a, b, c, a, c, d}) : triangles({a, c, b, a, d, c});
}

kuRef<kxTerrain> terrain(double amplitude, int resolution, double size = 200) {
    kuRef<kxTerrain> ground = new kxTerrain;
    ground->setAmplitude(amplitude);
    ground->setResolution(resolution);
    ground->setSize(size);
    EXPECT_EQ(ground->build(), 1);
    return ground;
}

void expectNear(const kuVec3d& actual, const kuVec3d& expected, double tolerance) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

kuVec3d hitPoint(const kxIsectorLOS& p) {
    kuVec3d point;
    EXPECT_EQ(p.getHitPoint(&point), 1);
    return point;
}

// The height of the hit of a fresh cast, NaN (failing any EXPECT_NEAR) when it misses.
double castZ(kxIsectorLOS& p) {
    return p.cast() == 1 ? hitPoint(p).z : std::nan("");
}

kuVec3d hitNormal(const kxIsectorLOS& p) {
    kuVec3f normal;
    EXPECT_EQ(p.getHitNormal(&normal), 1);
    return kuVec3d(normal);
}

TEST_F(LineOfSightTest, ProbesOverFlatTerrainFollowPositionHeadingAndPitch) {
    m_root->addChild(terrain(0, 8).get());
    struct Case {
        kuVec3d from;
        double heading, pitch;
        kuVec3d expected;
    };
    std::vector<Case> cases = {
        {{0, 0, 10}, 0, -45, {0, 10, 0}},   // body +Y
        {{0, 0, 10}, 90, -45, {-10, 0, 0}}, // heading turns counter-clockwise seen from above
        {{0, 0, 10}, -90, -45, {10, 0, 0}},
        {{0, 0, 10}, 180, -60, {0, -5.773502692, 0}},            // 10 / tan 60
        {{0, 0, 10}, 45, -30, {-12.247448714, 12.247448714, 0}}, // 10 / tan 30 along the diagonal
    };
    for (const kuVec3d& at : {kuVec3d(10, 20, 50), {-35.5, 60.25, 3}, {0, 0, 100}, {99, -99, 1}})
        for (double heading : {0.0, 45.0, 170.0})
            cases.push_back({at, heading, DOWN, {at.x, at.y, 0}});
    // Casting flushes denormals only for itself: the caller's floating-point mode comes back.
    const unsigned int floatMode = _mm_getcsr();
    for (int mode : {NEAREST, ANY})
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message()
                         << "mode " << mode << " from " << c.from.x << "," << c.from.y << ","
                         << c.from.z << " heading " << c.heading << " pitch " << c.pitch);
            kuRef<kxIsectorLOS> p = probe(c.from, c.heading, c.pitch, mode);
            ASSERT_EQ(p->cast(), 1);
            expectNear(hitPoint(*p), c.expected, c.pitch == DOWN ? 1e-5 : 1e-4);
            expectNear(hitNormal(*p), {0, 0, 1}, 1e-6);
            EXPECT_EQ(_mm_getcsr(), floatMode);
        }
    // Level and upward probes never reach the ground.
    EXPECT_EQ(probe({0, 0, 10}, 0, 0)->cast(), -32767);
    EXPECT_EQ(probe({0, 0, 10}, 0, 20)->cast(), -32767);
}

TEST_F(LineOfSightTest, NearestFindsTheFirstSurfaceAndAnyFindsOneOfThem) {
    m_root->addChild(square(0).get());
    m_root->addChild(square(10).get());
    kuRef<kxIsectorLOS> nearest = probe({3, 4, 20}, 0, DOWN, NEAREST);
    ASSERT_EQ(nearest->cast(), 1);
    expectNear(hitPoint(*nearest), {3, 4, 10}, 1e-5);

    kuRef<kxIsectorLOS> any = probe({3, 4, 20}, 0, DOWN, ANY);
    ASSERT_EQ(any->cast(), 1);
    const kuVec3d point = hitPoint(*any);
    EXPECT_NEAR(point.x, 3, 1e-5);
    EXPECT_NEAR(point.y, 4, 1e-5);
    EXPECT_TRUE(std::abs(point.z) < 1e-5 || std::abs(point.z - 10) < 1e-5) << point.z;
    expectNear(hitNormal(*any), {0, 0, 1}, 1e-6);
}

TEST_F(LineOfSightTest, OutOfRangeDisabledOrUntargetedProbesMissAndClearTheLastHit) {
    m_root->addChild(terrain(0, 4).get());
    for (int mode : {NEAREST, ANY}) {
        kuRef<kxIsectorLOS> p = probe({1, 2, 50}, 0, DOWN, mode, 50.01);
        EXPECT_EQ(p->cast(), 1);
        p->setSegmentRange(49.99);
        EXPECT_EQ(p->cast(), -32767);
        EXPECT_EQ(p->getHitPoint(nullptr), -32767);
        EXPECT_EQ(p->getHitNormal(nullptr), -32767);
    }
    kuRef<kxIsectorLOS> p = probe({0, 0, 5}, 0, DOWN);
    ASSERT_EQ(p->cast(), 1);
    p->setMode(NEAREST & ~kxIsectorLOS::MODE_ENABLED);
    EXPECT_EQ(p->cast(), -32767);
    EXPECT_EQ(p->getHitPoint(nullptr), -32767);
    p->setMode(NEAREST);
    p->setTarget(nullptr);
    EXPECT_EQ(p->cast(), -32767);
}

// Masks: a node is passed over when its own mask shares no bit with the probe's, so a hit
// needs every node on the path to share a bit (not their intersection).
TEST_F(LineOfSightTest, MasksOfTheGeometryAndEveryAncestorMustMatch) {
    struct Case {
        unsigned int group, geometry, probe;
        bool hit;
    };
    const Case cases[] = {
        {~0u, 0x1, 0x1, true},  {~0u, 0x1, 0x2, false}, {~0u, 0x3, 0x2, true},
        {~0u, 0x0, ~0u, false}, {0x0, ~0u, ~0u, false}, {0x1, 0x2, 0x3, true},
        {0x1, 0x2, 0x1, false}, {0x1, 0x2, 0x2, false}, {0x6, 0x3, 0x2, true},
        {~0u, ~0u, 0x0, false}, {0x5, 0x7, 0x4, true},  {0x5, 0x7, 0x2, false},
    };
    for (bool rayMasks : {true, false})
        for (bool moving : {false, true})
            for (const Case& c : cases) {
                SCOPED_TRACE(::testing::Message()
                             << std::hex << "group " << c.group << " geometry " << c.geometry
                             << " probe " << c.probe << " ray masks " << rayMasks << " moving "
                             << moving);
                kxLineOfSightScene::setRayMaskEnable(rayMasks);
                kxLineOfSightScene::releaseAll();
                kuRef<ksNode> root = new ksNode;
                kuRef<kxTransform> group = new kxTransform;
                group->setStaticEnable(!moving);
                group->setIsectMask(c.group);
                kuRef<ksGeometry> ground = square(0);
                ground->setIsectMask(c.geometry);
                group->addChild(ground.get());
                root->addChild(group.get());
                for (int mode : {NEAREST, ANY}) {
                    kuRef<kxIsectorLOS> p = probe({0, 0, 5}, 0, DOWN, mode);
                    p->setTarget(root.get());
                    p->setIsectMask(c.probe);
                    EXPECT_EQ(p->cast(), c.hit ? 1 : -32767) << "mode " << mode;
                }
            }
}

TEST_F(LineOfSightTest, MaskedGeometryDoesNotHideWhatLiesBehindIt) {
    kuRef<ksGeometry> roof = square(10);
    roof->setIsectMask(0x2);
    m_root->addChild(roof.get());
    m_root->addChild(square(0).get());
    for (bool rayMasks : {true, false}) {
        kxLineOfSightScene::setRayMaskEnable(rayMasks);
        kxLineOfSightScene::releaseAll();
        kuRef<kxIsectorLOS> p = probe({0, 0, 20}, 0, DOWN);
        p->setIsectMask(0x1);
        EXPECT_NEAR(castZ(*p), 0, 1e-5);
        // A mask change takes effect at the next cast.
        roof->setIsectMask(0x3);
        EXPECT_NEAR(castZ(*p), 10, 1e-5);
        roof->setIsectMask(0x2);
    }
}

TEST_F(LineOfSightTest, BackFacesCountOnlyWithTheirModeBit) {
    // The lower square faces up, the upper one faces down: seen from above, the upper one shows
    // its back.
    for (bool moving : {false, true}) {
        kuRef<ksNode> root = new ksNode;
        kuRef<kxTransform> holder = new kxTransform;
        holder->setStaticEnable(!moving);
        holder->setPosition(1, 1, 0);
        holder->addChild(square(0).get());
        holder->addChild(square(10, 50, false).get());
        root->addChild(holder.get());
        struct Case {
            int mode;
            double pitch, z;
            bool hit;
            double hitZ, normalZ;
        };
        const Case cases[] = {
            {NEAREST, DOWN, 20, true, 10, 1}, // back of the upper square, normal against the ray
            {NEAREST & ~kxIsectorLOS::MODE_BACKFACES, DOWN, 20, true, 0, 1},
            {ANY & ~kxIsectorLOS::MODE_BACKFACES, DOWN, 20, true, 0, 1},
            {NEAREST, UP, -5, true, 0, -1},
            {NEAREST & ~kxIsectorLOS::MODE_BACKFACES, UP, -5, true, 10, -1},
            {NEAREST & ~kxIsectorLOS::MODE_BACKFACES, UP, 5, true, 10, -1},
            {NEAREST & ~kxIsectorLOS::MODE_BACKFACES, DOWN, 5, true, 0, 1},
            {ANY & ~kxIsectorLOS::MODE_BACKFACES, UP, -5, true, 10, -1},
            {ANY, UP, 15, false, 0, 0},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "moving " << moving << " mode " << c.mode
                                              << " pitch " << c.pitch << " from z " << c.z);
            kuRef<kxIsectorLOS> p = probe({2, 3, c.z}, 0, c.pitch, c.mode);
            p->setTarget(root.get());
            ASSERT_EQ(p->cast(), c.hit ? 1 : -32767);
            if (!c.hit)
                continue;
            expectNear(hitPoint(*p), {2, 3, c.hitZ}, 1e-5);
            expectNear(hitNormal(*p), {0, 0, c.normalZ}, 1e-6);
        }
    }
}

TEST_F(LineOfSightTest, MovingTransformIsRefittedAndStaticOneRebuilt) {
    m_root->addChild(terrain(0, 4).get());
    kuRef<kxTransform> vehicle = new kxTransform;
    vehicle->addChild(square(0, 1).get()); // a 2 x 2 roof, placed 5 up
    vehicle->setPosition(10, 0, 5);
    m_root->addChild(vehicle.get());

    kuRef<kxIsectorLOS> p = probe({10, 0, 20}, 0, DOWN);
    EXPECT_NEAR(castZ(*p), 5, 1e-5);
    const std::shared_ptr<kxLineOfSightScene> scene = kxLineOfSightScene::obtain(m_root.get());
    const int rebuilds = scene->getRebuildCount();
    const int refits = scene->getRefitCount();

    // Nothing changed: nothing is redone.
    ASSERT_EQ(p->cast(), 1);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds);
    EXPECT_EQ(scene->getRefitCount(), refits);

    // The roof drives away and comes back higher.
    vehicle->setPosition(30, 0, 5);
    EXPECT_NEAR(castZ(*p), 0, 1e-5);
    p->setPosition(30, 0.5, 20);
    EXPECT_NEAR(castZ(*p), 5, 1e-5);
    vehicle->setPosition(30, 0, 7);
    EXPECT_NEAR(castZ(*p), 7, 1e-5);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds);
    EXPECT_EQ(scene->getRefitCount(), refits + 2);

    // A static transform is baked into the static scene: moving it rebuilds.
    vehicle->setStaticEnable(true);
    vehicle->setPosition(30, 0, 9);
    EXPECT_NEAR(castZ(*p), 9, 1e-5);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds + 1);
    vehicle->setPosition(30, 0, 3);
    EXPECT_NEAR(castZ(*p), 3, 1e-5);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds + 2);
}

TEST_F(LineOfSightTest, GeometryEditsAndNewChildrenRebuild) {
    kuRef<ksGeometry> floor = square(0);
    m_root->addChild(floor.get());
    kuRef<kxIsectorLOS> p = probe({0, 0, 20}, 0, DOWN);
    ASSERT_EQ(p->cast(), 1);
    const std::shared_ptr<kxLineOfSightScene> scene = kxLineOfSightScene::obtain(m_root.get());
    const int rebuilds = scene->getRebuildCount();

    // The same geometry object, edited in place.
    floor->getGeometry(0)->setVertices(
        {{-50, -50, 4}, {50, -50, 4}, {50, 50, 4}, {-50, -50, 4}, {50, 50, 4}, {-50, 50, 4}});
    EXPECT_NEAR(castZ(*p), 4, 1e-5);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds + 1);

    kuRef<kxTransform> mover = new kxTransform;
    mover->addChild(square(12).get());
    m_root->addChild(mover.get());
    EXPECT_NEAR(castZ(*p), 12, 1e-5);
    EXPECT_EQ(scene->getRebuildCount(), rebuilds + 2);

    m_root->removeChild(mover.get());
    EXPECT_NEAR(castZ(*p), 4, 1e-5);
}

TEST_F(LineOfSightTest, InstanceNormalsAreCarriedToWorldSpace) {
    // The plane z = y, stretched to z = y / 2 by a scale of 2 along y: its normal is the inverse
    // transpose of the stretch applied to (0, -1, 1), not the stretch itself.
    kuRef<kxTransform> stretched = new kxTransform;
    stretched->addChild(triangles({{-50, -50, -50},
                                   {50, -50, -50},
                                   {50, 50, 50},
                                   {-50, -50, -50},
                                   {50, 50, 50},
                                   {-50, 50, 50}})
                            .get());
    stretched->setScale(1, 2, 1);
    m_root->addChild(stretched.get());
    for (bool moving : {true, false}) {
        stretched->setStaticEnable(!moving);
        kuRef<kxIsectorLOS> p = probe({0, 20, 30}, 0, DOWN);
        ASSERT_EQ(p->cast(), 1);
        expectNear(hitPoint(*p), {0, 20, 10}, 1e-4);
        expectNear(hitNormal(*p), {0, -1 / std::sqrt(5.0), 2 / std::sqrt(5.0)}, 1e-5);
    }
    // Turned a quarter about the vertical: the normal turns with it.
    stretched->setStaticEnable(false);
    stretched->setScale(1, 1, 1);
    stretched->setOrientation(90, 0, 0);
    kuRef<kxIsectorLOS> p = probe({-20, 0, 30}, 0, DOWN);
    ASSERT_EQ(p->cast(), 1);
    expectNear(hitPoint(*p), {-20, 0, 20}, 1e-4);
    expectNear(hitNormal(*p), {1 / std::sqrt(2.0), 0, 1 / std::sqrt(2.0)}, 1e-5);
}

TEST_F(LineOfSightTest, HitsOnNoisyTerrainLieOnItsSurface) {
    kuRef<kxTerrain> ground = terrain(20, 64, 2000);
    kuRef<kxTransform> placed = new kxTransform; // a static parent must not change anything
    placed->setStaticEnable(true);
    placed->addChild(ground.get());
    m_root->addChild(placed.get());
    std::mt19937 random(7);
    // Far enough from the edge that even the flattest probe comes down on the terrain.
    std::uniform_real_distribution<double> across(-700, 700), above(5, 60), heading(-180, 180),
        pitch(-90, -20);
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        const double x = across(random), y = across(random);
        kuRef<kxIsectorLOS> p = probe({x, y, ground->getHeightAt(x, y) + above(random)},
                                      heading(random), pitch(random), i % 2 ? NEAREST : ANY, 5000);
        if (p->cast() != 1)
            continue;
        ++hits;
        const kuVec3d point = hitPoint(*p);
        EXPECT_NEAR(point.z, ground->getHeightAt(point.x, point.y), 1e-3);
        const kuVec3d normal = hitNormal(*p);
        EXPECT_NEAR(normal.length(), 1, 1e-6);
        EXPECT_GT(normal.z, 0);
    }
    EXPECT_EQ(hits, 200);
    EXPECT_EQ(ground->getHeightAt(std::nan(""), 0), 0.0); // off the terrain
    // A terrain far larger than the noise's integer cells: the lattice wraps round instead of
    // overflowing (the fuzzing build traps that), and heights keep within the amplitude.
    kuRef<kxTerrain> huge = terrain(20, 4, 2.7e12);
    for (const double x : {0.0, 1e12, -1.3e12})
        EXPECT_LE(std::fabs(huge->getHeightAt(x, x)), 20.0) << x;
}

TEST_F(LineOfSightTest, ServiceRunCastsEveryProbeAndRetiresOnceProbes) {
    m_root->addChild(terrain(0, 4).get());
    kuRef<kxIsectorService> service = new kxIsectorService;
    kuRef<kxIsectorLOS> continuous = probe({1, 2, 10}, 0, DOWN);
    kuRef<kxIsectorLOS> once = probe({3, 4, 10}, 0, DOWN);
    kuRef<kxIsectorLOS> disabled = probe({5, 6, 10}, 0, DOWN, kxIsectorLOS::MODE_NEAREST);
    disabled->setHit({9, 9, 9}, {0, 0, 1});
    service->addIsector(continuous.get(), kxIsectorService::MODE_CONTINUOUS);
    service->addIsector(once.get(), kxIsectorService::MODE_ONCE);
    service->addIsector(disabled.get(), kxIsectorService::MODE_CONTINUOUS);

    EXPECT_EQ(service->run(), 1);
    expectNear(hitPoint(*continuous), {1, 2, 0}, 1e-5);
    expectNear(hitPoint(*once), {3, 4, 0}, 1e-5);
    EXPECT_EQ(disabled->getHitPoint(nullptr), -32767);
    EXPECT_FALSE(service->hasIsector(once.get()));
    EXPECT_TRUE(service->hasIsector(continuous.get()));
    EXPECT_EQ(service->getNumIsectors(), 2);

    // The once probe is no longer cast; startAll runs synchronous services at once.
    once->setPosition(30, 40, 10);
    continuous->setPosition(-7, 8, 10);
    kxIsectorService::startAll();
    expectNear(hitPoint(*continuous), {-7, 8, 0}, 1e-5);
    expectNear(hitPoint(*once), {3, 4, 0}, 1e-5);
}

TEST_F(LineOfSightTest, AsynchronousResultsArriveAtFinishAll) {
    m_root->addChild(terrain(0, 16).get());
    kuRef<kxIsectorServiceAsynchronous> service = new kxIsectorServiceAsynchronous;
    std::vector<kuRef<kxIsectorLOS>> probes;
    for (int i = 0; i < 20; ++i) {
        probes.push_back(probe({i * 3.0, -i * 2.0, 10}, 0, DOWN));
        service->addIsector(probes.back().get(), kxIsectorService::MODE_CONTINUOUS);
    }
    kuRef<kxIsectorLOS> once = probe({-5, -5, 10}, 0, DOWN);
    service->addIsector(once.get(), kxIsectorService::MODE_ONCE);

    kxIsectorService::startAll();
    // Long enough for the worker to have cast these few probes: still nothing is delivered.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& p : probes)
        EXPECT_EQ(p->getHitPoint(nullptr), -32767);
    EXPECT_TRUE(service->hasIsector(once.get()));
    kxIsectorService::finishAll();
    for (int i = 0; i < 20; ++i)
        expectNear(hitPoint(*probes[i]), {i * 3.0, -i * 2.0, 0}, 1e-5);
    expectNear(hitPoint(*once), {-5, -5, 0}, 1e-5);
    EXPECT_FALSE(service->hasIsector(once.get()));

    // The next frame's poses: until finishAll the probes keep the previous results, even if
    // the scene changes in between (the worker casts against what startAll committed).
    for (int i = 0; i < 20; ++i)
        probes[i]->setPosition(i * 3.0, -i * 2.0 + 1, 10);
    kxIsectorService::startAll();
    m_root->addChild(square(2).get());
    for (int i = 0; i < 20; ++i)
        expectNear(hitPoint(*probes[i]), {i * 3.0, -i * 2.0, 0}, 1e-5);
    kxIsectorService::finishAll();
    for (int i = 0; i < 20; ++i)
        expectNear(hitPoint(*probes[i]), {i * 3.0, -i * 2.0 + 1, 0}, 1e-5);

    // A second finishAll has nothing to deliver; run() casts at once, seeing the new square.
    kxIsectorService::finishAll();
    EXPECT_EQ(service->run(), 1);
    expectNear(hitPoint(*probes[0]), {0, 1, 2}, 1e-5);
}

// Runs large enough for the waiting thread to cast part of them beside the worker, probes that
// turn between runs and probes that keep their aim: every result is that of a single cast.
TEST_F(LineOfSightTest, AsynchronousRunsMatchSingleCastsAsProbesTurn) {
    m_root->addChild(terrain(10, 64).get());
    kuRef<kxIsectorServiceAsynchronous> service = new kxIsectorServiceAsynchronous;
    std::vector<kuRef<kxIsectorLOS>> probes, twins;
    for (int i = 0; i < 1000; ++i) {
        const kuVec3d at(-90 + (i % 40) * 4.5, -90 + (i / 40) * 7.0, 30);
        probes.push_back(probe(at, i * 7.0, -20 - i % 60));
        twins.push_back(probe(at, i * 7.0, -20 - i % 60));
        service->addIsector(probes.back().get(), kxIsectorService::MODE_CONTINUOUS);
    }
    for (int frame = 0; frame < 3; ++frame) {
        for (std::size_t i = 1; i < probes.size(); i += 2) {
            const kuVec3d turned = probes[i]->getOrientation() + kuVec3d(37, 5, 0);
            probes[i]->setOrientation(turned.x, turned.y, 0);
            twins[i]->setOrientation(turned.x, turned.y, 0);
        }
        kxIsectorService::startAll();
        kxIsectorService::finishAll();
        int hits = 0;
        for (std::size_t i = 0; i < probes.size(); ++i) {
            const int twinHit = twins[i]->cast();
            ASSERT_EQ(probes[i]->getHitPoint(nullptr), twinHit) << "probe " << i;
            if (twinHit != 1)
                continue;
            ++hits;
            expectNear(hitPoint(*probes[i]), hitPoint(*twins[i]), 1e-9);
        }
        EXPECT_GT(hits, 500);
    }
}

TEST_F(LineOfSightTest, ServicesOfBothKindsShareTargetsInOneFrame) {
    m_root->addChild(terrain(0, 8).get());
    kuRef<kxTransform> mover = new kxTransform;
    mover->addChild(square(0, 2).get());
    m_root->addChild(mover.get());
    kuRef<kxIsectorService> sync = new kxIsectorService;
    kuRef<kxIsectorServiceAsynchronous> async1 = new kxIsectorServiceAsynchronous;
    kuRef<kxIsectorServiceAsynchronous> async2 = new kxIsectorServiceAsynchronous;
    kuRef<kxIsectorLOS> a = probe({0, 0, 30}, 0, DOWN), b = probe({0, 0, 30}, 0, DOWN),
                        c = probe({0, 0, 30}, 0, DOWN);
    sync->addIsector(a.get(), kxIsectorService::MODE_CONTINUOUS);
    async1->addIsector(b.get(), kxIsectorService::MODE_CONTINUOUS);
    async2->addIsector(c.get(), kxIsectorService::MODE_CONTINUOUS);
    for (int frame = 1; frame <= 5; ++frame) {
        kxIsectorService::finishAll();
        if (frame > 1) {
            // The asynchronous results are those of the previous frame's pose.
            EXPECT_NEAR(hitPoint(*b).z, frame - 1, 1e-5);
            EXPECT_NEAR(hitPoint(*c).z, frame - 1, 1e-5);
        }
        mover->setPosition(0, 0, frame);
        kxIsectorService::startAll();
        EXPECT_NEAR(hitPoint(*a).z, frame, 1e-5);
    }
}

TEST_F(LineOfSightTest, DestroyingAServiceWithARunInFlightIsSafe) {
    m_root->addChild(terrain(10, 256, 2000).get());
    for (int round = 0; round < 3; ++round) {
        kuRef<kxIsectorServiceAsynchronous> service = new kxIsectorServiceAsynchronous;
        std::vector<kuRef<kxIsectorLOS>> probes = grid(service.get(), m_root.get());
        kxIsectorService::startAll();
        service.reset();
        kxIsectorService::finishAll();
        // Results of a cancelled run are never delivered.
        for (const auto& p : probes)
            EXPECT_EQ(p->getHitPoint(nullptr), -32767);
    }
}

TEST_F(LineOfSightTest, DeletingTheTargetWithARunInFlightIsSafe) {
    kuRef<ksNode> target = new ksNode;
    target->addChild(terrain(10, 256, 2000).get());
    kuRef<kxIsectorServiceAsynchronous> service = new kxIsectorServiceAsynchronous;
    std::vector<kuRef<kxIsectorLOS>> probes = grid(service.get(), target.get());
    kxIsectorService::startAll();
    target.reset();
    EXPECT_EQ(kxLineOfSightScene::getNumCachedScenes(), 0);
    // The run goes on against what startAll committed; the next one has nothing to aim at.
    kxIsectorService::finishAll();
    EXPECT_EQ(probes[0]->getHitPoint(nullptr), 1);
    kxIsectorService::startAll();
    kxIsectorService::finishAll();
    EXPECT_EQ(probes[0]->getHitPoint(nullptr), -32767);
}

TEST_F(LineOfSightTest, CacheDoesNotKeepTargetsAliveAndReleaseAllStartsAfresh) {
    kuRef<ksNode> other = new ksNode;
    kuRef<ksGeometry> otherGround = square(0);
    other->addChild(otherGround.get());
    m_root->addChild(square(1).get());
    kuRef<kxIsectorLOS> p = probe({0, 0, 5}, 0, DOWN);
    ASSERT_EQ(p->cast(), 1);
    kuRef<kxIsectorLOS> q = probe({0, 0, 5}, 0, DOWN);
    q->setTarget(other.get());
    ASSERT_EQ(q->cast(), 1);
    EXPECT_EQ(kxLineOfSightScene::getNumCachedScenes(), 2);
    // The target goes at once, and its scene with it.
    const int refs = otherGround->getRef();
    other.reset();
    EXPECT_EQ(kxLineOfSightScene::getNumCachedScenes(), 1);
    EXPECT_EQ(otherGround->getRef(), refs - 2); // neither the target nor the scene holds it

    // Releasing the cache also stops watching the targets.
    const int watchers = m_root->getNumSubscribers(ksNode::EVENT_DELETE);
    kxIsectorService::releaseAll();
    EXPECT_EQ(kxLineOfSightScene::getNumCachedScenes(), 0);
    EXPECT_EQ(m_root->getNumSubscribers(ksNode::EVENT_DELETE), watchers - 1);
    EXPECT_NEAR(castZ(*p), 1, 1e-5);
}

} // namespace
