#ifndef KX_PROXYBASE_H
#define KX_PROXYBASE_H

#include <ku/kuLock.h>
#include <ku/kuNotify.h>
#include <kx/kxProxyMgr.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

// A proxy stands for one real object for threads other than the update thread. It caches
// every property: getters read the cache, setters write it and queue a request that calls the
// real setter on the update thread, sync reads the real values back into the cache while the
// caller waits, and watchers report changes made by anyone. Counted (ref/unref).
// The cache is guarded by the proxy's lock: a getter returns the last value set through this
// proxy or read back by the last sync, and a sync never replaces a value set through this
// proxy after the sync was posted (that set's request has not run yet).
// Threads: any thread, unless noted; processSyncRequests and the requests on the update thread.
class KX_API kxProxyBase : public kuMemBase {
public:
    // As messages name the class ("kxProxies::kxLightLobe").
    virtual const char* getProxyClassName() const = 0;
    // The class of the real objects; null while that class is not registered.
    virtual const kuBase::ClassType* getRealClassType() const = 0;
    virtual const char* getRealClassName() const = 0;
    // Number of property ids (0 .. n-1) and their names ("" and a level-5 message for an
    // unknown id).
    virtual int getNumProperties() const = 0;
    const char* getPropertyName(int id) const;

    // Attaches an object, or detaches with null. An object of another class is refused with
    // a level-6 message, and the proxy stays as it was (-32767).
    virtual int set(kuBase* object);
    // The attached object, or null (none attached, or destroyed since). Dereference it on
    // the update thread only.
    kuBase* getObject() const;
    kuRef<kxProxyMgr::ObjectHandle> getHandle() const;
    // The object's name when it was attached ("" without one).
    std::string getObjectName() const;
    // The real class's name while an object is attached, otherwise null.
    const char* getModuleName() const;

    // Reads every property (or the given ones) back from the object on the update thread,
    // blocking until done. 1; -32767 without an object or when the manager stops first.
    int sync();
    int sync(int id);
    int sync(const std::vector<int>& ids);
    // Update thread (the SyncRequest): reads the pending ids into the cache, then releases
    // threadId. sequence: the proxy's set count when the sync was posted.
    void processSyncRequests(int threadId, unsigned long long sequence);

    // Watches the watcher's property id: a checker seeded with the cached value is polled
    // every frame on the update thread. 1, or -32767 without an object, for an unknown id, or
    // for a watcher already registered.
    int addPropertyWatcher(kxProxyMgr::PropertyWatcher* watcher);
    int removePropertyWatcher(kxProxyMgr::PropertyWatcher* watcher);

    // Leaves the class's list and releases the proxies this one holds (also done on
    // destruction).
    virtual void shutdown();

protected:
    kxProxyBase() = default;
    ~kxProxyBase() override;

    // A cached value and the set count of the last set through this proxy.
    template <class T>
    struct Cached {
        T value{};
        unsigned long long set = 0;
    };

    // Sets the cache and queues the request under the lock, so that the last value cached is
    // the last one applied. Without an object: a level-5 message and -32767.
    template <class Request, class T, class Arg>
    int setCached(Cached<T>& cache, const T& value, const char* setter, const Arg& arg) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_handle)
            return failNoObject(setter);
        cache.value = value;
        cache.set = ++m_sets;
        return kxProxyMgr::addProxyRequest(new Request(m_handle.get(), arg));
    }
    template <class Request, class T>
    int setCached(Cached<T>& cache, const T& value, const char* setter) {
        return setCached<Request>(cache, value, setter, value);
    }
    template <class T>
    T getCached(const Cached<T>& cache) const {
        std::lock_guard<std::mutex> guard(m_lock);
        return cache.value;
    }
    // For syncProperty: takes a value read back unless a later set is still on its way.
    template <class T>
    void store(Cached<T>& cache, const T& value) {
        if (cache.set <= m_syncSequence)
            cache.value = value;
    }
    // For syncProperty of a reference: keeps the cached proxy while it stands for object,
    // otherwise replaces it with a new proxy of object (none for null).
    void storeReference(Cached<kuRef<kxProxyBase>>& cache, kuBase* object);
    // The handle of a proxy given as an argument, taken outside this proxy's lock.
    static kuRef<kxProxyMgr::ObjectHandle> handleOf(const kxProxyBase* proxy) {
        return proxy ? proxy->getHandle() : kuRef<kxProxyMgr::ObjectHandle>();
    }

    // Lock held.
    const kuRef<kxProxyMgr::ObjectHandle>& getHandleLocked() const { return m_handle; }
    int failNoObject(const char* operation) const;
    void print(int level, const char* format, ...) const;
    const char* propertyNameOrNull(int id) const;
    // The name table of the class, one per id.
    virtual const char* const* getPropertyNames() const = 0;

    // Update thread, lock held: the real value of one property into the cache. The default
    // reports an unknown id.
    virtual void syncProperty(kuBase* object, int id);
    // Lock held: a checker of the watcher's property, seeded with the cached value; null for
    // an unknown id.
    virtual kxProxyMgr::PropertyCheckerBase* makeChecker(kxProxyMgr::ObjectHandle* handle,
                                                         kxProxyMgr::PropertyWatcher* watcher);
    // The AddPropertyWatcherRequest / RemovePropertyWatcherRequest of the real class.
    virtual kxProxyQueue::ProxyMessageBase*
    makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) = 0;
    template <class Real>
    static kxProxyQueue::ProxyMessageBase* watcherRequest(bool add,
                                                          kxProxyMgr::PropertyCheckerBase* c) {
        if (add)
            return new kxProxyMgr::AddPropertyWatcherRequest<Real>(c);
        return new kxProxyMgr::RemovePropertyWatcherRequest<Real>(c);
    }
    // Lock held: releases the proxies the cache holds (shutdown).
    virtual void releaseReferences() {}

    mutable std::mutex m_lock;

private:
    int postSync(const int* ids, std::size_t count);

    kuRef<kxProxyMgr::ObjectHandle> m_handle;
    std::string m_objectName;
    unsigned long long m_sets = 0;
    unsigned long long m_syncSequence = 0;
    std::vector<int> m_pendingSync;
};

// The live proxies of one class, guarded by the class's lock.
// Threads: any.
template <class T>
class kxProxyList {
public:
    void add(T* proxy) {
        std::lock_guard<kuLock> guard(m_lock);
        m_items.push_back(proxy);
    }
    void remove(T* proxy) {
        std::lock_guard<kuLock> guard(m_lock);
        m_items.erase(std::remove(m_items.begin(), m_items.end(), proxy), m_items.end());
    }
    int size() const {
        std::lock_guard<kuLock> guard(m_lock);
        return static_cast<int>(m_items.size());
    }
    bool empty() const { return size() == 0; }
    // The first proxy whose object has that name.
    T* find(const char* name) const {
        std::lock_guard<kuLock> guard(m_lock);
        for (T* proxy : m_items)
            if (name && proxy->getObjectName() == name)
                return proxy;
        return nullptr;
    }
    // Walk begin()..end() with getLock() held.
    typename std::vector<T*>::const_iterator begin() const { return m_items.begin(); }
    typename std::vector<T*>::const_iterator end() const { return m_items.end(); }
    kuLock& getLock() const { return m_lock; }

private:
    mutable kuLock m_lock;
    std::vector<T*> m_items;
};

#endif
