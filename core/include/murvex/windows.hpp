// Texts longer than a lane: cut into overlapping windows that lanes hold
// like short texts, and their window matches combined into the text's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "murvex/bitap.hpp"
#include "murvex/buffer.hpp"
#include "murvex/lane_slots.hpp"

namespace murvex {

// A long text is cut into windows of LANE_TEXT_LIMIT bytes that overlap by
// WINDOW_OVERLAP: a stretch with at most MAX_ERRORS errors against at most
// MAX_PATTERN_BYTES pattern bytes is never longer than that, so every match
// lies whole in some window and each window's matcher finds it exactly.
inline constexpr std::size_t WINDOW_OVERLAP = MAX_PATTERN_BYTES + MAX_ERRORS;
inline constexpr std::size_t WINDOW_STRIDE = LANE_TEXT_LIMIT - WINDOW_OVERLAP;

// The number of windows a text of `length` > LANE_TEXT_LIMIT bytes is cut
// into: window i covers [i * WINDOW_STRIDE, i * WINDOW_STRIDE +
// LANE_TEXT_LIMIT), the last one cut at the end of the text.
constexpr std::size_t window_count(std::size_t length) noexcept {
    return 1 + (length - LANE_TEXT_LIMIT + WINDOW_STRIDE - 1) / WINDOW_STRIDE;
}

// What the search needs to know of a window in which it found a match: its
// long record (an index for LongMatches), that record's id and place in
// store order, and the text position of the window's first byte.
struct WindowPlace {
    std::uint32_t record;
    std::uint32_t id;
    std::uint32_t seq;
    std::uint32_t offset;
};

// The records whose texts are longer than LANE_TEXT_LIMIT. Each has a run
// of consecutive window numbers; a window's lane holds its number as its id,
// so removing a record renumbers the windows after it.
class LongRecords {
public:
    using Index = std::uint32_t;

    // Entries, free ones included: the indexes run below this.
    std::size_t size() const noexcept { return longs_.size(); }

    // Appends a record whose text is `parts` joined with single spaces,
    // `length` bytes in all, in windows taken from `slots`. Strong guarantee:
    // throws std::bad_alloc or std::length_error with nothing changed.
    Index append(LaneSlots& slots, std::uint32_t id, std::uint32_t seq, std::size_t length,
                 std::span<const std::string_view> parts);

    // Frees the record's windows and renumbers the windows after them.
    void remove(LaneSlots& slots, Index record) noexcept;

    std::uint32_t id(Index record) const noexcept { return longs_[record].id; }
    std::uint32_t seq(Index record) const noexcept { return longs_[record].seq; }
    std::uint64_t mask(Index record) const noexcept { return longs_[record].char_mask; }
    std::size_t length(Index record) const noexcept { return longs_[record].length; }
    // The text, rebuilt from the windows.
    std::string text(const LaneSlots& slots, Index record) const;
    // Bytes [from, from + count) of the text (within it) into `out`.
    void read(const LaneSlots& slots, Index record, std::size_t from, std::size_t count,
              std::uint8_t* out) const noexcept;

    // Marks each of the record's windows as holding a text that folding
    // changed; whether they are.
    void set_folded(LaneSlots& slots, Index record) const noexcept;
    bool folded(const LaneSlots& slots, Index record) const noexcept {
        return slots.folded(windows_[longs_[record].first_window].slot);
    }
    bool any_folded(const LaneSlots& slots, Index record) const noexcept {
        const Long& entry = longs_[record];
        for (std::uint32_t w = 0; w < entry.windows; ++w)
            if (slots.folded(windows_[entry.first_window + w].slot)) return true;
        return false;
    }
    // Gives the record, and each of its windows, a new place in store order.
    void set_seq(LaneSlots& slots, Index record, std::uint32_t seq) noexcept;

    // The window numbered `window` (a window lane's id).
    WindowPlace place(std::uint32_t window) const noexcept;

    void reset() noexcept;

private:
    static constexpr std::uint32_t NO_RECORD = 0xFFFFFFFFu;

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
        LaneSlots::Slot slot;
        Index record;
    };

    PodBuffer<Long> longs_;
    PodBuffer<WindowSlot> windows_;
    Index free_long_ = NO_RECORD;
};

// The best match of each long record over its windows during one search:
// the fewest errors, and among those the first end. A window's matches are
// never better than the text's own, and every match lies whole in some
// window, so the best over the windows is the text's.
class LongMatches {
public:
    LongMatches(std::size_t records, std::uint32_t k) : best_(records, Match{k + 1, 0}) {}

    // The record's match in text positions when the window's match (`end`
    // counted from the window's first byte) improves on every one before,
    // else nothing.
    std::optional<Match> improve(const WindowPlace& window, std::uint32_t errors,
                                 std::uint32_t end) noexcept {
        Match& best = best_[window.record];
        const std::size_t at = std::size_t{window.offset} + end;
        if (errors > best.errors || (errors == best.errors && at >= best.end)) return std::nullopt;
        best = Match{errors, at};
        return best;
    }

    // The best match of a long record so far; errors above k when none.
    const Match& best(std::size_t record) const noexcept { return best_[record]; }
    std::size_t size() const noexcept { return best_.size(); }

private:
    std::vector<Match> best_;
};

}  // namespace murvex
