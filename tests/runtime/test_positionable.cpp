// Positionables and placed transforms: matrices, absolute placement, strategies, converters.
#include "kxCoordConverterFlatEarth.h"

#include <ks/ksThreadBuffer.h>
#include <kx/kxKernel.h>
#include <kx/kxStrategy.h>
#include <kx/kxTransform.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

void expectNear(const kuVec3d& actual, const kuVec3d& expected, double tolerance = 1e-9) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

class PositionableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kxKernel::initialize(0, nullptr), 1); }
    void TearDown() override { kxKernel::shutdown(); }
};

kuRef<kxTransform> placed(const kuVec3d& position, double heading, double pitch = 0) {
    kuRef<kxTransform> transform = new kxTransform;
    transform->setPosition(position.x, position.y, position.z);
    transform->setOrientation(heading, pitch, 0);
    return transform;
}

TEST_F(PositionableTest, MatrixIsScaleThenRollPitchHeadingThenTranslation) {
    struct Case {
        kuVec3d position, hpr, scale, point, expected;
    };
    const Case cases[] = {
        {{1, 2, 3}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {1, 2, 3}},
        {{0, 0, 0}, {90, 0, 0}, {1, 1, 1}, {0, 1, 0}, {-1, 0, 0}},
        {{0, 0, 0}, {0, 90, 0}, {1, 1, 1}, {0, 1, 0}, {0, 0, 1}},
        {{0, 0, 0}, {0, 0, 90}, {1, 1, 1}, {1, 0, 0}, {0, 0, -1}},
        // Pitch before heading: +Y goes up and the heading leaves it there.
        {{0, 0, 0}, {90, 90, 0}, {1, 1, 1}, {0, 1, 0}, {0, 0, 1}},
        // Roll before pitch: +X goes down, then pitch turns down to +Y.
        {{0, 0, 0}, {0, 90, 90}, {1, 1, 1}, {1, 0, 0}, {0, 1, 0}},
        // Scale before rotation before translation.
        {{10, 0, 0}, {90, 0, 0}, {2, 3, 4}, {1, 0, 0}, {10, 2, 0}},
        {{10, 0, 0}, {90, 0, 0}, {2, 3, 4}, {0, 1, 0}, {7, 0, 0}},
    };
    for (const Case& c : cases) {
        kuRef<kxTransform> transform = new kxTransform;
        transform->setScale(c.scale.x, c.scale.y, c.scale.z);
        transform->setOrientation(c.hpr.x, c.hpr.y, c.hpr.z);
        transform->setPosition(c.position.x, c.position.y, c.position.z);
        SCOPED_TRACE(::testing::Message() << "hpr " << c.hpr.x << "," << c.hpr.y << "," << c.hpr.z);
        expectNear(transform->getMatrix().transformPoint(c.point), c.expected);
    }
}

TEST_F(PositionableTest, TranslateAndRelativeRotateAccumulate) {
    kuRef<kxTransform> transform = placed({1, 2, 3}, 10);
    transform->translate(1, -2, 0.5);
    transform->setRotate(5, 1, 2, true);
    transform->setRotate(5, 0, 0, true);
    double x, y, z, h, p, r;
    transform->getPosition(x, y, z);
    transform->getOrientation(h, p, r);
    expectNear({x, y, z}, {2, 0, 3.5});
    expectNear({h, p, r}, {20, 1, 2});
    expectNear(transform->getMatrix().getTrans(), {2, 0, 3.5});
    transform->setRotate(-30, 0, 0, false);
    expectNear(transform->getOrientation(), {-30, 0, 0});
}

TEST_F(PositionableTest, AbsolutePositionThroughTheParentChain) {
    kuRef<kxTransform> parent = placed({100, 0, 0}, 90);
    kuRef<ksNode> group = new ksNode; // not a transform: passed through
    kuRef<kxTransform> child = placed({0, 10, 0}, 0, 30);
    kuRef<kxTransform> grandchild = placed({0, 5, 0}, 0);
    parent->addChild(group.get());
    group->addChild(child.get());
    child->addChild(grandchild.get());

    kuVec3d position, orientation, scale;
    ASSERT_EQ(child->getAbsolutePosition(&position, &orientation, &scale, nullptr), 1);
    expectNear(position, {90, 0, 0});
    expectNear(orientation, {90, 30, 0});
    expectNear(scale, {1, 1, 1});
    // (0,5,0) pitched up 30 degrees, moved to the child, turned 90 degrees, moved to the parent.
    ASSERT_EQ(grandchild->getAbsolutePosition(&position, &orientation, nullptr, nullptr), 1);
    expectNear(position, {100 - 10 - 5 * std::cos(M_PI / 6), 0, 5 * std::sin(M_PI / 6)});
    expectNear(orientation, {90, 30, 0});

    parent->setScale(2, 2, 2);
    ASSERT_EQ(child->getAbsolutePosition(&position, nullptr, &scale, nullptr), 1);
    expectNear(position, {80, 0, 0});
    expectNear(scale, {2, 2, 2});
}

// Moves its target by delta along x; optionally drops itself from the target while running.
class Mover : public kxStrategy {
public:
    explicit Mover(int* runs) : m_runs(runs) {}
    bool dropSelf = false;
    void update(kxPositionable* target, double time, double delta) override {
        lastTime = time;
        target->translate(delta, 0, 0);
        if (dropSelf)
            target->setStrategy(nullptr);
        ++*m_runs; // touches the strategy after it was dropped
    }
    double lastTime = 0;

protected:
    ~Mover() override = default;

private:
    int* m_runs;
};

TEST_F(PositionableTest, StrategyRunsOnlyWhenEnabled) {
    kxPositionable target;
    target.runStrategy(1, 1); // none: nothing happens
    int runs = 0;
    kuRef<Mover> mover = new Mover(&runs);
    target.setStrategy(mover.get());
    EXPECT_EQ(target.getStrategy(), mover.get());
    target.runStrategy(2.5, 0.5);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(mover->lastTime, 2.5);
    EXPECT_EQ(target.getPosition().x, 0.5);

    target.setStrategyEnable(false);
    target.runStrategy(3, 0.5);
    EXPECT_EQ(runs, 1);
    target.setStrategyEnable(true);

    // The strategy may remove itself while it runs, even when nobody else holds it.
    Mover* last = new Mover(&runs);
    last->dropSelf = true;
    target.setStrategy(last);
    target.runStrategy(4, 1);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(target.getStrategy(), nullptr);
}

TEST_F(PositionableTest, OnlyTheMasterRunsItsStrategy) {
    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    int runs = 0;
    kuRef<Mover> mover = new Mover(&runs);
    kuRef<kxTransform> node = new kxTransform;
    node->setStrategy(mover.get());
    ksThreadBuffer::synchronize(); // the clone is made, with the master's strategy setting
    auto* clone = static_cast<kxTransform*>(node->getClone(pipeline->getIndex()));
    ASSERT_NE(clone, nullptr);
    // A clone moving by itself would also race with the pipeline culling it.
    kxPositionable::runAllStrategies(1, 1);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(node->getPosition().x, 1.0);
    EXPECT_EQ(clone->getPosition().x, 0.0);
    ksThreadBuffer::synchronize();
    EXPECT_EQ(clone->getPosition().x, 1.0);
    kxPositionable::runAllStrategies(2, 1);
    EXPECT_EQ(runs, 2);
    ksThreadBuffer::destroy(pipeline);
}

TEST_F(PositionableTest, FlatEarthScaleAndRoundTrip) {
    kuRef<kxCoordConverterFlatEarth> converter = new kxCoordConverterFlatEarth;
    struct Case {
        double latitude, dLat, dLon, metres;
    };
    const Case cases[] = {{0, 1, 0, 110570}, {89, 1, 0, 111690}, {60, 0, 1, 55800}};
    for (const Case& c : cases) {
        ASSERT_EQ(converter->setOrigin(c.latitude, 20), 1);
        kuVec3d local;
        ASSERT_EQ(converter->toLocal(kuVec3d(c.latitude + c.dLat, 20 + c.dLon, 7), &local), 1);
        EXPECT_NEAR(std::hypot(local.x, local.y), c.metres, c.metres * 1e-3) << c.latitude;
        EXPECT_NEAR(local.z, 7, 1e-12);
    }

    ASSERT_EQ(converter->setOrigin(45.5, -73.6), 1);
    const kuVec3d start(1234.5, -5678.25, 90);
    kuVec3d geodetic, back;
    ASSERT_EQ(converter->toGeodetic(start, &geodetic), 1);
    EXPECT_GT(geodetic.x, 45.5 - 0.1);
    EXPECT_LT(geodetic.x, 45.5);
    ASSERT_EQ(converter->toLocal(geodetic, &back), 1);
    expectNear(back, start, 1e-6);

    // Across the antimeridian the short way round; bad origins are refused and change nothing.
    ASSERT_EQ(converter->setOrigin(0, 179.99), 1);
    ASSERT_EQ(converter->toLocal(kuVec3d(0, -179.99, 0), &back), 1);
    EXPECT_NEAR(back.x, 0.02 * 6378137.0 * M_PI / 180, 1e-6);
    for (double latitude : {90.0, -90.0, std::nan("")})
        EXPECT_EQ(converter->setOrigin(latitude, 0), -32767);
    EXPECT_EQ(converter->setOrigin(0, std::nan("")), -32767);
    EXPECT_EQ(converter->getOriginLongitude(), 179.99);
}

// A converter that cannot convert anything.
class BrokenConverter : public kxCoordConverter {
public:
    int toGeodetic(const kuVec3d&, kuVec3d*) const override { return -32767; }
    int toLocal(const kuVec3d&, kuVec3d*) const override { return -32767; }

protected:
    ~BrokenConverter() override = default;
};

TEST_F(PositionableTest, PositionsGivenInAnotherFrameAreConverted) {
    kuRef<kxCoordConverterFlatEarth> own = new kxCoordConverterFlatEarth;
    kuRef<kxCoordConverterFlatEarth> other = new kxCoordConverterFlatEarth;
    ASSERT_EQ(other->setOrigin(0, 0.01), 1);
    const double metresPerDegree = 6378137.0 * M_PI / 180; // along the equator

    kuRef<kxTransform> transform = new kxTransform;
    transform->setPosition(1, 2, 3, other.get()); // no frame of its own: taken as given
    expectNear(transform->getPosition(), {1, 2, 3});
    transform->setCoordConverter(own.get());
    transform->setPosition(0, 0, 5, other.get());
    expectNear(transform->getPosition(), {0.01 * metresPerDegree, 0, 5}, 1e-6);
    expectNear(transform->getMatrix().getTrans(), transform->getPosition());
    kuVec3d position;
    ASSERT_EQ(transform->getAbsolutePosition(&position, nullptr, nullptr, other.get()), 1);
    expectNear(position, {0, 0, 5}, 1e-6);
    transform->setPosition(1, 2, 3, own.get());
    expectNear(transform->getPosition(), {1, 2, 3});

    kuRef<BrokenConverter> broken = new BrokenConverter;
    transform->setPosition(9, 9, 9, broken.get());
    expectNear(transform->getPosition(), {1, 2, 3});
    EXPECT_EQ(transform->getAbsolutePosition(&position, nullptr, nullptr, broken.get()), -32767);
}

TEST_F(PositionableTest, PlacedTransformCopiesAndClonesCarryThePositionable) {
    kuRef<kxTransform> transform = placed({1, 2, 3}, 45, 10);
    transform->setScale(2, 2, 2);
    kuRef<kxTransform> copy = static_cast<kxTransform*>(transform->makeCopy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->compare(transform.get()));
    EXPECT_EQ(copy->getMatrix(), transform->getMatrix());
    copy->translate(0, 0, 1);
    EXPECT_FALSE(copy->compare(transform.get()));

    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    transform->setPosition(5, 6, 7);
    transform->setRotate(10, 0, 0, true);
    ksThreadBuffer::synchronize();
    const auto* clone = static_cast<const kxTransform*>(transform->getClone(pipeline->getIndex()));
    ASSERT_NE(clone, nullptr);
    EXPECT_TRUE(clone->compare(transform.get()));
    EXPECT_EQ(clone->getMatrix(), transform->getMatrix());
    // What the clone queued while taking the update goes nowhere.
    EXPECT_EQ(pipeline->getNumPendingUpdates(), 0u);
}

} // namespace
