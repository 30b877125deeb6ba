#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <ks/ksThreadBuffer.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

// Footprints computed from probe hits placed by hand, so the geometry is checked on its own.
class LobeFootprintTest : public kxModuleTest {
protected:
    kuRef<kxLightLobe> makeLobe() {
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName("lobe");
        return lobe;
    }
    // Every probe hits flat ground z = 0 straight below the point it aims at.
    static void hitFlatGround(kxLightLobe* lobe, const kuVec3d points[3]) {
        for (int i = 0; i < 3; ++i)
            lobe->getIsector(i)->setHit(points[i], kuVec3f(0, 0, 1));
    }
};

TEST_F(LobeFootprintTest, LobePointingDownOverFlatGround) {
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setPosition(0, 0, 100);
    lobe->setOrientation(0, -90, 0);
    const kuVec3d hits[3] = {{0, -8.7, 0}, {7.6, 4.4, 0}, {-7.6, 4.4, 0}};
    hitFlatGround(lobe.get(), hits);
    kxMessageCapture capture;
    lobe->update(nullptr);

    // The plane through the origin is moved 0.01 along its normal.
    EXPECT_NEAR(lobe->getGroundPlane().length(), 0.01, 1e-12);
    EXPECT_NEAR(std::fabs(lobe->getGroundPlane().z), 0.01, 1e-12);
    const double edge = 100 * 0.176327;
    const double inner = 0.3333 * edge;
    const double xs[4] = {-edge, -inner, inner, edge};
    const double ys[4] = {edge, inner, -inner, -edge}; // row 0 is the top edge of the beam
    for (int k = 0; k < 16; ++k) {
        const kuVec3d& v = lobe->getVertex(k);
        EXPECT_NEAR(v.x, xs[k % 4], 0.01) << k;
        EXPECT_NEAR(v.y, ys[k / 4], 0.01) << k;
        EXPECT_NEAR(v.z, 0.0, 0.011) << k;
    }
    for (int k : {5, 6, 9, 10})
        EXPECT_NEAR(lobe->getVertexBrightness(k), 0.8094, 0.0005) << k;
    EXPECT_LT(lobe->getVertexBrightness(0), lobe->getVertexBrightness(5));
    EXPECT_EQ(capture.countContaining("Got valid hit for lobe lobe"), 1);
    EXPECT_EQ(capture.countContaining("good, t="), 16);
    // Bounds: a sphere of the fade range around the lobe's position.
    EXPECT_EQ(lobe->getBounds().radius, 1000.0);
    EXPECT_EQ(lobe->getBounds().center, kuVec3d(0, 0, 100));
}

TEST_F(LobeFootprintTest, LevelLobePlacesUpperRowsFarAwayAndDark) {
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setPosition(0, 0, 2);
    lobe->setOrientation(0, 0, 0);
    // The lowest probe reaches the ground ahead; the two upper ones miss.
    lobe->getIsector(0)->setHit(kuVec3d(0, 40, 0), kuVec3f(0, 0, 1));
    lobe->update(nullptr);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d(0, 0, 0.01));
    for (int k = 0; k < 8; ++k) {
        // Rows 0 and 1 point up or level-ish above the horizon: 100000 units out, unlit.
        EXPECT_NEAR(lobe->getVertex(k).length(), 100000.0, 50.0) << k;
        EXPECT_EQ(lobe->getVertexBrightness(k), 0.0f) << k;
    }
    for (int k = 8; k < 16; ++k) {
        EXPECT_NEAR(lobe->getVertex(k).z, 0.01, 1e-9) << k;
        EXPECT_GT(lobe->getVertex(k).y, 0.0) << k;
        EXPECT_GT(lobe->getVertexBrightness(k), 0.0f) << k;
    }
}

// The footprint as first written, one vertex at a time through the lobe's world matrix.
void referenceFootprint(const kxLightLobe& lobe, kuVec3d vertices[16], float brightness[16]) {
    const kuVec3d& a = lobe.getAbsolutePositionValue();
    const kuVec3d& o = lobe.getAbsoluteOrientationValue();
    kuMatrixd world, step;
    world.makeRotate(o.x, o.y, o.z);
    step.makeTranslate(a.x, a.y, a.z);
    world.postMultiply(step);
    const float angle = static_cast<float>(lobe.getSpreadAngle() / 114.59156);
    const float t = static_cast<float>(std::tan(static_cast<double>(angle)));
    const double rowZ[4] = {t, 0.3333 * t, -0.3333 * t, -t};
    const double columnX[4] = {-t, -0.3333 * t, 0.3333 * t, t};
    const kuVec3d origin = world.transformPoint(kuVec3d(0, 0, 0));
    const kuVec3d& plane = lobe.getGroundPlane();
    const double numer = plane.dot(plane - origin);
    const kuVec3d below = origin + plane * (numer / plane.dot(plane));
    for (int k = 0; k < 16; ++k) {
        kuVec3d ray = world.transformPoint(kuVec3d(columnX[k % 4], 1.0, rowZ[k / 4])) - origin;
        ray.normalize();
        const double tk = numer / plane.dot(ray);
        kuVec3d point = origin + ray * tk;
        if (!(tk > 0)) {
            kuVec3d u = ray.cross(plane);
            u.normalize();
            kuVec3d w = plane.cross(u);
            w.normalize();
            point = below + w * 100000.0;
        }
        const double dist = (point - origin).length();
        const double fade = 1.0 - dist / lobe.getFadeRange();
        const double b = dist < lobe.getFadeRange() ? lobe.getBrightness() * fade * fade : 0.0;
        vertices[k] = point;
        brightness[k] = b > 0 ? static_cast<float>(b) : 0.0f;
    }
}

// Random poses (some scaled, some looking above the horizon) over random sloping ground: the
// footprint agrees with the reference to float precision.
TEST_F(LobeFootprintTest, FootprintMatchesTheVertexByVertexReference) {
    std::mt19937 random(15);
    auto uniform = [&random](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(random);
    };
    for (int i = 0; i < 300; ++i) {
        kuRef<kxLightLobe> lobe = makeLobe();
        const kuVec3d at(uniform(-1000, 1000), uniform(-1000, 1000), uniform(1, 300));
        lobe->setPosition(at.x, at.y, at.z);
        lobe->setOrientation(uniform(-180, 180), uniform(-89, 30), uniform(-30, 30));
        if (i % 3 == 0)
            lobe->setScale(uniform(0.5, 2), uniform(0.5, 2), uniform(0.5, 2));
        lobe->setSpreadAngle(static_cast<float>(uniform(1, 60)));
        lobe->setFadeRange(static_cast<float>(uniform(50, 2000)));
        lobe->setBrightness(static_cast<float>(uniform(0.1, 2)));
        const double slopeX = uniform(-0.3, 0.3), slopeY = uniform(-0.3, 0.3);
        const double ground = uniform(-50, 0);
        for (int k = 0; k < 3; ++k) {
            const double x = at.x + 20 * std::cos(2.1 * k), y = at.y + 20 * std::sin(2.1 * k);
            lobe->getIsector(k)->setHit(kuVec3d(x, y, ground + slopeX * x + slopeY * y),
                                        kuVec3f(0, 0, 1));
        }
        lobe->update(nullptr);
        kuVec3d position, orientation;
        lobe->getAbsolutePosition(&position, &orientation, nullptr, nullptr);
        EXPECT_EQ(lobe->getAbsolutePositionValue(), position) << i;
        EXPECT_EQ(lobe->getAbsoluteOrientationValue(), orientation) << i;
        kuVec3d vertices[16];
        float brightness[16];
        referenceFootprint(*lobe, vertices, brightness);
        for (int k = 0; k < 16; ++k) {
            const double tolerance = 1e-9 * std::max(1.0, vertices[k].length());
            EXPECT_NEAR((lobe->getVertex(k) - vertices[k]).length(), 0.0, tolerance)
                << i << "," << k;
            EXPECT_NEAR(lobe->getVertexBrightness(k), brightness[k], 1e-6f) << i << "," << k;
        }
    }
}

// One lobe over many frames, turned, moved or widened between some of them and left alone
// between others: what it keeps from frame to frame must follow every change.
TEST_F(LobeFootprintTest, OneLobeFollowsEveryChangeOfPoseAndSpread) {
    std::mt19937 random(7);
    auto uniform = [&random](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(random);
    };
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setPosition(0, 0, 100);
    lobe->setOrientation(0, -60, 0);
    for (int frame = 0; frame < 120; ++frame) {
        switch (frame % 5) {
        case 0:
            lobe->setPosition(uniform(-100, 100), uniform(-100, 100), uniform(1, 300));
            break;
        case 1:
            lobe->setOrientation(uniform(-180, 180), uniform(-89, 30), uniform(-30, 30));
            break;
        case 2:
            lobe->setSpreadAngle(static_cast<float>(uniform(1, 60)));
            break;
        case 3:
            lobe->setScale(uniform(0.5, 2), uniform(0.5, 2), uniform(0.5, 2));
            break;
        default:
            break; // unchanged
        }
        const kuVec3d at = lobe->getPosition();
        for (int k = 0; k < 3; ++k) {
            const double x = at.x + 20 * std::cos(2.1 * k), y = at.y + 20 * std::sin(2.1 * k);
            lobe->getIsector(k)->setHit(kuVec3d(x, y, -10 + 0.1 * x), kuVec3f(0, 0, 1));
        }
        lobe->update(nullptr);
        kuVec3d position, orientation;
        lobe->getAbsolutePosition(&position, &orientation, nullptr, nullptr);
        ASSERT_EQ(lobe->getAbsoluteOrientationValue(), orientation) << frame;
        const double q = lobe->getSpreadAngle() / 4.0;
        const double headings[3] = {orientation.x, orientation.x + 0.866 * q,
                                    orientation.x - 0.866 * q};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(lobe->getIsector(i)->getPosition(), position) << frame << "," << i;
            EXPECT_EQ(lobe->getIsector(i)->getOrientation().x, headings[i]) << frame << "," << i;
        }
        kuVec3d vertices[16];
        float brightness[16];
        referenceFootprint(*lobe, vertices, brightness);
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR((lobe->getVertex(k) - vertices[k]).length(), 0.0,
                        1e-9 * std::max(1.0, vertices[k].length()))
                << frame << "," << k;
    }
}

struct HitCase {
    const char* name;
    bool valid[3];
    kuVec3d expectedPlane;
};

TEST_F(LobeFootprintTest, CombinationsOfProbeHits) {
    const kuVec3d points[3] = {{1, 0, -2}, {0, 10, -5}, {3, 0, -4}};
    const kuVec3f normals[3] = {{0, 0, 1}, {0, 0, 1}, {0, 1, 0}};
    const double h = std::sqrt(0.5);
    const HitCase cases[] = {
        // hit point (p2 + p3)/2 = (1.5, 5, -4.5), normal (0, .5, .5)
        {"I2 and I3", {false, true, true}, kuVec3d(0, h, h) * ((5 - 4.5) * h)},
        // hit point p3 = (3, 0, -4), normal n3 = (0, 1, 0): d is 0 and becomes 0.01
        {"I3 only", {false, false, true}, kuVec3d(0, 0.01, 0)},
        // hit point (2, 0, -3), normal (0, .5, .5)
        {"I1 and I3", {true, false, true}, kuVec3d(0, h, h) * (-3 * h)},
        {"I2 only", {false, true, false}, kuVec3d(0, 0, -5)},
    };
    for (const HitCase& c : cases) {
        kuRef<kxLightLobe> lobe = makeLobe();
        for (int i = 0; i < 3; ++i)
            if (c.valid[i])
                lobe->getIsector(i)->setHit(points[i], normals[i]);
        lobe->update(nullptr);
        const kuVec3d plane = lobe->getGroundPlane();
        EXPECT_NEAR(plane.x, c.expectedPlane.x, 1e-9) << c.name;
        EXPECT_NEAR(plane.y, c.expectedPlane.y, 1e-9) << c.name;
        EXPECT_NEAR(plane.z, c.expectedPlane.z, 1e-9) << c.name;
    }
}

TEST_F(LobeFootprintTest, AllThreeHitsUseTheTrianglesNormal) {
    kuRef<kxLightLobe> lobe = makeLobe();
    // A slope rising along +y: z = 0.5 y + 10.
    const kuVec3d points[3] = {{0, 0, 10}, {4, 2, 11}, {-4, 2, 11}};
    for (int i = 0; i < 3; ++i)
        lobe->getIsector(i)->setHit(points[i], kuVec3f(0, 0, 1)); // normals ignored
    lobe->update(nullptr);
    kuVec3d n(0, -0.5, 1);
    n.normalize();
    const double d = kuVec3d(0, 4.0 / 3.0, 32.0 / 3.0).dot(n);
    const kuVec3d expected = n * d; // independent of the normal's sign
    EXPECT_NEAR(lobe->getGroundPlane().x, expected.x, 1e-9);
    EXPECT_NEAR(lobe->getGroundPlane().y, expected.y, 1e-9);
    EXPECT_NEAR(lobe->getGroundPlane().z, expected.z, 1e-9);
}

TEST_F(LobeFootprintTest, NoHitKeepsThePreviousPlaneAndADarkFootprint) {
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->update(nullptr);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d());
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(lobe->getVertexBrightness(k), 0.0f);
        EXPECT_TRUE(std::isfinite(lobe->getVertex(k).length()));
    }
    lobe->getIsector(1)->setHit(kuVec3d(0, 0, -3), kuVec3f(0, 0, 1));
    lobe->update(nullptr);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d(0, 0, -3));
    lobe->getIsector(1)->clearHit();
    lobe->update(nullptr);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d(0, 0, -3));
}

TEST_F(LobeFootprintTest, NonFiniteInputsGiveNoLight) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        kuVec3d position, orientation;
        float spread;
    } cases[] = {{"position", {nan, 0, 10}, {0, -90, 0}, 20.0f},
                 {"orientation", {0, 0, 10}, {0, nan, 0}, 20.0f},
                 {"spread", {0, 0, 10}, {0, -90, 0}, std::numeric_limits<float>::infinity()}};
    for (const Case& c : cases) {
        kuRef<kxLightLobe> lobe = makeLobe();
        lobe->setPosition(c.position.x, c.position.y, c.position.z);
        lobe->setOrientation(c.orientation.x, c.orientation.y, c.orientation.z);
        lobe->setSpreadAngle(c.spread);
        lobe->getIsector(0)->setHit(kuVec3d(0, 0, 0), kuVec3f(0, 0, 1));
        lobe->update(nullptr);
        for (int k = 0; k < 16; ++k) {
            EXPECT_TRUE(std::isfinite(lobe->getVertex(k).length())) << c.name << " " << k;
            EXPECT_EQ(lobe->getVertexBrightness(k), 0.0f) << c.name << " " << k;
        }
    }
}

TEST_F(LobeFootprintTest, ProbesArePosedAroundTheBeam) {
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setPosition(5, 6, 7);
    lobe->setOrientation(30, -10, 0);
    lobe->setFadeRange(250);
    lobe->update(nullptr);
    const double q = 20.0 / 4.0;
    const double expected[3][2] = {
        {30, -10 - q}, {30 + 0.866 * q, -10 + 0.5 * q}, {30 - 0.866 * q, -10 + 0.5 * q}};
    for (int i = 0; i < 3; ++i) {
        kxIsectorLOS* isector = lobe->getIsector(i);
        EXPECT_NEAR(isector->getPosition().x, 5, 1e-9);
        EXPECT_NEAR(isector->getPosition().z, 7, 1e-9);
        EXPECT_NEAR(isector->getOrientation().x, expected[i][0], 1e-9) << i;
        EXPECT_NEAR(isector->getOrientation().y, expected[i][1], 1e-9) << i;
        EXPECT_EQ(isector->getSegmentRange(), 1000.0);
    }
}

TEST_F(LobeFootprintTest, TextureMatrixProjectsTheCone) {
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->update(nullptr);
    // A point on the cone's axis one unit ahead (eye space looks down -z) maps to the centre,
    // a point on the cone's edge to the texture's edge.
    const kuMatrixf& m = lobe->getTextureMatrix();
    const kuVec4f centre = m.transform(kuVec4f(0, 0, -1, 1));
    EXPECT_NEAR(centre.x / centre.w, 0.5f, 1e-6f);
    EXPECT_NEAR(centre.y / centre.w, 0.5f, 1e-6f);
    const float r = std::tan(10.0f * 3.14159265f / 180.0f);
    const kuVec4f edge = m.transform(kuVec4f(r, -r, -1, 1));
    EXPECT_NEAR(edge.x / edge.w, 1.0f, 1e-5f);
    EXPECT_NEAR(edge.y / edge.w, 0.0f, 1e-5f);

    lobe->setSpreadAngle(0.0f);
    lobe->update(nullptr);
    const kuVec4f anywhere = lobe->getTextureMatrix().transform(kuVec4f(0, 0, -1, 1));
    EXPECT_LT(anywhere.x / anywhere.w, 0.0f); // outside the texture: unlit
}

TEST_F(LobeFootprintTest, UpdateQueuesTheFootprintForTheClones) {
    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setPosition(0, 0, 100);
    lobe->setOrientation(0, -90, 0);
    const kuVec3d hits[3] = {{0, -8.7, 0}, {7.6, 4.4, 0}, {-7.6, 4.4, 0}};
    hitFlatGround(lobe.get(), hits);
    ksThreadBuffer::synchronize();
    lobe->update(nullptr);
    auto* clone = static_cast<kxLightLobe*>(lobe->getClone(pipeline->getIndex()));
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->getVertexBrightness(5), 0.0f);
    ksThreadBuffer::synchronize();
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(clone->getVertex(k), lobe->getVertex(k));
        EXPECT_EQ(clone->getVertexBrightness(k), lobe->getVertexBrightness(k));
    }
    EXPECT_EQ(clone->getTextureMatrix(), lobe->getTextureMatrix());
    EXPECT_EQ(clone->getAbsolutePositionValue(), kuVec3d(0, 0, 100));
    EXPECT_NEAR(clone->getAbsoluteOrientationValue().y, -90.0, 1e-9);
    ksThreadBuffer::destroy(pipeline);
}

TEST_F(LobeFootprintTest, StaticLobeFreezesAndLeavesTheServiceAfterItsFirstHit) {
    m_module->preConfigure(); // no lobes yet: no service
    kuRef<kxIsectorService> service = new kxIsectorService;
    kxLightMap::instance()->setIsectorService(service.get());
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setStaticEnable(true);
    EXPECT_EQ(service->getNumIsectors(), 3);
    lobe->update(nullptr); // no hit yet: keeps looking
    EXPECT_FALSE(lobe->getStaticDone());
    EXPECT_EQ(service->getNumIsectors(), 3);
    lobe->getIsector(0)->setHit(kuVec3d(0, 0, -1), kuVec3f(0, 0, 1));
    lobe->update(nullptr);
    EXPECT_TRUE(lobe->getStaticDone());
    EXPECT_EQ(service->getNumIsectors(), 0);
    EXPECT_FALSE(lobe->getIsectEnable());
    // Frozen: a new hit changes nothing.
    lobe->getIsector(0)->setHit(kuVec3d(0, 0, -9), kuVec3f(0, 0, 1));
    lobe->update(nullptr);
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d(0, 0, -1));
    // No longer static: back in the service, updating again.
    lobe->setStaticEnable(false);
    lobe->update(nullptr);
    EXPECT_EQ(service->getNumIsectors(), 3);
    EXPECT_TRUE(lobe->getIsectEnable());
    EXPECT_EQ(lobe->getGroundPlane(), kuVec3d(0, 0, -9));
}

TEST_F(LobeFootprintTest, IsectDisableWaitsForAHit) {
    kuRef<kxIsectorService> service = new kxIsectorService;
    kxLightMap::instance()->setIsectorService(service.get());
    kuRef<kxLightLobe> lobe = makeLobe();
    lobe->setIsectEnable(false);
    lobe->update(nullptr);
    EXPECT_EQ(service->getNumIsectors(), 3); // never hit: probes stay
    lobe->getIsector(2)->setHit(kuVec3d(0, 0, -1), kuVec3f(0, 0, 1));
    lobe->update(nullptr);
    EXPECT_EQ(service->getNumIsectors(), 0);
    EXPECT_FALSE(lobe->getRemoveIsectorsPending());
    EXPECT_FALSE(lobe->getIsectEnable());
}

} // namespace
