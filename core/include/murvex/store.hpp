// The record store: every record of one engine, in the order of appending.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "murvex/buffer.hpp"

namespace murvex {

// The store refuses nothing itself; callers test is_full() before appending.
inline constexpr std::size_t MAX_RECORDS = 100000;

// Room reserved for records when a store is created.
inline constexpr std::size_t INITIAL_CAPACITY = 1000;

// The longest text a record can have: 4 GiB - 1 bytes.
inline constexpr std::size_t MAX_TEXT_BYTES = 0xFFFFFFFF;

// Texts up to this long are stored in lane blocks (below); longer ones back
// to back in an arena of their own.
inline constexpr std::size_t LANE_TEXT_LIMIT = 1024;

// Texts per lane block, and the step in which block lengths grow.
inline constexpr std::size_t LANES = 64;
inline constexpr std::size_t LANE_ROW_STEP = 8;

// The records of LANES texts of similar length, stored side by side so that
// a search can read byte p of every one of them with a single load: byte p of
// lane l is data[p * LANES + l]. A lane holds a record when its length is not
// FREE_LANE; bytes past a text's length are padding of no meaning.
struct LaneBlock {
    static constexpr std::uint16_t FREE_LANE = 0xFFFF;

    const std::uint8_t* data;
    std::size_t rows;  // bytes per lane
    const std::uint64_t* char_masks;
    const std::uint16_t* lengths;
    const std::uint32_t* ids;
    const std::uint32_t* seqs;  // the records' places in store order (see RecordStore::seq)
};

// A record too long for a lane block, stored contiguously.
struct LongRecord {
    std::uint32_t id;
    std::uint32_t seq;
    std::uint64_t char_mask;
    std::string_view text;
    bool live;
};

// Records keep their order of appending; removing one closes the gap. Ids are
// the caller's and need not be unique: there is no index by id.
//
// A record costs its text, rounded up to LANE_ROW_STEP bytes, plus about 22
// bytes. A text is at most MAX_TEXT_BYTES long, the most a 32-bit match
// position can address. Every change gives the strong guarantee: when it
// throws (std::bad_alloc, or std::length_error for a text that is too long),
// the store is as it was.
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
    std::size_t block_count() const noexcept { return block_rows_.size(); }
    LaneBlock block(std::size_t b) const noexcept;
    std::size_t long_count() const noexcept { return longs_.size(); }
    LongRecord long_record(std::size_t i) const noexcept;

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

    // A removed long record's entry is reused; its id holds the next free one.
    struct Long {
        std::uint64_t char_mask;
        std::uint32_t length;
        std::uint32_t id;
        std::uint32_t seq;
        std::uint32_t live;
    };

    void append_to_lane(std::uint32_t id, std::size_t length, std::span<const std::string_view> parts);
    void append_long(std::uint32_t id, std::size_t length, std::span<const std::string_view> parts);
    std::uint32_t take_slot(std::size_t length_class);
    std::uint32_t next_seq() noexcept;

    PodBuffer<Handle> order_;

    // Lane blocks and, per slot, the record in it. A free slot's id holds the
    // next free slot of its length class.
    PodBuffer<std::uint8_t> lane_bytes_;
    PodBuffer<std::uint64_t> block_offsets_;
    PodBuffer<std::uint32_t> block_rows_;
    PodBuffer<std::uint64_t> slot_masks_;
    PodBuffer<std::uint16_t> slot_lengths_;
    PodBuffer<std::uint32_t> slot_ids_;
    PodBuffer<std::uint32_t> slot_seqs_;
    std::array<std::uint32_t, CLASSES> free_slots_;

    PodBuffer<Long> longs_;
    std::vector<std::unique_ptr<char[]>> long_texts_;  // one per entry of longs_
    std::uint32_t free_long_ = NO_SLOT;

    std::uint32_t next_seq_ = 0;
};

}  // namespace murvex
