// The record store: every record of one engine, in the order of appending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "murvex/bitap.hpp"
#include "murvex/buffer.hpp"

namespace murvex {

// The store refuses nothing itself; callers test is_full() before appending.
inline constexpr std::size_t MAX_RECORDS = 100000;

// Room reserved for records when a store is created.
inline constexpr std::size_t INITIAL_CAPACITY = 1000;

// The longest text a record can have: 4 GiB - 1 bytes.
inline constexpr std::size_t MAX_TEXT_BYTES = 0xFFFFFFFF;

// Texts per lane block, the step in which block lengths grow, and the
// longest lane.
inline constexpr std::size_t LANES = 64;
inline constexpr std::size_t LANE_ROW_STEP = 8;
inline constexpr std::size_t LANE_TEXT_LIMIT = 1024;

// A longer text is cut into windows of LANE_TEXT_LIMIT bytes that overlap by
// WINDOW_OVERLAP: a stretch with at most MAX_ERRORS errors against at most
// MAX_PATTERN_BYTES pattern bytes is never longer than that, so every match
// lies whole in some window and each window's matcher finds it exactly.
inline constexpr std::size_t WINDOW_OVERLAP = MAX_PATTERN_BYTES + MAX_ERRORS;
inline constexpr std::size_t WINDOW_STRIDE = LANE_TEXT_LIMIT - WINDOW_OVERLAP;

// The records of LANES texts (or windows) of similar length, side by side so
// that a search reads byte p of every one of them with a single load: byte p
// of lane l is data[p * LANES + l]. Bytes past a lane's length are padding of
// no meaning.
struct LaneBlock {
    static constexpr std::uint16_t FREE_LANE = 0xFFFF;
    // Set in a lane's length when the lane holds a window of a long record;
    // its id is then the window's number (see RecordStore::window).
    static constexpr std::uint16_t WINDOW = 0x8000;

    const std::uint8_t* data;
    std::size_t rows;    // bytes per lane
    std::uint64_t live;  // the lanes that hold a text that is not empty
    // The character masks of the lanes' records, sliced by bit: bit l of
    // lanes_with[b] is bit b of lane l's mask (the whole record's, also for a
    // window). The lanes whose masks hold all bits of a pattern's are then
    // the AND of one word per pattern bit.
    const std::uint64_t* lanes_with;
    const std::uint16_t* lengths;  // FREE_LANE, or the length with WINDOW set for a window
    const std::uint32_t* ids;
    const std::uint32_t* seqs;  // the records' places in store order (see RecordStore::seq)
};

// Where a window lies: its long record (an index for RecordStore::long_record)
// and the text position of its first byte.
struct Window {
    std::uint32_t record;
    std::uint32_t offset;
};

// A record whose text is longer than LANE_TEXT_LIMIT.
struct LongRecord {
    std::uint32_t id;
    std::uint32_t seq;
    bool live;
};

// Records keep their order of appending; removing one closes the gap. Ids are
// the caller's and need not be unique: there is no index by id.
//
// Each lane block is one allocation of its own, so the store never copies
// texts to grow and leaves no old copies in the heap. A record costs its
// text, rounded up to LANE_ROW_STEP bytes, plus 22 bytes; a long record's
// windows repeat WINDOW_OVERLAP bytes in every LANE_TEXT_LIMIT (3.4 %). A
// text is at most MAX_TEXT_BYTES long, the most a 32-bit match position can
// address. Every change gives the strong guarantee: when it throws
// (std::bad_alloc, or std::length_error for a text that is too long), the
// store is as it was.
class RecordStore {
public:
    RecordStore();

    std::size_t count() const noexcept { return order_.size(); }
    bool is_full() const noexcept { return count() >= MAX_RECORDS; }
    // Room for records reserved so far; it never shrinks, not even on reset().
    std::size_t capacity() const noexcept { return order_.capacity(); }

    // The record at `index` in store order.
    std::uint32_t id(std::size_t index) const noexcept;
    std::uint64_t char_mask(std::size_t index) const noexcept;
    std::string text(std::size_t index) const;  // a copy

    // A number that orders records as the store does: among the records
    // stored now, a record's seq is smaller than that of every later one.
    std::uint32_t seq(std::size_t index) const noexcept;

    // Where the texts are, for the search.
    std::size_t block_count() const noexcept { return blocks_.size(); }
    LaneBlock block(std::size_t b) const noexcept;
    std::size_t long_count() const noexcept { return longs_.size(); }
    LongRecord long_record(std::size_t i) const noexcept;
    Window window(std::uint32_t number) const noexcept;

    // Room for `records` records in all, so that adding a known number of
    // them grows the store's index once. Throws std::bad_alloc and changes
    // nothing when memory runs out.
    void reserve(std::size_t records) { order_.reserve(records); }

    // Appends one record whose text is `text`.
    void append(std::uint32_t id, std::string_view text);

    // Appends one record whose text is `parts` joined with single spaces
    // (no parts give the empty text).
    void append_joined(std::uint32_t id, std::span<const std::string_view> parts);

    // Removes the first record carrying `id`; false when none does.
    bool remove(std::uint32_t id) noexcept;

    // Removes every record and releases the texts; the reserved room stays.
    void reset() noexcept;

private:
    friend struct RecordStoreTestAccess;  // lets the tests reach the end of the sequence numbers

    // A record's place: a lane slot (block * LANES + lane), or with LONG_FLAG
    // set an index into longs_.
    using Handle = std::uint32_t;
    static constexpr Handle LONG_FLAG = 0x80000000u;
    static constexpr std::uint32_t NO_SLOT = 0xFFFFFFFFu;
    static constexpr std::size_t CLASSES = LANE_TEXT_LIMIT / LANE_ROW_STEP + 1;

    // One block's memory: the lanes' masks (sliced by bit), ids, seqs and
    // lengths, then the rows. A free lane's id holds the next free slot of
    // its length class.
    struct BlockMemory {
        std::uint64_t lanes_with[64];
        std::uint32_t ids[LANES];
        std::uint32_t seqs[LANES];
        std::uint16_t lengths[LANES];
        std::uint8_t* rows() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
    };
    static_assert(sizeof(BlockMemory) % 64 == 0);
    struct Block {
        BlockMemory* memory;  // in arena_
        std::uint32_t rows;
        std::uint64_t live;  // see LaneBlock::live
    };

    // The memory of the lane blocks, carved out of chunks of 1 MiB mapped
    // from the operating system and given back only all at once: blocks are
    // never freed one by one (a freed lane is reused), so nothing fragments
    // the heap, and the pages of a chunk that no block has reached yet take
    // no memory, whatever the process allocated and freed before.
    class BlockArena {
    public:
        static constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;
        // `bytes` zeroed bytes, at most CHUNK_BYTES; throws std::bad_alloc.
        void* allocate(std::size_t bytes);
        void release() noexcept;

    private:
        struct FreeChunk {
            void operator()(std::uint8_t* chunk) const noexcept;
        };
        std::vector<std::unique_ptr<std::uint8_t, FreeChunk>> chunks_;
        std::size_t used_ = CHUNK_BYTES;  // bytes taken from the last chunk
    };

    // A long record; its windows are windows_[first_window, first_window + windows).
    struct Long {
        std::uint64_t char_mask;
        std::uint32_t length;
        std::uint32_t id;  // for a removed entry: the next free one
        std::uint32_t seq;
        std::uint32_t first_window;
        std::uint32_t windows;
        std::uint32_t live;
    };
    // A window's slot and its long record.
    struct WindowSlot {
        std::uint32_t slot;
        std::uint32_t record;
    };

    BlockMemory& block_of(std::uint32_t slot) const noexcept { return *blocks_[slot / LANES].memory; }
    std::uint8_t* lane_bytes(std::uint32_t slot) const noexcept {
        return block_of(slot).rows() + slot % LANES;
    }
    void make_slots(std::size_t length_class, std::size_t wanted);
    std::uint32_t take_slot(std::size_t length_class) noexcept;
    void free_slot(std::uint32_t slot) noexcept;
    void set_mask(std::uint32_t slot, std::uint64_t mask) noexcept;
    std::uint64_t mask_of(std::uint32_t slot) const noexcept;
    void append_long(std::uint32_t id, std::size_t length, std::span<const std::string_view> parts);
    std::uint32_t next_seq() noexcept;

    PodBuffer<Handle> order_;
    BlockArena arena_;
    PodBuffer<Block> blocks_;
    std::uint32_t free_slots_[CLASSES];  // the first free slot of each length class
    std::uint32_t free_counts_[CLASSES];
    PodBuffer<Long> longs_;
    PodBuffer<WindowSlot> windows_;
    std::uint32_t free_long_ = NO_SLOT;
    std::uint32_t next_seq_ = 0;
};

}  // namespace murvex
