#include "murvex/pool.hpp"

#include <algorithm>
#include <atomic>

#ifdef __linux__
#include <sched.h>
#endif
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace murvex {

std::size_t usable_cpus() noexcept {
#ifdef __linux__
    cpu_set_t set;  // the CPUs this process may run on, which a container or taskset may narrow
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

struct WorkerPool::Loop {
    Loop(const std::function<void(std::size_t, std::size_t)>& body, std::size_t tasks, std::size_t workers)
        : body(body), tasks(tasks), workers(workers) {}

    const std::function<void(std::size_t, std::size_t)>& body;
    std::size_t tasks;
    std::size_t workers;
    std::atomic<std::size_t> next{0};
    std::size_t joined = 1;   // the caller, slot 0; guarded by the pool's mutex
    std::size_t running = 0;  // helpers still working; guarded by the pool's mutex
    std::condition_variable done;
    std::mutex error_mutex;
    std::exception_ptr error;
};

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() noexcept {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads) thread.join();
}

std::size_t WorkerPool::helpers() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void WorkerPool::work(Loop& loop, std::size_t slot) noexcept {
    for (std::size_t task; (task = loop.next.fetch_add(1, std::memory_order_relaxed)) < loop.tasks;) {
        try {
            loop.body(task, slot);
        } catch (...) {
            std::lock_guard lock(loop.error_mutex);
            if (!loop.error) loop.error = std::current_exception();
            loop.next.store(loop.tasks, std::memory_order_relaxed);  // the others stop too
        }
    }
}

void WorkerPool::help() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !loops_.empty(); });
        if (stopping_) return;  // the callers of loops still queued finish them
        Loop& loop = *loops_.front();
        const std::size_t slot = loop.joined++;
        if (loop.joined == loop.workers) loops_.pop_front();  // full: no more helpers
        ++loop.running;
        lock.unlock();
        work(loop, slot);
        lock.lock();
        if (--loop.running == 0) loop.done.notify_all();
    }
}

void WorkerPool::grow(std::size_t helpers) noexcept {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    // Helpers take no signal sent to the process: one delivered to a helper
    // would not interrupt the thread that waits for it (an interpreter's main
    // thread blocked reading a terminal, say, would miss a Ctrl-C). A thread
    // starts with the mask of the thread that starts it. Faults stay
    // unblocked, so that a helper's crash is reported as such. (Windows
    // delivers Ctrl-C on a thread of its own: nothing to block there.)
#ifndef _WIN32
    sigset_t blocked, before;
    sigfillset(&blocked);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&blocked, fault);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    struct Restore {
        const sigset_t& before;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    } restore{before};
#endif
    try {
        threads_.reserve(helpers);
        while (threads_.size() < helpers) threads_.emplace_back([this] { help(); });
    } catch (const std::exception&) {
        return;  // no more threads or memory to be had: the loop runs with the helpers there are
    }
}

void WorkerPool::run(std::size_t tasks, std::size_t workers,
                     const std::function<void(std::size_t, std::size_t)>& body) {
    workers = std::min(workers, tasks);
    Loop loop(body, tasks, std::max<std::size_t>(workers, 1));
    if (loop.workers > 1) {
        grow(loop.workers - 1);
        {
            std::lock_guard lock(mutex_);
            loops_.push_back(&loop);
        }
        wake_.notify_all();
        work(loop, 0);
        std::unique_lock lock(mutex_);
        std::erase(loops_, &loop);  // no helper joins from here on
        loop.done.wait(lock, [&] { return loop.running == 0; });
    } else {
        work(loop, 0);
    }
    if (loop.error) std::rethrow_exception(loop.error);
}

}  // namespace murvex
