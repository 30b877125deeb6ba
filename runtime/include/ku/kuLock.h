#ifndef KU_LOCK_H
#define KU_LOCK_H

#include <ku/kuExport.h>

#include <mutex>

// A recursive lock: the runtime's look-ups may re-enter under the same lock on one thread.
// Usable with std::lock_guard.
class KX_API kuLock {
public:
    void lock() { m_mutex.lock(); }
    bool tryLock() { return m_mutex.try_lock(); }
    bool try_lock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

#endif
