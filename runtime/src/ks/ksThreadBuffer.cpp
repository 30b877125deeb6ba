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
        for (const Update& update : updates)
            update.node->m_queuedTokens = 0;
    }
    for (int i = 1; i < MAX_BUFFERS; ++i) {
        if (!b.slots[i])
            continue;
        for (const Update& update : updates)
            if (ksNode* clone = update.node->getClone(i))
                clone->syncWithMasterClone(update.token, update.node->m_clones);
        std::lock_guard<std::mutex> queueGuard(b.slots[i]->m_mutex);
        for (const Update& update : b.slots[i]->m_updates)
            update.node->m_queuedTokens = 0;
        b.slots[i]->m_updates.clear();
    }
    // The delivered queue's storage becomes the master's next queue: no allocation per frame.
    if (b.slots[0]) {
        std::lock_guard<std::mutex> queueGuard(b.slots[0]->m_mutex);
        if (b.slots[0]->m_updates.empty()) {
            updates.clear();
            updates.swap(b.slots[0]->m_updates);
        }
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
