#include <ks/ksNode.h>

#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ku/kuNotify.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <mutex>

namespace {

kuBase::ClassType* s_classType = nullptr;

struct NodeIds {
    std::mutex mutex;
    std::map<const kuBase::ClassType*, int> ids;
    int next = 1;
};

NodeIds& nodeIds() {
    static NodeIds s_ids;
    return s_ids;
}

} // namespace

struct ksNode::SubscriberList {
    mutable kuLock lock;
    std::vector<kuRef<Subscriber>> events[NUM_EVENTS];
    // Subscribers per event, read without the lock: most nodes have none, and their frequent
    // notifications (bounds, cull) should cost nothing.
    std::atomic<int> counts[NUM_EVENTS] = {};
};

ksNode::ksNode(ksThreadBuffer* threadBuffer)
    : m_clones(new ksNode*[ksThreadBuffer::MAX_BUFFERS]()), m_cloneIndex(0),
      m_threadBuffer(threadBuffer) {
    if (!m_threadBuffer)
        m_threadBuffer = ksThreadBuffer::getCurrent();
    if (!m_threadBuffer)
        m_threadBuffer = ksThreadBuffer::getMaster();
    m_clones[0] = this;
    // The subscriber lists are made with the first subscriber: most nodes never have one.
    // Clones are made by the thread buffers once construction has finished (createClone is
    // virtual and cannot be called from here).
    ksThreadBuffer::registerMaster(this);
}

ksNode::ksNode(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : kuBase(*clones[0]), m_clones(clones), m_cloneIndex(index), m_threadBuffer(threadBuffer) {
    const ksNode* master = clones[0];
    m_cullMask = master->m_cullMask;
    m_renderMask = master->m_renderMask;
    m_isectMask = master->m_isectMask;
    m_staticBounds = master->m_staticBounds;
    m_bounds = master->m_bounds;
    m_subscribedEvents.store(master->m_subscribedEvents.load());
    m_clones[index] = this;
}

ksNode::~ksNode() {
    if (isMasterClone()) {
        if (m_subscribers) {
            std::vector<kuRef<Subscriber>> subscribers = m_subscribers->events[EVENT_DELETE];
            for (auto& subscriber : subscribers)
                subscriber->notify(EVENT_DELETE, this, nullptr, nullptr);
        }
        ksThreadBuffer::unregisterMaster(this);
        for (int i = 1; i < ksThreadBuffer::MAX_BUFFERS; ++i)
            releaseClone(i);
        delete[] m_clones;
        delete m_subscribers;
    } else if (m_clones) {
        m_clones[m_cloneIndex] = nullptr;
    }
    for (auto& child : m_children) {
        auto& parents = child->m_parents;
        parents.erase(std::remove(parents.begin(), parents.end(), this), parents.end());
    }
}

void ksNode::releaseClone(int index) {
    ksNode* clone = m_clones[index];
    if (!clone)
        return;
    m_clones[index] = nullptr;
    clone->m_clones = nullptr;
    clone->unref();
}

ksNode* ksNode::ensureClone(int index, ksThreadBuffer* threadBuffer) {
    if (!isMasterClone() || index <= 0 || index >= ksThreadBuffer::MAX_BUFFERS)
        return nullptr;
    if (!m_clones[index]) {
        ksNode* clone = createClone(index, threadBuffer);
        if (!clone)
            return nullptr;
        clone->ref(); // held by the master through the clone array
        m_clones[index] = clone;
    }
    return m_clones[index];
}

void ksNode::setName(const char* name) {
    kuBase::setName(name);
    queueUpdate(TOKEN_NAME);
    notifySubscribers(EVENT_NAME_CHANGED, nullptr, nullptr);
}

const kuBase::ClassType* ksNode::getClassType() const {
    return s_classType;
}

void ksNode::setCullMask(unsigned int mask) {
    m_cullMask = mask;
    queueUpdate(TOKEN_MASKS);
}

void ksNode::setRenderMask(unsigned int mask) {
    m_renderMask = mask;
    queueUpdate(TOKEN_MASKS);
}

void ksNode::setIsectMask(unsigned int mask) {
    m_isectMask = mask;
    queueUpdate(TOKEN_MASKS);
}

void ksNode::setStaticBoundsEnable(bool enable, bool notifyParents) {
    m_staticBounds = enable;
    dirtyBounds();
    queueUpdate(TOKEN_BOUNDS);
    if (notifyParents)
        for (ksNode* parent : m_parents)
            parent->notifySubscribers(EVENT_BOUNDS_CHANGED, this, nullptr);
}

void ksNode::setBounds(const kuSphered& bounds, bool notifyParents) {
    m_bounds = bounds;
    if (m_staticBounds)
        dirtyBounds();
    queueUpdate(TOKEN_BOUNDS);
    notifySubscribers(EVENT_BOUNDS_CHANGED, this, nullptr);
    if (notifyParents)
        for (ksNode* parent : m_parents)
            parent->notifySubscribers(EVENT_BOUNDS_CHANGED, this, nullptr);
}

const kuSphered& ksNode::getBounds() const {
    if (!m_boundsCached) {
        m_cachedBounds = computeBounds();
        m_boundsCached = true;
    }
    return m_cachedBounds;
}

kuSphered ksNode::computeBounds() const {
    if (m_staticBounds)
        return m_bounds;
    kuSphered bounds;
    for (const auto& child : m_children)
        bounds.expandBy(child->getBounds());
    return bounds;
}

void ksNode::dirtyBounds() {
    if (!m_boundsCached)
        return;
    m_boundsCached = false;
    for (ksNode* parent : m_parents)
        parent->dirtyBounds();
}

namespace {
// Whether node is candidate or lies below it.
bool isAncestorOrSelf(const ksNode* candidate, const ksNode* node) {
    if (node == candidate)
        return true;
    for (int i = 0; i < node->getNumParents(); ++i)
        if (isAncestorOrSelf(candidate, node->getParent(i)))
            return true;
    return false;
}
} // namespace

int ksNode::addChild(ksNode* child) {
    // A loop would send every traversal, and the walk up to the world matrix, round for ever.
    if (!child || isAncestorOrSelf(child, this))
        return KU_FAILURE;
    // A node has few parents and may have many children: ask the child.
    if (std::find(child->m_parents.begin(), child->m_parents.end(), this) != child->m_parents.end())
        return KU_FAILURE;
    m_children.emplace_back(child);
    child->m_parents.push_back(this);
    dirtyBounds();
    queueUpdate(TOKEN_CHILDREN);
    notifySubscribers(EVENT_ADD_CHILD, child, nullptr);
    child->notifySubscribers(EVENT_ADD_PARENT, this, nullptr);
    return KU_SUCCESS;
}

int ksNode::removeChild(ksNode* child) {
    if (!child ||
        std::find(child->m_parents.begin(), child->m_parents.end(), this) == child->m_parents.end())
        return KU_FAILURE;
    // From the end: the children added last are the ones most often taken away again.
    auto it = std::find(m_children.rbegin(), m_children.rend(), child);
    kuRef<ksNode> keep = child; // alive until both sides are told
    m_children.erase(std::next(it).base());
    auto& parents = child->m_parents;
    parents.erase(std::remove(parents.begin(), parents.end(), this), parents.end());
    dirtyBounds();
    queueUpdate(TOKEN_CHILDREN);
    notifySubscribers(EVENT_REMOVE_CHILD, child, nullptr);
    child->notifySubscribers(EVENT_REMOVE_PARENT, this, nullptr);
    return KU_SUCCESS;
}

ksNode* ksNode::getChild(int index) const {
    return index >= 0 && index < getNumChildren() ? m_children[index].get() : nullptr;
}

ksNode* ksNode::getParent(int index) const {
    return index >= 0 && index < getNumParents() ? m_parents[index] : nullptr;
}

int ksNode::addSubscriber(int event, Subscriber* subscriber) {
    ksNode* master = getClone(0);
    if (!master || !subscriber || event < 0 || event >= NUM_EVENTS)
        return KU_FAILURE;
    // The application thread alone adds subscribers; a cull thread reads the lists only after
    // the clone's event bit, published after this, says there are some.
    if (!master->m_subscribers)
        master->m_subscribers = new SubscriberList;
    std::lock_guard<kuLock> guard(master->m_subscribers->lock);
    master->m_subscribers->events[event].emplace_back(subscriber);
    ++master->m_subscribers->counts[event];
    master->publishSubscribedEvents();
    return KU_SUCCESS;
}

int ksNode::removeSubscriber(int event, Subscriber* subscriber) {
    ksNode* master = getClone(0);
    if (!master || !master->m_subscribers || event < 0 || event >= NUM_EVENTS)
        return KU_FAILURE;
    std::lock_guard<kuLock> guard(master->m_subscribers->lock);
    auto& list = master->m_subscribers->events[event];
    auto it = std::find(list.begin(), list.end(), subscriber);
    if (it == list.end())
        return KU_FAILURE;
    list.erase(it);
    --master->m_subscribers->counts[event];
    master->publishSubscribedEvents();
    return KU_SUCCESS;
}

int ksNode::getNumSubscribers(int event) const {
    const ksNode* master = getClone(0);
    if (!master || !master->m_subscribers || event < 0 || event >= NUM_EVENTS)
        return 0;
    std::lock_guard<kuLock> guard(master->m_subscribers->lock);
    return static_cast<int>(master->m_subscribers->events[event].size());
}

void ksNode::publishSubscribedEvents() {
    unsigned int events = 0;
    for (int event = 0; event < NUM_EVENTS; ++event)
        if (m_subscribers->counts[event].load(std::memory_order_relaxed) > 0)
            events |= 1u << event;
    for (int i = 0; i < ksThreadBuffer::MAX_BUFFERS; ++i)
        if (ksNode* clone = m_clones[i])
            clone->m_subscribedEvents.store(events, std::memory_order_release);
}

void ksNode::notifySubscribers(int event, void* data, int* result) {
    if (event < 0 || event >= NUM_EVENTS ||
        !(m_subscribedEvents.load(std::memory_order_acquire) & (1u << event)))
        return;
    ksNode* master = getClone(0);
    if (!master || !master->m_subscribers)
        return;
    // Work on a copy: a subscriber may add or remove subscribers while being told.
    std::vector<kuRef<Subscriber>> subscribers;
    {
        std::lock_guard<kuLock> guard(master->m_subscribers->lock);
        subscribers = master->m_subscribers->events[event];
    }
    for (auto& subscriber : subscribers)
        subscriber->notify(event, this, data, result);
}

int ksNode::registerNode(const ClassType* type) {
    if (!type)
        return 0;
    NodeIds& n = nodeIds();
    std::lock_guard<std::mutex> guard(n.mutex);
    auto it = n.ids.find(type);
    if (it != n.ids.end())
        return it->second;
    const int id = n.next++;
    n.ids[type] = id;
    return id;
}

int ksNode::unregisterNode(const ClassType* type) {
    NodeIds& n = nodeIds();
    std::lock_guard<std::mutex> guard(n.mutex);
    return n.ids.erase(type) ? KU_SUCCESS : KU_FAILURE;
}

int ksNode::getRegisteredNodeId(const ClassType* type) {
    NodeIds& n = nodeIds();
    std::lock_guard<std::mutex> guard(n.mutex);
    auto it = n.ids.find(type);
    return it == n.ids.end() ? 0 : it->second;
}

int ksNode::getNodeId() const {
    // The most derived registered node class: derived classes need not override this.
    for (const ClassType* type = getClassType(); type; type = type->getParent())
        if (const int id = getRegisteredNodeId(type))
            return id;
    return 0;
}

ksNode* ksNode::getClone(int index) const {
    if (!m_clones || index < 0 || index >= ksThreadBuffer::MAX_BUFFERS)
        return nullptr;
    return m_clones[index];
}

ksNode* ksNode::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new ksNode(m_clones, index, threadBuffer);
}

void ksNode::prefetchForSync(int, const ksNode*) const {}

void ksNode::syncWithMasterClone(int token, ksNode** clones) {
    const ksNode* master = clones ? clones[0] : nullptr;
    if (!master || master == this)
        return;
    switch (token) {
    case TOKEN_NAME:
        kuBase::setName(master->getName());
        break;
    case TOKEN_MASKS:
        m_cullMask = master->m_cullMask;
        m_renderMask = master->m_renderMask;
        m_isectMask = master->m_isectMask;
        break;
    case TOKEN_BOUNDS:
        m_staticBounds = master->m_staticBounds;
        m_bounds = master->m_bounds;
        dirtyBounds();
        break;
    case TOKEN_CHILDREN: {
        // The clone's children are the same pipeline's clones of the master's children.
        for (auto& child : m_children) {
            auto& parents = child->m_parents;
            parents.erase(std::remove(parents.begin(), parents.end(), this), parents.end());
        }
        m_children.clear();
        for (const auto& masterChild : master->m_children) {
            ksNode* child = masterChild->getClone(m_cloneIndex);
            if (!child)
                continue;
            m_children.emplace_back(child);
            child->m_parents.push_back(this);
        }
        dirtyBounds();
        break;
    }
    default:
        kuNotify::print(kuNotify::WARN, getClassType(), "ksNode: unhandled update token %d", token);
        break;
    }
}

int ksNode::cull(ksTraversalCull* traversal) {
    int result = ksTraversal::RESULT_CONTINUE;
    notifySubscribers(EVENT_CULL, traversal, &result);
    if (result & ksTraversal::RESULT_STOP)
        return ksTraversal::RESULT_STOP;
    traversal->traverseChildren(this);
    return ksTraversal::RESULT_CONTINUE;
}

kuBase* ksNode::makeCopy(int options) const {
    kuRef<ksNode> node = new ksNode(nullptr);
    if (node->copy(this, options) != KU_SUCCESS)
        return nullptr;
    return node.release();
}

int ksNode::copy(const ksNode* source, int options) {
    if (source == this)
        return KU_SUCCESS;
    if (!source)
        return KU_FAILURE;
    if (!(options & COPY_EXCLUDE_BASE))
        setName(source->getName());
    setCullMask(source->m_cullMask);
    setRenderMask(source->m_renderMask);
    setIsectMask(source->m_isectMask);
    setStaticBoundsEnable(source->m_staticBounds, false);
    setBounds(source->m_bounds, false);
    return KU_SUCCESS;
}

bool ksNode::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!other || other->getClassType() != getClassType())
        return false;
    if (!kuBase::compare(other, options))
        return false;
    const auto* node = static_cast<const ksNode*>(other);
    return m_cullMask == node->m_cullMask && m_renderMask == node->m_renderMask &&
           m_isectMask == node->m_isectMask && m_staticBounds == node->m_staticBounds &&
           m_bounds == node->m_bounds;
}

void ksNode::queueUpdate(int token) {
    if (m_threadBuffer)
        m_threadBuffer->appendUpdate(this, token, nullptr, true);
}

kuBase::ClassType* ksNode::getStaticClassType() {
    return s_classType;
}

int ksNode::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("ksNode", kuBase::getStaticClassType(), nullptr, true, false);
    registerNode(s_classType);
    return KU_SUCCESS;
}

int ksNode::shutdownClass() {
    unregisterNode(s_classType);
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
