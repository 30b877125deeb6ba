#include <ku/kuHeapPages.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
#define KU_HEAP_PAGES 1
#endif

namespace {
#ifdef KU_HEAP_PAGES
// The program break as last seen: the end of the C library's main heap.
std::atomic<std::uintptr_t> s_seenBreak{0};
std::atomic<std::size_t> s_advisedBytes{0};
std::mutex s_mutex;

constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t(2) << 20;

// KESTRIX_HEAP_HUGE_PAGES=0 in the environment leaves the heap as the C library keeps it.
bool grow() {
    const char* setting = std::getenv("KESTRIX_HEAP_HUGE_PAGES");
    if (setting && std::strcmp(setting, "0") == 0)
        return false;
    // Large steps keep the heap's mapping ahead of its use, so that a whole 2 MiB page lies
    // inside it when first touched. Blocks up to the C library's largest dynamic threshold stay
    // on the heap, as they would once it had adapted.
    mallopt(M_TOP_PAD, static_cast<int>(kuHeapPages::HEAP_STEP));
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    return true;
}
#endif
} // namespace

void kuHeapPages::noteAllocation(const void* block) {
#ifdef KU_HEAP_PAGES
    static const bool s_growing = grow();
    if (!s_growing)
        return;
    // sbrk(0) reads the C library's cached break: no system call.
    const auto brk = reinterpret_cast<std::uintptr_t>(sbrk(0));
    if (brk == s_seenBreak.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> guard(s_mutex);
    const std::uintptr_t seen = s_seenBreak.load(std::memory_order_relaxed);
    if (brk == seen)
        return;
    s_seenBreak.store(brk, std::memory_order_relaxed);
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    // Only growth of the heap the block came from, and never the part below the block (filled).
    if (brk < seen || address >= brk)
        return;
    const std::uintptr_t pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t from = seen > address ? seen : address;
    from = (from + pageSize - 1) & ~(pageSize - 1);
    if (brk - from < HUGE_PAGE)
        return;
    if (madvise(reinterpret_cast<void*>(from), brk - from, MADV_HUGEPAGE) == 0)
        s_advisedBytes.fetch_add(brk - from, std::memory_order_relaxed);
#else
    (void)block;
#endif
}

std::size_t kuHeapPages::getAdvisedBytes() {
#ifdef KU_HEAP_PAGES
    return s_advisedBytes.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}
