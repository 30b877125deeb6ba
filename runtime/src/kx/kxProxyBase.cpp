#include <kx/kxProxyBase.h>

#include <cstdarg>
#include <cstdio>

kxProxyBase::~kxProxyBase() = default;

void kxProxyBase::print(int level, const char* format, ...) const {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    kuNotify::print(level, nullptr, "%s::%s", getProxyClassName(), text);
}

int kxProxyBase::failNoObject(const char* operation) const {
    print(kuNotify::WARN, "%s - failed. Kestrix object is NULL.", operation);
    return KU_FAILURE;
}

const char* kxProxyBase::propertyNameOrNull(int id) const {
    return id >= 0 && id < getNumProperties() ? getPropertyNames()[id] : nullptr;
}

const char* kxProxyBase::getPropertyName(int id) const {
    if (const char* name = propertyNameOrNull(id))
        return name;
    print(kuNotify::WARN, "getPropertyName - Unknown property ID %d passed.", id);
    return "";
}

int kxProxyBase::set(kuBase* object) {
    if (object) {
        const kuBase::ClassType* type = getRealClassType();
        if (!type || !object->isOfClassType(type)) {
            print(kuNotify::FAIL, "set - Object '%s' is not of class type ::%s.", object->getName(),
                  getRealClassName());
            return KU_FAILURE;
        }
    }
    // Taken before the lock: the handle's lock is the manager's.
    kuRef<kxProxyMgr::ObjectHandle> handle = kxProxyMgr::getObjectHandle(object);
    std::lock_guard<std::mutex> guard(m_lock);
    m_handle = handle;
    m_objectName = object ? object->getName() : "";
    return KU_SUCCESS;
}

kuBase* kxProxyBase::getObject() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_handle ? m_handle->get() : nullptr;
}

kuRef<kxProxyMgr::ObjectHandle> kxProxyBase::getHandle() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_handle;
}

std::string kxProxyBase::getObjectName() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objectName;
}

const char* kxProxyBase::getModuleName() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_handle ? getRealClassName() : nullptr;
}

int kxProxyBase::sync() {
    std::vector<int> ids(static_cast<std::size_t>(getNumProperties()));
    for (std::size_t id = 0; id < ids.size(); ++id)
        ids[id] = static_cast<int>(id);
    return postSync(ids.data(), ids.size());
}

int kxProxyBase::sync(int id) {
    return postSync(&id, 1);
}

int kxProxyBase::sync(const std::vector<int>& ids) {
    return postSync(ids.data(), ids.size());
}

// The ids join the pending set and one request carries them all. (A shared "whole sync being
// assembled" flag would let another thread's sync(id) return unsynced meanwhile.)
int kxProxyBase::postSync(const int* ids, std::size_t count) {
    const int threadId = kxProxyMgr::getCurrentThreadId();
    int posted;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_handle)
            return failNoObject("sync");
        m_pendingSync.insert(m_pendingSync.end(), ids, ids + count);
        posted = kxProxyMgr::addProxyRequest(
            new kxProxyMgr::SyncRequest<kxProxyBase*>(this, threadId, m_sets));
    }
    return posted == KU_SUCCESS ? kxProxyMgr::blockOnUpdate(threadId) : posted;
}

void kxProxyBase::processSyncRequests(int threadId, unsigned long long sequence) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_syncSequence = sequence;
        std::vector<int> pending;
        pending.swap(m_pendingSync);
        std::sort(pending.begin(), pending.end());
        pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
        if (kuBase* object = m_handle ? m_handle->get() : nullptr)
            for (int id : pending)
                syncProperty(object, id);
    }
    kxProxyMgr::releaseBlockOnUpdate(threadId);
}

void kxProxyBase::syncProperty(kuBase*, int id) {
    print(kuNotify::WARN, "processSyncRequests - Unknown property Id %d passed.", id);
}

kxProxyMgr::PropertyCheckerBase* kxProxyBase::makeChecker(kxProxyMgr::ObjectHandle*,
                                                          kxProxyMgr::PropertyWatcher*) {
    return nullptr;
}

void kxProxyBase::storeReference(Cached<kuRef<kxProxyBase>>& cache, kuBase* object) {
    if (cache.set > m_syncSequence)
        return;
    if (cache.value && cache.value->getObject() == object)
        return;
    cache.value.reset();
    if (!object)
        return;
    kuRef<kxProxyBase> proxy = kxProxyMgr::obtainProxy(object->getClassType()->getName());
    if (proxy && proxy->set(object) == KU_SUCCESS)
        cache.value = proxy;
}

int kxProxyBase::addPropertyWatcher(kxProxyMgr::PropertyWatcher* watcher) {
    if (!watcher)
        return KU_FAILURE;
    kuRef<kxProxyMgr::PropertyCheckerBase> checker;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_handle)
            return failNoObject("addPropertyWatcher");
        if (watcher->getChecker())
            return KU_FAILURE;
        checker = makeChecker(m_handle.get(), watcher);
    }
    if (!checker) {
        print(kuNotify::WARN, "addPropertyWatcher - Unknown property Id %d passed.",
              watcher->getPropertyId());
        return KU_FAILURE;
    }
    watcher->setChecker(checker.get());
    const int posted = kxProxyMgr::addProxyRequest(makeWatcherRequest(true, checker.get()));
    if (posted != KU_SUCCESS)
        watcher->setChecker(nullptr);
    return posted;
}

int kxProxyBase::removePropertyWatcher(kxProxyMgr::PropertyWatcher* watcher) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_handle)
            return failNoObject("removePropertyWatcher");
    }
    if (!watcher || !watcher->getChecker())
        return KU_FAILURE;
    kuRef<kxProxyMgr::PropertyCheckerBase> checker = watcher->getChecker();
    watcher->setChecker(nullptr);
    return kxProxyMgr::addProxyRequest(makeWatcherRequest(false, checker.get()));
}

void kxProxyBase::shutdown() {
    std::lock_guard<std::mutex> guard(m_lock);
    releaseReferences();
}
