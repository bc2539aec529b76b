// What starting and joining one thread costs on this machine: the floor
// under any batch that starts its workers per call. The calling thread
// starts a thread, does `work` microseconds of its own, and joins; the
// thread does as much. Printed, for a caller that sleeps in the join and
// for one that polls for the thread's end (as the batch calls do, for a
// while): the time of pthread_create in the caller, from the call to the
// thread's first instruction, and from the thread's last instruction to
// the return of the join (medians), and how often the thread began on the
// caller's own processor, where it waits for the caller to block before it
// runs at all.
//
//   thread_cost [work microseconds]
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double now_us() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double WORK_US = 50;
std::atomic<double> began{0}, ended{0};
std::atomic<int> began_on{-1};

void spin_for(double us) {
    const double until = now_us() + us;
    while (now_us() < until) {
    }
}

void* body(void*) {
    began.store(now_us());
    began_on.store(sched_getcpu());
    spin_for(WORK_US);
    ended.store(now_us());
    return nullptr;
}

double median(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Medians of the rounds of one kind: the thread began on another
// processor, or on the caller's.
struct Rounds {
    std::vector<double> create, start, join, total;

    void print(const char* kind, int rounds) {
        if (create.empty()) return;
        std::printf("%zu of %d rounds, the thread began %s:\n", create.size(), rounds, kind);
        std::printf("  pthread_create in the caller      %6.1f us\n", median(create));
        std::printf("  call to the thread's first step   %6.1f us\n", median(start));
        std::printf("  thread's last step to joined      %6.1f us\n", median(join));
        std::printf("  caller's time beyond its work     %6.1f us\n", median(total));
    }
};

// Rounds of one way of joining; `poll` waits for the thread's end without
// sleeping.
void measure(bool poll) {
    constexpr int ROUNDS = 5000;
    Rounds elsewhere, same_cpu;
    for (int i = 0; i < ROUNDS; ++i) {
        const int cpu = sched_getcpu();
        const double t0 = now_us();
        pthread_t t;
        if (pthread_create(&t, nullptr, body, nullptr) != 0) std::exit(1);
        const double t1 = now_us();
        spin_for(WORK_US);
        if (poll) {
            // Bounded, as in the batch calls: a thread queued behind the
            // caller on its processor runs only once the caller sleeps.
            const double until = now_us() + 1000;
            while (pthread_tryjoin_np(t, nullptr) != 0)
                if (now_us() > until) {
                    pthread_join(t, nullptr);
                    break;
                }
        } else {
            pthread_join(t, nullptr);
        }
        const double t2 = now_us();
        Rounds& r = began_on.load() == cpu ? same_cpu : elsewhere;
        r.create.push_back(t1 - t0);
        r.start.push_back(began.load() - t0);
        r.join.push_back(t2 - ended.load());
        r.total.push_back(t2 - t0 - WORK_US);
    }
    std::printf("work %.0f us on each thread, the caller %s in the join; medians\n", WORK_US,
                poll ? "polling" : "asleep");
    elsewhere.print("on another processor", ROUNDS);
    same_cpu.print("on the caller's processor (it runs once the caller blocks)", ROUNDS);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) WORK_US = std::atof(argv[1]);
    measure(false);
    measure(true);
    return 0;
}
