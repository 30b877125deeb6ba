#ifndef KU_HEAPPAGES_H
#define KU_HEAPPAGES_H

#include <ku/kuExport.h>

#include <cstddef>

// Transparent huge pages for the heap's growth.
// Setting up a large scene touches hundreds of thousands of fresh 4 KiB pages, and each first
// touch is a page fault that costs microseconds (far more on a virtual machine). The C library
// puts its heap on huge pages only when told so in the environment at process start; the
// runtime does the same from inside: the heap grows in steps of HEAP_STEP, and each step is
// advised for transparent huge pages as soon as the runtime's allocator sees the heap has grown,
// before its objects fill it. Where the system turns transparent huge pages off the advice has
// no effect, and where the heap is not the C library's (a sanitizer's allocator) nothing is
// advised. KESTRIX_HEAP_HUGE_PAGES=0 in the environment leaves the heap as it was.
class KX_API kuHeapPages {
public:
    enum : std::size_t { HEAP_STEP = std::size_t(64) << 20 };

    // Called with each block the runtime's allocator hands out (any thread); cheap unless the
    // heap has grown since the last call.
    static void noteAllocation(const void* block);
    // Bytes of heap advised so far (0 where the advice is not available).
    static std::size_t getAdvisedBytes();
};

#endif
