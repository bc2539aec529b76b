// Runs one task on a second thread beside the caller, for construction
// work that splits into two independent strands.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "thread_start_gate.h"

namespace zelkor {

class SideTask {
public:
    // Starts f on a new thread; where no thread can be started, runs it
    // here and now.
    template <class F>
    explicit SideTask(const F& f) {
        try {
            const ThreadStartGuard no_fork;
            thread_ = std::thread([this, g = F(f)]() mutable noexcept {
                try {
                    g();
                } catch (...) {
                    error_ = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            f();
        }
    }

    // Waits for the task; what it threw is thrown here.
    void join() {
        if (thread_.joinable()) thread_.join();
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

    // An unwinding caller still waits: the task uses the caller's objects.
    ~SideTask() {
        if (thread_.joinable()) thread_.join();
    }

    SideTask(const SideTask&) = delete;
    SideTask& operator=(const SideTask&) = delete;

private:
    std::thread thread_;
    std::exception_ptr error_;
};

}  // namespace zelkor
