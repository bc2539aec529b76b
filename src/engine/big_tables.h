// Sizing of the large tables built at construction.
//
// Building is bound by first touches of fresh memory: one page fault per
// 4 KiB page. Where the kernel offers transparent huge pages on request,
// asking for them before the first touch turns 512 faults into one.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelkor {

// Asks for huge pages over the whole 2 MiB pages inside [p, p + bytes).
// Only advice: without huge pages nothing changes.
inline void advise_huge_pages(void* p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t HUGE_PAGE = uintptr_t(1) << 21;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// v = n copies of `fill`, the storage advised for huge pages before it is
// first written.
template <class T>
void fill_table(std::vector<T>& v, size_t n, T fill) {
    std::vector<T>().swap(v);
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.assign(n, fill);
}

// v resized to n elements, advised the same way; the contents are left to
// the caller.
template <class T>
void size_table(std::vector<T>& v, size_t n) {
    std::vector<T>().swap(v);
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.resize(n);
}

// An uninitialised array of n elements, advised the same way.
template <class T>
std::unique_ptr<T[]> scratch_array(size_t n) {
    std::unique_ptr<T[]> a(new T[n]);
    advise_huge_pages(a.get(), n * sizeof(T));
    return a;
}

}  // namespace zelkor
