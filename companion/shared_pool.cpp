// The worker pool every index of the process shares.
#include "native.hpp"

#include <atomic>
#include <mutex>

#include <pthread.h>

namespace murvex::tools {

namespace {

// Never freed: a thread that outlives the interpreter's exit (a daemon
// thread in a search) may still be using it. stop_shared_pool() joins its
// helpers; later loops run on their caller alone.
std::atomic<WorkerPool*> pool{nullptr};

// In a child after fork() the helpers do not exist and the pool's mutex may
// be held by a thread that does not either: forget the pool (its memory is
// lost, once) and make a new one on next need.
void forget_pool_in_child() noexcept { pool.store(nullptr); }

std::once_flag fork_handler;

}  // namespace

WorkerPool& shared_pool() {
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    WorkerPool* current = pool.load();
    if (current) return *current;
    auto* made = new WorkerPool();  // NOLINT(cppcoreguidelines-owning-memory): lives as long as the process
    if (pool.compare_exchange_strong(current, made)) return *made;
    delete made;  // NOLINT(cppcoreguidelines-owning-memory): another thread made one first
    return *current;
}

void stop_shared_pool() noexcept {
    if (WorkerPool* current = pool.load()) current->stop();
}

}  // namespace murvex::tools
