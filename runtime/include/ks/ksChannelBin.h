#ifndef KS_CHANNELBIN_H
#define KS_CHANNELBIN_H

#include <ks/ksChannelProxy.h>
#include <ks/ksCullRecord.h>
#include <ku/kuPipeline.h>

#include <mutex>
#include <vector>

class ksChannel;

// The records one channel's cull left in one bin for one frame, in insertion order.
// Threads: filled by the channel's cull thread, drawn and cleared by its draw thread.
class KX_API ksChannelBin {
public:
    explicit ksChannelBin(const ksChannelProxy::Bin& definition) : m_definition(definition) {}
    ~ksChannelBin() { clear(); }
    ksChannelBin(const ksChannelBin&) = delete;
    ksChannelBin& operator=(const ksChannelBin&) = delete;

    // Takes the record until the bin is cleared. sortKey: the record's place when the bin is
    // sorted (null: insertion order).
    void insert(ksCullRecord* record, const double* sortKey);
    ksCullRecord* const* begin() const { return m_records.data(); }
    ksCullRecord* const* end() const { return m_records.data() + m_records.size(); }
    std::size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    // Recycles every record (the storage is kept for the next frame).
    void clear();

    int getId() const { return m_definition.id; }
    const ksChannelProxy::Bin& getDefinition() const { return m_definition; }

private:
    ksChannelProxy::Bin m_definition;
    std::vector<ksCullRecord*> m_records;
};

// One channel's bins for the frames in flight: a ring of bin sets, one per frame slot of the
// pipeline, so that the cull of frame N can fill bins while frame N-1 is drawn.
// Threads: beginFrame, getBin and getCurrentFrame on the cull thread; getBins, hasFrame and
// recycleFrame on the draw thread, for a frame the cull thread has finished. Which set holds
// which frame is guarded; a set's bins belong to the thread working on its frame.
class KX_API ksChannelBinMgr {
public:
    static constexpr int NUM_FRAME_SETS = kuPipeline::NUM_FRAME_SLOTS;

    explicit ksChannelBinMgr(ksChannelProxy* proxy);
    ~ksChannelBinMgr();
    ksChannelBinMgr(const ksChannelBinMgr&) = delete;
    ksChannelBinMgr& operator=(const ksChannelBinMgr&) = delete;

    // Makes the bin set of frame the current one: recycles what it still held and takes in
    // the bins reserved since the last frame.
    void beginFrame(int frame);
    // The current frame's bin of that id, or null when no such bin is reserved.
    ksChannelBin* getBin(int id);
    // The bins of a frame in order value (empty when the frame is not held).
    const std::vector<ksChannelBin*>& getBins(int frame);
    // Recycles the records of a frame once it has been drawn.
    void recycleFrame(int frame);
    // Whether a frame was culled and is not recycled yet.
    bool hasFrame(int frame) const;
    // The frame of the latest beginFrame (0 before the first).
    int getCurrentFrame() const;

private:
    struct FrameSet {
        int frame = 0;
        int proxyRevision = 0;           // the reserved bins the set was last made from
        bool inFlight = false;           // culled and not yet recycled
        std::vector<ksChannelBin*> bins; // in order value
    };
    FrameSet* findSet(int frame);
    const FrameSet* findSet(int frame) const;
    void syncBins(FrameSet& set, const std::vector<ksChannelProxy::Bin>& reserved);

    kuRef<ksChannelProxy> m_proxy;
    mutable std::mutex m_mutex; // which set holds which frame
    FrameSet m_sets[NUM_FRAME_SETS];
    int m_current = -1;
};

#endif
