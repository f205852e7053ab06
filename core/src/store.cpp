#include "murvex/store.hpp"

#include <cstring>
#include <stdexcept>

#include "murvex/fold.hpp"

namespace murvex {

namespace {

std::size_t length_class(std::size_t length) noexcept { return (length + LANE_ROW_STEP - 1) / LANE_ROW_STEP; }

// Calls put(byte) for every byte of the parts joined with single spaces.
template <class Put>
void for_each_joined_byte(std::span<const std::string_view> parts, Put&& put) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) put(static_cast<std::uint8_t>(' '));
        for (char c : parts[i]) put(static_cast<std::uint8_t>(c));
    }
}

}  // namespace

RecordStore::RecordStore() {
    order_.reserve(INITIAL_CAPACITY);
    free_slots_.fill(NO_SLOT);
}

std::uint32_t RecordStore::id(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].id : slot_ids_[h];
}

std::uint64_t RecordStore::char_mask(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].char_mask : slot_masks_[h];
}

std::uint32_t RecordStore::seq(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].seq : slot_seqs_[h];
}

std::string RecordStore::text(std::size_t index) const {
    const Handle h = order_[index];
    if (h & LONG_FLAG) return std::string(long_texts_[h & ~LONG_FLAG].get(), longs_[h & ~LONG_FLAG].length);
    std::string out(slot_lengths_[h], '\0');
    if (out.empty()) return out;
    const std::uint8_t* lane = lane_bytes_.data() + block_offsets_[h / LANES] + h % LANES;
    for (std::size_t p = 0; p < out.size(); ++p) out[p] = static_cast<char>(lane[p * LANES]);
    return out;
}

LaneBlock RecordStore::block(std::size_t b) const noexcept {
    const std::size_t first = b * LANES;
    return LaneBlock{.data = lane_bytes_.data() + block_offsets_[b],
                     .rows = block_rows_[b],
                     .char_masks = slot_masks_.data() + first,
                     .lengths = slot_lengths_.data() + first,
                     .ids = slot_ids_.data() + first,
                     .seqs = slot_seqs_.data() + first};
}

LongRecord RecordStore::long_record(std::size_t i) const noexcept {
    const Long& l = longs_[i];
    return LongRecord{l.id, l.seq, l.char_mask, std::string_view(long_texts_[i].get(), l.length),
                      l.live != 0};
}

void RecordStore::append(std::uint32_t id, std::string_view text) {
    append_joined(id, std::span<const std::string_view>(&text, 1));
}

void RecordStore::append_joined(std::uint32_t id, std::span<const std::string_view> parts) {
    std::size_t length = parts.empty() ? 0 : parts.size() - 1;
    for (std::string_view part : parts) {
        length += part.size();
        if (length > MAX_TEXT_BYTES) throw std::length_error("record text of 4 GiB or more");
    }
    order_.make_room(1);
    if (length <= LANE_TEXT_LIMIT)
        append_to_lane(id, length, parts);
    else
        append_long(id, length, parts);
}

// A free slot of the class, adding a block of them when there is none.
// Everything that can throw happens before anything changes.
std::uint32_t RecordStore::take_slot(std::size_t length_class) {
    if (free_slots_[length_class] == NO_SLOT) {
        const std::size_t rows = length_class * LANE_ROW_STEP;
        const std::size_t first = slot_ids_.size();
        if (first + LANES >= LONG_FLAG) throw std::length_error("too many lane slots");
        lane_bytes_.make_room(rows * LANES);
        block_offsets_.make_room(1);
        block_rows_.make_room(1);
        slot_masks_.make_room(LANES);
        slot_lengths_.make_room(LANES);
        slot_ids_.make_room(LANES);
        slot_seqs_.make_room(LANES);

        block_offsets_.push_back(lane_bytes_.size());
        block_rows_.push_back(static_cast<std::uint32_t>(rows));
        // Zeroed so that the padding is never uninitialised memory. Blocks of
        // empty texts have no rows, and the buffer may still have no memory.
        if (rows > 0) std::memset(lane_bytes_.grow_by(rows * LANES), 0, rows * LANES);
        slot_masks_.grow_by(LANES);
        slot_seqs_.grow_by(LANES);
        std::uint16_t* lengths = slot_lengths_.grow_by(LANES);
        std::uint32_t* next = slot_ids_.grow_by(LANES);
        for (std::size_t lane = LANES; lane-- > 0;) {
            lengths[lane] = LaneBlock::FREE_LANE;
            next[lane] = free_slots_[length_class];
            free_slots_[length_class] = static_cast<std::uint32_t>(first + lane);
        }
    }
    const std::uint32_t slot = free_slots_[length_class];
    free_slots_[length_class] = slot_ids_[slot];
    return slot;
}

void RecordStore::append_to_lane(std::uint32_t id, std::size_t length,
                                 std::span<const std::string_view> parts) {
    const std::uint32_t slot = take_slot(length_class(length));
    std::uint64_t mask = 0;
    if (length > 0) {  // an empty text's block may have no memory at all
        std::uint8_t* lane = lane_bytes_.data() + block_offsets_[slot / LANES] + slot % LANES;
        std::size_t p = 0;
        for_each_joined_byte(parts, [&](std::uint8_t b) {
            lane[p++ * LANES] = b;
            mask |= char_bit(b);
        });
    }
    slot_masks_[slot] = mask;
    slot_lengths_[slot] = static_cast<std::uint16_t>(length);
    slot_ids_[slot] = id;
    slot_seqs_[slot] = next_seq();
    order_.push_back(slot);
}

void RecordStore::append_long(std::uint32_t id, std::size_t length, std::span<const std::string_view> parts) {
    auto text = std::make_unique_for_overwrite<char[]>(length);
    if (free_long_ == NO_SLOT) {
        longs_.make_room(1);
        if (long_texts_.size() == long_texts_.capacity()) long_texts_.reserve(2 * long_texts_.size() + 8);
    }
    std::uint64_t mask = 0;
    std::size_t p = 0;
    for_each_joined_byte(parts, [&](std::uint8_t b) {
        text[p++] = static_cast<char>(b);
        mask |= char_bit(b);
    });

    std::uint32_t index = free_long_;
    if (index == NO_SLOT) {
        index = static_cast<std::uint32_t>(longs_.size());
        longs_.grow_by(1);
        long_texts_.emplace_back();
    } else {
        free_long_ = longs_[index].id;
    }
    longs_[index] = Long{mask, static_cast<std::uint32_t>(length), id, next_seq(), 1};
    long_texts_[index] = std::move(text);
    order_.push_back(LONG_FLAG | index);
}

// Sequence numbers only grow; before they would run out, they are dealt
// again in store order.
std::uint32_t RecordStore::next_seq() noexcept {
    if (next_seq_ == UINT32_MAX) {
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const Handle h = order_[i];
            if (h & LONG_FLAG)
                longs_[h & ~LONG_FLAG].seq = static_cast<std::uint32_t>(i);
            else
                slot_seqs_[h] = static_cast<std::uint32_t>(i);
        }
        next_seq_ = static_cast<std::uint32_t>(order_.size());
    }
    return next_seq_++;
}

bool RecordStore::remove(std::uint32_t id) noexcept {
    std::size_t index = 0;
    while (index < order_.size() && this->id(index) != id) ++index;
    if (index == order_.size()) return false;

    const Handle h = order_[index];
    order_.erase(index);
    if (h & LONG_FLAG) {
        const std::uint32_t i = h & ~LONG_FLAG;
        long_texts_[i].reset();
        longs_[i] = Long{0, 0, free_long_, 0, 0};
        free_long_ = i;
    } else {
        const std::size_t length_class = block_rows_[h / LANES] / LANE_ROW_STEP;
        slot_lengths_[h] = LaneBlock::FREE_LANE;
        slot_ids_[h] = free_slots_[length_class];
        free_slots_[length_class] = h;
    }
    return true;
}

void RecordStore::reset() noexcept {
    order_.truncate(0);
    lane_bytes_.release();
    block_offsets_.release();
    block_rows_.release();
    slot_masks_.release();
    slot_lengths_.release();
    slot_ids_.release();
    slot_seqs_.release();
    free_slots_.fill(NO_SLOT);
    longs_.release();
    std::vector<std::unique_ptr<char[]>>().swap(long_texts_);
    free_long_ = NO_SLOT;
    next_seq_ = 0;
}

}  // namespace murvex
