#include <ku/kuMemBase.h>

#include <ku/kuHeapPages.h>

#include <cassert>
#include <new>

namespace {
std::atomic<std::size_t> s_liveAllocations{0};
}

kuMemBase::~kuMemBase() = default;

void kuMemBase::ref() const {
    m_refCount.fetch_add(1, std::memory_order_relaxed);
}

int kuMemBase::unref() const {
    const int left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    assert(left >= 0 && "kuMemBase::unref on an object without references");
    if (left == 0)
        delete this;
    return left;
}

int kuMemBase::unrefNoDelete() const {
    return m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

std::size_t kuMemBase::getSizeRequested() const {
    return 0;
}
std::size_t kuMemBase::getSizeAllocated() const {
    return 0;
}

void* kuMemBase::operator new(std::size_t size) {
    void* pointer = ::operator new(size);
    kuHeapPages::noteAllocation(pointer);
    s_liveAllocations.fetch_add(1, std::memory_order_relaxed);
    return pointer;
}

void kuMemBase::operator delete(void* pointer, std::size_t) {
    if (!pointer)
        return;
    s_liveAllocations.fetch_sub(1, std::memory_order_relaxed);
    ::operator delete(pointer);
}

std::size_t kuMemBase::getLiveAllocationCount() {
    return s_liveAllocations.load();
}
