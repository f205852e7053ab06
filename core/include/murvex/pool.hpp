// A fixed set of helper threads that run the tasks of a parallel loop beside
// the thread that asked for it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace murvex {

// The CPUs this process may run on (its affinity mask), at least 1.
std::size_t usable_cpus() noexcept;

class WorkerPool {
public:
    // No helpers until a loop asks for them.
    WorkerPool() = default;
    // Stops and joins the helpers; loops still running finish first.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs body(task, slot) for every task in [0, tasks), on the calling
    // thread and up to workers - 1 helpers, each taking the next task until
    // none is left; `slot` (below `workers`) tells a participant's tasks
    // from the others', for state of its own. Returns when every task has
    // run. When tasks throw, the first exception is rethrown here after every
    // participant has stopped; no exception leaves a helper. Several threads
    // may run loops at once. When no more threads can be started, the loop
    // runs with the helpers there are, or on the caller alone.
    void run(std::size_t tasks, std::size_t workers,
             const std::function<void(std::size_t, std::size_t)>& body);

    std::size_t helpers() const;

    // Stops and joins the helpers (each finishes the loop it is in); later
    // loops run on their caller alone.
    void stop() noexcept;

private:
    struct Loop;
    void grow(std::size_t helpers) noexcept;
    void help();
    static void work(Loop& loop, std::size_t slot) noexcept;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Loop*> loops_;  // loops that may take more helpers
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

}  // namespace murvex
