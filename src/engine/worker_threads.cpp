#include "worker_threads.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "cpu_relax.h"
#include "pcache.h"
#include "scratch.h"

namespace zelkor {

namespace {

constexpr uint64_t MiB = uint64_t(1) << 20;

// Address space a started worker may take besides its stack: a cache table
// of 1 MiB (a batch of more than four workers gets no larger one), its store
// of long pieces and the slack of its alignment to 2 MiB, the thread's
// scratch and thread-local blocks.
constexpr uint64_t WORKER_EXTRA_BYTES = 3 * MiB;

// Address space that thread starts leave free: the larger tables of batches
// with two to four workers, the thread-local blocks of threads not yet
// running, the caller's gathering of the results and whatever the
// interpreter allocates next.
constexpr uint64_t SPARE_BYTES = 16 * MiB;

// The process's address space and its private writable part (data and
// stacks), in pages, from /proc/self/statm. Read without the C library's
// buffered files, which would allocate.
bool mapped_pages(uint64_t& total, uint64_t& data) {
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[256];
    const ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (got <= 0) return false;
    buf[got] = '\0';
    // size resident shared text lib data dt
    unsigned long long size = 0, data_stack = 0;
    if (std::sscanf(buf, "%llu %*u %*u %*u %*u %llu", &size, &data_stack) != 2) return false;
    total = size;
    data = data_stack;
    return true;
}

// The soft limit `resource` sets, or false when there is none.
bool limit_of(int resource, uint64_t& limit) {
    rlimit rl;
    if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return false;
    limit = rl.rlim_cur;
    return true;
}

}  // namespace

size_t threads_room_allows(size_t wanted) {
    if (wanted == 0) return 0;
    uint64_t as_limit = 0, data_limit = 0;
    const bool as_limited = limit_of(RLIMIT_AS, as_limit);
    const bool data_limited = limit_of(RLIMIT_DATA, data_limit);
    if (!as_limited && !data_limited) return wanted;

    uint64_t total = 0, data = 0;
    if (!mapped_pages(total, data)) return 0;  // room unknown: the caller works alone
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const auto room_below = [](uint64_t limit, uint64_t used) {
        return limit > used ? limit - used : 0;
    };
    uint64_t room = UINT64_MAX;
    if (as_limited) room = room_below(as_limit, total * page);
    if (data_limited) room = std::min(room, room_below(data_limit, data * page));
    if (room <= SPARE_BYTES) return 0;
    // A stack comes with a guard page.
    const uint64_t per_thread = worker_stack_bytes() + page + WORKER_EXTRA_BYTES;
    return size_t(std::min<uint64_t>(wanted, (room - SPARE_BYTES) / per_thread));
}

void join_soon(pthread_t thread, bool may_poll) noexcept {
#if defined(__GLIBC__)
    if (!may_poll) {
        pthread_join(thread, nullptr);
        return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(50);
    for (unsigned i = 1;; ++i) {
        if (pthread_tryjoin_np(thread, nullptr) == 0) return;
        if ((i & 7) == 0 && Clock::now() > until) break;
        cpu_relax();
    }
#endif
    pthread_join(thread, nullptr);
}

size_t worker_stack_bytes() {
    pthread_attr_t attr;
    size_t bytes = 0;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &bytes);
        pthread_attr_destroy(&attr);
    }
    return bytes ? bytes : size_t(8) << 20;
}

void prepare_worker_thread(uint64_t owner, uint32_t workers) {
    park_thread_caches(owner, workers);  // the cache holder, and this module's block
    // First needed by the first piece that falls back to the search, which
    // may come late. (The other per-thread buffers are made at the start of
    // the work anyway.)
    (void)backtrack_scratch();
    (void)std::uncaught_exceptions();  // the C++ runtime's block
}

}  // namespace zelkor
