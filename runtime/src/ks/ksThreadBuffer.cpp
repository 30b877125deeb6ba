#include <ks/ksThreadBuffer.h>

#include <ks/ksNode.h>

#include <algorithm>
#include <unordered_set>

namespace {

struct Buffers {
    std::recursive_mutex mutex;
    kuRef<ksThreadBuffer> slots[ksThreadBuffer::MAX_BUFFERS];
    std::unordered_set<ksNode*> masters;
    // Masters made since the last synchronize: their clones are still to be made.
    std::vector<ksNode*> pendingClones;
    // The master queue being delivered (kept to reuse its storage).
    std::vector<ksThreadBuffer::Update> delivering;
};

Buffers& buffers() {
    static Buffers s_buffers;
    return s_buffers;
}

thread_local ksThreadBuffer* t_current = nullptr;

} // namespace

ksThreadBuffer* ksThreadBuffer::getMaster() {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    if (!b.slots[0]) {
        b.slots[0] = new ksThreadBuffer(0);
        if (!t_current)
            t_current = b.slots[0].get();
    }
    return b.slots[0].get();
}

ksThreadBuffer* ksThreadBuffer::create() {
    getMaster();
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    for (int i = 1; i < MAX_BUFFERS; ++i) {
        if (b.slots[i])
            continue;
        ksThreadBuffer* buffer = new ksThreadBuffer(i);
        b.slots[i] = buffer;
        for (ksNode* master : b.masters)
            master->ensureClone(i, buffer);
        // Children links need every clone of this buffer to exist first.
        for (ksNode* master : b.masters)
            if (ksNode* clone = master->getClone(i))
                clone->syncWithMasterClone(ksNode::TOKEN_CHILDREN, master->m_clones);
        return buffer;
    }
    return nullptr;
}

void ksThreadBuffer::destroy(ksThreadBuffer* buffer) {
    if (!buffer || buffer->isMaster())
        return;
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    const int index = buffer->m_index;
    if (b.slots[index] != buffer)
        return;
    for (ksNode* master : b.masters)
        master->releaseClone(index);
    if (t_current == buffer)
        t_current = nullptr;
    b.slots[index].reset();
}

ksThreadBuffer* ksThreadBuffer::get(int index) {
    if (index < 0 || index >= MAX_BUFFERS)
        return nullptr;
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    return b.slots[index].get();
}

int ksThreadBuffer::getCount() {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    for (int i = MAX_BUFFERS - 1; i >= 0; --i)
        if (b.slots[i])
            return i + 1;
    return 0;
}

ksThreadBuffer* ksThreadBuffer::getCurrent() {
    return t_current;
}
void ksThreadBuffer::setCurrent(ksThreadBuffer* buffer) {
    t_current = buffer;
}

void ksThreadBuffer::synchronize() {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);

    std::vector<ksNode*> made;
    for (ksNode* master : b.pendingClones)
        for (int i = 1; i < MAX_BUFFERS; ++i)
            if (b.slots[i] && !master->getClone(i))
                if (ksNode* clone = master->ensureClone(i, b.slots[i].get()))
                    made.push_back(clone);
    b.pendingClones.clear();
    for (ksNode* clone : made)
        if (ksNode* master = clone->getClone(0))
            clone->syncWithMasterClone(ksNode::TOKEN_CHILDREN, master->m_clones);

    std::vector<Update>& updates = b.delivering;
    updates.clear();
    if (b.slots[0]) {
        std::lock_guard<std::mutex> queueGuard(b.slots[0]->m_mutex);
        updates.swap(b.slots[0]->m_updates);
    }
    // The masters' queued bits are cleared on the first pass over the updates rather than on
    // a pass of their own: at 100,000 nodes a master is out of the cache again by then.
    bool cleared = false;
    for (int i = 1; i < MAX_BUFFERS; ++i) {
        if (!b.slots[i])
            continue;
        deliver(updates, i, !cleared);
        cleared = true;
        std::lock_guard<std::mutex> queueGuard(b.slots[i]->m_mutex);
        for (const Update& update : b.slots[i]->m_updates)
            update.node->m_queuedTokens = 0;
        b.slots[i]->m_updates.clear();
    }
    if (!cleared)
        for (const Update& update : updates)
            update.node->m_queuedTokens = 0;
    // The delivered queue's storage becomes the master's next queue: no allocation per frame.
    if (b.slots[0]) {
        std::lock_guard<std::mutex> queueGuard(b.slots[0]->m_mutex);
        if (b.slots[0]->m_updates.empty()) {
            updates.clear();
            updates.swap(b.slots[0]->m_updates);
        }
    }
}

void ksThreadBuffer::deliver(const std::vector<Update>& updates, int index, bool clearQueued) {
    // Each update waits on memory for its master, the master's clone array, the clone and the
    // state the token copies, one after the other. Fetching them in stages some updates ahead
    // (each stage needs the line the one before fetched) lets those waits overlap across
    // nodes. Tokens come in runs per node, so a node's own lines are asked for once per run.
    constexpr std::size_t NODE_AHEAD = 64, CLONES_AHEAD = 40, STATE_AHEAD = 16;
    const std::size_t count = updates.size();
    const Update* const u = updates.data();
    for (std::size_t k = 0; k < count; ++k) {
        if (k + NODE_AHEAD < count) {
            const ksNode* node = u[k + NODE_AHEAD].node;
            if (node != u[k + NODE_AHEAD - 1].node) {
                __builtin_prefetch(node);
                __builtin_prefetch(&node->m_clones, 1);
            }
        }
        if (k + CLONES_AHEAD < count) {
            const ksNode* node = u[k + CLONES_AHEAD].node;
            if (node != u[k + CLONES_AHEAD - 1].node && node->m_clones)
                __builtin_prefetch(node->m_clones + index);
        }
        if (k + STATE_AHEAD < count) {
            const Update& ahead = u[k + STATE_AHEAD];
            if (ksNode* clone = ahead.node->m_clones ? ahead.node->m_clones[index] : nullptr) {
                if (ahead.node != u[k + STATE_AHEAD - 1].node) {
                    __builtin_prefetch(clone);
                    __builtin_prefetch(&clone->m_clones);
                }
                ahead.node->prefetchForSync(ahead.token, clone);
            }
        }
        const Update& update = u[k];
        if (clearQueued)
            update.node->m_queuedTokens = 0;
        ksNode** clones = update.node->m_clones;
        if (ksNode* clone = clones ? clones[index] : nullptr)
            clone->syncWithMasterClone(update.token, clones);
    }
}

void ksThreadBuffer::shutdown() {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    for (int i = MAX_BUFFERS - 1; i >= 1; --i)
        if (b.slots[i])
            destroy(b.slots[i].get());
    if (b.slots[0]) {
        std::lock_guard<std::mutex> queueGuard(b.slots[0]->m_mutex);
        b.slots[0]->m_updates.clear();
    }
    if (t_current == b.slots[0].get())
        t_current = nullptr;
    // Nodes still alive keep a pointer to the master buffer; keep it alive with them.
    if (b.masters.empty())
        b.slots[0].reset();
}

void ksThreadBuffer::appendUpdate(ksNode* node, int token, void* data, bool coalesce) {
    if (!node)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    // A bit per queued token on the node makes coalescing constant-time.
    const unsigned long long bit =
        token >= 0 && token < 64 ? (1ull << static_cast<unsigned>(token)) : 0ull;
    if (coalesce && bit && (node->m_queuedTokens & bit))
        return;
    if (coalesce && !bit)
        for (const Update& update : m_updates)
            if (update.node == node && update.token == token)
                return;
    node->m_queuedTokens |= bit;
    m_updates.push_back({node, token, data});
}

void ksThreadBuffer::appendUpdates(ksNode* node, const int* tokens, int count) {
    if (!node || !tokens)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (int i = 0; i < count; ++i) {
        const int token = tokens[i];
        if (token >= 0 && token < 64)
            node->m_queuedTokens |= 1ull << static_cast<unsigned>(token);
        m_updates.push_back({node, token, nullptr});
    }
}

std::size_t ksThreadBuffer::getNumPendingUpdates() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_updates.size();
}

void ksThreadBuffer::discardUpdatesFor(const ksNode* node) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_updates.erase(std::remove_if(m_updates.begin(), m_updates.end(),
                                   [node](const Update& u) { return u.node == node; }),
                    m_updates.end());
}

void ksThreadBuffer::registerMaster(ksNode* node) {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    b.masters.insert(node);
    b.pendingClones.push_back(node);
}

void ksThreadBuffer::unregisterMaster(ksNode* node) {
    Buffers& b = buffers();
    std::lock_guard<std::recursive_mutex> guard(b.mutex);
    b.masters.erase(node);
    b.pendingClones.erase(std::remove(b.pendingClones.begin(), b.pendingClones.end(), node),
                          b.pendingClones.end());
    for (auto& slot : b.slots)
        if (slot)
            slot->discardUpdatesFor(node);
}
