#include "murvex/store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include <sys/mman.h>

#include "murvex/fold.hpp"

namespace murvex {

namespace {

std::size_t length_class(std::size_t length) noexcept { return (length + LANE_ROW_STEP - 1) / LANE_ROW_STEP; }

// The number of windows a long text of `length` bytes is cut into: window i
// covers [i * WINDOW_STRIDE, i * WINDOW_STRIDE + LANE_TEXT_LIMIT), the last
// one cut at the end of the text.
std::size_t window_count(std::size_t length) noexcept {
    return 1 + (length - LANE_TEXT_LIMIT + WINDOW_STRIDE - 1) / WINDOW_STRIDE;
}

// Calls put(byte) for every byte of the parts joined with single spaces.
template <class Put>
void for_each_joined_byte(std::span<const std::string_view> parts, Put&& put) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) put(static_cast<std::uint8_t>(' '));
        for (char c : parts[i]) put(static_cast<std::uint8_t>(c));
    }
}

}  // namespace

void RecordStore::BlockArena::FreeChunk::operator()(std::uint8_t* chunk) const noexcept {
    munmap(chunk, CHUNK_BYTES);
}

void* RecordStore::BlockArena::allocate(std::size_t bytes) {
    if (CHUNK_BYTES - used_ < bytes) {
        chunks_.reserve(chunks_.size() + 1);
        void* chunk = mmap(nullptr, CHUNK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (chunk == MAP_FAILED) throw std::bad_alloc();
        chunks_.emplace_back(static_cast<std::uint8_t*>(chunk));  // zeroed by the kernel
        used_ = 0;
    }
    void* memory = chunks_.back().get() + used_;
    used_ += bytes;
    return memory;
}

void RecordStore::BlockArena::release() noexcept {
    chunks_.clear();
    used_ = CHUNK_BYTES;
}

RecordStore::RecordStore() {
    order_.reserve(INITIAL_CAPACITY);
    std::fill(std::begin(free_slots_), std::end(free_slots_), NO_SLOT);
    std::fill(std::begin(free_counts_), std::end(free_counts_), 0u);
}

std::uint32_t RecordStore::id(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].id : block_of(h).ids[h % LANES];
}

std::uint64_t RecordStore::char_mask(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].char_mask : mask_of(h);
}

std::uint32_t RecordStore::seq(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_[h & ~LONG_FLAG].seq : block_of(h).seqs[h % LANES];
}

std::string RecordStore::text(std::size_t index) const {
    const Handle h = order_[index];
    if (!(h & LONG_FLAG)) {
        std::string out(block_of(h).lengths[h % LANES], '\0');
        const std::uint8_t* lane = lane_bytes(h);
        for (std::size_t p = 0; p < out.size(); ++p) out[p] = static_cast<char>(lane[p * LANES]);
        return out;
    }
    const Long& record = longs_[h & ~LONG_FLAG];
    std::string out(record.length, '\0');
    for (std::uint32_t w = 0; w < record.windows; ++w) {
        const std::uint32_t slot = windows_[record.first_window + w].slot;
        const std::size_t offset = std::size_t{w} * WINDOW_STRIDE;
        const std::size_t length = block_of(slot).lengths[slot % LANES] & ~LaneBlock::WINDOW;
        const std::uint8_t* lane = lane_bytes(slot);
        for (std::size_t p = 0; p < length; ++p) out[offset + p] = static_cast<char>(lane[p * LANES]);
    }
    return out;
}

LaneBlock RecordStore::block(std::size_t b) const noexcept {
    BlockMemory& memory = *blocks_[b].memory;
    return LaneBlock{.data = memory.rows(),
                     .rows = blocks_[b].rows,
                     .live = blocks_[b].live,
                     .lanes_with = memory.lanes_with,
                     .lengths = memory.lengths,
                     .ids = memory.ids,
                     .seqs = memory.seqs};
}

LongRecord RecordStore::long_record(std::size_t i) const noexcept {
    const Long& l = longs_[i];
    return LongRecord{l.id, l.seq, l.live != 0};
}

Window RecordStore::window(std::uint32_t number) const noexcept {
    const std::uint32_t record = windows_[number].record;
    return Window{record, (number - longs_[record].first_window) * static_cast<std::uint32_t>(WINDOW_STRIDE)};
}

void RecordStore::append(std::uint32_t id, std::string_view text) {
    append_joined(id, std::span<const std::string_view>(&text, 1));
}

// Blocks of the class until it has `wanted` free slots. What it adds stays
// when a later allocation fails: free slots change no record.
void RecordStore::make_slots(std::size_t length_class, std::size_t wanted) {
    const std::size_t rows = length_class * LANE_ROW_STEP;
    while (free_counts_[length_class] < wanted) {
        const std::size_t first = blocks_.size() * LANES;
        if (first + LANES >= LONG_FLAG) throw std::length_error("too many lane slots");
        blocks_.make_room(1);
        // Zeroed, so that the padding is never uninitialised memory.
        auto* memory = static_cast<BlockMemory*>(arena_.allocate(sizeof(BlockMemory) + rows * LANES));
        blocks_.push_back(Block{memory, static_cast<std::uint32_t>(rows), 0});
        for (std::size_t lane = LANES; lane-- > 0;) {
            memory->lengths[lane] = LaneBlock::FREE_LANE;
            memory->ids[lane] = free_slots_[length_class];
            free_slots_[length_class] = static_cast<std::uint32_t>(first + lane);
        }
        free_counts_[length_class] += LANES;
    }
}

std::uint32_t RecordStore::take_slot(std::size_t length_class) noexcept {
    const std::uint32_t slot = free_slots_[length_class];
    free_slots_[length_class] = block_of(slot).ids[slot % LANES];
    --free_counts_[length_class];
    return slot;
}

// A free lane has no bit in lanes_with: a new block is zeroed, and
// free_slot clears the lane.
void RecordStore::set_mask(std::uint32_t slot, std::uint64_t mask) noexcept {
    std::uint64_t* lanes_with = block_of(slot).lanes_with;
    const std::uint64_t lane = std::uint64_t{1} << slot % LANES;
    for (; mask; mask &= mask - 1) lanes_with[std::countr_zero(mask)] |= lane;
}

std::uint64_t RecordStore::mask_of(std::uint32_t slot) const noexcept {
    const std::uint64_t* lanes_with = block_of(slot).lanes_with;
    std::uint64_t mask = 0;
    for (int bit = 0; bit < 64; ++bit) mask |= (lanes_with[bit] >> slot % LANES & 1) << bit;
    return mask;
}

void RecordStore::free_slot(std::uint32_t slot) noexcept {
    const std::size_t length_class = blocks_[slot / LANES].rows / LANE_ROW_STEP;
    BlockMemory& memory = block_of(slot);
    memory.lengths[slot % LANES] = LaneBlock::FREE_LANE;
    memory.ids[slot % LANES] = free_slots_[length_class];
    for (std::uint64_t& lanes : memory.lanes_with) lanes &= ~(std::uint64_t{1} << slot % LANES);
    blocks_[slot / LANES].live &= ~(std::uint64_t{1} << slot % LANES);
    free_slots_[length_class] = slot;
    ++free_counts_[length_class];
}

void RecordStore::append_joined(std::uint32_t id, std::span<const std::string_view> parts) {
    std::size_t length = parts.empty() ? 0 : parts.size() - 1;
    for (std::string_view part : parts) {
        length += part.size();
        if (length > MAX_TEXT_BYTES) throw std::length_error("record text of 4 GiB or more");
    }
    order_.make_room(1);
    if (length > LANE_TEXT_LIMIT) return append_long(id, length, parts);

    make_slots(length_class(length), 1);
    const std::uint32_t slot = take_slot(length_class(length));
    BlockMemory& memory = block_of(slot);
    std::uint8_t* lane = lane_bytes(slot);
    std::uint64_t mask = 0;
    std::size_t p = 0;
    for_each_joined_byte(parts, [&](std::uint8_t b) {
        lane[p++ * LANES] = b;
        mask |= char_bit(b);
    });
    const std::size_t l = slot % LANES;
    set_mask(slot, mask);
    memory.lengths[l] = static_cast<std::uint16_t>(length);
    memory.ids[l] = id;
    memory.seqs[l] = next_seq();
    if (length > 0) blocks_[slot / LANES].live |= std::uint64_t{1} << l;
    order_.push_back(slot);
}

void RecordStore::append_long(std::uint32_t id, std::size_t length, std::span<const std::string_view> parts) {
    const std::size_t windows = window_count(length);
    const std::size_t last_length = length - (windows - 1) * WINDOW_STRIDE;
    const std::size_t full_class = length_class(LANE_TEXT_LIMIT), last_class = length_class(last_length);
    if (windows_.size() + windows >= NO_SLOT) throw std::length_error("too many windows");
    // Everything that can fail comes first.
    make_slots(full_class, windows - 1 + (last_class == full_class));
    make_slots(last_class, last_class == full_class ? windows : 1);
    if (free_long_ == NO_SLOT) longs_.make_room(1);
    windows_.make_room(windows);

    const auto first_window = static_cast<std::uint32_t>(windows_.size());
    std::uint32_t index = free_long_;
    if (index == NO_SLOT) {
        index = static_cast<std::uint32_t>(longs_.size());
        longs_.grow_by(1);
    } else {
        free_long_ = longs_[index].id;
    }
    const std::uint32_t seq = next_seq();
    for (std::size_t w = 0; w < windows; ++w) {
        const std::size_t window_length = w + 1 < windows ? LANE_TEXT_LIMIT : last_length;
        const std::uint32_t slot = take_slot(length_class(window_length));
        windows_.push_back(WindowSlot{slot, index});
        BlockMemory& memory = block_of(slot);
        const std::size_t l = slot % LANES;
        memory.lengths[l] = static_cast<std::uint16_t>(window_length | LaneBlock::WINDOW);
        memory.ids[l] = first_window + static_cast<std::uint32_t>(w);
        memory.seqs[l] = seq;
        blocks_[slot / LANES].live |= std::uint64_t{1} << l;
    }

    // The bytes, into every window that holds them; the mask of the whole text.
    std::uint64_t mask = 0;
    std::size_t p = 0;
    for_each_joined_byte(parts, [&](std::uint8_t b) {
        mask |= char_bit(b);
        // Byte p lies in window p / STRIDE, and in the one before it when it
        // is within the overlap.
        std::size_t w = std::min(p / WINDOW_STRIDE, windows - 1);
        for (;; --w) {
            const std::size_t at = p - w * WINDOW_STRIDE;
            if (at >= LANE_TEXT_LIMIT) break;
            lane_bytes(windows_[first_window + w].slot)[at * LANES] = b;
            if (w == 0) break;
        }
        ++p;
    });
    for (std::size_t w = 0; w < windows; ++w) {
        const std::uint32_t slot = windows_[first_window + w].slot;
        set_mask(slot, mask);
    }
    longs_[index] = Long{mask,         static_cast<std::uint32_t>(length),  id, seq,
                         first_window, static_cast<std::uint32_t>(windows), 1};
    order_.push_back(LONG_FLAG | index);
}

// Sequence numbers only grow; before they would run out, they are dealt
// again in store order.
std::uint32_t RecordStore::next_seq() noexcept {
    if (next_seq_ == UINT32_MAX) {
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const Handle h = order_[i];
            const auto seq = static_cast<std::uint32_t>(i);
            if (!(h & LONG_FLAG)) {
                block_of(h).seqs[h % LANES] = seq;
                continue;
            }
            Long& record = longs_[h & ~LONG_FLAG];
            record.seq = seq;
            for (std::uint32_t w = 0; w < record.windows; ++w) {
                const std::uint32_t slot = windows_[record.first_window + w].slot;
                block_of(slot).seqs[slot % LANES] = seq;
            }
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
    if (!(h & LONG_FLAG)) {
        free_slot(h);
        return true;
    }
    // Free the windows and close their gap in windows_: the windows after
    // them move down, and so do the numbers their lanes and records hold.
    const std::uint32_t i = h & ~LONG_FLAG;
    const std::uint32_t first = longs_[i].first_window, n = longs_[i].windows;
    for (std::uint32_t w = first; w < first + n; ++w) free_slot(windows_[w].slot);
    for (std::size_t w = first + n; w < windows_.size(); ++w) {
        const std::uint32_t slot = windows_[w].slot;
        block_of(slot).ids[slot % LANES] -= n;
        windows_[w - n] = windows_[w];
    }
    windows_.truncate(windows_.size() - n);
    for (std::size_t other = 0; other < longs_.size(); ++other)
        if (longs_[other].live && longs_[other].first_window > first) longs_[other].first_window -= n;
    longs_[i] = Long{0, 0, free_long_, 0, 0, 0, 0};
    free_long_ = i;
    return true;
}

void RecordStore::reset() noexcept {
    order_.truncate(0);
    blocks_.release();
    arena_.release();
    std::fill(std::begin(free_slots_), std::end(free_slots_), NO_SLOT);
    std::fill(std::begin(free_counts_), std::end(free_counts_), 0u);
    longs_.release();
    windows_.release();
    free_long_ = NO_SLOT;
    next_seq_ = 0;
}

}  // namespace murvex
