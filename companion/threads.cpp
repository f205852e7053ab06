// The worker pool every index of the process shares, and the threads that
// run without the interpreter lock.
#include "native.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace murvex::tools {

namespace {

// Never freed: a thread that outlives the interpreter's exit (a daemon
// thread in a search) may still be using it. stop_shared_pool() joins its
// helpers; later loops run on their caller alone.
std::atomic<WorkerPool*> pool{nullptr};

std::atomic<bool> exiting{false};
std::atomic<std::size_t> released{0};  // threads between releasing the interpreter lock and taking it back

// In a child after fork() the helpers do not exist and the pool's mutex may
// be held by a thread that does not either: forget the pool (its memory is
// lost, once) and make a new one on next need. The one thread there is
// holds the interpreter lock.
std::atomic<unsigned> forks{0};  // children this process's line has been, counted in each child

#if !defined(_WIN32)  // no fork() there
void forget_pool_in_child() noexcept {
    pool.store(nullptr);
    released.store(0);
    forks.fetch_add(1);
}

std::once_flag fork_handler;
#endif

void watch_forks() {
#if !defined(_WIN32)
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
#endif
}

}  // namespace

unsigned fork_generation() {
    watch_forks();
    return forks.load(std::memory_order_relaxed);
}

WorkerPool& shared_pool() {
    watch_forks();
    WorkerPool* current = pool.load();
    if (current) return *current;
    auto* made = new WorkerPool();  // NOLINT(cppcoreguidelines-owning-memory): lives as long as the process
    if (pool.compare_exchange_strong(current, made)) return *made;
    delete made;  // NOLINT(cppcoreguidelines-owning-memory): another thread made one first
    return *current;
}

namespace {

[[noreturn]] void wait_for_the_end() noexcept {
    released.fetch_sub(1);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

WithoutInterpreterLock::WithoutInterpreterLock() noexcept {
    released.fetch_add(1);
    saved_ = PyEval_SaveThread();
    if (exiting.load()) wait_for_the_end();
}

WithoutInterpreterLock::~WithoutInterpreterLock() {
    if (exiting.load()) wait_for_the_end();
    PyEval_RestoreThread(saved_);
    released.fetch_sub(1);  // only now: the exit waits until this thread holds the lock again
}

void shutdown() noexcept {
    exiting.store(true);
    PyThreadState* saved = PyEval_SaveThread();
    while (released.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (WorkerPool* current = pool.load()) current->stop();
    PyEval_RestoreThread(saved);
}

}  // namespace murvex::tools
