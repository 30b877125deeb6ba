#include <kx/kxProxyMgr.h>

#include <kx/kxProxies.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Posting is a lock-free push onto a stack; the update thread takes the whole stack at once
// and reverses it, which gives the order of the pushes, so each thread's requests run in the
// order it posted them.
std::atomic<kxProxyQueue::ProxyMessageBase*> s_head{nullptr};
std::atomic<bool> s_valid{false};
// Posters between their validity check and their push; stop waits for them before it drains.
std::atomic<int> s_posting{0};
std::atomic<unsigned long long> s_executed{0};
std::atomic<int> s_updateThread{0};
std::atomic<int> s_nextThreadId{1};

// Blocked threads: the releases each thread id has been given and not yet taken.
std::mutex s_blockMutex;
std::condition_variable s_blockChanged;
std::map<int, int> s_releases;
int s_blocked = 0;
// Bumped by each stop: a thread blocked across it returns -32767 even if the manager starts
// again before it wakes.
unsigned s_stops = 0;

// Factories, class names and kept objects: rarely touched, one lock.
std::mutex s_registryMutex;
std::map<std::string, kxProxyMgr::ProxyFactory> s_factories;
std::set<std::string> s_classNames;
std::vector<kuRef<kuBase>> s_kept;

// Update thread only.
std::vector<kuRef<kxProxyMgr::PropertyCheckerBase>> s_checkers;

// Object handles are attached under one lock: proxies attach from any thread.
std::mutex s_handleMutex;

// Lives in the object's user data, so the object's destruction releases it and with it the
// handle's pointer.
class HandleAnchor : public kuMemBase {
public:
    explicit HandleAnchor(kuRef<kxProxyMgr::ObjectHandle> handle) : m_handle(std::move(handle)) {}
    kxProxyMgr::ObjectHandle* handle() const { return m_handle.get(); }
    void (*clear)(kxProxyMgr::ObjectHandle*) = nullptr;

protected:
    ~HandleAnchor() override {
        if (clear)
            clear(m_handle.get());
    }

private:
    kuRef<kxProxyMgr::ObjectHandle> m_handle;
};

thread_local int t_threadId = 0;

} // namespace

namespace kxProxyQueue {
ProxyMessageBase::~ProxyMessageBase() = default;
} // namespace kxProxyQueue

kxProxyQueue::ProxyMessageBase* kxProxyMgr::takeAll() {
    kxProxyQueue::ProxyMessageBase* head = s_head.exchange(nullptr, std::memory_order_acquire);
    kxProxyQueue::ProxyMessageBase* ordered = nullptr;
    while (head) {
        kxProxyQueue::ProxyMessageBase* next = head->m_next;
        head->m_next = ordered;
        ordered = head;
        head = next;
    }
    return ordered;
}

// ---- handles, watchers, checkers ----

kxProxyMgr::ObjectHandle::~ObjectHandle() = default;

kuRef<kxProxyMgr::ObjectHandle> kxProxyMgr::getObjectHandle(kuBase* object) {
    if (!object)
        return {};
    std::lock_guard<std::mutex> guard(s_handleMutex);
    kuUserDataList* list = object->getUserDataList(true);
    for (std::size_t i = 0; i < list->size(); ++i)
        if (auto* anchor = dynamic_cast<HandleAnchor*>(list->get(i)))
            return kuRef<ObjectHandle>(anchor->handle());
    kuRef<ObjectHandle> handle = new ObjectHandle(object);
    auto* anchor = new HandleAnchor(handle);
    anchor->clear = [](ObjectHandle* h) { h->m_object.store(nullptr, std::memory_order_release); };
    list->add(anchor);
    return handle;
}

void kxProxyMgr::PropertyWatcher::setChecker(PropertyCheckerBase* checker) {
    m_checker = checker;
}

kxProxyMgr::PropertyWatcher::~PropertyWatcher() = default;

kxProxyMgr::PropertyCheckerBase::PropertyCheckerBase(ObjectHandle* handle, PropertyWatcher* watcher)
    : m_handle(handle), m_watcher(watcher) {}

kxProxyMgr::PropertyCheckerBase::~PropertyCheckerBase() = default;

int kxProxyMgr::PropertyCheckerBase::getPropertyId() const {
    return m_watcher ? m_watcher->getPropertyId() : -1;
}

void kxProxyMgr::PropertyCheckerBase::changed() {
    m_changed = true;
    if (m_watcher)
        m_watcher->propertyChanged(*this);
}

void kxProxyMgr::PropertyCheckerBase::detach() {
    m_watcher.reset();
}

void kxProxyMgr::addPropertyChecker(PropertyCheckerBase* checker) {
    if (checker && checker->m_watcher)
        s_checkers.emplace_back(checker);
}

void kxProxyMgr::removePropertyChecker(PropertyCheckerBase* checker) {
    auto it = std::find(s_checkers.begin(), s_checkers.end(), checker);
    if (it != s_checkers.end())
        s_checkers.erase(it);
    dropPropertyChecker(checker);
}

void kxProxyMgr::dropPropertyChecker(PropertyCheckerBase* checker) {
    if (checker)
        checker->detach();
}

int kxProxyMgr::getNumPropertyCheckers() {
    return static_cast<int>(s_checkers.size());
}

// ---- start, stop, queue ----

int kxProxyMgr::start() {
    s_updateThread.store(getCurrentThreadId());
    s_executed.store(0);
    s_valid.store(true);
    // Objects of classes without a proxy of their own (strategies, converters).
    registerProxyWithFactory("kuBase", &kxProxies::kxObject::factory);
    return KU_SUCCESS;
}

void kxProxyMgr::stop() {
    if (!s_valid.exchange(false))
        return;
    // Posters that saw the manager valid finish their push before the queue is dropped.
    while (s_posting.load() != 0)
        std::this_thread::yield();
    for (kxProxyQueue::ProxyMessageBase* message = takeAll(); message;) {
        kxProxyQueue::ProxyMessageBase* next = message->m_next;
        delete message;
        message = next;
    }
    {
        std::lock_guard<std::mutex> guard(s_blockMutex);
        ++s_stops;
        s_releases.clear();
    }
    s_blockChanged.notify_all();
    std::vector<kuRef<PropertyCheckerBase>> checkers;
    checkers.swap(s_checkers);
    for (auto& checker : checkers)
        checker->detach();
    std::vector<kuRef<kuBase>> kept;
    {
        std::lock_guard<std::mutex> guard(s_registryMutex);
        s_factories.clear();
        s_classNames.clear();
        kept.swap(s_kept);
    }
}

bool kxProxyMgr::isValid() {
    return s_valid.load();
}

int kxProxyMgr::addProxyRequest(kxProxyQueue::ProxyMessageBase* request) {
    if (!request)
        return KU_FAILURE;
    s_posting.fetch_add(1);
    if (!s_valid.load()) {
        s_posting.fetch_sub(1);
        delete request;
        return KU_FAILURE;
    }
    request->m_next = s_head.load(std::memory_order_relaxed);
    while (!s_head.compare_exchange_weak(request->m_next, request, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    s_posting.fetch_sub(1);
    return KU_SUCCESS;
}

void kxProxyMgr::executeQueue() {
    unsigned long long executed = 0;
    for (kxProxyQueue::ProxyMessageBase* message = takeAll(); message; ++executed) {
        kxProxyQueue::ProxyMessageBase* next = message->m_next;
        message->execute();
        delete message;
        message = next;
    }
    s_executed.fetch_add(executed, std::memory_order_relaxed);
}

void kxProxyMgr::processRequests() {
    if (!s_valid.load())
        return;
    // Frames may run on another thread than the one that started the manager.
    s_updateThread.store(getCurrentThreadId());
    executeQueue();
    // A watcher may remove itself while being told: walk a copy.
    const std::vector<kuRef<PropertyCheckerBase>> checkers = s_checkers;
    for (const auto& checker : checkers)
        if (checker->m_watcher)
            checker->check();
}

unsigned long long kxProxyMgr::getNumExecuted() {
    return s_executed.load();
}

// ---- threads ----

int kxProxyMgr::getCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = s_nextThreadId.fetch_add(1);
    return t_threadId;
}

bool kxProxyMgr::isUpdateThread() {
    return s_updateThread.load() == getCurrentThreadId();
}

int kxProxyMgr::blockOnUpdate(int threadId) {
    if (!s_valid.load())
        return KU_FAILURE;
    if (isUpdateThread())
        // Waiting here would wait for this very thread: run what is queued, the request this
        // call waits for among it.
        executeQueue();
    std::unique_lock<std::mutex> lock(s_blockMutex);
    // Checked under the lock: stop clears the flag before it takes the lock to count itself,
    // so a stop either is seen here or wakes the wait below.
    if (!s_valid.load())
        return KU_FAILURE;
    const unsigned stops = s_stops;
    auto released = [threadId] {
        auto it = s_releases.find(threadId);
        return it != s_releases.end() && it->second > 0;
    };
    if (!released() && isUpdateThread())
        return KU_FAILURE;
    ++s_blocked;
    s_blockChanged.wait(lock, [&] { return s_stops != stops || released(); });
    --s_blocked;
    if (s_stops != stops)
        return KU_FAILURE;
    if (--s_releases[threadId] == 0)
        s_releases.erase(threadId);
    return KU_SUCCESS;
}

void kxProxyMgr::releaseBlockOnUpdate(int threadId) {
    {
        std::lock_guard<std::mutex> guard(s_blockMutex);
        ++s_releases[threadId];
    }
    s_blockChanged.notify_all();
}

int kxProxyMgr::getNumBlocked() {
    std::lock_guard<std::mutex> guard(s_blockMutex);
    return s_blocked;
}

// ---- factories, class names, kept objects ----

int kxProxyMgr::registerProxyWithFactory(const char* className, ProxyFactory factory) {
    if (!className || !factory || !s_valid.load())
        return KU_FAILURE;
    std::lock_guard<std::mutex> guard(s_registryMutex);
    s_factories[className] = factory;
    return KU_SUCCESS;
}

kxProxyBase* kxProxyMgr::obtainProxy(const char* className) {
    const kuBase::ClassType* type = className ? kuBase::ClassType::find(className) : nullptr;
    std::lock_guard<std::mutex> guard(s_registryMutex);
    if (className) {
        auto it = s_factories.find(className);
        if (it != s_factories.end())
            return it->second();
    }
    for (const kuBase::ClassType* parent = type ? type->getParent() : nullptr; parent;
         parent = parent->getParent()) {
        auto it = s_factories.find(parent->getName());
        if (it != s_factories.end())
            return it->second();
    }
    return nullptr;
}

void kxProxyMgr::addClassName(const char* className) {
    if (!className)
        return;
    std::lock_guard<std::mutex> guard(s_registryMutex);
    s_classNames.insert(className);
}

bool kxProxyMgr::hasClassName(const char* className) {
    std::lock_guard<std::mutex> guard(s_registryMutex);
    return className && s_classNames.count(className) != 0;
}

void kxProxyMgr::keepObject(kuBase* object) {
    if (!object)
        return;
    std::lock_guard<std::mutex> guard(s_registryMutex);
    s_kept.emplace_back(object);
}
