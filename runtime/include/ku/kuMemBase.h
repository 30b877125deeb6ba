#ifndef KU_MEMBASE_H
#define KU_MEMBASE_H

#include <ku/kuExport.h>

#include <atomic>
#include <cstddef>
#include <utility>

// Intrusive reference counting. An object is deleted when its last reference is released;
// counted types keep their destructors protected so that only unref() deletes them.
// ref()/unref() may be called from any thread.
class KX_API kuMemBase {
public:
    kuMemBase() = default;
    kuMemBase(const kuMemBase&) : m_refCount(0) {}
    kuMemBase& operator=(const kuMemBase&) { return *this; }

    void ref() const;
    // Releases one reference; deletes the object at the last. Returns the count left.
    int unref() const;
    // Releases one reference without deleting at zero (for handing an object out of a holder).
    int unrefNoDelete() const;
    int getRef() const { return m_refCount.load(std::memory_order_acquire); }

    // Extra heap bytes the object requested and was given beyond its own size (0 unless a
    // class keeps buffers of its own and says so).
    virtual std::size_t getSizeRequested() const;
    virtual std::size_t getSizeAllocated() const;

    // Allocation through the runtime allocator, which keeps live totals for leak checks.
    static void* operator new(std::size_t size);
    static void operator delete(void* pointer, std::size_t size);
    static std::size_t getLiveAllocationCount();

protected:
    virtual ~kuMemBase();

private:
    mutable std::atomic<int> m_refCount{0};
};

// Holds one reference to a counted object: takes it on assignment, releases it on reset.
template <class T>
class kuRef {
public:
    kuRef() = default;
    kuRef(T* object) : m_object(object) {
        if (m_object)
            m_object->ref();
    }
    kuRef(const kuRef& other) : kuRef(other.m_object) {}
    kuRef(kuRef&& other) noexcept : m_object(other.m_object) { other.m_object = nullptr; }
    template <class U>
    kuRef(const kuRef<U>& other) : kuRef(other.get()) {}
    ~kuRef() { reset(); }

    kuRef& operator=(T* object) {
        if (object)
            object->ref();
        T* old = m_object;
        m_object = object;
        if (old)
            old->unref();
        return *this;
    }
    kuRef& operator=(const kuRef& other) { return *this = other.m_object; }
    // Releases the object held before now, as copy assignment does; other is left empty.
    kuRef& operator=(kuRef&& other) noexcept {
        if (&other != this) {
            T* old = m_object;
            m_object = other.m_object;
            other.m_object = nullptr;
            if (old)
                old->unref();
        }
        return *this;
    }

    void reset() { *this = static_cast<T*>(nullptr); }
    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    bool operator==(const T* other) const { return m_object == other; }
    bool operator!=(const T* other) const { return m_object != other; }

    // Gives up the reference without deleting the object (its count drops, it stays alive).
    T* release() {
        T* object = m_object;
        m_object = nullptr;
        if (object)
            object->unrefNoDelete();
        return object;
    }

private:
    T* m_object = nullptr;
};

#endif
