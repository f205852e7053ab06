// The state of an Index object and the two ways a call reaches it: a change
// (exclusive, with the interpreter lock) and a search (shared, without it).
//
// Locking: every change holds the index's lock exclusively and the
// interpreter lock; a search holds the index's lock shared and not the
// interpreter lock; quick reads (count, a setting) hold the interpreter lock
// only, which orders them with every change. A thread waits for the index's
// lock only with the interpreter lock released, so that a change waiting
// for the interpreter lock never waits on it.
#pragma once

#include "murvex/saved.hpp"
#include "native.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace murvex::tools {

// A readers-writer lock that lets a waiting writer in before new readers, so
// that searches arriving one after another never keep a change out.
class RwLock {
public:
    void lock_shared() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !writing_ && writers_waiting_ == 0; });
        ++readers_;
    }
    // lock_shared() when it need not wait; false when it would.
    bool try_lock_shared() {
        const std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock() || writing_ || writers_waiting_ != 0) return false;
        ++readers_;
        return true;
    }
    void unlock_shared() {
        std::lock_guard lock(mutex_);
        if (--readers_ == 0) changed_.notify_all();
    }
    void lock() {
        std::unique_lock lock(mutex_);
        ++writers_waiting_;
        changed_.wait(lock, [&] { return !writing_ && readers_ == 0; });
        --writers_waiting_;
        writing_ = true;
    }
    void unlock() {
        std::lock_guard lock(mutex_);
        writing_ = false;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t readers_ = 0;
    std::size_t writers_waiting_ = 0;
    bool writing_ = false;
};

struct IndexState {
    IndexState(ShardedIndex index, std::size_t workers, Kernel kernel)
        : index(std::move(index)), workers(workers), kernel(kernel) {}

    ShardedIndex index;
    std::size_t workers;
    Kernel kernel;
    std::string metadata;                           // kept with the index in its saved file
    std::shared_ptr<const MappedFile> mapped_file;  // where a mapped load left the lanes, else null
    std::atomic<std::thread::id> writer{};          // the thread changing the index, if any

    // The lock of this process. After fork() a lock that a thread of the
    // parent held would stay held in the child for ever: the child's first
    // call makes a new one (the old one's memory is lost, once).
    RwLock& lock() {
        if (const unsigned now = fork_generation(); generation_ != now) {
            [[maybe_unused]] RwLock* abandoned = lock_.release();  // may be held by a thread that is gone
            lock_ = std::make_unique<RwLock>();
            generation_ = now;
            writer.store({});
        }
        return *lock_;
    }

private:
    std::unique_ptr<RwLock> lock_ = std::make_unique<RwLock>();
    unsigned generation_ = fork_generation();
};

// ValueError: the file a mapped load left the lanes in has changed.
Error mapped_file_changed(const MappedFile& file);

// The Index's arguments `workers` (None: every CPU this process may use,
// else a whole number of at least 1) and `kernel` (a form's name this CPU
// runs; nullptr: automatic).
std::size_t to_workers(PyObject* value);
Kernel to_kernel(PyObject* value);

struct IndexObject {
    PyObject_HEAD
    IndexState* state;  // owned; null in an object made without the constructor
};

inline IndexState& state_of(PyObject* self) {
    IndexState* state = reinterpret_cast<IndexObject*>(self)->state;
    if (!state) throw Error::lazy(PyExc_TypeError, "Index object is not initialized");
    return *state;
}

// Runs body(index) holding the index's lock exclusively, and the interpreter
// lock. Python code that body calls (a record's item access) and that uses
// this index again gets a RuntimeError instead of waiting for itself.
template <class Body>
auto change(PyObject* self, Body&& body) {
    IndexState& state = state_of(self);
    if (state.writer.load() == std::this_thread::get_id())
        throw Error::lazy(PyExc_RuntimeError, "Already borrowed");
    RwLock& lock = state.lock();
    {
        WithoutInterpreterLock released;
        lock.lock();
    }
    struct Release {
        IndexState& state;
        RwLock& lock;
        ~Release() {
            state.writer.store({});
            lock.unlock();
        }
    } release{state, lock};
    state.writer.store(std::this_thread::get_id());
    return body(state.index);
}

// Whether one search of the index is a few microseconds of work, which runs
// on the caller's thread with the interpreter lock held (see
// search_released): at most 1,000 records in at most 256 KiB of lanes (long
// records take many).
inline bool is_small(const ShardedIndex& index) noexcept {
    constexpr std::size_t SMALL_RECORDS = 1000, SMALL_LANE_BYTES = std::size_t{256} << 10;
    if (index.count() > SMALL_RECORDS) return false;
    std::size_t bytes = 0;
    for (std::size_t s = 0; s < index.shard_count(); ++s) {
        const RecordStore& shard = index.shard(s);
        for (std::size_t b = 0; b < shard.block_count(); ++b) {
            bytes += shard.block(b).rows * LANES;
            if (bytes > SMALL_LANE_BYTES) return false;
        }
    }
    return true;
}

// Runs body(index, options) holding the index's lock shared, without the
// interpreter lock: body must not touch any Python object. What it throws is
// rethrown once the interpreter lock is back. `settings`, when not null, are
// this search's own instead of the index's.
template <class Body>
auto search_released(PyObject* self, std::optional<std::size_t> workers, Body&& body,
                     const Settings* settings = nullptr, bool small_runs_here = false) {
    IndexState& state = state_of(self);
    if (state.writer.load() == std::this_thread::get_id())
        throw Error::lazy(PyExc_RuntimeError, "Already mutably borrowed");
    // Its bytes may differ from those checked: nothing is read from them.
    if (state.mapped_file && state.mapped_file->changed()) throw mapped_file_changed(*state.mapped_file);
    RwLock& lock = state.lock();
    // One search of a small index runs on this thread with the interpreter
    // lock held, when the index's lock need not be waited for: letting the
    // interpreter lock go and taking it back would cost more than the search.
    if (small_runs_here && lock.try_lock_shared()) {
        const struct Unlock {
            RwLock& lock;
            ~Unlock() { lock.unlock_shared(); }
        } unlock{lock};
        if (is_small(state.index))  // read with the index held
            return body(state.index, SearchOptions{nullptr, 1, state.kernel, settings});
    }
    const SearchOptions options{&shared_pool(), workers.value_or(state.workers), state.kernel, settings};
    std::optional<decltype(body(state.index, options))> result;
    std::exception_ptr error;
    {
        WithoutInterpreterLock released;
        lock.lock_shared();
        try {
            result.emplace(body(state.index, options));
        } catch (...) {
            error = std::current_exception();
        }
        lock.unlock_shared();
    }
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

}  // namespace murvex::tools
