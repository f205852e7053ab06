// The record store: every record of one engine, in the order of appending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "murvex/buffer.hpp"

namespace murvex {

// The store refuses nothing itself; callers test is_full() before appending.
inline constexpr std::size_t MAX_RECORDS = 100000;

// Room reserved for records when a store is created.
inline constexpr std::size_t INITIAL_CAPACITY = 1000;

// The longest text a record can have: 4 GiB - 1 bytes.
inline constexpr std::size_t MAX_TEXT_BYTES = 0xFFFFFFFF;

// One stored record as the store hands it out. `text` points into the store
// and stays valid until the store is next changed.
struct Record {
    std::uint32_t id;
    std::string_view text;
    std::uint64_t char_mask;
};

// Records keep their order of appending; removing one closes the gap. Ids are
// the caller's and need not be unique: there is no index by id.
//
// Texts live back to back in one arena, in record order, so a record costs
// its text plus a 24-byte entry. A text is at most MAX_TEXT_BYTES long, the
// most a 32-bit match position can address. Every change gives the strong
// guarantee: when it throws (std::bad_alloc, or std::length_error for a text
// that is too long), the store is as it was.
class RecordStore {
public:
    RecordStore();

    std::size_t count() const noexcept { return entries_.size(); }
    bool is_full() const noexcept { return count() >= MAX_RECORDS; }
    // Room for records reserved so far; it never shrinks, not even on reset().
    std::size_t capacity() const noexcept { return entries_.capacity(); }

    Record operator[](std::size_t index) const noexcept;

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
    struct Entry {
        std::uint64_t offset;  // of the text in arena_
        std::uint64_t char_mask;
        std::uint32_t length;
        std::uint32_t id;
    };

    void compact() noexcept;

    PodBuffer<Entry> entries_;
    PodBuffer<char> arena_;
    std::size_t dead_bytes_ = 0;  // arena bytes of removed records
};

}  // namespace murvex
