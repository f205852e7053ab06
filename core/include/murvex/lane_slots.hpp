// Lane blocks: the texts of a store side by side, LANES to a block, and the
// allocator of their lanes ("slots").
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "murvex/arena.hpp"
#include "murvex/buffer.hpp"

namespace murvex {

// Texts per lane block, the step in which block lengths grow, and the
// longest lane.
inline constexpr std::size_t LANES = 64;
inline constexpr std::size_t LANE_ROW_STEP = 8;
inline constexpr std::size_t LANE_TEXT_LIMIT = 1024;

// The records of LANES texts (or windows) of similar length, side by side so
// that a search reads byte p of every one of them with a single load: byte p
// of lane l is data[p * LANES + l]. Bytes past a lane's length are padding of
// no meaning: zero in a new block, an earlier text's in a reused lane.
struct LaneBlock {
    static constexpr std::uint16_t FREE_LANE = 0xFFFF;
    // Set in a lane's length when the lane holds a window of a long record;
    // its id is then the window's number (see LongRecords::place).
    static constexpr std::uint16_t WINDOW = 0x8000;

    const std::uint8_t* data;
    std::size_t rows;    // bytes per lane
    std::uint64_t live;  // the lanes that hold a text that is not empty
    // In a store that folds (RecordStore::folds), the lanes whose text
    // folding changed: they hold the folded text, not the record's own.
    std::uint64_t folded;
    bool mixed;  // some lane holds a text of a shorter class: scan only as far as the longest
    // The character masks of the lanes' records, sliced by bit: bit l of
    // lanes_with[b] is bit b of lane l's mask (the whole record's, also for a
    // window). The lanes whose masks hold all bits of a pattern's are then
    // the AND of one word per pattern bit.
    const std::uint64_t* lanes_with;
    const std::uint16_t* lengths;  // FREE_LANE, or the length with WINDOW set for a window
    const std::uint32_t* ids;
    const std::uint32_t* seqs;  // the records' places in store order (see RecordStore::seq)
    // Every seq a lane of the block has held lies in [least_seq, most_seq]
    // (least_seq > most_seq: none yet), so that a search can tell in one
    // comparison that all its lanes come before or after a record.
    std::uint32_t least_seq;
    std::uint32_t most_seq;
};

// The length class of a text: its length in LANE_ROW_STEP rows, rounded up.
constexpr std::size_t length_class(std::size_t length) noexcept {
    return (length + LANE_ROW_STEP - 1) / LANE_ROW_STEP;
}

// The lanes of a store's blocks. A slot is block * LANES + lane; a block has
// the rows of one length class and is never freed on its own: a freed lane
// is reused by a later text of its class.
//
// A block holds the texts of its own class, except in a small store: one
// block per class would leave most lanes of a few hundred records empty, and
// a search pays for every row of a block it reads. There a text takes a free
// lane of the shortest longer class, up to twice its own rows, before it
// opens a block of its own.
class LaneSlots {
public:
    using Slot = std::uint32_t;
    static constexpr Slot NO_SLOT = 0xFFFFFFFFu;
    // Slots stay below this, so that a store can tell them from other handles.
    static constexpr Slot SLOT_LIMIT = 0x80000000u;
    // A store of fewer texts than this is small: 4 full blocks.
    static constexpr std::size_t SMALL_STORE_TEXTS = 4 * LANES;

    LaneSlots() noexcept;

    std::size_t block_count() const noexcept { return blocks_.size(); }
    LaneBlock block(std::size_t b) const noexcept;

    // The class whose lane a text of `length_class` takes in a store of
    // `texts` texts: its own, or in a small store a longer one with a free lane.
    std::size_t class_for(std::size_t length_class, std::size_t texts) const noexcept;

    // Blocks of the class until it has `wanted` free slots. What it adds
    // stays when a later allocation fails: free slots change no record.
    // Throws std::bad_alloc, or std::length_error past SLOT_LIMIT.
    void make_slots(std::size_t length_class, std::size_t wanted) {
        if (free_counts_[length_class] < wanted) add_blocks(length_class, wanted);
    }
    // A free slot of the class; make_slots must have made one.
    Slot take(std::size_t length_class) noexcept;
    void free(Slot slot) noexcept;

    // A block's bytes and mask words, to be written (see LaneBlock).
    std::uint8_t* block_rows(std::size_t b) const noexcept { return blocks_[b].rows_at; }
    std::uint64_t* block_lanes_with(std::size_t b) const noexcept { return blocks_[b].memory->lanes_with; }

    // A lane's bytes: byte p is at lane_bytes(slot)[p * LANES].
    std::uint8_t* lane_bytes(Slot slot) const noexcept {
        return blocks_[slot / LANES].rows_at + slot % LANES;
    }
    std::uint16_t length(Slot slot) const noexcept { return memory(slot).lengths[slot % LANES]; }
    std::uint32_t id(Slot slot) const noexcept { return memory(slot).ids[slot % LANES]; }
    std::uint32_t seq(Slot slot) const noexcept { return memory(slot).seqs[slot % LANES]; }
    std::uint64_t mask(Slot slot) const noexcept;

    // Fills a taken slot's fields: `length` may carry LaneBlock::WINDOW. A
    // lane whose length is not 0 is live.
    void fill(Slot slot, std::uint16_t length, std::uint32_t id, std::uint32_t seq,
              std::uint64_t mask) noexcept;
    // Marks a filled slot as holding a text that folding changed (LaneBlock::folded).
    void set_folded(Slot slot) noexcept { blocks_[slot / LANES].folded |= std::uint64_t{1} << slot % LANES; }
    bool folded(Slot slot) const noexcept { return blocks_[slot / LANES].folded >> slot % LANES & 1; }
    // Adds the bits of `mask` to a filled slot's character mask.
    void set_mask(Slot slot, std::uint64_t mask) noexcept;
    // The same for slots first + j, j below 8, neighbours in one block
    // (first a multiple of 8), masks[j] to each: as one 8x64 bit matrix
    // turned into a byte per mask bit, rather than bit by bit.
    void set_eight_masks(Slot first, const std::uint64_t* masks) noexcept;
    void set_id(Slot slot, std::uint32_t id) noexcept { memory(slot).ids[slot % LANES] = id; }
    void set_seq(Slot slot, std::uint32_t seq) noexcept {
        memory(slot).seqs[slot % LANES] = seq;
        blocks_[slot / LANES].bound_seq(seq);
    }

    // Removes every block and gives their memory back.
    void reset() noexcept;

    // Where the rows of blocks come from while one lives: block b's are
    // `rows_of(b, rows)`, memory that `owner` keeps (a file's mapped bytes,
    // say), rather than the arena's; the slots keep `owner` until reset().
    // rows_of returns nullptr for a block it has no rows for, and the
    // allocation then throws std::invalid_argument. Its rows may be written
    // like the arena's.
    using RowsOf = std::function<std::uint8_t*(std::size_t block, std::size_t rows)>;
    class RowsFromWhile {
    public:
        RowsFromWhile(LaneSlots& slots, RowsOf rows_of, std::shared_ptr<const void> owner) : slots_(slots) {
            slots_.rows_of_ = std::move(rows_of);
            slots_.rows_owners_.push_back(std::move(owner));
        }
        ~RowsFromWhile() { slots_.rows_of_ = nullptr; }
        RowsFromWhile(const RowsFromWhile&) = delete;
        RowsFromWhile& operator=(const RowsFromWhile&) = delete;

    private:
        LaneSlots& slots_;
    };

    // While one lives, texts of `bytes` that fill a chunk of blocks or more
    // take their pages a chunk at a time, in one system call rather than a
    // page fault per page (see BlockArena::set_prefault).
    class PrefaultWhile {
    public:
        PrefaultWhile(LaneSlots& slots, std::size_t bytes) noexcept : arena_(slots.arena_) {
            arena_.set_prefault(bytes >= BlockArena::CHUNK_BYTES);
        }
        ~PrefaultWhile() { arena_.set_prefault(false); }
        PrefaultWhile(const PrefaultWhile&) = delete;
        PrefaultWhile& operator=(const PrefaultWhile&) = delete;

    private:
        BlockArena& arena_;
    };

private:
    static constexpr std::size_t CLASSES = LANE_TEXT_LIMIT / LANE_ROW_STEP + 1;

    // One block's memory: the lanes' masks (sliced by bit), ids, seqs and
    // lengths, then (unless they come from rows_of_) the rows. A free
    // lane's id holds the next free slot of its length class.
    struct BlockMemory {
        std::uint64_t lanes_with[64];
        std::uint32_t ids[LANES];
        std::uint32_t seqs[LANES];
        std::uint16_t lengths[LANES];
    };
    static_assert(sizeof(BlockMemory) % 64 == 0);
    struct Block {
        BlockMemory* memory;    // in arena_
        std::uint8_t* rows_at;  // after memory, or from rows_of_
        std::uint32_t rows;
        bool mixed;                                          // see LaneBlock::mixed; stays set until reset
        std::uint64_t live;                                  // see LaneBlock::live
        std::uint64_t folded;                                // see LaneBlock::folded
        std::uint32_t least_seq = UINT32_MAX, most_seq = 0;  // see LaneBlock::least_seq

        void bound_seq(std::uint32_t seq) noexcept {
            least_seq = std::min(least_seq, seq);
            most_seq = std::max(most_seq, seq);
        }
    };

    BlockMemory& memory(Slot slot) const noexcept { return *blocks_[slot / LANES].memory; }
    void add_blocks(std::size_t length_class, std::size_t wanted);

    BlockArena arena_;
    PodBuffer<Block> blocks_;
    Slot free_slots_[CLASSES];  // the first free slot of each length class
    std::uint32_t free_counts_[CLASSES];
    RowsOf rows_of_;                                        // see RowsFromWhile
    std::vector<std::shared_ptr<const void>> rows_owners_;  // what keeps rows not in arena_
};

}  // namespace murvex
