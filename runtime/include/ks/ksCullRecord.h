#ifndef KS_CULLRECORD_H
#define KS_CULLRECORD_H

#include <kr/krState.h>
#include <ku/kuBase.h>
#include <ku/kuLock.h>
#include <ku/kuMatrix.h>

#include <mutex>
#include <vector>

class krDrawContext;
class ksCullRecordFactory;
class ksTraversalCull;

// What a cull traversal leaves in a channel bin for the draw step: one drawable thing for one
// channel and frame. Records come from a factory's per-channel pool and go back to it once
// their frame has been drawn.
// Threads: filled on a cull thread, drawn on the channel's draw thread, recycled after drawing.
class KX_API ksCullRecord {
public:
    // Flag bits: which of the record's optional parts the draw step applies.
    enum Flag {
        FLAG_MODELVIEW = 1, // set the model-view matrix
        FLAG_STATE = 2,     // apply the render state
        FLAG_NORMALIZE = 8  // normals need normalizing (scaled model-view)
    };

    ksCullRecord() = default;
    ksCullRecord(const ksCullRecord& other) = default;
    ksCullRecord& operator=(const ksCullRecord& other) = default;
    virtual ~ksCullRecord();

    virtual int processCull(ksTraversalCull* traversal);
    virtual void processDraw(krDrawContext* context);
    // Drops what the record holds and hands it back to the factory that made it (or deletes it
    // when it has none).
    virtual void recycle();
    virtual const kuBase::ClassType* getClassType() const { return nullptr; }
    virtual bool isOfClassType(const kuBase::ClassType*) const { return false; }
    virtual bool isExactClassType(const kuBase::ClassType* type) const {
        return getClassType() == type;
    }

    int getChannelId() const { return m_channelId; }
    void setChannelId(int id) { m_channelId = id; }
    ksCullRecordFactory* getFactory() const { return m_factory; }
    void setFactory(ksCullRecordFactory* factory) { m_factory = factory; }
    int getFlags() const { return m_flags; }
    void setFlags(int flags) { m_flags = flags; }
    const kuMatrixd& getModelView() const { return m_modelView; }
    void setModelView(const kuMatrixd& matrix) { m_modelView = matrix; }
    krState* getState() const { return m_state.get(); }
    void setState(krState* state) { m_state = state; }

private:
    // What making and recycling a record touch comes first, in one cache line.
    int m_channelId = 0;
    ksCullRecordFactory* m_factory = nullptr;
    int m_flags = 0;
    // Held until the record is recycled: the node that made it may drop the state, or go, at
    // a frame boundary while this frame is still being drawn.
    kuRef<krState> m_state;
    kuMatrixd m_modelView;
};

// Makes and takes back cull records. The base class carries the lock that derived factories
// hold around their pools, since several cull threads share one factory.
class KX_API ksCullRecordFactory : public kuMemBase {
public:
    virtual ksCullRecord* create(int channelId, int flags) = 0;
    virtual void recycle(ksCullRecord* record) = 0;
    kuLock& getLock() { return m_lock; }

protected:
    ~ksCullRecordFactory() override = default;

private:
    kuLock m_lock;
};

// A last-in-first-out stack of idle records of one channel.
template <class T>
class ksCullRecordPool {
public:
    ksCullRecordPool() = default;
    ksCullRecordPool(const ksCullRecordPool&) = delete;
    ksCullRecordPool& operator=(const ksCullRecordPool&) = delete;
    ~ksCullRecordPool() {
        for (T* record : m_idle)
            delete record;
    }
    T* pop() {
        if (m_idle.empty())
            return nullptr;
        T* record = m_idle.back();
        m_idle.pop_back();
        // The next record is asked for now, so that a cull making many finds its first lines
        // (where records keep what a cull writes) on the way.
        if (!m_idle.empty()) {
            const char* next = reinterpret_cast<const char*>(m_idle.back());
            for (std::size_t offset = 0; offset < sizeof(T) && offset < 256; offset += 64)
                __builtin_prefetch(next + offset, 1);
        }
        return record;
    }
    void push(T* record) { m_idle.push_back(record); }
    std::size_t size() const { return m_idle.size(); }

private:
    std::vector<T*> m_idle;
};

// A factory with one pool per channel id (channel ids are below MAX_CHANNELS).
template <class T, class Pool, class Base>
class ksCullRecordFactoryDerived : public Base {
public:
    enum { MAX_CHANNELS = 256 };

    // A record for the channel: a pooled one when there is one, else a new one. Null for a
    // channel id outside [0, MAX_CHANNELS).
    ksCullRecord* create(int channelId, int flags) override {
        if (channelId < 0 || channelId >= MAX_CHANNELS)
            return nullptr;
        T* record = nullptr;
        bool first = false;
        {
            std::lock_guard<kuLock> guard(this->getLock());
            record = m_pools[channelId].pop();
            if (!record)
                ++m_allocated;
            first = m_inUse++ == 0;
        }
        if (!record)
            record = new T;
        // Records in use keep their factory alive, so each can always go back to its pool: one
        // reference for them all rather than reference traffic per record. (The caller holds
        // the factory, so it cannot go before this reference is taken.)
        if (first)
            this->ref();
        record->setFactory(this);
        record->setChannelId(channelId);
        record->setFlags(flags);
        return record;
    }

    void recycle(ksCullRecord* record) override {
        if (!record)
            return;
        const int channelId = record->getChannelId();
        bool last = false;
        {
            std::lock_guard<kuLock> guard(this->getLock());
            if (channelId >= 0 && channelId < MAX_CHANNELS) {
                m_pools[channelId].push(static_cast<T*>(record));
                record = nullptr;
            }
            last = --m_inUse == 0;
        }
        delete record;
        // Released outside the lock: this may be the last reference.
        if (last)
            this->unref();
    }

    // Records made so far (pooled or in use); a steady scene stops increasing it.
    std::size_t getNumAllocated() {
        std::lock_guard<kuLock> guard(this->getLock());
        return m_allocated;
    }
    std::size_t getNumPooled(int channelId) {
        std::lock_guard<kuLock> guard(this->getLock());
        return channelId >= 0 && channelId < MAX_CHANNELS ? m_pools[channelId].size() : 0;
    }

protected:
    ~ksCullRecordFactoryDerived() override = default;

private:
    Pool m_pools[MAX_CHANNELS];
    std::size_t m_allocated = 0;
    std::size_t m_inUse = 0; // records handed out and not yet back
};

#endif
