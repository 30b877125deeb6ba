#ifndef KU_FRAMEDATA_H
#define KU_FRAMEDATA_H

#include <ku/kuPipeline.h>
#include <ku/kuThread.h>

#include <memory>
#include <mutex>

// Per-frame values handed from the application thread to the draw threads. A ring of slots, one
// per frame in flight: the writer locks the slot of the frame it updates, fills it and publishes
// it; a draw thread reads the slot of the frame it draws. A frame stays readable until its slot
// is taken by the frame numBuffers later, so the ring must be at least the pipeline depth + 1.
// Frames are numbered from 1; frame 0 means the calling thread's current frame
// (kuThread::resolveFrameNumber()).
// T needs a default constructor and copy assignment.
// Threads: one writer thread (lockWriteBuffer/unlockWriteBuffer, always in pairs on that
// thread), any number of reader threads. A slot stays locked from lockWriteBuffer to
// unlockWriteBuffer, so the writer must not read a frame it holds locked (it would wait on
// itself) and readers of that frame wait until it is published.
template <class T>
class kuFrameData {
public:
    static constexpr int DEFAULT_NUM_BUFFERS = kuPipeline::NUM_FRAME_SLOTS;

    // Fewer than 2 buffers are raised to 2.
    explicit kuFrameData(int numBuffers = DEFAULT_NUM_BUFFERS)
        : m_numBuffers(numBuffers < 2 ? 2 : numBuffers), m_slots(new Slot[m_numBuffers]) {}
    kuFrameData(const kuFrameData&) = delete;
    kuFrameData& operator=(const kuFrameData&) = delete;

    int getNumBuffers() const { return m_numBuffers; }

    // Locks the slot of a frame for writing. A slot taken for a new frame starts as a copy of the
    // latest published value (a value-initialized T before the first publication); a frame
    // locked again keeps what it holds. Null (nothing locked) when the frame resolves to less
    // than 1 or its slot belongs to a later frame or is held for another frame.
    T* lockWriteBuffer(int frame = 0) {
        frame = resolve(frame);
        if (frame < 1)
            return nullptr;
        Slot& slot = slotOf(frame);
        // Locking twice would wait on itself: a frame already held is handed out again.
        if (slot.writing)
            return slot.frame == frame ? &slot.value : nullptr;
        slot.mutex.lock();
        if (slot.frame > frame) {
            slot.mutex.unlock();
            return nullptr;
        }
        if (slot.frame != frame) {
            slot.frame = frame;
            std::lock_guard<std::mutex> guard(m_latestMutex);
            slot.value = m_latestValue;
        }
        slot.writing = true;
        return &slot.value;
    }

    // Publishes the slot locked by lockWriteBuffer(frame) and unlocks it. Ignored when that
    // frame is not locked by the writer.
    void unlockWriteBuffer(int frame = 0) {
        frame = resolve(frame);
        if (frame < 1)
            return;
        Slot& slot = slotOf(frame);
        // Only the writer thread touches 'writing', so it may be read before taking the lock.
        if (!slot.writing || slot.frame != frame)
            return;
        slot.writing = false;
        {
            std::lock_guard<std::mutex> guard(m_latestMutex);
            if (frame >= m_latestFrame) {
                m_latestFrame = frame;
                m_latestValue = slot.value;
            }
        }
        slot.mutex.unlock();
    }

    // Copies the published value of a frame into out (when out is not null). False when the
    // frame was never published or its slot has been taken by a later frame.
    bool read(int frame, T* out) const {
        frame = resolve(frame);
        if (frame < 1)
            return false;
        const Slot& slot = slotOf(frame);
        std::lock_guard<std::mutex> guard(slot.mutex);
        // The writer holds the slot from taking it to publishing it, so a slot that carries the
        // frame here has been published.
        if (slot.frame != frame)
            return false;
        if (out)
            *out = slot.value;
        return true;
    }

    // The value of the latest published frame; false before the first publication.
    bool readLatest(T* out) const {
        std::lock_guard<std::mutex> guard(m_latestMutex);
        if (m_latestFrame < 1)
            return false;
        if (out)
            *out = m_latestValue;
        return true;
    }

    // The highest frame published so far, 0 before the first publication.
    int getLatestFrame() const {
        std::lock_guard<std::mutex> guard(m_latestMutex);
        return m_latestFrame;
    }

private:
    struct Slot {
        mutable std::mutex mutex;
        int frame = 0;
        bool writing = false; // writer thread only
        T value{};
    };

    static int resolve(int frame) { return frame == 0 ? kuThread::resolveFrameNumber() : frame; }
    Slot& slotOf(int frame) { return m_slots[frame % m_numBuffers]; }
    const Slot& slotOf(int frame) const { return m_slots[frame % m_numBuffers]; }

    const int m_numBuffers;
    std::unique_ptr<Slot[]> m_slots;
    // A copy of the latest published value: new slots start from it and readLatest returns it
    // without touching a slot the writer may hold.
    mutable std::mutex m_latestMutex;
    int m_latestFrame = 0;
    T m_latestValue{};
};

#endif
