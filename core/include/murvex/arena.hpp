// Memory straight from the operating system: pages, and the arena that
// carves lane blocks out of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace murvex {

// Zeroed pages mapped for one owner and unmapped with it.
class Pages {
public:
    static constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

    Pages() noexcept = default;
    // `bytes` of pages that come as they are first touched; throws std::bad_alloc.
    static Pages lazy(std::size_t bytes);
    // `bytes` of pages all in place at once, huge ones where the system
    // allows: the kernel clears one 2 MiB page rather than fault in 512 small
    // ones, and a scan walks one TLB entry per huge page. Throws std::bad_alloc.
    static Pages filled(std::size_t bytes);

    Pages(Pages&& other) noexcept
        : memory_(std::exchange(other.memory_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Pages& operator=(Pages&& other) noexcept {
        Pages(std::move(other)).swap(*this);
        return *this;
    }
    ~Pages();

    std::uint8_t* data() const noexcept { return memory_; }
    std::size_t size() const noexcept { return bytes_; }

private:
    Pages(std::uint8_t* memory, std::size_t bytes) noexcept : memory_(memory), bytes_(bytes) {}
    void swap(Pages& other) noexcept {
        std::swap(memory_, other.memory_);
        std::swap(bytes_, other.bytes_);
    }

    std::uint8_t* memory_ = nullptr;
    std::size_t bytes_ = 0;
};

// Memory for lane blocks, carved out of chunks of pages and given back only
// all at once.
//
// Blocks are never freed one by one (a freed lane is reused), so nothing
// fragments the heap, and the pages of a chunk that no block has reached yet
// take no memory, whatever the process allocated and freed before.
class BlockArena {
public:
    static constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;

    // `bytes` zeroed bytes, at most CHUNK_BYTES; throws std::bad_alloc.
    void* allocate(std::size_t bytes);

    // Gives every chunk back; what allocate() returned is gone.
    void release() noexcept;

    // Bytes taken from the operating system.
    std::size_t mapped_bytes() const noexcept;

    // While set, a chunk is a huge page with all its memory in place (see
    // Pages::filled): for appending many records at once, which fill every
    // chunk they take.
    void set_prefault(bool prefault) noexcept { prefault_ = prefault; }

private:
    std::vector<Pages> chunks_;
    std::size_t used_ = 0;  // bytes taken from the last chunk
    bool prefault_ = false;
};

}  // namespace murvex
