#include "png/save_threads.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qv::png {

namespace {

constexpr int kDefaultCap = 16;  // past this, a save gains little and memory grows
constexpr int kMaxThreads = 64;

int usable_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

}  // namespace

int save_threads()
{
    if (const char* text = std::getenv("QUORVEX_THREADS"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        const long wanted = std::strtol(text, &end, 10);
        if (errno == 0 && *end == '\0' && wanted >= 1) return static_cast<int>(std::min<long>(wanted, kMaxThreads));
    }
    return std::min(usable_cpus(), kDefaultCap);
}

}  // namespace qv::png
