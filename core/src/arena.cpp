#include "murvex/arena.hpp"

#include <new>

#include <sys/mman.h>

namespace murvex {

void BlockArena::FreeChunk::operator()(std::uint8_t* chunk) const noexcept { munmap(chunk, CHUNK_BYTES); }

void* BlockArena::allocate(std::size_t bytes) {
    if (CHUNK_BYTES - used_ < bytes) {
        chunks_.reserve(chunks_.size() + 1);
        // Pages come as blocks reach them, so that a store holds only the
        // memory it uses; unless the caller is about to fill the chunk.
        const int populate = prefault_ ? MAP_POPULATE : 0;
        void* chunk =
            mmap(nullptr, CHUNK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
        if (chunk == MAP_FAILED) throw std::bad_alloc();
        chunks_.emplace_back(static_cast<std::uint8_t*>(chunk));  // zeroed by the kernel
        used_ = 0;
    }
    void* memory = chunks_.back().get() + used_;
    used_ += bytes;
    return memory;
}

void BlockArena::release() noexcept {
    chunks_.clear();
    used_ = CHUNK_BYTES;
}

}  // namespace murvex
