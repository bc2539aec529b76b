// Stopping engine calls from outside, and the cache pool and thread starts
// across fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "batch_skeleton.h"
#include "interrupt.h"
#include "thread_start_gate.h"
#include "tokenizer.h"

using namespace zelkor;

namespace {

const Tokenizer& cl100k() {
    static std::unique_ptr<Tokenizer> t = std::move(*Tokenizer::create(BUILTIN_NAMES[0], ""));
    return *t;
}
const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string long_text(size_t bytes) {
    std::string s;
    for (uint32_t i = 0; s.size() < bytes; ++i) s += "word" + std::to_string(i * 2654435761u % 100000) + " ";
    return s;
}

// A control whose check says stop at its n-th call.
struct StopAfter {
    StopControl control;
    int calls = 0, limit;
    explicit StopAfter(int n) : limit(n) {
        control.check = [](void* ctx) {
            auto* self = static_cast<StopAfter*>(ctx);
            return ++self->calls >= self->limit;
        };
        control.ctx = this;
    }
};

}  // namespace

TEST(Stop, ALongTextStopsAtAPollAndLeavesTheCacheSound) {
    const std::string text = long_text(8 * POLL_BYTES);
    const IdVec want = encode(cl100k(), u8(text), text.size());
    StopAfter stop(3);
    {
        StopScope scope(stop_thread(), &stop.control, true);
        EXPECT_THROW(encode(cl100k(), u8(text), text.size()), Interrupted);
        EXPECT_THROW(count(cl100k(), u8(text), text.size()), Interrupted);  // stays stopped
    }
    EXPECT_EQ(stop.calls, 3);
    // Without the control the same thread and cache give every id again.
    const IdVec again = encode(cl100k(), u8(text), text.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), again.begin(), again.end()));
    EXPECT_EQ(count(cl100k(), u8(text), text.size()), want.size());
}

TEST(Stop, ManySmallTextsAreCountedTowardsThePolls) {
    StopAfter stop(1);
    StopScope scope(stop_thread(), &stop.control, true);
    const std::string word = "hello ";
    size_t done = 0;
    try {
        for (; done < 4 * POLL_BYTES; ++done) count(cl100k(), u8(word), word.size());
    } catch (const Interrupted&) {
    }
    EXPECT_EQ(stop.calls, 1);
    EXPECT_LE(done * word.size(), POLL_BYTES + word.size());
}

TEST(Stop, ABatchStopsOnEveryWorkerAndThrowsOnce) {
    // Long enough that the calling thread, a worker too, surely draws one.
    const std::string text = long_text(32 * POLL_BYTES);
    const std::vector<std::string_view> texts(8, text);
    const std::vector<uint32_t> want = count_batch(cl100k(), texts, 4, false);
    StopAfter stop(5);
    {
        StopScope scope(stop_thread(), &stop.control, true);
        EXPECT_THROW(count_batch(cl100k(), texts, 4, false), Interrupted);
        EXPECT_THROW(encode_batch(cl100k(), texts, 1, false), Interrupted);
    }
    EXPECT_EQ(count_batch(cl100k(), texts, 4, false), want);
}

TEST(Stop, OtherThreadsOnlyReadTheFlag) {
    // A worker never runs the owner's check; it stops once the flag is set.
    StopAfter stop(1);
    StopScope scope(stop_thread(), &stop.control, false);
    const std::string text = long_text(2 * POLL_BYTES);
    EXPECT_NO_THROW(count(cl100k(), u8(text), text.size()));
    EXPECT_EQ(stop.calls, 0);
    stop.control.stop.store(true);
    EXPECT_THROW(count(cl100k(), u8(text), text.size()), Interrupted);
}

// Waits up to 10 s for a child; one that has not ended by then is killed.
int child_status(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return 101;  // hung
}

TEST(Fork, AForkWhileAnotherThreadHoldsThePoolLeavesTheChildAbleToEncode) {
    const std::string text = "A child that starts a fresh cache takes the pool lock.";
    std::atomic<bool> held{false};
    std::thread holder([&] {
        pcache_testing::with_pool_locked(
            [](void* flag) {
                static_cast<std::atomic<bool>*>(flag)->store(true);
                usleep(100000);
            },
            &held);
    });
    while (!held.load()) usleep(100);
    const pid_t pid = fork();  // waits for the lock, at most the 100 ms above
    if (pid == 0) {
        pcache_testing::release_thread_caches();
        pcache_testing::free_pool();
        IdVec v;
        encode_into_workers(cl100k(), u8(text), text.size(), v, 1);
        _exit(v.size() == encode(cl100k(), u8(text), text.size()).size() ? 0 : 1);
    }
    holder.join();
    EXPECT_EQ(child_status(pid), 0);
}

TEST(Fork, TheChildFreesTheTablesOfThreadsItDoesNotHave) {
    pcache_testing::release_thread_caches();
    pcache_testing::free_pool();
    ASSERT_EQ(pcache_testing::live_bytes(), 0u);
    const std::string text = "Tables of threads that do not exist in the child.";
    constexpr int HOLDERS = 32;  // fills the budget with 1 MiB tables
    std::barrier<> filled(HOLDERS + 1), done(HOLDERS + 1);
    std::vector<std::thread> holders;
    for (int i = 0; i < HOLDERS; ++i)
        holders.emplace_back([&] {
            IdVec v;
            encode_into_workers(cl100k(), u8(text), text.size(), v, 17);
            filled.arrive_and_wait();
            done.arrive_and_wait();
        });
    filled.arrive_and_wait();
    ASSERT_EQ(pcache_testing::live_bytes(), CACHE_BUDGET);
    const pid_t pid = fork();
    if (pid == 0) {
        // Nothing is held by this thread or the pool: the whole budget is free.
        if (pcache_testing::live_bytes() != 0) _exit(1);
        IdVec v;
        encode_into_workers(cl100k(), u8(text), text.size(), v, 1);
        const PretokenCache* c = pcache_testing::held(cl100k().id);
        _exit(c && c->enabled() ? 0 : 2);
    }
    EXPECT_EQ(child_status(pid), 0);
    done.arrive_and_wait();
    for (auto& t : holders) t.join();
    EXPECT_EQ(pcache_testing::live_bytes(), CACHE_BUDGET);  // the parent's are all still there
    pcache_testing::free_pool();
}

TEST(Fork, AForkWaitsForAThreadStartAndTheChildStartsThreadsOfItsOwn) {
    std::atomic<bool> starting{false}, started{false};
    std::thread starter([&] {
        const ThreadStartGuard guard;  // as a start in progress holds it
        starting.store(true);
        usleep(100000);
        started.store(true);
    });
    while (!starting.load()) usleep(100);
    const pid_t pid = fork();  // waits for the start, at most the 100 ms above
    if (pid == 0) {
        if (!started.load()) _exit(1);  // forked in the middle of the start
        // The gate the fork took is free in the child: a batch starts workers.
        const std::vector<std::string_view> texts(8, "hello world");
        _exit(count_batch(cl100k(), texts, 4, false) == std::vector<uint32_t>(8, 2) ? 0 : 2);
    }
    starter.join();
    EXPECT_EQ(child_status(pid), 0);
    // And free in the parent.
    const std::vector<std::string_view> texts(8, "hello world");
    EXPECT_EQ(count_batch(cl100k(), texts, 4, false), std::vector<uint32_t>(8, 2));
}
