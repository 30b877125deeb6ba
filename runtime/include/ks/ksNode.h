#ifndef KS_NODE_H
#define KS_NODE_H

#include <ku/kuBase.h>
#include <ku/kuSphere.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class ksThreadBuffer;
class ksTraversalCull;

// A scene-graph node: name, cull/render/isect masks, bounds, children, subscribers and one
// clone per thread buffer. The master (clone 0) is what the application changes; each cull
// pipeline reads its own clone, kept in step by update tokens (see ksThreadBuffer).
// Threads: setters on the application thread against the master; a clone is read by its
// pipeline's cull thread and written only by syncWithMasterClone.
class KX_API ksNode : public kuBase {
public:
    // The 11 subscriber events.
    enum Event {
        EVENT_DELETE = 0,
        EVENT_CULL = 1,
        EVENT_DRAW = 2,
        EVENT_ISECT = 3,
        EVENT_UPDATE = 4,
        EVENT_ADD_CHILD = 5,
        EVENT_REMOVE_CHILD = 6,
        EVENT_ADD_PARENT = 7,
        EVENT_REMOVE_PARENT = 8,
        EVENT_BOUNDS_CHANGED = 9,
        EVENT_NAME_CHANGED = 10,
        NUM_EVENTS = 11
    };

    // Update tokens of the node's own state; derived classes number theirs from the first free
    // token of their base class.
    enum Token {
        TOKEN_NAME = 1,
        TOKEN_MASKS = 2,
        TOKEN_BOUNDS = 3,
        TOKEN_CHILDREN = 4,
        FIRST_FREE_TOKEN = 5
    };

    // Told of a node's events. result points at a word the subscriber may change (for
    // EVENT_CULL: leave bit 0 set to stop the node from being culled further); it may be null.
    class KX_API Subscriber : public kuMemBase {
    public:
        virtual void notify(int event, ksNode* node, void* data, int* result) = 0;

    protected:
        ~Subscriber() override = default;
    };

    // A master node. A null thread buffer means the calling thread's (or the master buffer).
    explicit ksNode(ksThreadBuffer* threadBuffer = nullptr);

    void setName(const char* name) override;
    const ClassType* getClassType() const override;

    void setCullMask(unsigned int mask);
    unsigned int getCullMask() const { return m_cullMask; }
    void setRenderMask(unsigned int mask);
    unsigned int getRenderMask() const { return m_renderMask; }
    void setIsectMask(unsigned int mask);
    unsigned int getIsectMask() const { return m_isectMask; }

    // Static bounds are set with setBounds and kept; otherwise the bounds follow the children.
    // notifyParents: tell the parents' subscribers that the bounds changed.
    void setStaticBoundsEnable(bool enable, bool notifyParents);
    bool getStaticBoundsEnable() const { return m_staticBounds; }
    void setBounds(const kuSphered& bounds, bool notifyParents);
    // In the node's parent's coordinates; an invalid sphere when there is nothing to bound.
    // Cached per node (master and each clone apart) until its geometry, matrix, children or
    // bounds settings change; a change lets go of the caches of every node above it. A
    // clone's cache is filled by its pipeline's cull thread and let go of at the rendezvous.
    const kuSphered& getBounds() const;
    // Lets go of the cached bounds of this node and of every node above it.
    void dirtyBounds();

    int addChild(ksNode* child);
    int removeChild(ksNode* child);
    int getNumChildren() const { return static_cast<int>(m_children.size()); }
    ksNode* getChild(int index) const;
    int getNumParents() const { return static_cast<int>(m_parents.size()); }
    ksNode* getParent(int index) const;

    // Subscribers belong to the master; clones notify the master's. Added and removed on the
    // application thread (or by a subscriber while it is told).
    int addSubscriber(int event, Subscriber* subscriber);
    int removeSubscriber(int event, Subscriber* subscriber);
    int getNumSubscribers(int event) const;
    void notifySubscribers(int event, void* data, int* result);

    // Node class ids: one per registered node class type (ids from 1; 0 means none).
    static int registerNode(const ClassType* type);
    static int unregisterNode(const ClassType* type);
    static int getRegisteredNodeId(const ClassType* type);
    virtual int getNodeId() const;

    // Clones.
    ksNode* getClone(int index) const;
    int getCloneIndex() const { return m_cloneIndex; }
    bool isMasterClone() const { return m_cloneIndex == 0; }
    ksThreadBuffer* getThreadBuffer() const { return m_threadBuffer; }
    // A new clone of this node for thread buffer index (derived node classes override it to
    // build their own type through their clone constructor).
    virtual ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const;
    // Applies one update token from the master (clones[0]) to this clone.
    virtual void syncWithMasterClone(int token, ksNode** clones);
    // Called on the master a few updates before syncWithMasterClone(token) on clone: asks the
    // cache for the lines that call will read here and write there, so that delivering many
    // nodes' tokens waits on memory once for several of them. A hint only: nothing is read or
    // written. The default asks for nothing: the delivery fetches the first line of both.
    virtual void prefetchForSync(int token, const ksNode* clone) const;

    // Visits the node in a channel's cull (on a clone of the traversal's pipeline); returns a
    // ksTraversal::Result. The node's own visit: tell the EVENT_CULL subscribers (a subscriber
    // that leaves bit 0 of the result word set stops the visit), then visit the children.
    virtual int cull(ksTraversalCull* traversal);

    kuBase* makeCopy(int options = 0) const override;
    bool compare(const kuBase* other, int options = 0) const override;
    // Copies the node part: name (unless excluded), masks, bounds settings. Not the children.
    int copy(const ksNode* source, int options = 0);

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    // The bounds from the node's own state (getBounds caches them); derived nodes that bound
    // something else than their children override it and call dirtyBounds when that changes.
    virtual kuSphered computeBounds() const;

    // Clone constructor: joins the master's clone array at index and takes the master's state.
    ksNode(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~ksNode() override;

    // Queues token on this node's thread buffer.
    void queueUpdate(int token);
    // The clone array shared by the master and its clones (for createClone overrides).
    ksNode** getClones() const { return m_clones; }
    // Asks the cache for the lines of [data, data + bytes), to read or to write (for
    // prefetchForSync overrides).
    static void prefetchBytes(const void* data, std::size_t bytes, bool write) {
        constexpr std::uintptr_t LINE = 64;
        const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(data) & ~(LINE - 1);
        const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
        for (std::uintptr_t line = first; line < end; line += LINE) {
            const void* p = reinterpret_cast<const void*>(line);
            if (write)
                __builtin_prefetch(p, 1, 3);
            else
                __builtin_prefetch(p, 0, 3);
        }
    }

private:
    friend class ksThreadBuffer;
    // Makes the clone for index if missing; returns it.
    ksNode* ensureClone(int index, ksThreadBuffer* threadBuffer);
    void releaseClone(int index);

    // What a cull reads of every node it visits comes first, in the node's first two cache
    // lines: the mask, the subscribed events, the cached bounds and the children.
    unsigned int m_cullMask = 0xffffffffu;
    // A bit per event that has subscribers, kept in the master and in every clone alike, so
    // that a cull thread learns there is nobody to tell from the clone it is visiting.
    std::atomic<unsigned int> m_subscribedEvents{0};
    // False means every node above this one has let go of its cache too (or bounds
    // independently of it), so letting go stops at the first node already without one.
    mutable bool m_boundsCached = false;
    mutable kuSphered m_cachedBounds;
    std::vector<kuRef<ksNode>> m_children;

    unsigned int m_renderMask = 0xffffffffu;
    unsigned int m_isectMask = 0xffffffffu;
    bool m_staticBounds = false;
    kuSphered m_bounds;
    std::vector<ksNode*> m_parents;

    struct SubscriberList;
    SubscriberList* m_subscribers = nullptr; // master only
    void publishSubscribedEvents();

    ksNode** m_clones;
    int m_cloneIndex;
    // Tokens below 64 queued for this node on its buffer (guarded by the buffer's lock).
    unsigned long long m_queuedTokens = 0;
    ksThreadBuffer* m_threadBuffer;
};

#endif
