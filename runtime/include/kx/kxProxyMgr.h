#ifndef KX_PROXYMGR_H
#define KX_PROXYMGR_H

#include <ku/kuBase.h>
#include <ku/kuExport.h>

#include <atomic>
#include <utility>

class kxProxyBase;
class kxProxyMgr;

namespace kxProxyQueue {

// One request from another thread, executed on the update thread. The queue owns it: it is
// deleted after it executed, or unexecuted when the manager stops first.
// Threads: made on any thread; execute and the destructor on the update thread (or on the
// thread that stops the manager).
class KX_API ProxyMessageBase {
public:
    ProxyMessageBase() = default;
    ProxyMessageBase(const ProxyMessageBase&) = delete;
    ProxyMessageBase& operator=(const ProxyMessageBase&) = delete;
    virtual ~ProxyMessageBase();
    virtual void execute() = 0;

private:
    friend class ::kxProxyMgr;
    ProxyMessageBase* m_next = nullptr;
};

} // namespace kxProxyQueue

// The proxy manager lets other threads reach the application's objects through queued
// requests: any thread posts, and the kernel executes the queue on the application (update)
// thread once per frame, before the per-frame event, then polls the property checkers. A thread
// that needs an answer (a creation, a sync) blocks until the update thread releases it.
// It is valid only between start and stop; modules register their proxy factories only then.
// Threads: start, stop and processRequests on the application thread (the thread that
// started the manager is the update thread); every other operation on any thread unless noted.
class KX_API kxProxyMgr {
public:
    // Stands for one real object for as long as proxies and requests need it: get() turns null
    // when the object is destroyed, so a request that outlives its object does nothing.
    class KX_API ObjectHandle : public kuMemBase {
    public:
        kuBase* get() const { return m_object.load(std::memory_order_acquire); }

    protected:
        ~ObjectHandle() override;

    private:
        friend class kxProxyMgr;
        explicit ObjectHandle(kuBase* object) : m_object(object) {}
        std::atomic<kuBase*> m_object;
    };

    class PropertyCheckerBase;

    // Told of the changes of one property of one object (the watcher callback). Counted: the
    // checker holds it while it is registered, so it may be released at any time.
    // Threads: made on any thread; propertyChanged runs on the update thread.
    class KX_API PropertyWatcher : public kuMemBase {
    public:
        explicit PropertyWatcher(int propertyId) : m_propertyId(propertyId) {}
        int getPropertyId() const { return m_propertyId; }
        // The new value is the checker's (PropertyValueChecker<T>::getValue()).
        virtual void propertyChanged(const PropertyCheckerBase& checker) = 0;
        // The checker that watches for this callback; set by the proxy while it is registered.
        PropertyCheckerBase* getChecker() const { return m_checker.get(); }
        void setChecker(PropertyCheckerBase* checker);

    protected:
        ~PropertyWatcher() override;

    private:
        const int m_propertyId;
        kuRef<PropertyCheckerBase> m_checker;
    };

    // Polled once per frame on the update thread while registered: reads the real property
    // and tells the watcher when it differs from the last value seen.
    class KX_API PropertyCheckerBase : public kuMemBase {
    public:
        PropertyCheckerBase(ObjectHandle* handle, PropertyWatcher* watcher);
        virtual void check() = 0;
        // Set by the first change seen; tests and applications may clear it.
        bool getChanged() const { return m_changed; }
        void clearChanged() { m_changed = false; }
        int getPropertyId() const;

    protected:
        ~PropertyCheckerBase() override;
        // The object, or null once it is gone.
        kuBase* object() const { return m_handle ? m_handle->get() : nullptr; }
        void changed();

    private:
        friend class kxProxyMgr;
        // Lets go of the watcher (which holds this checker): once unregistered, nothing calls
        // it any more and the pair is not kept alive by each other.
        void detach();
        kuRef<ObjectHandle> m_handle;
        kuRef<PropertyWatcher> m_watcher;
        bool m_changed = false;
    };

    // A checker that keeps the last value it saw.
    template <class T>
    class PropertyValueChecker : public PropertyCheckerBase {
    public:
        PropertyValueChecker(ObjectHandle* handle, PropertyWatcher* watcher, const T& seed)
            : PropertyCheckerBase(handle, watcher), m_value(seed) {}
        const T& getValue() const { return m_value; }

    protected:
        // The update thread's read of the property.
        void seen(const T& value) {
            if (value == m_value)
                return;
            m_value = value;
            changed();
        }

    private:
        T m_value;
    };

    // Executes the proxy's pending syncs and releases the waiting thread.
    template <class Proxy>
    class SyncRequest : public kxProxyQueue::ProxyMessageBase {
    public:
        // The proxy is not held: its owner is the thread blocked on this request.
        SyncRequest(Proxy proxy, int threadId, unsigned long long sequence)
            : m_proxy(proxy), m_threadId(threadId), m_sequence(sequence) {}
        void execute() override { m_proxy->processSyncRequests(m_threadId, m_sequence); }

    private:
        Proxy m_proxy;
        int m_threadId;
        unsigned long long m_sequence;
    };

    // Registers or unregisters a checker of an object of class Real.
    template <class Real>
    class AddPropertyWatcherRequest : public kxProxyQueue::ProxyMessageBase {
    public:
        explicit AddPropertyWatcherRequest(PropertyCheckerBase* checker) : m_checker(checker) {}
        ~AddPropertyWatcherRequest() override {
            if (!m_done)
                kxProxyMgr::dropPropertyChecker(m_checker.get());
        }
        void execute() override {
            m_done = true;
            kxProxyMgr::addPropertyChecker(m_checker.get());
        }

    private:
        kuRef<PropertyCheckerBase> m_checker;
        bool m_done = false;
    };
    template <class Real>
    class RemovePropertyWatcherRequest : public kxProxyQueue::ProxyMessageBase {
    public:
        explicit RemovePropertyWatcherRequest(PropertyCheckerBase* checker) : m_checker(checker) {}
        void execute() override { kxProxyMgr::removePropertyChecker(m_checker.get()); }

    private:
        kuRef<PropertyCheckerBase> m_checker;
    };

    // Makes an empty proxy for a real class (registerProxyWithFactory).
    typedef kxProxyBase* (*ProxyFactory)();

    // Makes the calling thread the update thread. 1.
    static int start();
    // Releases every blocked thread with -32767, drops the queued requests unexecuted and the
    // property checkers, the factories, the class names and the objects proxies created.
    // The kernel stops the manager when it unconfigures.
    static void stop();
    static bool isValid();

    // Queues a request (taking it). 1, or -32767 when the manager is not valid (the request is
    // deleted unexecuted).
    static int addProxyRequest(kxProxyQueue::ProxyMessageBase* request);
    // Update thread: executes every request queued so far in the order posted, then polls the
    // property checkers. Requests posted while it runs wait for the next call.
    static void processRequests();

    // A small number for the calling thread, fixed for its life (from 1).
    static int getCurrentThreadId();
    // Whether the calling thread is the update thread.
    static bool isUpdateThread();
    // Blocks the calling thread until the update thread releases threadId, the id the request
    // it waits for carries. On the update thread itself it executes the queue at once (no
    // frame would come to do it). 1 when released, -32767 when the manager stops or is not
    // valid. A release that comes before the block is kept, so the order does not matter.
    static int blockOnUpdate(int threadId);
    static void releaseBlockOnUpdate(int threadId);

    static int registerProxyWithFactory(const char* className, ProxyFactory factory);
    // A new, unattached proxy made by the factory of className or, failing that, of its
    // nearest registered parent class; null when there is none. The caller references it.
    static kxProxyBase* obtainProxy(const char* className);
    // The class names of the objects created through proxies.
    static void addClassName(const char* className);
    static bool hasClassName(const char* className);
    // Update thread: holds an object created through a proxy until the manager stops (the
    // proxy itself does not own its object).
    static void keepObject(kuBase* object);

    // The handle of an object (made on first use and kept in the object's user data, whose
    // release at the object's destruction clears it). Null for null. The object must stay
    // alive during the call.
    static kuRef<ObjectHandle> getObjectHandle(kuBase* object);

    // Update thread (the watcher requests).
    static void addPropertyChecker(PropertyCheckerBase* checker);
    static void removePropertyChecker(PropertyCheckerBase* checker);
    static void dropPropertyChecker(PropertyCheckerBase* checker);
    static int getNumPropertyCheckers();

    // Requests executed since start (tests and benchmarks).
    static unsigned long long getNumExecuted();
    // Threads blocked in blockOnUpdate now.
    static int getNumBlocked();

private:
    // The queue in the order posted, emptied.
    static kxProxyQueue::ProxyMessageBase* takeAll();
    static void executeQueue();
};

#endif
