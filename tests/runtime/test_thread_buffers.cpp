// Thread buffers and clones: clone creation, token delivery, children per pipeline, release.
#include <kx/kxKernel.h>

#include <ks/ksThreadBuffer.h>
#include <ks/ksTransform.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// A node class of its own: records what the clone mechanism hands it and carries a value
// behind a token of its own.
class RecordingNode : public ksNode {
public:
    enum { TOKEN_VALUE = ksNode::FIRST_FREE_TOKEN };
    struct Made {
        int index;
        ksThreadBuffer* buffer;
    };
    static inline int s_live = 0;
    static inline std::vector<Made> s_made;

    RecordingNode() { ++s_live; }
    void setValue(int value) {
        m_value = value;
        queueUpdate(TOKEN_VALUE);
    }
    int getValue() const { return m_value; }

    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override {
        s_made.push_back({index, threadBuffer});
        return new RecordingNode(getClones(), index, threadBuffer);
    }
    void syncWithMasterClone(int token, ksNode** clones) override {
        tokens.push_back(token);
        lastClones = clones;
        if (token == TOKEN_VALUE)
            m_value = static_cast<const RecordingNode*>(clones[0])->m_value;
        else
            ksNode::syncWithMasterClone(token, clones);
    }

    std::vector<int> tokens;
    ksNode** lastClones = nullptr;

protected:
    RecordingNode(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
        : ksNode(clones, index, threadBuffer),
          m_value(static_cast<const RecordingNode*>(clones[0])->m_value) {
        ++s_live;
    }
    ~RecordingNode() override { --s_live; }

private:
    int m_value = 0;
};

RecordingNode* cloneOf(const ksNode* master, const ksThreadBuffer* buffer) {
    return static_cast<RecordingNode*>(master->getClone(buffer->getIndex()));
}

class ThreadBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        master = ksThreadBuffer::getMaster();
        ksThreadBuffer::synchronize();
        RecordingNode::s_made.clear();
    }
    void TearDown() override {
        kxKernel::shutdown();
        EXPECT_EQ(RecordingNode::s_live, 0);
    }
    ksThreadBuffer* master = nullptr;
};

TEST_F(ThreadBufferTest, NullBufferMeansTheCallingThreadsBuffer) {
    kuRef<ksNode> onMain = new ksNode;
    EXPECT_EQ(onMain->getThreadBuffer(), master);
    EXPECT_TRUE(master->isMaster());

    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    ASSERT_NE(pipeline, nullptr);
    kuRef<ksNode> onPipeline, onBareThread;
    std::thread([&] {
        ksThreadBuffer::setCurrent(pipeline);
        onPipeline = new ksNode;
        ksThreadBuffer::setCurrent(nullptr);
        onBareThread = new ksNode;
    }).join();
    EXPECT_EQ(onPipeline->getThreadBuffer(), pipeline);
    EXPECT_EQ(onBareThread->getThreadBuffer(), master);
    EXPECT_EQ(ksThreadBuffer::getCurrent(), master);
    onPipeline.reset();
}

TEST_F(ThreadBufferTest, CreateClonesExistingMastersAtOnceAndDestroyReleasesThem) {
    kuRef<RecordingNode> root = new RecordingNode;
    root->setName("root");
    root->setCullMask(6);
    root->setValue(7);
    root->addChild(new RecordingNode);
    kuRef<ksTransform> transform = new ksTransform;
    kuMatrixd m;
    m.makeTranslate(1, 2, 3);
    transform->setMatrix(m);

    ksThreadBuffer* first = ksThreadBuffer::create();
    ksThreadBuffer* second = ksThreadBuffer::create();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->getIndex(), 1);
    EXPECT_EQ(second->getIndex(), 2);
    EXPECT_EQ(ksThreadBuffer::get(2), second);
    EXPECT_EQ(ksThreadBuffer::getCount(), 3);
    EXPECT_EQ(RecordingNode::s_live, 6);
    ASSERT_EQ(RecordingNode::s_made.size(), 4u);
    EXPECT_EQ(RecordingNode::s_made[0].index, 1);
    EXPECT_EQ(RecordingNode::s_made[0].buffer, first);
    EXPECT_EQ(RecordingNode::s_made[3].index, 2);
    EXPECT_EQ(RecordingNode::s_made[3].buffer, second);
    for (ksThreadBuffer* buffer : {first, second})
        for (ksNode* original : {static_cast<ksNode*>(root.get()), root->getChild(0),
                                 static_cast<ksNode*>(transform.get())}) {
            ksNode* clone = original->getClone(buffer->getIndex());
            ASSERT_NE(clone, nullptr);
            EXPECT_FALSE(clone->isMasterClone());
            EXPECT_EQ(clone->getCloneIndex(), buffer->getIndex());
            EXPECT_EQ(clone->getClone(0), original);
            EXPECT_EQ(clone->getThreadBuffer(), buffer);
            EXPECT_TRUE(clone->compare(original)) << clone->getClassType()->getName();
        }
    EXPECT_EQ(cloneOf(root.get(), second)->getValue(), 7);

    ksThreadBuffer::destroy(first);
    EXPECT_EQ(RecordingNode::s_live, 4);
    EXPECT_EQ(root->getClone(1), nullptr);
    EXPECT_EQ(ksThreadBuffer::get(1), nullptr);
    EXPECT_EQ(ksThreadBuffer::getCount(), 3);
    ksThreadBuffer::destroy(master); // the master buffer stays
    EXPECT_EQ(ksThreadBuffer::get(0), master);
    // The lowest free index is taken again.
    ksThreadBuffer* again = ksThreadBuffer::create();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->getIndex(), 1);
    EXPECT_NE(transform->getClone(1), nullptr);
}

TEST_F(ThreadBufferTest, SynchronizeClonesNewMastersAndDeliversTokensToEveryPipeline) {
    ksThreadBuffer* pipelines[] = {ksThreadBuffer::create(), ksThreadBuffer::create()};
    kuRef<ksTransform> node = new ksTransform;
    EXPECT_EQ(node->getClone(1), nullptr);
    ksThreadBuffer::synchronize();
    for (ksThreadBuffer* pipeline : pipelines)
        ASSERT_NE(node->getClone(pipeline->getIndex()), nullptr);

    node->setName("changed");
    node->setRenderMask(2);
    node->setStaticBoundsEnable(true, false);
    node->setBounds(kuSphered(kuVec3d(1, 1, 1), 2), false);
    kuMatrixd m;
    m.makeScale(2, 2, 2);
    node->setMatrix(m);
    node->setStaticEnable(true);
    EXPECT_EQ(master->getNumPendingUpdates(), 5u);
    // Until the frame boundary the pipelines keep the old state.
    for (ksThreadBuffer* pipeline : pipelines)
        EXPECT_FALSE(node->getClone(pipeline->getIndex())->compare(node.get()));

    ksThreadBuffer::synchronize();
    EXPECT_EQ(master->getNumPendingUpdates(), 0u);
    for (ksThreadBuffer* pipeline : pipelines) {
        EXPECT_TRUE(node->getClone(pipeline->getIndex())->compare(node.get()));
        EXPECT_EQ(pipeline->getNumPendingUpdates(), 0u);
    }
}

TEST_F(ThreadBufferTest, TokensCoalesceAndArriveInQueueOrder) {
    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    kuRef<RecordingNode> node = new RecordingNode;
    kuRef<ksNode> other = new ksNode;
    ksThreadBuffer::synchronize();
    RecordingNode* clone = cloneOf(node.get(), pipeline);
    ASSERT_NE(clone, nullptr);
    clone->tokens.clear();

    node->setName("a");
    node->setValue(1);
    node->setCullMask(1);
    node->setRenderMask(2);
    node->setValue(2);
    node->setName("b");
    other->setCullMask(1);
    EXPECT_EQ(master->getNumPendingUpdates(), 4u);
    master->appendUpdate(node.get(), ksNode::TOKEN_MASKS, nullptr, true);
    EXPECT_EQ(master->getNumPendingUpdates(), 4u);
    master->appendUpdate(node.get(), ksNode::TOKEN_MASKS, nullptr, false);
    EXPECT_EQ(master->getNumPendingUpdates(), 5u);

    ksThreadBuffer::synchronize();
    EXPECT_EQ(clone->tokens, (std::vector<int>{ksNode::TOKEN_NAME, RecordingNode::TOKEN_VALUE,
                                               ksNode::TOKEN_MASKS, ksNode::TOKEN_MASKS}));
    ASSERT_NE(clone->lastClones, nullptr);
    EXPECT_EQ(clone->lastClones[0], node.get());
    EXPECT_EQ(clone->lastClones[pipeline->getIndex()], clone);
    EXPECT_EQ(clone->getValue(), 2);
    EXPECT_STREQ(clone->getName(), "b");
    EXPECT_EQ(clone->getRenderMask(), 2u);
    // The master is never handed its own tokens.
    EXPECT_TRUE(node->tokens.empty());
}

// A queue far longer than delivery looks ahead, with runs of one and two tokens per node:
// every pipeline gets every value, and the next frame's tokens are queued again (the queued
// bits were cleared on the way).
TEST_F(ThreadBufferTest, LongQueuesReachEveryCloneFrameAfterFrame) {
    ksThreadBuffer* pipelines[] = {ksThreadBuffer::create(), ksThreadBuffer::create()};
    constexpr int COUNT = 300;
    std::vector<kuRef<RecordingNode>> nodes;
    for (int i = 0; i < COUNT; ++i)
        nodes.push_back(new RecordingNode);
    ksThreadBuffer::synchronize();
    for (int frame = 1; frame <= 2; ++frame) {
        for (int i = 0; i < COUNT; ++i) {
            nodes[i]->setValue(1000 * frame + i);
            if (i % 3 == 0)
                nodes[i]->setCullMask(static_cast<unsigned>(frame));
        }
        EXPECT_EQ(master->getNumPendingUpdates(), static_cast<std::size_t>(COUNT + COUNT / 3));
        ksThreadBuffer::synchronize();
        for (ksThreadBuffer* pipeline : pipelines)
            for (int i = 0; i < COUNT; ++i) {
                const RecordingNode* clone = cloneOf(nodes[i].get(), pipeline);
                ASSERT_EQ(clone->getValue(), 1000 * frame + i) << "node " << i;
                EXPECT_EQ(clone->getCullMask(), i % 3 == 0 ? unsigned(frame) : 0xffffffffu);
            }
    }
}

TEST_F(ThreadBufferTest, DeletedMasterIsNotTouchedAtSynchronize) {
    ksThreadBuffer* pipeline = ksThreadBuffer::create();
    kuRef<ksNode> parent = new ksNode;
    RecordingNode* child = new RecordingNode;
    parent->addChild(child);
    ksThreadBuffer::synchronize();
    ksNode* parentClone = parent->getClone(pipeline->getIndex());
    ASSERT_EQ(parentClone->getChild(0), cloneOf(child, pipeline));
    EXPECT_EQ(RecordingNode::s_live, 2);

    child->setName("gone");
    child->setValue(3);
    master->appendUpdate(child, ksNode::TOKEN_MASKS, nullptr, false);
    parent->removeChild(child); // the last reference to the master
    EXPECT_EQ(master->getNumPendingUpdates(), 1u);
    // The clone stays in the parent's clone until the pipeline learns of the removal.
    EXPECT_EQ(RecordingNode::s_live, 1);
    ksThreadBuffer::synchronize();
    EXPECT_EQ(parentClone->getNumChildren(), 0);
    EXPECT_EQ(RecordingNode::s_live, 0);

    // A master deleted before it got its clones gets none.
    const std::size_t made = RecordingNode::s_made.size();
    kuRef<RecordingNode> late = new RecordingNode;
    late->setValue(4);
    late.reset();
    ksThreadBuffer::synchronize();
    EXPECT_EQ(RecordingNode::s_made.size(), made);
    EXPECT_EQ(RecordingNode::s_live, 0);
}

TEST_F(ThreadBufferTest, CloneChildrenMirrorMasterChildrenPerPipeline) {
    kuRef<ksNode> root = new ksNode, a = new ksNode, b = new ksNode;
    root->addChild(a.get());
    root->addChild(b.get());
    ksThreadBuffer* pipelines[] = {ksThreadBuffer::create(), ksThreadBuffer::create()};
    for (ksThreadBuffer* pipeline : pipelines) {
        const int i = pipeline->getIndex();
        ksNode* rootClone = root->getClone(i);
        ASSERT_EQ(rootClone->getNumChildren(), 2);
        EXPECT_EQ(rootClone->getChild(0), a->getClone(i));
        EXPECT_EQ(rootClone->getChild(1), b->getClone(i));
        ASSERT_EQ(a->getClone(i)->getNumParents(), 1);
        EXPECT_EQ(a->getClone(i)->getParent(0), rootClone);
    }

    kuRef<ksNode> c = new ksNode;
    root->removeChild(a.get());
    root->addChild(c.get());
    EXPECT_EQ(root->getClone(1)->getChild(0), a->getClone(1));
    ksThreadBuffer::synchronize();
    for (ksThreadBuffer* pipeline : pipelines) {
        const int i = pipeline->getIndex();
        ksNode* rootClone = root->getClone(i);
        ASSERT_EQ(rootClone->getNumChildren(), 2);
        EXPECT_EQ(rootClone->getChild(0), b->getClone(i));
        EXPECT_EQ(rootClone->getChild(1), c->getClone(i));
        EXPECT_EQ(a->getClone(i)->getNumParents(), 0);
    }
}

} // namespace
