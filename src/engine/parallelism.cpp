// How many threads the process can usefully run at once.
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tokenizer.h"

namespace zelkor {

namespace {

size_t affinity_cpus() {
    for (int ncpu = 1024; ncpu <= (1 << 20); ncpu *= 2) {
        cpu_set_t* set = CPU_ALLOC(size_t(ncpu));
        if (!set) return 0;
        const size_t size = CPU_ALLOC_SIZE(size_t(ncpu));
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const size_t count = rc == 0 ? size_t(CPU_COUNT_S(size, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count;
        if (errno != EINVAL) return 0;  // EINVAL: the mask is larger than ours
    }
    return 0;
}

bool read_line(const std::string& path, std::string& line) {
    std::ifstream f(path);
    return f && std::getline(f, line);
}

// Whole CPUs granted by a quota of `quota` per `period`, at least 1.
size_t quota_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    const long long cpus = quota / period;
    return cpus < 1 ? 1 : size_t(cpus);
}

// Mount point of the cgroup hierarchy that carries `controller` (v1), or of
// the unified hierarchy when `controller` is empty (v2), with the root of
// that mount inside the hierarchy.
bool find_mount(const std::string& controller, std::string& mount, std::string& root) {
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        // id parent major:minor root mount-point options [optional...] - fstype source super
        std::istringstream in(line);
        std::string id, parent, dev, r, mp, opts, field;
        in >> id >> parent >> dev >> r >> mp >> opts;
        while (in >> field && field != "-") {
        }
        std::string fstype, source, super;
        in >> fstype >> source >> super;
        if (controller.empty()) {
            if (fstype != "cgroup2") continue;
        } else {
            if (fstype != "cgroup") continue;
            bool has = false;
            std::istringstream so(super);
            std::string opt;
            while (std::getline(so, opt, ','))
                if (opt == controller) has = true;
            if (!has) continue;
        }
        mount = mp;
        root = r;
        return true;
    }
    return false;
}

// The process's path in the hierarchy, from /proc/self/cgroup.
bool cgroup_path(bool v2, std::string& path) {
    std::ifstream f("/proc/self/cgroup");
    std::string line;
    while (std::getline(f, line)) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        if (v2) {
            if (line.compare(0, a, "0") == 0 && controllers.empty()) {
                path = line.substr(b + 1);
                return true;
            }
            continue;
        }
        std::istringstream in(controllers);
        std::string c;
        while (std::getline(in, c, ','))
            if (c == "cpu") {
                path = line.substr(b + 1);
                return true;
            }
    }
    return false;
}

// The directory of the process's cgroup and each of its ancestors up to the
// mount point, deepest first.
template <class Visit>
void walk_cgroup(const std::string& mount, const std::string& root, std::string path,
                 Visit&& visit) {
    if (root != "/" && path.compare(0, root.size(), root) == 0) path = path.substr(root.size());
    for (;;) {
        visit(mount + path);
        if (path.empty() || path == "/") break;
        const size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
}

size_t cgroup_cpus() {
    size_t best = 0;
    auto lower = [&](size_t cpus) {
        if (cpus && (best == 0 || cpus < best)) best = cpus;
    };
    std::string mount, root, path;
    if (find_mount("", mount, root) && cgroup_path(true, path)) {
        walk_cgroup(mount, root, path, [&](const std::string& dir) {
            std::string line;
            if (!read_line(dir + "/cpu.max", line)) return;
            std::istringstream in(line);
            std::string quota;
            long long period = 0;
            in >> quota >> period;
            if (quota != "max") lower(quota_cpus(std::atoll(quota.c_str()), period));
        });
        if (best) return best;
    }
    if (find_mount("cpu", mount, root) && cgroup_path(false, path)) {
        walk_cgroup(mount, root, path, [&](const std::string& dir) {
            std::string q, p;
            if (!read_line(dir + "/cpu.cfs_quota_us", q) || !read_line(dir + "/cpu.cfs_period_us", p))
                return;
            lower(quota_cpus(std::atoll(q.c_str()), std::atoll(p.c_str())));
        });
    }
    return best;
}

}  // namespace

size_t available_parallelism() {
    size_t n = affinity_cpus();
    if (n == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        n = online > 0 ? size_t(online) : 0;
    }
    if (n == 0) return 4;
    // The quota is read once: walking the cgroup files on every batch call
    // would cost more than small batches themselves. Threads that come first
    // together may each read it. (Not a guarded static: a fork while another
    // thread read the files would leave the child waiting for it forever.)
    constexpr size_t UNREAD = SIZE_MAX;
    static std::atomic<size_t> read_quota{UNREAD};
    size_t quota = read_quota.load(std::memory_order_relaxed);
    if (quota == UNREAD) {
        try {
            quota = cgroup_cpus();
        } catch (...) {
            quota = 0;  // an unreadable cgroup tree means no quota
        }
        read_quota.store(quota, std::memory_order_relaxed);
    }
    return quota && quota < n ? quota : n;
}

}  // namespace zelkor
