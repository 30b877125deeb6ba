// Per-frame values handed from the writer (application thread) to readers (draw threads).
#include <ku/kuFrameData.h>

#include <ks/ksServiceMgr.h>
#include <ku/kuPipeline.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// Publishes value for frame; false when the slot could not be locked.
bool publish(kuFrameData<int>& data, int frame, int value) {
    int* slot = data.lockWriteBuffer(frame);
    if (!slot)
        return false;
    *slot = value;
    data.unlockWriteBuffer(frame);
    return true;
}

class kuFrameDataTest : public ::testing::Test {
protected:
    void TearDown() override { ksThread::setFrameNumber(0); }
};

TEST_F(kuFrameDataTest, PublishedFramesReadBackAndOthersDoNot) {
    kuFrameData<int> data;
    int value = -1;
    EXPECT_FALSE(data.read(1, &value));
    EXPECT_FALSE(data.readLatest(&value));
    EXPECT_EQ(data.getLatestFrame(), 0);

    ASSERT_TRUE(publish(data, 1, 10));
    ASSERT_TRUE(publish(data, 2, 20));
    EXPECT_TRUE(data.read(1, &value));
    EXPECT_EQ(value, 10);
    EXPECT_TRUE(data.read(2, &value));
    EXPECT_EQ(value, 20);
    EXPECT_TRUE(data.readLatest(&value));
    EXPECT_EQ(value, 20);
    EXPECT_EQ(data.getLatestFrame(), 2);

    // Never published, or not frames at all.
    for (int frame : {3, 4, -1}) {
        value = -1;
        EXPECT_FALSE(data.read(frame, &value)) << frame;
        EXPECT_EQ(value, -1) << frame;
    }
    EXPECT_FALSE(data.read(0, &value)); // the thread is at frame 0: before the first frame
    EXPECT_EQ(data.lockWriteBuffer(-2), nullptr);
}

TEST_F(kuFrameDataTest, NewFrameStartsFromLatestPublishedValue) {
    kuFrameData<std::vector<int>> data;
    std::vector<int>* slot = data.lockWriteBuffer(1);
    ASSERT_NE(slot, nullptr);
    EXPECT_TRUE(slot->empty()); // value-initialized before anything is published
    slot->assign({1, 2, 3});
    data.unlockWriteBuffer(1);

    // Each new frame starts from the latest value, also frames 5 and 6 whose slots held
    // frames 1 and 2.
    std::vector<int> expected{1, 2, 3};
    for (int frame : {2, 3, 5, 6}) {
        slot = data.lockWriteBuffer(frame);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(*slot, expected) << frame;
        slot->push_back(frame);
        expected.push_back(frame);
        // Re-locking a frame that is held hands out the same slot.
        EXPECT_EQ(data.lockWriteBuffer(frame), slot);
        EXPECT_EQ(data.lockWriteBuffer(frame + 4), nullptr); // same slot, held for this frame
        data.unlockWriteBuffer(frame);
    }
    std::vector<int> latest;
    ASSERT_TRUE(data.readLatest(&latest));
    EXPECT_EQ(latest, (std::vector<int>{1, 2, 3, 2, 3, 5, 6}));

    // A published frame locked again keeps its own value, not the latest one.
    slot = data.lockWriteBuffer(3);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, (std::vector<int>{1, 2, 3, 2, 3}));
    data.unlockWriteBuffer(3);
    ASSERT_TRUE(data.readLatest(&latest));
    EXPECT_EQ(latest.back(), 6); // republishing an older frame leaves the latest alone
}

TEST_F(kuFrameDataTest, SlotsAreReusedAfterNumBuffersFrames) {
    for (int numBuffers : {2, 3, 4, 7}) {
        kuFrameData<int> data(numBuffers);
        ASSERT_EQ(data.getNumBuffers(), numBuffers);
        for (int frame = 1; frame <= 2 * numBuffers; ++frame)
            ASSERT_TRUE(publish(data, frame, frame * 100));
        for (int frame = 1; frame <= 2 * numBuffers; ++frame) {
            int value = 0;
            const bool kept = frame > numBuffers;
            EXPECT_EQ(data.read(frame, &value), kept) << numBuffers << " buffers, frame " << frame;
            if (kept) {
                EXPECT_EQ(value, frame * 100);
            }
        }
        // The slot of frame 1 now belongs to a later frame: writing 1 again must not clobber it.
        EXPECT_FALSE(publish(data, 1, -1));
        int value = 0;
        EXPECT_TRUE(data.read(1 + numBuffers, &value));
        EXPECT_EQ(value, (1 + numBuffers) * 100);
    }
    EXPECT_EQ(kuFrameData<int>(1).getNumBuffers(), 2);

    // The default ring follows the pipeline: a frame stays readable until the writer is more
    // than DEPTH frames past it, whatever stage still reads it.
    kuFrameData<int> data;
    for (int frame = 1; frame <= 1 + kuPipeline::DEPTH; ++frame)
        ASSERT_TRUE(publish(data, frame, frame));
    EXPECT_TRUE(data.read(1, nullptr));
    ASSERT_TRUE(publish(data, 2 + kuPipeline::DEPTH, 0));
    EXPECT_FALSE(data.read(1, nullptr));
}

TEST_F(kuFrameDataTest, FrameZeroIsTheCallingThreadsFrame) {
    kuFrameData<int> data;
    EXPECT_EQ(data.lockWriteBuffer(), nullptr); // no current frame yet

    ksThread::setFrameNumber(7);
    int* slot = data.lockWriteBuffer();
    ASSERT_NE(slot, nullptr);
    *slot = 70;
    data.unlockWriteBuffer();
    EXPECT_EQ(data.getLatestFrame(), 7);
    int value = 0;
    EXPECT_TRUE(data.read(0, &value));
    EXPECT_EQ(value, 70);

    ksThread::setFrameNumber(8);
    EXPECT_FALSE(data.read(0, &value));

    // The frame is per thread: a draw thread at frame 7 reads it while this one is at 8.
    bool readOnOtherThread = false;
    value = 0;
    std::thread reader([&] {
        ksThread::setFrameNumber(7);
        readOnOtherThread = data.read(0, &value);
    });
    reader.join();
    EXPECT_TRUE(readOnOtherThread);
    EXPECT_EQ(value, 70);
}

// Every value a reader sees must belong to the frame it asked for, whole.
struct FrameValue {
    int frame = 0;
    std::array<int, 32> tripled{};
};

bool consistent(const FrameValue& value, int frame) {
    if (value.frame != frame)
        return false;
    for (int element : value.tripled)
        if (element != frame * 3)
            return false;
    return true;
}

TEST_F(kuFrameDataTest, OneWriterTwoReaders) {
    constexpr int FRAMES = 4000;
    kuFrameData<FrameValue> data;
    std::atomic<bool> done{false};
    std::atomic<int> carryOverErrors{0};

    std::thread writer([&] {
        for (int frame = 1; frame <= FRAMES; ++frame) {
            FrameValue* slot = data.lockWriteBuffer(frame);
            if (!slot || !consistent(*slot, frame - 1))
                ++carryOverErrors;
            if (slot) {
                slot->frame = frame;
                slot->tripled.fill(frame * 3);
                data.unlockWriteBuffer(frame);
            }
        }
        done = true;
    });

    struct Result {
        int reads = 0;
        int errors = 0;
    };
    std::array<Result, 2> results;
    auto readLoop = [&](Result& result) {
        while (!done || result.reads < 200) {
            const int latest = data.getLatestFrame();
            FrameValue value;
            for (int frame = latest - 3; frame <= latest; ++frame) {
                if (data.read(frame, &value)) {
                    ++result.reads;
                    result.errors += consistent(value, frame) ? 0 : 1;
                }
            }
            if (data.readLatest(&value)) {
                ++result.reads;
                result.errors += value.frame >= latest && consistent(value, value.frame) ? 0 : 1;
            }
        }
    };
    std::thread reader0([&] { readLoop(results[0]); });
    std::thread reader1([&] { readLoop(results[1]); });
    writer.join();
    reader0.join();
    reader1.join();

    EXPECT_EQ(carryOverErrors.load(), 0);
    EXPECT_EQ(data.getLatestFrame(), FRAMES);
    for (const Result& result : results) {
        EXPECT_GE(result.reads, 200);
        EXPECT_EQ(result.errors, 0);
    }
}

} // namespace
