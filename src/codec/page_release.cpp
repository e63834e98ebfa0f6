#include "codec/page_release.hpp"

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/mman.h>
#include <unistd.h>
#define QV_HAVE_MADVISE 1
#endif

namespace qv {

MutableByteSpan release_pages(uint8_t* begin, size_t size)
{
#if defined(QV_HAVE_MADVISE)
    static const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return {};
    const auto page = static_cast<uintptr_t>(page_size);
    const auto start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t first = (start + page - 1) / page * page;
    const uintptr_t end = (start + size) / page * page;
    if (end <= first) return {};
#if defined(__linux__)
    const int advice = MADV_DONTNEED;  // private anonymous pages come back zeroed
#else
    const int advice = MADV_FREE;
#endif
    // Only advice: a refusal leaves the pages resident, which is merely what not asking gives.
    if (madvise(reinterpret_cast<void*>(first), end - first, advice) != 0) return {};
    return {begin + (first - start), end - first};
#else
    (void)begin;
    (void)size;
    return {};
#endif
}

}  // namespace qv
