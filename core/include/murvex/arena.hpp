// Memory for lane blocks, carved out of chunks mapped from the operating
// system and given back only all at once.
//
// Blocks are never freed one by one (a freed lane is reused), so nothing
// fragments the heap, and the pages of a chunk that no block has reached yet
// take no memory, whatever the process allocated and freed before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace murvex {

class BlockArena {
public:
    static constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;

    // `bytes` zeroed bytes, at most CHUNK_BYTES; throws std::bad_alloc.
    void* allocate(std::size_t bytes);

    // Gives every chunk back; what allocate() returned is gone.
    void release() noexcept;

    // Bytes taken from the operating system.
    std::size_t mapped_bytes() const noexcept { return chunks_.size() * CHUNK_BYTES; }

    // While set, a chunk comes with all its pages in place, in one system
    // call rather than a page fault per page: for appending many records at
    // once, which fill every chunk they take.
    void set_prefault(bool prefault) noexcept { prefault_ = prefault; }

private:
    struct FreeChunk {
        void operator()(std::uint8_t* chunk) const noexcept;
    };
    std::vector<std::unique_ptr<std::uint8_t, FreeChunk>> chunks_;
    std::size_t used_ = CHUNK_BYTES;  // bytes taken from the last chunk
    bool prefault_ = false;
};

}  // namespace murvex
