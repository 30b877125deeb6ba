// Where a node lies (the locate traversal) and the symmetric perspective of a projector.
#include <kr/krTransform.h>
#include <ks/ksChannel.h>
#include <ks/ksTransform.h>
#include <ks/ksTraversalLocate.h>
#include <kx/kxKernel.h>
#include <kx/kxTransform.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

class LocateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kxKernel::initialize(0, nullptr), 1); }
    void TearDown() override { kxKernel::shutdown(); }
};

void expectPoint(const kuVec3d& actual, const kuVec3d& expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
    EXPECT_NEAR(actual.z, expected.z, 1e-9);
}

// A tower (moved and turned) carrying a lamp (moved, pitched and scaled) under a plain node: the
// lamp's origin and forward axis land where the chain of matrices puts them.
TEST_F(LocateTest, ModesGatherTheMatricesUpTheParentChain) {
    kuRef<ksTransform> tower = new ksTransform;
    kuMatrixd turn, move;
    turn.makeRotate(90, 0, 0);
    move.makeTranslate(100, 0, 0);
    tower->setMatrix(turn * move);
    kuRef<ksNode> group = new ksNode;
    kuRef<kxTransform> lamp = new kxTransform;
    lamp->setPosition(0, 10, 60, nullptr);
    lamp->setOrientation(0, -90, 0);
    lamp->setScale(2, 2, 2);
    tower->addChild(group.get());
    group->addChild(lamp.get());

    struct Case {
        int mode;
        kuVec3d origin;  // the node's origin in world coordinates
        kuVec3d forward; // where (0, 1, 0) of the node's coordinates lands
    };
    const Case cases[] = {
        // Turned 90 degrees counter-clockwise: the lamp's +y offset points along -x.
        {ksTraversalLocate::MODE_WORLD, {90, 0, 60}, {90, 0, 58}},
        {ksTraversalLocate::MODE_PARENT, {100, 0, 0}, {99, 0, 0}},
    };
    ksTraversalLocate locate;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(locate.setMode(c.mode), 1);
        EXPECT_EQ(locate.visit(lamp.get()), ksTraversal::RESULT_CONTINUE);
        EXPECT_EQ(locate.getNumVisited(), 3);
        const kuMatrixd& world = locate.getTopMatrixStack();
        expectPoint(world.transformPoint({0, 0, 0}), c.origin);
        expectPoint(world.transformPoint({0, 1, 0}), c.forward);
    }
    // The world mode agrees with the transform's own walk.
    locate.setMode(ksTraversalLocate::MODE_WORLD);
    locate.visit(lamp.get());
    EXPECT_EQ(locate.getTopMatrixStack(), lamp->getWorldMatrix());
}

TEST_F(LocateTest, NullNodeAndUnknownModes) {
    ksTraversalLocate locate;
    kuRef<ksTransform> node = new ksTransform;
    kuMatrixd move;
    move.makeTranslate(1, 2, 3);
    node->setMatrix(move);
    locate.visit(node.get());
    EXPECT_EQ(locate.visit(nullptr), ksTraversal::RESULT_STOP);
    EXPECT_TRUE(locate.getTopMatrixStack().isIdentity());
    for (int mode : {0, 3, -2}) {
        EXPECT_EQ(locate.setMode(mode), -32767) << mode;
        EXPECT_EQ(locate.getMode(), ksTraversalLocate::MODE_WORLD);
    }
}

// The projector's perspective: equal to the channel's for the same field, points on the edge of
// the field land on the edge of the clip square, and values outside the ranges are refused.
TEST_F(LocateTest, SymmetricPerspective) {
    struct Case {
        double fovX, fovY, nearClip, farClip;
    };
    const Case cases[] = {{30, 30, 1, 35000}, {60, 46.8, 1, 5000}, {0.5, 120, 0.1, 10}};
    for (const Case& c : cases) {
        krTransform::ElementProjection projection;
        ASSERT_EQ(projection.makeSymmetric(c.fovX, c.fovY, c.nearClip, c.farClip), 1);
        kuRef<ksChannel> channel = new ksChannel;
        channel->setProjection(c.fovX, c.fovY, c.nearClip, c.farClip);
        const kuMatrixd expected = channel->getProjectionMatrix();
        for (int i = 0; i < 16; ++i)
            EXPECT_NEAR(projection.matrix.ptr()[i], expected.ptr()[i],
                        1e-12 * std::max(1.0, std::fabs(expected.ptr()[i])));
        const double d = 0.5 * (c.nearClip + c.farClip);
        const double pi = std::acos(-1.0);
        const kuVec4<double> edge(d * std::tan(c.fovX * pi / 360), -d * std::tan(c.fovY * pi / 360),
                                  -d, 1);
        const kuVec4<double> clip = projection.matrix.transform(edge);
        EXPECT_NEAR(clip.x / clip.w, 1.0, 1e-9);
        EXPECT_NEAR(clip.y / clip.w, -1.0, 1e-9);
        EXPECT_NEAR(projection.matrix.transform({0, 0, -c.nearClip, 1}).z /
                        projection.matrix.transform({0, 0, -c.nearClip, 1}).w,
                    -1.0, 1e-9);
    }
    const Case refused[] = {
        {0, 30, 1, 10}, {30, 181, 1, 10}, {30, 30, 0, 10}, {30, 30, 5, 5}, {NAN, 30, 1, 10}};
    for (const Case& c : refused) {
        krTransform::ElementProjection projection;
        EXPECT_EQ(projection.makeSymmetric(c.fovX, c.fovY, c.nearClip, c.farClip), -32767);
        EXPECT_TRUE(projection.matrix.isIdentity());
    }
}

} // namespace
