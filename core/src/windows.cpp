#include "murvex/windows.hpp"

#include <algorithm>
#include <stdexcept>

#include "joined.hpp"
#include "murvex/fold.hpp"

namespace murvex {

LongRecords::Index LongRecords::append(LaneSlots& slots, std::uint32_t id, std::uint32_t seq,
                                       std::size_t length, std::span<const std::string_view> parts) {
    const std::size_t windows = window_count(length);
    const std::size_t last_length = length - (windows - 1) * WINDOW_STRIDE;
    const std::size_t full_class = length_class(LANE_TEXT_LIMIT), last_class = length_class(last_length);
    if (windows_.size() + windows >= NO_RECORD) throw std::length_error("too many windows");
    // Everything that can fail comes first.
    slots.make_slots(full_class, windows - 1 + (last_class == full_class));
    slots.make_slots(last_class, last_class == full_class ? windows : 1);
    if (free_long_ == NO_RECORD) longs_.make_room(1);
    windows_.make_room(windows);

    const auto first_window = static_cast<std::uint32_t>(windows_.size());
    Index index = free_long_;
    if (index == NO_RECORD) {
        index = static_cast<Index>(longs_.size());
        longs_.grow_by(1);
    } else {
        free_long_ = longs_[index].id;
    }
    for (std::size_t w = 0; w < windows; ++w) {
        const std::size_t window_length = w + 1 < windows ? LANE_TEXT_LIMIT : last_length;
        windows_.push_back(WindowSlot{slots.take(length_class(window_length)), index});
    }

    // The bytes, into every window that holds them; the mask of the whole text.
    std::uint64_t mask = 0;
    std::size_t p = 0;
    detail::for_each_joined_byte(parts, [&](std::uint8_t b) {
        mask |= char_bit(b);
        // Byte p lies in window p / STRIDE, and in the one before it when it
        // is within the overlap.
        std::size_t w = std::min(p / WINDOW_STRIDE, windows - 1);
        for (;; --w) {
            const std::size_t at = p - w * WINDOW_STRIDE;
            if (at >= LANE_TEXT_LIMIT) break;
            slots.lane_bytes(windows_[first_window + w].slot)[at * LANES] = b;
            if (w == 0) break;
        }
        ++p;
    });
    for (std::size_t w = 0; w < windows; ++w) {
        const std::size_t window_length = w + 1 < windows ? LANE_TEXT_LIMIT : last_length;
        slots.fill(windows_[first_window + w].slot,
                   static_cast<std::uint16_t>(window_length | LaneBlock::WINDOW),
                   first_window + static_cast<std::uint32_t>(w), seq, mask);
    }
    longs_[index] = Long{mask,         static_cast<std::uint32_t>(length),  id, seq,
                         first_window, static_cast<std::uint32_t>(windows), 1};
    return index;
}

void LongRecords::remove(LaneSlots& slots, Index record) noexcept {
    // Free the windows and close their gap in windows_: the windows after
    // them move down, and so do the numbers their lanes and records hold.
    const std::uint32_t first = longs_[record].first_window, n = longs_[record].windows;
    for (std::uint32_t w = first; w < first + n; ++w) slots.free(windows_[w].slot);
    for (std::size_t w = first + n; w < windows_.size(); ++w) {
        const LaneSlots::Slot slot = windows_[w].slot;
        slots.set_id(slot, slots.id(slot) - n);
        windows_[w - n] = windows_[w];
    }
    windows_.truncate(windows_.size() - n);
    for (Long& other : std::span(longs_.data(), longs_.size()))
        if (other.live && other.first_window > first) other.first_window -= n;
    longs_[record] = Long{0, 0, free_long_, 0, 0, 0, 0};
    free_long_ = record;
}

std::string LongRecords::text(const LaneSlots& slots, Index record) const {
    const Long& entry = longs_[record];
    std::string out(entry.length, '\0');
    for (std::uint32_t w = 0; w < entry.windows; ++w) {
        const LaneSlots::Slot slot = windows_[entry.first_window + w].slot;
        const std::size_t offset = std::size_t{w} * WINDOW_STRIDE;
        const std::size_t length = slots.length(slot) & ~LaneBlock::WINDOW;
        const std::uint8_t* lane = slots.lane_bytes(slot);
        for (std::size_t p = 0; p < length; ++p) out[offset + p] = static_cast<char>(lane[p * LANES]);
    }
    return out;
}

void LongRecords::read(const LaneSlots& slots, Index record, std::size_t from, std::size_t count,
                       std::uint8_t* out) const noexcept {
    const Long& entry = longs_[record];
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t p = from + i;
        const std::size_t w = std::min<std::size_t>(p / WINDOW_STRIDE, entry.windows - 1);
        out[i] = slots.lane_bytes(windows_[entry.first_window + w].slot)[(p - w * WINDOW_STRIDE) * LANES];
    }
}

void LongRecords::set_seq(LaneSlots& slots, Index record, std::uint32_t seq) noexcept {
    Long& entry = longs_[record];
    entry.seq = seq;
    for (std::uint32_t w = 0; w < entry.windows; ++w)
        slots.set_seq(windows_[entry.first_window + w].slot, seq);
}

void LongRecords::set_folded(LaneSlots& slots, Index record) const noexcept {
    const Long& entry = longs_[record];
    for (std::uint32_t w = 0; w < entry.windows; ++w) slots.set_folded(windows_[entry.first_window + w].slot);
}

WindowPlace LongRecords::place(std::uint32_t window) const noexcept {
    const Index record = windows_[window].record;
    const Long& entry = longs_[record];
    return WindowPlace{record, entry.id, entry.seq,
                       (window - entry.first_window) * static_cast<std::uint32_t>(WINDOW_STRIDE)};
}

void LongRecords::reset() noexcept {
    longs_.release();
    windows_.release();
    free_long_ = NO_RECORD;
}

}  // namespace murvex
