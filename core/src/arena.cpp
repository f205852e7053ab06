#include "murvex/arena.hpp"

#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it and pages come on first touch
#endif

namespace murvex {

// --- pages ------------------------------------------------------------------

namespace {

// Zeroed pages that come as they are first touched, or null.
void* map_pages(std::size_t bytes) noexcept {
#ifdef _WIN32
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
#endif
}

}  // namespace

Pages Pages::lazy(std::size_t bytes) {
    if (bytes == 0) return {};
    void* memory = map_pages(bytes);
    if (!memory) throw std::bad_alloc();
    return Pages(static_cast<std::uint8_t*>(memory), bytes);
}

Pages Pages::filled(std::size_t bytes) {
    if (bytes == 0) return {};
#ifndef __linux__
    // Elsewhere the pages come on first touch: a region can be given back
    // only whole (Windows), and huge pages need privileges or do not exist.
    return lazy(bytes);
#else
    // Whole huge pages on a huge page boundary: map one more and trim.
    const std::size_t whole = (bytes + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
    Pages wide = lazy(whole + HUGE_PAGE_BYTES);
    const auto address = reinterpret_cast<std::uintptr_t>(wide.data());
    const std::size_t lead = (HUGE_PAGE_BYTES - address % HUGE_PAGE_BYTES) % HUGE_PAGE_BYTES;
    std::uint8_t* memory = std::exchange(wide.memory_, nullptr) + lead;
    wide.bytes_ = 0;
    if (lead) munmap(memory - lead, lead);
    munmap(memory + whole, HUGE_PAGE_BYTES - lead);
    madvise(memory, whole, MADV_HUGEPAGE);        // hints: refused where there are no huge pages,
    madvise(memory, whole, MADV_POPULATE_WRITE);  // or on kernels before 5.14
    return Pages(memory, whole);
#endif
}

Pages::~Pages() {
    if (!memory_) return;
#ifdef _WIN32
    VirtualFree(memory_, 0, MEM_RELEASE);
#else
    munmap(memory_, bytes_);
#endif
}

// --- the arena --------------------------------------------------------------

void* BlockArena::allocate(std::size_t bytes) {
    if (chunks_.empty() || chunks_.back().size() - used_ < bytes) {
        chunks_.reserve(chunks_.size() + 1);
        // Pages come as blocks reach them, so that a store holds only the
        // memory it uses; unless the caller is about to fill the chunk.
        chunks_.push_back(prefault_ ? Pages::filled(Pages::HUGE_PAGE_BYTES) : Pages::lazy(CHUNK_BYTES));
        used_ = 0;
    }
    void* memory = chunks_.back().data() + used_;
    used_ += bytes;
    return memory;
}

std::size_t BlockArena::mapped_bytes() const noexcept {
    std::size_t bytes = 0;
    for (const Pages& chunk : chunks_) bytes += chunk.size();
    return bytes;
}

void BlockArena::release() noexcept {
    chunks_.clear();
    used_ = 0;
}

}  // namespace murvex
