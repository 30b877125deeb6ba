#ifndef KS_THREADBUFFER_H
#define KS_THREADBUFFER_H

#include <ku/kuMemBase.h>

#include <mutex>
#include <vector>

class ksNode;

// One scene-graph thread buffer per pipeline. Buffer 0 is the master buffer of the application
// thread: its nodes are the masters (clone 0) that the application changes. Every other buffer
// belongs to one cull pipeline and owns one clone of every node. Changes the cull side needs
// are queued on the master buffer as update tokens (appendUpdate) and delivered to each
// pipeline's clones by synchronize() at the frame boundary.
// Threads: create/destroy/synchronize on the application thread (with the pipelines waiting at
// the rendezvous); appendUpdate on the thread that owns the buffer.
class KX_API ksThreadBuffer : public kuMemBase {
public:
    enum { MAX_BUFFERS = 16 };

    // The master buffer (index 0), made on first use. It is bound to the thread that first
    // asks for it unless that thread already has a buffer.
    static ksThreadBuffer* getMaster();
    // A new pipeline buffer with the lowest free index (null when all are taken); clones of
    // every existing master node are made for it at once.
    static ksThreadBuffer* create();
    // Removes a pipeline buffer and releases its clones.
    static void destroy(ksThreadBuffer* buffer);
    static ksThreadBuffer* get(int index);
    // One more than the highest index in use (at least 1 once the master exists).
    static int getCount();

    // The buffer bound to the calling thread (null if none).
    static ksThreadBuffer* getCurrent();
    static void setCurrent(ksThreadBuffer* buffer);

    // Makes the clones that new master nodes still lack, then delivers every queued master
    // update to the clones of every pipeline buffer, in the order queued, and empties the
    // queues. Tokens queued on pipeline buffers by the clones themselves have no later stage
    // to go to and are dropped.
    static void synchronize();
    // Releases every buffer (kernel shutdown).
    static void shutdown();

    int getIndex() const { return m_index; }
    bool isMaster() const { return m_index == 0; }

    // Queues token for node. data is kept with the update for the node's own use (may be
    // null). coalesce: skip the update when the same node and token are already queued.
    void appendUpdate(ksNode* node, int token, void* data, bool coalesce);
    // Queues several tokens for node (without data, not coalesced) under one lock.
    void appendUpdates(ksNode* node, const int* tokens, int count);
    std::size_t getNumPendingUpdates() const;

    // Bookkeeping of master nodes, called by ksNode.
    static void registerMaster(ksNode* node);
    static void unregisterMaster(ksNode* node);

protected:
    ~ksThreadBuffer() override = default;

public:
    struct Update {
        ksNode* node;
        int token;
        void* data;
    };

private:
    explicit ksThreadBuffer(int index) : m_index(index) {}
    void discardUpdatesFor(const ksNode* node);
    // Delivers updates to the clones of buffer index; clearQueued: clear each master's queued
    // token bits on the way.
    static void deliver(const std::vector<Update>& updates, int index, bool clearQueued);

    int m_index;
    mutable std::mutex m_mutex;
    std::vector<Update> m_updates;
};

#endif
