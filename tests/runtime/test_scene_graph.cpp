// Scene-graph nodes: masks, bounds, hierarchy, subscribers, node ids, copy and compare; the
// primitives of a geometry.
#include <kr/krGeometry.h>
#include <ks/ksGeometry.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTransform.h>
#include <kx/kxKernel.h>
#include <kx/kxTransform.h>

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using Events = std::vector<std::pair<int, void*>>;

// Records every notification; optionally clears bit 0 of the result word or unsubscribes.
class Recorder : public ksNode::Subscriber {
public:
    Events events;
    std::vector<int> resultsIn; // the result word as received (-1: none)
    bool clearBit0 = false;
    bool unsubscribe = false;

    void notify(int event, ksNode* node, void* data, int* result) override {
        events.emplace_back(event, data);
        resultsIn.push_back(result ? *result : -1);
        if (clearBit0 && result)
            *result &= ~1;
        if (unsubscribe)
            node->removeSubscriber(event, this);
    }

protected:
    ~Recorder() override = default;
};

class SceneGraphTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kxKernel::initialize(0, nullptr), 1); }
    void TearDown() override { kxKernel::shutdown(); }
};

kuRef<ksNode> leaf(double x, double radius) {
    kuRef<ksNode> node = new ksNode;
    node->setStaticBoundsEnable(true, false);
    node->setBounds(kuSphered(kuVec3d(x, 0, 0), radius), false);
    return node;
}

TEST_F(SceneGraphTest, EachMaskSetterChangesOnlyItsMask) {
    void (*const setters[])(ksNode*) = {[](ksNode* n) { n->setCullMask(0x50u); },
                                        [](ksNode* n) { n->setRenderMask(0x50u); },
                                        [](ksNode* n) { n->setIsectMask(0x50u); }};
    for (int i = 0; i < 3; ++i) {
        kuRef<ksNode> node = new ksNode;
        setters[i](node.get());
        const unsigned int masks[] = {node->getCullMask(), node->getRenderMask(),
                                      node->getIsectMask()};
        for (int m = 0; m < 3; ++m)
            EXPECT_EQ(masks[m], m == i ? 0x50u : 0xffffffffu) << i << "," << m;
    }
}

TEST_F(SceneGraphTest, BoundsFollowChildrenUnlessStatic) {
    kuRef<ksNode> group = new ksNode;
    EXPECT_FALSE(group->getBounds().valid());
    group->addChild(leaf(0, 1).get());
    group->addChild(leaf(10, 1).get());
    EXPECT_EQ(group->getBounds(), kuSphered(kuVec3d(5, 0, 0), 6));

    // Bounds set without the static flag are not used.
    group->setBounds(kuSphered(kuVec3d(0, 0, 50), 2), false);
    EXPECT_EQ(group->getBounds().radius, 6);
    group->setStaticBoundsEnable(true, false);
    EXPECT_EQ(group->getBounds(), kuSphered(kuVec3d(0, 0, 50), 2));
    group->setStaticBoundsEnable(false, false);
    EXPECT_EQ(group->getBounds().radius, 6);
}

TEST_F(SceneGraphTest, TransformCarriesChildBoundsThroughItsMatrix) {
    kuRef<ksTransform> transform = new ksTransform;
    transform->addChild(leaf(1, 1).get());
    kuMatrixd scale, rotate, translate;
    scale.makeScale(2, 3, 1);
    rotate.makeRotate(90, 0, 0);
    translate.makeTranslate(100, 0, 0);
    transform->setMatrix(scale * rotate * translate);
    // (1,0,0) scaled to (2,0,0), heading 90 turns +X to +Y; the radius grows by the largest scale.
    const kuSphered bounds = transform->getBounds();
    EXPECT_NEAR(bounds.center.x, 100, 1e-9);
    EXPECT_NEAR(bounds.center.y, 2, 1e-9);
    EXPECT_NEAR(bounds.radius, 3, 1e-9);

    // A matrix that is no number bounds nothing, and leaves its parent's bounds as they were.
    kuRef<ksNode> parent = new ksNode;
    parent->addChild(leaf(-10, 1).get());
    parent->addChild(transform.get());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {nan, std::numeric_limits<double>::infinity()}) {
        kuMatrixd broken = scale * rotate * translate;
        broken(3, 1) = bad;
        transform->setMatrix(broken);
        EXPECT_FALSE(transform->getBounds().valid()) << bad;
        EXPECT_EQ(parent->getBounds(), kuSphered(kuVec3d(-10, 0, 0), 1)) << bad;
    }
    transform->setMatrix(scale * rotate * translate);

    transform->setStaticBoundsEnable(true, false);
    transform->setBounds(kuSphered(kuVec3d(1, 2, 3), 4), false);
    EXPECT_EQ(transform->getBounds(), kuSphered(kuVec3d(1, 2, 3), 4));
}

kuRef<krGeometry> segment(const kuVec3f& a, const kuVec3f& b) {
    kuRef<krGeometry> geometry = new krGeometry;
    geometry->setVertices({a, b});
    return geometry;
}

kuMatrixd translation(double x, double y, double z) {
    kuMatrixd m;
    m.makeTranslate(x, y, z);
    return m;
}

// Cached bounds, on the master and on a pipeline's clone, follow every kind of change below the
// root once it is delivered: root -> transform (at x 100) -> group -> geometry (-1..1 on x).
TEST_F(SceneGraphTest, CachedBoundsFollowEveryChangeBelow) {
    struct Scene {
        kuRef<ksNode> root = new ksNode;
        kuRef<ksTransform> transform = new ksTransform;
        kuRef<ksNode> group = new ksNode;
        kuRef<ksGeometry> geometry = new ksGeometry;
        kuRef<krGeometry> mesh = segment(kuVec3f(-1, 0, 0), kuVec3f(1, 0, 0));
    };
    const struct {
        const char* change;
        void (*apply)(Scene&);
        kuSphered expected;
    } cases[] = {
        {"geometry edited",
         [](Scene& s) {
             s.mesh->setVertices({kuVec3f(-3, 0, 0), kuVec3f(3, 0, 0)});
         },
         kuSphered(kuVec3d(100, 0, 0), 3)},
        {"geometry replaced",
         [](Scene& s) {
             s.geometry->setGeometry(segment(kuVec3f(10, -2, 0), kuVec3f(10, 2, 0)).get(), 0);
             s.mesh->setVertices({kuVec3f(-50, 0, 0), kuVec3f(50, 0, 0)}); // no longer watched
         },
         kuSphered(kuVec3d(110, 0, 0), 2)},
        {"transform moved", [](Scene& s) { s.transform->setMatrix(translation(0, 50, 0)); },
         kuSphered(kuVec3d(0, 50, 0), 1)},
        {"child added", [](Scene& s) { s.group->addChild(leaf(4, 1).get()); },
         kuSphered(kuVec3d(102, 0, 0), 3)},
        {"child removed", [](Scene& s) { s.group->removeChild(s.geometry.get()); }, kuSphered()},
        {"static bounds set",
         [](Scene& s) {
             s.group->setStaticBoundsEnable(true, false);
             s.group->setBounds(kuSphered(kuVec3d(0, 0, 7), 2), false);
         },
         kuSphered(kuVec3d(100, 0, 7), 2)},
        {"nested: a transform put in between",
         [](Scene& s) {
             kuRef<ksTransform> inner = new ksTransform;
             inner->setMatrix(translation(0, 0, 20));
             s.group->removeChild(s.geometry.get());
             inner->addChild(s.geometry.get());
             s.group->addChild(inner.get());
             s.mesh->setVertices({kuVec3f(0, -5, 0), kuVec3f(0, 5, 0)});
         },
         kuSphered(kuVec3d(100, 0, 20), 5)},
    };
    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    for (const auto& c : cases) {
        Scene s;
        s.root->addChild(s.transform.get());
        s.transform->setMatrix(translation(100, 0, 0));
        s.transform->addChild(s.group.get());
        s.group->addChild(s.geometry.get());
        s.geometry->setGeometry(s.mesh.get(), 0);
        ksThreadBuffer::synchronize();
        const ksNode* clone = s.root->getClone(pipeline->getIndex());
        ASSERT_NE(clone, nullptr);
        // Fill every cache first, so that only letting go of them can give the new bounds.
        EXPECT_EQ(s.root->getBounds(), kuSphered(kuVec3d(100, 0, 0), 1)) << c.change;
        EXPECT_EQ(clone->getBounds(), kuSphered(kuVec3d(100, 0, 0), 1)) << c.change;
        c.apply(s);
        EXPECT_EQ(s.root->getBounds(), c.expected) << c.change;
        // The clone keeps the frame it has until the changes are delivered.
        EXPECT_EQ(clone->getBounds(), kuSphered(kuVec3d(100, 0, 0), 1)) << c.change;
        ksThreadBuffer::synchronize();
        EXPECT_EQ(clone->getBounds(), c.expected) << c.change;
    }
    ksThreadBuffer::destroy(pipeline);
}

TEST_F(SceneGraphTest, ChildrenAndParents) {
    kuRef<ksNode> a = new ksNode, b = new ksNode;
    ksNode* child = new ksNode;
    kuRef<Recorder> deleted = new Recorder;
    child->addSubscriber(ksNode::EVENT_DELETE, deleted.get());

    EXPECT_EQ(a->addChild(child), 1);
    EXPECT_EQ(a->addChild(child), -32767);
    EXPECT_EQ(a->addChild(a.get()), -32767);
    EXPECT_EQ(a->addChild(nullptr), -32767);
    EXPECT_EQ(b->addChild(child), 1);
    ASSERT_EQ(child->getNumParents(), 2);
    EXPECT_EQ(child->getParent(0), a.get());
    EXPECT_EQ(child->getParent(1), b.get());
    EXPECT_EQ(a->getChild(0), child);
    EXPECT_EQ(a->getChild(1), nullptr);

    EXPECT_EQ(a->removeChild(child), 1);
    EXPECT_EQ(a->removeChild(child), -32767);
    EXPECT_EQ(child->getNumParents(), 1);
    EXPECT_EQ(child->getParent(0), b.get());
    // The parents held the only references: the last removal deletes the child.
    EXPECT_TRUE(deleted->events.empty());
    EXPECT_EQ(b->removeChild(child), 1);
    EXPECT_EQ(deleted->events.size(), 1u);

    // No loops: a node above the parent, however far, cannot become its child.
    kuRef<ksNode> top = new ksNode, middle = new ksNode, bottom = new ksNode;
    ASSERT_EQ(top->addChild(middle.get()), 1);
    ASSERT_EQ(middle->addChild(bottom.get()), 1);
    EXPECT_EQ(bottom->addChild(top.get()), -32767);
    EXPECT_EQ(bottom->addChild(middle.get()), -32767);
    EXPECT_EQ(bottom->getNumChildren(), 0);
    EXPECT_EQ(top->addChild(bottom.get()), 1); // a second path down is no loop

    // A deleted parent leaves its children's parent lists.
    kuRef<ksNode> kept = new ksNode;
    a->addChild(kept.get());
    a.reset();
    EXPECT_EQ(kept->getNumParents(), 0);
}

TEST_F(SceneGraphTest, SubscribersAreToldOfEachEventWithItsData) {
    kuRef<ksNode> parent = new ksNode, child = new ksNode;
    kuRef<Recorder> onParent = new Recorder, onChild = new Recorder;
    for (int event : {ksNode::EVENT_ADD_CHILD, ksNode::EVENT_REMOVE_CHILD,
                      ksNode::EVENT_BOUNDS_CHANGED, ksNode::EVENT_NAME_CHANGED})
        ASSERT_EQ(parent->addSubscriber(event, onParent.get()), 1);
    for (int event :
         {ksNode::EVENT_ADD_PARENT, ksNode::EVENT_REMOVE_PARENT, ksNode::EVENT_BOUNDS_CHANGED})
        ASSERT_EQ(child->addSubscriber(event, onChild.get()), 1);
    EXPECT_EQ(parent->addSubscriber(ksNode::NUM_EVENTS, onParent.get()), -32767);
    EXPECT_EQ(parent->addSubscriber(-1, onParent.get()), -32767);
    EXPECT_EQ(parent->addSubscriber(ksNode::EVENT_CULL, nullptr), -32767);

    parent->addChild(child.get());
    child->setBounds(kuSphered(kuVec3d(), 1), true);
    child->setStaticBoundsEnable(true, true);
    child->setStaticBoundsEnable(false, false);
    parent->setName("p");
    parent->removeChild(child.get());

    void* const c = child.get();
    void* const p = parent.get();
    EXPECT_EQ(onParent->events, (Events{{ksNode::EVENT_ADD_CHILD, c},
                                        {ksNode::EVENT_BOUNDS_CHANGED, c},
                                        {ksNode::EVENT_BOUNDS_CHANGED, c},
                                        {ksNode::EVENT_NAME_CHANGED, nullptr},
                                        {ksNode::EVENT_REMOVE_CHILD, c}}));
    EXPECT_EQ(onChild->events, (Events{{ksNode::EVENT_ADD_PARENT, p},
                                       {ksNode::EVENT_BOUNDS_CHANGED, c},
                                       {ksNode::EVENT_REMOVE_PARENT, p}}));

    EXPECT_EQ(parent->removeSubscriber(ksNode::EVENT_ADD_CHILD, onParent.get()), 1);
    EXPECT_EQ(parent->removeSubscriber(ksNode::EVENT_ADD_CHILD, onParent.get()), -32767);
    EXPECT_EQ(parent->getNumSubscribers(ksNode::EVENT_ADD_CHILD), 0);
    EXPECT_EQ(parent->getNumSubscribers(ksNode::EVENT_NAME_CHANGED), 1);
}

TEST_F(SceneGraphTest, SubscribersShareTheResultWordAndMayUnsubscribeWhileTold) {
    kuRef<ksNode> node = new ksNode;
    kuRef<Recorder> first = new Recorder, second = new Recorder;
    first->clearBit0 = true;
    first->unsubscribe = true;
    node->addSubscriber(ksNode::EVENT_CULL, first.get());
    node->addSubscriber(ksNode::EVENT_CULL, second.get());

    int result = 3;
    node->notifySubscribers(ksNode::EVENT_CULL, nullptr, &result);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(node->getNumSubscribers(ksNode::EVENT_CULL), 1);
    node->notifySubscribers(ksNode::EVENT_CULL, nullptr, nullptr);
    EXPECT_EQ(first->resultsIn, std::vector<int>{3});
    EXPECT_EQ(second->resultsIn, (std::vector<int>{2, -1}));
}

TEST_F(SceneGraphTest, NodeIdsPerClassType) {
    kuRef<ksNode> nodes[] = {new ksNode, new ksTransform, new kxTransform};
    const kuBase::ClassType* types[] = {ksNode::getStaticClassType(),
                                        ksTransform::getStaticClassType(),
                                        kxTransform::getStaticClassType()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_GT(nodes[i]->getNodeId(), 0) << types[i]->getName();
        EXPECT_EQ(nodes[i]->getNodeId(), ksNode::getRegisteredNodeId(types[i]))
            << types[i]->getName();
    }
    EXPECT_NE(nodes[0]->getNodeId(), nodes[1]->getNodeId());
    EXPECT_NE(nodes[1]->getNodeId(), nodes[2]->getNodeId());

    kuBase::ClassType type("TestNode", ksNode::getStaticClassType(), nullptr, true, false);
    const int id = ksNode::registerNode(&type);
    EXPECT_GT(id, 0);
    for (const kuRef<ksNode>& node : nodes)
        EXPECT_NE(id, node->getNodeId());
    EXPECT_EQ(ksNode::registerNode(&type), id);
    EXPECT_EQ(ksNode::getRegisteredNodeId(&type), id);
    EXPECT_EQ(ksNode::unregisterNode(&type), 1);
    EXPECT_EQ(ksNode::getRegisteredNodeId(&type), 0);
    EXPECT_EQ(ksNode::unregisterNode(&type), -32767);
    EXPECT_EQ(ksNode::registerNode(nullptr), 0);
}

TEST_F(SceneGraphTest, CopyAndCompareCoverEveryNodeSetting) {
    kuRef<ksNode> source = new ksNode;
    source->setName("source");
    source->setCullMask(1);
    source->setRenderMask(2);
    source->setIsectMask(4);
    source->setStaticBoundsEnable(true, false);
    source->setBounds(kuSphered(kuVec3d(1, 2, 3), 4), false);
    source->addChild(new ksNode);

    kuRef<ksNode> copy = static_cast<ksNode*>(source->makeCopy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->compare(source.get()));
    EXPECT_STREQ(copy->getName(), "source");
    EXPECT_EQ(copy->getNumChildren(), 0);
    EXPECT_EQ(copy->getBounds(), source->getBounds());

    kuRef<ksNode> unnamed = static_cast<ksNode*>(source->makeCopy(kuBase::COPY_EXCLUDE_BASE));
    EXPECT_FALSE(unnamed->hasName());
    EXPECT_FALSE(unnamed->compare(source.get()));
    EXPECT_TRUE(unnamed->compare(source.get(), kuBase::COPY_EXCLUDE_BASE));

    // Each node setting on its own makes the nodes differ, whatever the options.
    const std::vector<void (*)(ksNode*)> changes = {
        [](ksNode* n) { n->setCullMask(8); }, [](ksNode* n) { n->setRenderMask(8); },
        [](ksNode* n) { n->setIsectMask(8); },
        [](ksNode* n) { n->setStaticBoundsEnable(false, false); },
        [](ksNode* n) { n->setBounds(kuSphered(kuVec3d(1, 2, 3), 5), false); }};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        kuRef<ksNode> changed = static_cast<ksNode*>(source->makeCopy());
        changes[i](changed.get());
        EXPECT_FALSE(changed->compare(source.get())) << i;
        EXPECT_FALSE(changed->compare(source.get(), kuBase::COPY_EXCLUDE_BASE)) << i;
    }

    kuRef<ksTransform> transform = new ksTransform;
    EXPECT_FALSE(transform->compare(source.get(), kuBase::COPY_EXCLUDE_BASE));
    kuMatrixd m;
    m.makeTranslate(1, 2, 3);
    transform->setMatrix(m);
    transform->setStaticEnable(true);
    kuRef<ksTransform> transformCopy = static_cast<ksTransform*>(transform->makeCopy());
    EXPECT_TRUE(transformCopy->compare(transform.get()));
    EXPECT_TRUE(transformCopy->getStaticEnable());
    transformCopy->setMatrix(kuMatrixd());
    EXPECT_FALSE(transformCopy->compare(transform.get()));
}

// Strips of one geometry do not join: each primitive length starts a strip of its own, and
// what the lengths leave over is not drawn.
TEST_F(SceneGraphTest, GeometryPrimitivesStandApart) {
    kuRef<krGeometry> geometry = new krGeometry;
    geometry->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLE_STRIP);
    std::vector<kuVec3f> vertices;
    for (int i = 0; i < 10; ++i)
        vertices.emplace_back(float(i / 2), float(i % 2), 0.0f);
    geometry->setVertices(vertices);
    const struct {
        std::vector<int> lengths;
        std::vector<unsigned int> triangles;
    } rows[] = {
        {{}, {0, 1, 2, 2, 1, 3, 2, 3, 4, 4, 3, 5, 4, 5, 6, 6, 5, 7, 6, 7, 8, 8, 7, 9}},
        {{4, 4}, {0, 1, 2, 2, 1, 3, 4, 5, 6, 6, 5, 7}},
        {{4, 8}, {0, 1, 2, 2, 1, 3}}, // the second runs past the vertices
    };
    for (const auto& row : rows) {
        geometry->setPrimitiveLengths(row.lengths);
        EXPECT_EQ(geometry->getTriangleIndices(), row.triangles);
        EXPECT_EQ(geometry->getNumPrimitives(), row.lengths.empty() ? 1 : int(row.lengths.size()));
    }
}

} // namespace
