#include "murvex/store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "eight_lanes.hpp"
#include "joined.hpp"
#include "murvex/fold.hpp"
#include "murvex/unicode_fold.hpp"
#include "platform.hpp"

namespace murvex {

namespace {

// Both loops below take the text 8 bytes at a time as one word: written
// byte by byte, compilers turn them into vector code that extracts every
// byte from a vector register, which is slower than plain shifts.

// The character mask of `text`, in two chains of ORs so that one byte's
// does not wait for the one before.
std::uint64_t mask_of(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint64_t even = 0, odd = 0;
    std::size_t p = 0;
    for (; p + 8 <= text.size(); p += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + p, 8);
        for (int shift = 0; shift < 64; shift += 16) {
            even |= CHAR_BITS[word >> shift & 0xFF];
            odd |= CHAR_BITS[word >> (shift + 8) & 0xFF];
        }
    }
    for (; p < text.size(); ++p) even |= CHAR_BITS[bytes[p]];
    return even | odd;
}

// Writes the bytes of `text` down a lane: byte p to lane[p * LANES].
void write_lane(std::string_view text, std::uint8_t* lane) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t p = 0;
    for (; p + 8 <= text.size(); p += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + p, 8);
        for (std::size_t b = 0; b < 8; ++b)
            lane[(p + b) * LANES] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    for (; p < text.size(); ++p) lane[p * LANES] = bytes[p];
}

// An 8x8 bit matrix, row r in byte r and column c in bit c, transposed.
constexpr std::uint64_t transpose_bits(std::uint64_t x) noexcept {
    std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    return x ^ t ^ (t << 28);
}
static_assert(transpose_bits(0x0000000000000002ULL) == 0x0000000000000100ULL);

}  // namespace

// --- the lane-slot allocator -----------------------------------------------

LaneSlots::LaneSlots() noexcept {
    std::fill(std::begin(free_slots_), std::end(free_slots_), NO_SLOT);
    std::fill(std::begin(free_counts_), std::end(free_counts_), 0u);
}

LaneBlock LaneSlots::block(std::size_t b) const noexcept {
    BlockMemory& memory = *blocks_[b].memory;
    return LaneBlock{.data = blocks_[b].rows_at,
                     .rows = blocks_[b].rows,
                     .live = blocks_[b].live,
                     .folded = blocks_[b].folded,
                     .mixed = blocks_[b].mixed,
                     .lanes_with = memory.lanes_with,
                     .lengths = memory.lengths,
                     .ids = memory.ids,
                     .seqs = memory.seqs,
                     .least_seq = blocks_[b].least_seq,
                     .most_seq = blocks_[b].most_seq};
}

std::size_t LaneSlots::class_for(std::size_t own, std::size_t texts) const noexcept {
    if (free_counts_[own] > 0 || texts >= SMALL_STORE_TEXTS) return own;
    for (std::size_t longer = own + 1; longer < CLASSES && longer <= 2 * own + 1; ++longer)
        if (free_counts_[longer] > 0) return longer;
    return own;
}

void LaneSlots::add_blocks(std::size_t length_class, std::size_t wanted) {
    const std::size_t rows = length_class * LANE_ROW_STEP;
    while (free_counts_[length_class] < wanted) {
        const std::size_t first = blocks_.size() * LANES;
        if (first + LANES >= SLOT_LIMIT) throw std::length_error("too many lane slots");
        blocks_.make_room(1);
        // Zeroed, so that the padding is never uninitialised memory.
        std::uint8_t* rows_at = rows_of_ ? rows_of_(blocks_.size(), rows) : nullptr;
        if (rows_of_ && !rows_at) throw std::invalid_argument("no rows for a lane block");
        auto* memory =
            static_cast<BlockMemory*>(arena_.allocate(sizeof(BlockMemory) + (rows_at ? 0 : rows * LANES)));
        if (!rows_at) rows_at = reinterpret_cast<std::uint8_t*>(memory + 1);
        blocks_.push_back(Block{memory, rows_at, static_cast<std::uint32_t>(rows), false, 0, 0});
        for (std::size_t lane = LANES; lane-- > 0;) {
            memory->lengths[lane] = LaneBlock::FREE_LANE;
            memory->ids[lane] = free_slots_[length_class];
            free_slots_[length_class] = static_cast<Slot>(first + lane);
        }
        free_counts_[length_class] += LANES;
    }
}

LaneSlots::Slot LaneSlots::take(std::size_t length_class) noexcept {
    const Slot slot = free_slots_[length_class];
    free_slots_[length_class] = id(slot);
    --free_counts_[length_class];
    return slot;
}

// A free lane has no bit in lanes_with: a new block is zeroed, and free()
// clears the lane. Its bytes keep the old text until a new one overwrites
// them; the scan never reads a lane past its length.
void LaneSlots::free(Slot slot) noexcept {
    const std::size_t length_class = blocks_[slot / LANES].rows / LANE_ROW_STEP;
    BlockMemory& block = memory(slot);
    const std::uint64_t lane = std::uint64_t{1} << slot % LANES;
    block.lengths[slot % LANES] = LaneBlock::FREE_LANE;
    block.ids[slot % LANES] = free_slots_[length_class];
    for (std::uint64_t& lanes : block.lanes_with) lanes &= ~lane;
    blocks_[slot / LANES].live &= ~lane;
    blocks_[slot / LANES].folded &= ~lane;
    free_slots_[length_class] = slot;
    ++free_counts_[length_class];
}

std::uint64_t LaneSlots::mask(Slot slot) const noexcept {
    const std::uint64_t* lanes_with = memory(slot).lanes_with;
    std::uint64_t mask = 0;
    for (int bit = 0; bit < 64; ++bit) mask |= (lanes_with[bit] >> slot % LANES & 1) << bit;
    return mask;
}

void LaneSlots::set_mask(Slot slot, std::uint64_t mask) noexcept {
    BlockMemory& block = memory(slot);
    const std::uint64_t lane = std::uint64_t{1} << slot % LANES;
    for (; mask; mask &= mask - 1) block.lanes_with[std::countr_zero(mask)] |= lane;
}

void LaneSlots::set_eight_masks(Slot first, const std::uint64_t* masks) noexcept {
    std::uint64_t* lanes_with = memory(first).lanes_with;
    const std::size_t lane = first % LANES;
    std::uint64_t bytes[8];  // byte j of bytes[k]: bits 8k to 8k + 7 of masks[j]
    detail::transpose_bytes(masks, bytes);
    for (int k = 0; k < 8; ++k) {
        const std::uint64_t lanes = transpose_bits(bytes[k]);  // byte i: bit 8k + i of each mask
        for (int i = 0; i < 8; ++i) lanes_with[8 * k + i] |= (lanes >> (8 * i) & 0xFF) << lane;
    }
}

void LaneSlots::fill(Slot slot, std::uint16_t length, std::uint32_t id, std::uint32_t seq,
                     std::uint64_t mask) noexcept {
    BlockMemory& block = memory(slot);
    const std::size_t l = slot % LANES;
    const std::uint64_t lane = std::uint64_t{1} << l;
    set_mask(slot, mask);
    block.lengths[l] = length;
    block.ids[l] = id;
    block.seqs[l] = seq;
    Block& owner = blocks_[slot / LANES];
    owner.bound_seq(seq);
    if (length != 0) owner.live |= lane;
    if (murvex::length_class(length & ~LaneBlock::WINDOW) * LANE_ROW_STEP < owner.rows) owner.mixed = true;
}

void LaneSlots::reset() noexcept {
    blocks_.release();
    arena_.release();
    rows_owners_.clear();
    std::fill(std::begin(free_slots_), std::end(free_slots_), NO_SLOT);
    std::fill(std::begin(free_counts_), std::end(free_counts_), 0u);
}

// --- the store --------------------------------------------------------------

RecordStore::RecordStore(bool folds) : folds_(folds) { order_.reserve(INITIAL_CAPACITY); }

std::uint32_t RecordStore::id(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_.id(h & ~LONG_FLAG) : slots_.id(h);
}

std::uint64_t RecordStore::char_mask(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_.mask(h & ~LONG_FLAG) : slots_.mask(h);
}

std::uint32_t RecordStore::seq(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_.seq(h & ~LONG_FLAG) : slots_.seq(h);
}

std::size_t RecordStore::index_of_seq(std::uint32_t seq) const noexcept {
    std::size_t low = 0, high = count();  // seqs grow along the order
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (this->seq(mid) < seq)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

std::string RecordStore::text(std::size_t index) const {
    std::string out;
    append_text(index, out);
    return out;
}

void RecordStore::append_text(std::size_t index, std::string& out) const {
    if (!lane_folded(index)) return append_lane_text(index, out);
    std::string folded;
    append_lane_text(index, folded);
    unfold_text(folded, runs(index), out);
}

bool RecordStore::lane_folded(std::size_t index) const noexcept {
    const Handle h = order_[index];
    return (h & LONG_FLAG) ? longs_.folded(slots_, h & ~LONG_FLAG) : slots_.folded(h);
}

void RecordStore::append_lane_text(std::size_t index, std::string& out) const {
    const Handle h = order_[index];
    if (h & LONG_FLAG) {
        out += longs_.text(slots_, h & ~LONG_FLAG);
        return;
    }
    const std::size_t at = out.size(), length = slots_.length(h);
    out.resize(at + length);
    const std::uint8_t* lane = slots_.lane_bytes(h);
    for (std::size_t p = 0; p < length; ++p) out[at + p] = static_cast<char>(lane[p * LANES]);
}

// --- what folding changed -----------------------------------------------------

const RecordStore::Unfolded* RecordStore::unfolded_of(std::uint32_t seq) const noexcept {
    const Unfolded* first = unfolded_.data();
    const Unfolded* last = first + unfolded_.size();
    const Unfolded* found =
        std::lower_bound(first, last, seq, [](const Unfolded& u, std::uint32_t s) { return u.seq < s; });
    return found != last && found->seq == seq ? found : nullptr;
}

std::span<const std::uint8_t> RecordStore::runs(std::size_t index) const noexcept {
    if (unfolded_.size() == 0) return {};
    const Handle h = order_[index];
    if (!(h & LONG_FLAG) && !slots_.folded(h)) return {};
    const Unfolded* unfolded = unfolded_of(seq(index));
    if (!unfolded) return {};
    return {runs_.data() + unfolded->offset, unfolded->size};
}

std::uint8_t RecordStore::lane_byte(std::size_t index, std::size_t position) const noexcept {
    const Handle h = order_[index];
    std::uint8_t byte;
    if (h & LONG_FLAG)
        longs_.read(slots_, h & ~LONG_FLAG, position, 1, &byte);
    else
        byte = slots_.lane_bytes(h)[position * LANES];
    return byte;
}

void RecordStore::text_spans(std::size_t index,
                             std::span<std::pair<std::uint32_t, std::uint32_t>> spans) const {
    if (!folds_) return;
    const std::span<const std::uint8_t> changed = runs(index);
    if (!lane_folded(index)) {
        // The text as it is: only a stretch that begins or ends inside a
        // character needs it read.
        const Handle h = order_[index];
        const std::size_t length = (h & LONG_FLAG) ? longs_.length(h & ~LONG_FLAG) : slots_.length(h);
        const auto inside = [&](std::size_t p) { return p < length && (lane_byte(index, p) & 0xC0) == 0x80; };
        if (std::none_of(spans.begin(), spans.end(), [&](const auto& span) {
                return span.first != UINT32_MAX && (inside(span.first) || inside(span.second));
            }))
            return;
    }
    std::string lane_text;  // read once: its bytes lie a lane apart
    append_lane_text(index, lane_text);
    for (auto& span : spans) {
        if (span.first == UINT32_MAX) continue;
        const auto [first, last] = original_span(lane_text, changed, span.first, span.second);
        span = {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
    }
}

std::string_view RecordStore::lane_text_of(std::string_view text, PodBuffer<char>& folded,
                                           PodBuffer<std::uint8_t>& changed) const {
    changed.truncate(0);
    if (!folds_) return text;
    folded.truncate(0);
    return fold_text(text, folded, changed) ? std::string_view(folded.data(), folded.size()) : text;
}

void RecordStore::reserve_runs(std::size_t records, std::size_t bytes) {
    if (bytes > UINT32_MAX - runs_.size())
        throw std::length_error("what folding changed takes 4 GiB or more");
    unfolded_.make_room(records);
    runs_.make_room(bytes);
}

void RecordStore::reserve_runs_ahead(std::size_t records, std::size_t bytes) noexcept {
    // Only room ahead: where it cannot be had, reserve_runs() makes what is needed.
    if (unfolded_.try_reserve(unfolded_.size() + records))
        runs_.try_reserve(runs_.size() + std::min<std::size_t>(bytes, UINT32_MAX - runs_.size()));
}

void RecordStore::keep_runs(std::size_t index, std::span<const std::uint8_t> changed) noexcept {
    if (!changed.empty()) {
        const auto offset = static_cast<std::uint32_t>(runs_.size());
        std::copy(changed.begin(), changed.end(), runs_.grow_by(changed.size()));
        unfolded_.push_back(Unfolded{seq(index), static_cast<std::uint32_t>(changed.size()), offset});
    }
    const Handle h = order_[index];
    if (h & LONG_FLAG)
        longs_.set_folded(slots_, h & ~LONG_FLAG);
    else
        slots_.set_folded(h);
}

void RecordStore::restore_runs(std::size_t index, std::span<const std::uint8_t> changed) {
    if (changed.empty()) return;
    reserve_runs(1, changed.size());
    keep_runs(index, changed);
}

// A lane whose bytes are all ASCII holds its text as it is; any other may
// hold letters of one byte, and is read through the runs (those without
// any give their text back as it is).
void RecordStore::mark_folded_lanes() noexcept {
    for (std::size_t b = 0; b < slots_.block_count(); ++b) {
        const LaneBlock block = slots_.block(b);
        std::uint64_t high[8] = {};  // the top bits of every row, eight lanes to a word
        for (std::size_t r = 0; r < block.rows; ++r)
            for (std::size_t w = 0; w < 8; ++w) {
                std::uint64_t word;
                std::memcpy(&word, block.data + r * LANES + 8 * w, 8);
                high[w] |= word & 0x8080808080808080u;
            }
        for (std::size_t lane = 0; lane < LANES; ++lane)
            if ((block.live >> lane & 1) && (high[lane / 8] >> (8 * (lane % 8) + 7) & 1))
                slots_.set_folded(static_cast<LaneSlots::Slot>(b * LANES + lane));
    }
    // A long record's windows are marked alike: the record is read, and
    // matched in the strict mode, whole.
    for (std::size_t i = 0; i < order_.size(); ++i)
        if ((order_[i] & LONG_FLAG) && longs_.any_folded(slots_, order_[i] & ~LONG_FLAG))
            longs_.set_folded(slots_, order_[i] & ~LONG_FLAG);
}

// The runs of a record that goes. Their bytes are reclaimed once they are
// most of what is kept: the runs after them move down.
void RecordStore::forget_runs(std::uint32_t seq) noexcept {
    const Unfolded* found = unfolded_of(seq);
    if (!found) return;
    unfolded_.erase(static_cast<std::size_t>(found - unfolded_.data()));
    std::size_t live = 0;
    for (std::size_t i = 0; i < unfolded_.size(); ++i) live += unfolded_[i].size;
    if (runs_.size() < 4096 || live > runs_.size() / 2) return;
    std::size_t at = 0;  // offsets grow along the seqs
    for (std::size_t i = 0; i < unfolded_.size(); ++i) {
        std::memmove(runs_.data() + at, runs_.data() + unfolded_[i].offset, unfolded_[i].size);
        unfolded_[i].offset = static_cast<std::uint32_t>(at);
        at += unfolded_[i].size;
    }
    runs_.truncate(at);
}

// --- appending ------------------------------------------------------------------

void RecordStore::append(std::uint32_t id, std::string_view text) {
    append_joined(id, std::span<const std::string_view>(&text, 1));
}

void RecordStore::append_joined(std::uint32_t id, std::span<const std::string_view> parts) {
    if (!folds_ || std::none_of(parts.begin(), parts.end(), may_fold)) return append_as_is(id, parts);
    std::string_view whole = parts.empty() ? std::string_view() : parts[0];
    if (parts.size() > 1) {
        scratch_.joined.clear();
        detail::for_each_joined_byte(
            parts, [&](std::uint8_t b) { scratch_.joined.push_back(static_cast<char>(b)); });
        whole = scratch_.joined;
    }
    const std::string_view text = lane_text_of(whole, scratch_.folded, scratch_.runs);
    // The room of a long text is not worth keeping for the next.
    const auto let_go = [this] {
        if (scratch_.folded.capacity() + scratch_.joined.capacity() > (std::size_t{1} << 20)) {
            scratch_.joined = std::string();
            scratch_.folded.release();
            scratch_.runs.release();
        }
    };
    try {
        if (text.data() == whole.data()) {  // folding changed nothing
            append_as_is(id, parts);
        } else {
            reserve_runs(1, scratch_.runs.size());
            append_as_is(id, std::span(&text, 1));
            keep_runs(order_.size() - 1, std::span(scratch_.runs.data(), scratch_.runs.size()));
        }
    } catch (...) {
        let_go();
        throw;
    }
    let_go();
}

void RecordStore::append_folded(std::uint32_t id, FoldedChunk& folded) {
    if (!folds_ || folded.size() != 1) throw std::invalid_argument("one folded text, for a store that folds");
    const std::string_view text = folded.texts()[0];
    if (folded.changed_.empty()) return append_as_is(id, std::span(&text, 1));
    reserve_runs(1, folded.runs_.size());
    append_as_is(id, std::span(&text, 1));
    keep_runs(order_.size() - 1, std::span(folded.runs_.data(), folded.runs_.size()));
}

void RecordStore::append_as_is(std::uint32_t id, std::span<const std::string_view> parts) {
    std::size_t length = parts.empty() ? 0 : parts.size() - 1;
    for (std::string_view part : parts) {
        length += part.size();
        if (length > MAX_TEXT_BYTES) throw std::length_error("record text of 4 GiB or more");
    }
    order_.make_room(1);
    if (length > LANE_TEXT_LIMIT) {
        const LongRecords::Index index = longs_.append(slots_, id, next_seq(), length, parts);
        order_.push_back(LONG_FLAG | index);
        return;
    }

    const LaneSlots::Slot slot = place(lane_class(length), id, length);
    std::uint8_t* lane = slots_.lane_bytes(slot);
    std::uint64_t mask = parts.size() > 1 ? char_bit(' ') : 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            *lane = ' ';
            lane += LANES;
        }
        mask |= mask_of(parts[i]);
        write_lane(parts[i], lane);
        lane += parts[i].size() * LANES;
    }
    slots_.set_mask(slot, mask);
}

std::size_t RecordStore::lane_class(std::size_t length) const noexcept {
    return slots_.class_for(murvex::length_class(length), order_.size());
}

LaneSlots::Slot RecordStore::place(std::size_t length_class, std::uint32_t id, std::size_t length) {
    slots_.make_slots(length_class, 1);
    const LaneSlots::Slot slot = slots_.take(length_class);
    slots_.fill(slot, static_cast<std::uint16_t>(length), id, next_seq(), 0);
    order_.push_back(slot);
    return slot;
}

void RecordStore::append_many(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts) {
    std::size_t bytes = 0;
    for (const std::string_view text : texts) bytes += text.size();
    BulkAppend(*this, texts.size(), bytes).append(ids, texts);
}

// --- appending in runs ---------------------------------------------------------

// Records take their slots in order; but their bytes and masks are written
// a class at a time: a class's records fill one block after another, so the
// block being written stays in the CPU's nearest cache, where one block per
// class would not. A chunk's texts, asked for while their records took
// slots, are in the cache when they are written.

RecordStore::BulkAppend::BulkAppend(RecordStore& store, std::size_t records, std::size_t bytes)
    : store_(store),
      by_class_(LANE_TEXT_LIMIT / LANE_ROW_STEP + 1),
      records_left_(records),
      prefault_(store.slots_, bytes) {
    store_.order_.reserve(store_.order_.size() + records);
}

void RecordStore::BulkAppend::append(std::span<const std::uint32_t> ids,
                                     std::span<const std::string_view> given,
                                     std::span<const std::uint8_t> ascii) {
    constexpr std::size_t CHUNK = 1024;
    for (std::size_t first = 0; first < given.size(); first += CHUNK) {
        const std::size_t last = std::min(given.size(), first + CHUNK);
        if (!store_.folds_) {
            place(ids.subspan(first, last - first), given.subspan(first, last - first), {}, {});
            continue;
        }
        // The texts that folding changes are folded while the chunk's texts
        // are in the cache. This is the first read of them: they are asked
        // for further ahead than in place(), as an ASCII text is passed over
        // in a few steps.
        constexpr std::size_t AHEAD = 32;
        chunk_.clear();
        for (std::size_t i = first; i < last; ++i) {
            if (i + AHEAD < last) {
                ::murvex::detail::prefetch(given[i + AHEAD].data());
                ::murvex::detail::prefetch(given[i + AHEAD].data() +
                                           std::min<std::size_t>(given[i + AHEAD].size(), 64));
            }
            chunk_.add(given[i], !ascii.empty() && ascii[i]);
        }
        append(ids.subspan(first, last - first), chunk_);
    }
}

void RecordStore::BulkAppend::append(std::span<const std::uint32_t> ids, FoldedChunk& chunk) {
    if (!store_.folds_) throw std::invalid_argument("folded texts need a store that folds");
    if (ids.size() != chunk.size()) throw std::invalid_argument("as many ids as texts are needed");
    // Room for the runs of the records to come, as many as this chunk's
    // tell, made at once: room that doubles as it goes leaves its old
    // blocks behind.
    const std::size_t left = std::max(records_left_, chunk.size());
    records_left_ = left - chunk.size();
    if (!chunk.changed_.empty()) {
        if (!room_made_ && left > chunk.size()) {
            room_made_ = true;
            const double share = static_cast<double>(left) / static_cast<double>(chunk.size()) * 1.05;
            store_.reserve_runs_ahead(
                static_cast<std::size_t>(static_cast<double>(chunk.changed_.size()) * share),
                static_cast<std::size_t>(static_cast<double>(chunk.runs_.size()) * share));
        }
        store_.reserve_runs(chunk.changed_.size(), chunk.runs_.size());
    }
    place(ids, chunk.texts(), chunk.changed_, std::span(chunk.runs_.data(), chunk.runs_.size()));
}

void RecordStore::BulkAppend::place(std::span<const std::uint32_t> ids,
                                    std::span<const std::string_view> texts,
                                    std::span<const FoldedChunk::Changed> changed,
                                    std::span<const std::uint8_t> runs) {
    constexpr std::size_t PREFETCH_AHEAD = 8;
    store_.order_.make_room(texts.size());
    std::size_t next_changed = 0;
    const auto keep_runs = [&](std::size_t i) {
        if (next_changed < changed.size() && changed[next_changed].record == i) {
            const FoldedChunk::Changed& c = changed[next_changed++];
            store_.keep_runs(store_.order_.size() - 1, runs.subspan(c.runs_at, c.runs_size));
        }
    };
    try {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            // Texts may lie anywhere (in strings of the caller's, say): their
            // bytes are asked for a few records ahead.
            if (i + PREFETCH_AHEAD < texts.size()) {
                const std::string_view ahead = texts[i + PREFETCH_AHEAD];
                ::murvex::detail::prefetch(ahead.data());
                ::murvex::detail::prefetch(ahead.data() + std::min<std::size_t>(ahead.size(), 64));
            }
            const std::size_t length = texts[i].size();
            if (length > LANE_TEXT_LIMIT) {
                store_.append_as_is(ids[i], std::span(&texts[i], 1));
                keep_runs(i);
                continue;
            }
            const std::size_t length_class = store_.lane_class(length);
            by_class_[length_class].reserve(texts.size());
            const LaneSlots::Slot slot = store_.place(length_class, ids[i], length);
            by_class_[length_class].push_back(Pending{slot, static_cast<std::uint32_t>(i)});
            keep_runs(i);
        }
    } catch (...) {
        write(texts);  // the records appended so far are whole
        throw;
    }
    write(texts);
}

// --- texts folded for a bulk append -----------------------------------------------

void RecordStore::FoldedChunk::clear() noexcept {
    texts_.clear();
    held_.clear();
    changed_.clear();
    folded_.truncate(0);
    runs_.truncate(0);
    views_made_ = true;
}

void RecordStore::FoldedChunk::hold(std::size_t folded_at, std::size_t runs_at, bool changed) {
    const std::size_t record = texts_.size() - 1;
    held_.push_back(Held{record, folded_at, folded_.size() - folded_at});
    if (changed) changed_.push_back(Changed{record, runs_at, runs_.size() - runs_at});
    views_made_ = false;
}

void RecordStore::FoldedChunk::add(std::string_view text, bool ascii) {
    texts_.push_back(text);
    if (ascii || !may_fold(text)) return;
    const std::size_t folded_at = folded_.size(), runs_at = runs_.size();
    if (fold_text(text, folded_, runs_))
        hold(folded_at, runs_at, true);
    else
        folded_.truncate(folded_at);  // nothing changed: the text itself
}

template <class Unit>
bool RecordStore::FoldedChunk::add_code_points(std::span<const Unit> units) {
    const std::size_t folded_at = folded_.size(), runs_at = runs_.size();
    const CodePointsFolded outcome = fold_code_points(units, folded_, runs_);
    if (outcome == CodePointsFolded::surrogate) return false;
    texts_.emplace_back();
    hold(folded_at, runs_at, outcome == CodePointsFolded::changed);
    return true;
}

template bool RecordStore::FoldedChunk::add_code_points(std::span<const std::uint8_t>);
template bool RecordStore::FoldedChunk::add_code_points(std::span<const std::uint16_t>);
template bool RecordStore::FoldedChunk::add_code_points(std::span<const std::uint32_t>);

std::span<const std::string_view> RecordStore::FoldedChunk::texts() noexcept {
    // folded_ has stopped moving: the views into it can be made.
    if (!views_made_)
        for (const Held& h : held_) texts_[h.record] = std::string_view(folded_.data() + h.at, h.size);
    views_made_ = true;
    return texts_;
}

// What folding changed is kept in room that grew as it came: the room past
// it goes back.
RecordStore::BulkAppend::~BulkAppend() {
    store_.unfolded_.shrink_to_fit();
    store_.runs_.shrink_to_fit();
}

// Eight records that took eight neighbouring lanes, as a fresh block's do,
// are written together, bytes and masks.
void RecordStore::BulkAppend::write(std::span<const std::string_view> texts) noexcept {
    LaneSlots& slots = store_.slots_;
    const detail::EightLanesWriter write_eight = detail::eight_lanes_writer();
    std::string_view eight[8];
    std::uint64_t masks[8];
    for (auto& pending : by_class_) {
        std::size_t i = 0;
        while (i < pending.size()) {
            const LaneSlots::Slot first = pending[i].slot;
            std::size_t j = 0;
            if (first % 8 == 0 && pending.size() - i >= 8)
                for (; j < 8 && pending[i + j].slot == first + j; ++j)
                    eight[j] = texts[pending[i + j].record];
            if (j == 8) {
                write_eight(eight, slots.lane_bytes(first), masks);
                slots.set_eight_masks(first, masks);
                i += 8;
            } else {
                const std::string_view text = texts[pending[i].record];
                write_lane(text, slots.lane_bytes(first));
                slots.set_mask(first, mask_of(text));
                ++i;
            }
        }
        pending.clear();
    }
}

void RecordStore::append_laid_out(std::span<const std::uint32_t> ids, std::span<const std::uint32_t> lengths,
                                  std::span<const std::string_view> long_texts, const BlockFiller& fill,
                                  const LaneSlots::RowsOf& rows_of, std::shared_ptr<const void> owner) {
    if (count() != 0 || block_count() != 0)
        throw std::invalid_argument("laid-out records need an empty store");
    if (ids.size() != lengths.size()) throw std::invalid_argument("as many ids as lengths are needed");
    try {
        std::size_t bytes = 0, next_long = 0;
        for (const std::uint32_t length : lengths) bytes += length;
        const LaneSlots::PrefaultWhile prefault(slots_, rows_of ? 0 : bytes);
        std::optional<LaneSlots::RowsFromWhile> rows_from;
        if (rows_of) rows_from.emplace(slots_, rows_of, std::move(owner));
        order_.reserve(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (lengths[i] <= LANE_TEXT_LIMIT) {
                place(lane_class(lengths[i]), ids[i], lengths[i]);
                continue;
            }
            if (next_long == long_texts.size() || long_texts[next_long].size() != lengths[i])
                throw std::invalid_argument("the long texts do not fit the lengths");
            append_as_is(ids[i], std::span(&long_texts[next_long++], 1));
        }
        if (next_long != long_texts.size())
            throw std::invalid_argument("the long texts do not fit the lengths");
        std::vector<BlockToFill> blocks(block_count());
        for (std::size_t b = 0; b < blocks.size(); ++b)
            blocks[b] = BlockToFill{block(b).rows, slots_.block_rows(b), slots_.block_lanes_with(b)};
        fill(blocks);
        // A lane without a text keeps an empty mask, whatever `fill` wrote.
        for (std::size_t b = 0; b < blocks.size(); ++b)
            for (int bit = 0; bit < 64; ++bit) blocks[b].lanes_with[bit] &= block(b).live;
    } catch (...) {
        reset();
        throw;
    }
}

void RecordStore::pop_back() noexcept {
    if (unfolded_.size() > 0) forget_runs(seq(order_.size() - 1));
    const Handle h = order_[order_.size() - 1];
    order_.truncate(order_.size() - 1);
    if (h & LONG_FLAG)
        longs_.remove(slots_, h & ~LONG_FLAG);
    else
        slots_.free(h);
}

// Sequence numbers only grow; before they would run out, they are dealt
// again in store order.
std::uint32_t RecordStore::next_seq() noexcept {
    if (next_seq_ == UINT32_MAX) {
        for (std::size_t u = 0; u < unfolded_.size(); ++u)  // while the old seqs still order the records
            unfolded_[u].seq = static_cast<std::uint32_t>(index_of_seq(unfolded_[u].seq));
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const Handle h = order_[i];
            const auto seq = static_cast<std::uint32_t>(i);
            if (h & LONG_FLAG)
                longs_.set_seq(slots_, h & ~LONG_FLAG, seq);
            else
                slots_.set_seq(h, seq);
        }
        next_seq_ = static_cast<std::uint32_t>(order_.size());
    }
    return next_seq_++;
}

bool RecordStore::remove(std::uint32_t id) noexcept {
    std::size_t index = 0;
    while (index < order_.size() && this->id(index) != id) ++index;
    if (index == order_.size()) return false;

    if (unfolded_.size() > 0) forget_runs(seq(index));
    const Handle h = order_[index];
    order_.erase(index);
    if (h & LONG_FLAG)
        longs_.remove(slots_, h & ~LONG_FLAG);
    else
        slots_.free(h);
    return true;
}

void RecordStore::reset() noexcept {
    order_.truncate(0);
    slots_.reset();
    longs_.reset();
    next_seq_ = 0;
    unfolded_.release();
    runs_.release();
}

}  // namespace murvex
