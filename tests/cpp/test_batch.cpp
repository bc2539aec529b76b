// Batch engine: results independent of the thread count, the flat layout,
// the thread count it chooses, and failures of workers and of thread
// creation.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "batch_skeleton.h"
#include "tokenizer.h"
#include "worker_threads.h"

using namespace zelkor;
using Ids = std::vector<TokenId>;

namespace {

const Tokenizer& tok(int k) {
    static std::unique_ptr<Tokenizer> t[2] = {std::move(*Tokenizer::create("cl100k_base", "")),
                                              std::move(*Tokenizer::create("o200k_base", ""))};
    return *t[k];
}
const uint8_t* u8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

auto noop_state = [] { return 0; };

}  // namespace

TEST(Batch, EmptyList) {
    const BatchIds r = encode_batch(tok(0), {}, 0, false);
    EXPECT_EQ(r.ids.size(), 0u);
    EXPECT_EQ(r.offsets, std::vector<int64_t>{0});
    EXPECT_TRUE(count_batch(tok(0), {}, 4, true).empty());
    EXPECT_TRUE(truncate_batch(tok(0), {}, 3, 4).empty());
}

TEST(Batch, SameResultsForEveryThreadCount) {
    std::vector<std::string> texts = {"Hello world", "", "def f(x):\n    return x ** 2\n",
                                      "<|endoftext|>between<|endofprompt|>", "",
                                      "<|endoftext|><|endoftext|> x<|endofprompt|>",
                                      "\xE4\xBD\xA0\xFF not UTF-8 <|endoftext|>"};
    std::ifstream f(std::string(ZELKOR_SOURCE_DIR) + "/../shared/corpus/prose-multilingual.txt");
    for (std::string doc(3000, '\0'); texts.size() < 30 && f.read(doc.data(), 3000);)
        texts.push_back(doc.substr(0, 100 * texts.size()));
    const std::vector<std::string_view> in(texts.begin(), texts.end());

    for (int k : {0, 1}) {
        for (bool special : {false, true}) {
            std::vector<Ids> want;
            for (const std::string& s : texts) {
                // The one text that is not UTF-8 is encoded as plain text.
                const bool sp = special && s.find('\xFF') == std::string::npos;
                const IdVec v = sp ? encode_with_special(tok(k), u8(s), s.size()) : encode(tok(k), u8(s), s.size());
                want.emplace_back(v.begin(), v.end());
            }
            for (size_t threads : {size_t(0), size_t(1), size_t(2), size_t(3), texts.size() + 5}) {
                const BatchIds r = encode_batch(tok(k), in, threads, special);
                const std::vector<uint32_t> counts = count_batch(tok(k), in, threads, special);
                ASSERT_EQ(r.offsets.size(), texts.size() + 1);
                EXPECT_EQ(size_t(r.offsets.back()), r.ids.size());
                for (size_t i = 0; i < texts.size(); ++i) {
                    EXPECT_EQ(Ids(r.ids.begin() + r.offsets[i], r.ids.begin() + r.offsets[i + 1]), want[i])
                        << "text " << i << " threads " << threads;
                    EXPECT_EQ(counts[i], want[i].size()) << i;
                }
            }
        }
    }
}

TEST(BatchSkeleton, AFailingWorkerFailsTheCallAfterTheOthersFinish) {
    std::atomic<int> done{0};
    try {
        run_batch(tok(0), 40, 4, noop_state, [&](int&, size_t i, uint32_t) {
            if (i == 5) throw std::runtime_error("boom");
            done.fetch_add(1);
        });
        ADD_FAILURE() << "no error";
    } catch (const BatchError& e) {
        EXPECT_STREQ(e.what(), "a scoped thread panicked");
    }
    EXPECT_EQ(done.load(), 39);
    // Out of memory stays recognisable; mixed failures are the generic one.
    auto failing = [](size_t bad_alloc_at, size_t logic_at) {
        return [=](int&, size_t i, uint32_t) {
            if (i == bad_alloc_at) throw std::bad_alloc();
            if (i == logic_at) throw std::logic_error("x");
        };
    };
    EXPECT_THROW(run_batch(tok(0), 8, 2, noop_state, failing(1, 99)), std::bad_alloc);
    EXPECT_THROW(run_batch(tok(0), 8, 2, noop_state, failing(0, 7)), BatchError);
    EXPECT_THROW(run_batch(tok(0), 3, 1, noop_state, failing(99, 2)), std::logic_error);  // calling thread
}

// The caller waits for its workers without sleeping for a while: it must
// still return only once every text is done, whether a worker runs past
// that while or cannot begin until the caller sleeps (one processor).
TEST(BatchSkeleton, TheCallReturnsOnlyOnceEveryWorkerIsDone) {
    auto run = [](size_t slow_text, int rounds) {
        for (int r = 0; r < rounds; ++r) {
            std::atomic<size_t> done{0};
            run_batch(tok(0), 8, 2, noop_state, [&](int&, size_t i, uint32_t) {
                if (i == slow_text) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                done.fetch_add(1);
            });
            ASSERT_EQ(done.load(), 8u);
        }
    };
    run(0, 5);    // the caller usually takes the slow text
    run(7, 5);    // a worker usually does
    run(99, 200);  // all quick

    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // threads started now inherit it
    run(7, 5);
    run(99, 200);
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

// A caller polls for its workers only while all the batches running have
// no more threads than there are processors; a forked child counts none.
TEST(BatchSkeleton, CallersPollOnlyWhileTheProcessorsSuffice) {
    ASSERT_EQ(BATCH_THREADS_RUNNING.load(), 0u);
    const size_t cpus = available_parallelism();
    {
        const BatchThreadsRunning first(cpus);
        EXPECT_TRUE(first.may_poll());
        const BatchThreadsRunning second(1);
        EXPECT_FALSE(second.may_poll());
        EXPECT_EQ(BATCH_THREADS_RUNNING.load(), cpus + 1);
        const pid_t pid = fork();
        if (pid == 0) _exit(BATCH_THREADS_RUNNING.load() == 0 ? 0 : 1);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(BATCH_THREADS_RUNNING.load(), 0u);
}

TEST(BatchSkeleton, NoCallStartsMoreThanTheCapOfThreads) {
    const size_t n = 4 * MAX_BATCH_THREADS;
    std::mutex m;
    std::set<std::thread::id> seen;
    std::vector<std::atomic<int>> done(n);
    // Each text waits a little, so that every started thread claims one.
    run_batch(tok(0), n, 100000, noop_state, [&](int&, size_t i, uint32_t workers) {
        EXPECT_EQ(workers, MAX_BATCH_THREADS);
        {
            std::lock_guard<std::mutex> g(m);
            seen.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        done[i].fetch_add(1);
    });
    EXPECT_LE(seen.size(), MAX_BATCH_THREADS);
    for (const auto& d : done) EXPECT_EQ(d.load(), 1);
}

TEST(BatchSkeleton, TheDefaultThreadCountFollowsTheAmountOfText) {
    const std::string text(size_t(1) << 20, 'x');
    const auto of = [&](size_t count, size_t bytes_each) {
        return std::vector<std::string_view>(count, std::string_view(text.data(), bytes_each));
    };
    const size_t cpus = available_parallelism();
    // Little text runs on the calling thread alone, however many texts.
    EXPECT_EQ(batch_threads(of(1000, 10), 0), 1u);
    EXPECT_EQ(batch_threads(of(8, 2048), 0), 1u);
    EXPECT_EQ(batch_threads(of(2, BYTES_PER_WORKER - 1), 0), 1u);
    EXPECT_EQ(batch_threads(of(2, BYTES_PER_WORKER), 0), std::min<size_t>(2, cpus));
    EXPECT_EQ(batch_threads(of(4096, 1024), 0), std::min((4096 << 10) / BYTES_PER_WORKER, cpus));
    EXPECT_EQ(batch_threads(of(1, 1 << 20), 0), std::min((1 << 20) / BYTES_PER_WORKER, cpus));
    // An explicit count is the caller's.
    EXPECT_EQ(batch_threads(of(8, 10), 3), 3u);
    EXPECT_EQ(batch_threads({}, 7), 7u);
}

// Sanitizers reserve address space of their own; an address-space limit
// would break them rather than thread creation.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELKOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZELKOR_SANITIZED 1
#endif
#endif

#if !defined(ZELKOR_SANITIZED)
namespace {

uint64_t mapped_bytes() {
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * uint64_t(sysconf(_SC_PAGESIZE));
}

// Lets the address space grow by `extra` bytes from what it is now.
void limit_address_space(uint64_t extra) {
    struct rlimit rl;
    getrlimit(RLIMIT_AS, &rl);
    rl.rlim_cur = mapped_bytes() + extra;
    setrlimit(RLIMIT_AS, &rl);
}

}  // namespace

TEST(BatchDeathTest, ThreadsThatCannotStartLeaveTheWorkToThoseThatDid) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Room for two stacks at most: the pool stops at the first refusal and
    // reports what it started.
    EXPECT_EXIT(
        {
            limit_address_space(worker_stack_bytes() * 5 / 2);
            std::atomic<size_t> ran{0};
            auto f = [&]() noexcept { ran.fetch_add(1); };
            WorkerThreads<64> pool;
            const size_t started = pool.start(64, f);
            pool.join();
            std::exit(started < 64 && ran.load() == started ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    // No room for a thread at all: the calling thread does every text.
    EXPECT_EXIT(
        {
            const Tokenizer& t = tok(0);
            limit_address_space(2u << 20);
            std::vector<std::atomic<int>> seen(64);
            try {
                run_batch(t, seen.size(), 4, noop_state,
                          [&](int&, size_t i, uint32_t) { seen[i].fetch_add(1); });
            } catch (...) {
                std::exit(2);
            }
            for (const auto& s : seen)
                if (s.load() != 1) std::exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(BatchDeathTest, StartedThreadsLeaveRoomInTheAddressSpace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A started thread still allocates (its thread-local blocks, its cache,
    // its results); when the address space is gone by then, the process
    // ends. So, under a limit, the threads of a batch must not take it all.
    EXPECT_EXIT(
        {
            const Tokenizer& t = tok(0);
            const uint64_t extra = 64u << 20;
            limit_address_space(extra);
            const uint64_t limit = mapped_bytes() + extra;
            std::mutex m;
            std::set<std::thread::id> threads;
            uint64_t least_room = extra;
            run_batch(t, 200, 200, noop_state, [&](int&, size_t, uint32_t) {
                // Every started thread is alive while the texts last.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                const uint64_t used = mapped_bytes();
                std::lock_guard<std::mutex> g(m);
                threads.insert(std::this_thread::get_id());
                least_room = std::min(least_room, limit > used ? limit - used : 0);
            });
            if (threads.size() < 2) std::exit(2);
            std::exit(least_room >= (8u << 20) ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif
