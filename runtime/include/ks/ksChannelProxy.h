#ifndef KS_CHANNELPROXY_H
#define KS_CHANNELPROXY_H

#include <ku/kuMemBase.h>
#include <ku/kuString.h>

#include <atomic>
#include <mutex>
#include <vector>

class krDrawContext;
class ksCullRecord;
class ksChannel;

// The registry of channel bins. A bin collects the cull records of one kind per channel and
// frame; bins are drawn in order value (the scene's opaque bin is 0, its transparent bin 10).
// Every channel gets every reserved bin.
// Threads: reserve and release on the application thread during set-up; look-ups from any.
class KX_API ksChannelProxy : public kuMemBase {
public:
    // Works on a bin's records [first, last) of one channel and frame.
    class KX_API BinProcessor : public kuMemBase {
    public:
        virtual int process(krDrawContext* context, ksCullRecord* const* first,
                            ksCullRecord* const* last, const ksChannel* channel) = 0;

    protected:
        ~BinProcessor() override = default;
    };
    // Cull-side processor. The plain one accepts the records as they are.
    class KX_API CullProcessor : public BinProcessor {
    public:
        int process(krDrawContext* context, ksCullRecord* const* first, ksCullRecord* const* last,
                    const ksChannel* channel) override;
    };
    // Draw-side processor: runs on the channel's draw thread with its GL context current.
    class KX_API DrawProcessor : public BinProcessor {};
    // Orders a bin's records before they are drawn.
    class KX_API Sorter : public kuMemBase {
    public:
        virtual void sort(ksCullRecord** first, ksCullRecord** last) = 0;
    };

    struct Bin {
        int id = -1;
        bool sorted = false;
        int orderValue = 0;
        // The bin receives cull records (a bin without records is drawn for its processors only).
        bool holdsRecords = false;
        kuString name;
        kuRef<Sorter> opaqueSorter, transparentSorter;
        kuRef<BinProcessor> cullProcessor, drawProcessor, preDrawProcessor, postDrawProcessor;
        // Graphics-mode bits and render mask of the records accepted, for opaque and
        // transparent geometry (-1: every mask).
        int opaqueModes = 0, opaqueMask = -1, transparentModes = 0, transparentMask = -1;
    };

    // Reserves a bin and returns its id (ids from 1; the scene's own bins 0 and 10 always exist).
    int reserveBin(bool sorted, int orderValue, bool holdsRecords, const char* name,
                   Sorter* opaqueSorter, Sorter* transparentSorter, BinProcessor* cullProcessor,
                   BinProcessor* drawProcessor, BinProcessor* preDrawProcessor,
                   BinProcessor* postDrawProcessor, int opaqueModes, int opaqueMask,
                   int transparentModes, int transparentMask);
    int releaseBin(int id);
    // Replaces the cull processor of a bin (for instance of the scene's bin 0).
    int setCullBinProcessor(int id, BinProcessor* processor);
    // A copy of the bin's definition; false when there is no such bin.
    bool getBin(int id, Bin* bin) const;
    // Every bin, sorted by order value (ties: reservation order).
    std::vector<Bin> getBins() const;
    // Changes whenever a bin is reserved, released or given a new processor.
    int getRevision() const { return m_revision.load(); }

    ksChannelProxy();

protected:
    ~ksChannelProxy() override = default;

private:
    mutable std::mutex m_mutex;
    std::vector<Bin> m_bins;
    int m_nextId = 11;
    std::atomic<int> m_revision{1};
};

#endif
