// The record store: every record of one engine, in the order of appending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murvex/buffer.hpp"
#include "murvex/lane_slots.hpp"
#include "murvex/windows.hpp"

namespace murvex {

// The store refuses nothing itself; callers test is_full() before appending.
inline constexpr std::size_t MAX_RECORDS = 100000;

// Room reserved for records when a store is created.
inline constexpr std::size_t INITIAL_CAPACITY = 1000;

// The longest text a record can have: 4 GiB - 1 bytes.
inline constexpr std::size_t MAX_TEXT_BYTES = 0xFFFFFFFF;

// Records keep their order of appending; removing one closes the gap. Ids are
// the caller's and need not be unique: there is no index by id.
//
// A text of up to LANE_TEXT_LIMIT bytes lives in one lane of a lane block; a
// longer one in windows (windows.hpp). A record costs its text, rounded up to
// LANE_ROW_STEP bytes, plus 22 bytes; a long record's windows repeat
// WINDOW_OVERLAP bytes in every LANE_TEXT_LIMIT (3.4 %). A text is at most
// MAX_TEXT_BYTES long, the most a 32-bit match position can address. Every
// change gives the strong guarantee: when it throws (std::bad_alloc, or
// std::length_error for a text that is too long), the store is as it was.
//
// A store that folds keeps each text Unicode-folded (unicode_fold.hpp) in its
// lanes, for the forgiving and words modes, and where folding changed a text
// the runs it changed, so that the text and its offsets can be had back; an
// ASCII text costs what it costs in any store.
class RecordStore {
public:
    explicit RecordStore(bool folds = false);

    bool folds() const noexcept { return folds_; }

    std::size_t count() const noexcept { return order_.size(); }
    bool is_full() const noexcept { return count() >= MAX_RECORDS; }
    // Room for records reserved so far; it never shrinks, not even on reset().
    std::size_t capacity() const noexcept { return order_.capacity(); }

    // The record at `index` in store order.
    std::uint32_t id(std::size_t index) const noexcept;
    std::uint64_t char_mask(std::size_t index) const noexcept;
    std::string text(std::size_t index) const;  // a copy
    // Appends the record's text to `out`.
    void append_text(std::size_t index, std::string& out) const;
    // Appends the text the record's lanes hold to `out`: its folded text in a
    // store that folds.
    void append_lane_text(std::size_t index, std::string& out) const;
    // The runs folding changed in the record's text; empty when it changed
    // nothing (or the store does not fold).
    std::span<const std::uint8_t> runs(std::size_t index) const noexcept;
    // In a store that folds, each stretch (start, end) of the record's lane
    // text made that stretch of its text, on whole characters (see
    // original_span); stretches that start at UINT32_MAX stay. Elsewhere
    // nothing changes.
    void text_spans(std::size_t index, std::span<std::pair<std::uint32_t, std::uint32_t>> spans) const;

    // Bytes [from, from + count) of a long record's text into `out`.
    void read_long(LongRecords::Index record, std::size_t from, std::size_t count,
                   std::uint8_t* out) const noexcept {
        longs_.read(slots_, record, from, count, out);
    }

    // The index of the record whose seq is `seq` (one stored now).
    std::size_t index_of_seq(std::uint32_t seq) const noexcept;

    // A number that orders records as the store does: among the records
    // stored now, a record's seq is smaller than that of every later one.
    std::uint32_t seq(std::size_t index) const noexcept;

    // Where the texts are, for the search.
    std::size_t block_count() const noexcept { return slots_.block_count(); }
    LaneBlock block(std::size_t b) const noexcept { return slots_.block(b); }
    const LongRecords& longs() const noexcept { return longs_; }

    // Room for `records` records in all, so that adding a known number of
    // them grows the store's index once. Throws std::bad_alloc and changes
    // nothing when memory runs out.
    void reserve(std::size_t records) { order_.reserve(records); }

    // Appends one record whose text is `text`.
    void append(std::uint32_t id, std::string_view text);

    // Appends one record whose text is `parts` joined with single spaces
    // (no parts give the empty text).
    void append_joined(std::uint32_t id, std::span<const std::string_view> parts);

    // Appends records in order: record i has id ids[i] and text texts[i].
    // The same as append() for each, only faster: the bytes are written block
    // by block, not record by record. When it throws, the records before the
    // one that failed are appended whole, and no later one.
    void append_many(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts);

    // append_many() for a caller that makes the texts as it goes (joins
    // them from columns, say) and holds only some of them at a time.
    class BulkAppend;
    // Texts as a store that folds places them, for BulkAppend.
    class FoldedChunk;

    // Appends one record whose text is the only one of `folded`, in a store
    // that folds (else std::invalid_argument), as append() would that text.
    void append_folded(std::uint32_t id, FoldedChunk& folded);

    // A lane block to be filled by append_laid_out()'s caller: its rows,
    // where its bytes go (rows * LANES of them, laid out as LaneBlock::data)
    // and where its 64 mask words go (as LaneBlock::lanes_with).
    struct BlockToFill {
        std::size_t rows;
        std::uint8_t* data;
        std::uint64_t* lanes_with;
    };
    using BlockFiller = std::function<void(std::span<const BlockToFill> blocks)>;

    // Appends records to an empty store, placed in lanes as append_many()
    // places them: record i has id ids[i] and a text of lengths[i] bytes.
    // The texts' bytes and masks are not written record by record: `fill`,
    // called once with every block of the store, fills the blocks as they
    // stood in a store that append_many() filled with the same records, for
    // reading a saved store back without writing every text again. A text
    // longer than LANE_TEXT_LIMIT is the next of `long_texts` and is
    // appended as by append(). The masks are kept only for lanes that hold
    // a text. With `rows_of`, the blocks' rows are not allocated but come
    // from it, kept by `owner` (see LaneSlots::RowsFromWhile), and `fill`
    // finds them there. When it throws (what `fill` throws, std::bad_alloc,
    // or std::invalid_argument when the store is not empty, `long_texts` do
    // not fit `lengths` or `rows_of` has no rows for a block), the store is
    // left empty.
    void append_laid_out(std::span<const std::uint32_t> ids, std::span<const std::uint32_t> lengths,
                         std::span<const std::string_view> long_texts, const BlockFiller& fill,
                         const LaneSlots::RowsOf& rows_of = {}, std::shared_ptr<const void> owner = {});

    // Gives a record that append_laid_out() appended to a store that folds
    // the runs folding changed in its text (its lanes hold the folded one).
    // Strong guarantee: throws std::bad_alloc with nothing changed.
    void restore_runs(std::size_t index, std::span<const std::uint8_t> runs);
    // After append_laid_out() to a store that folds: marks the lanes whose
    // text may differ from their lane form (see LaneBlock::folded).
    void mark_folded_lanes() noexcept;

    // Removes the last record (there must be one).
    void pop_back() noexcept;

    // Removes the first record carrying `id`; false when none does.
    bool remove(std::uint32_t id) noexcept;

    // Removes every record and releases the texts; the reserved room stays.
    void reset() noexcept;

private:
    friend struct RecordStoreTestAccess;  // lets the tests reach the end of the sequence numbers

    // A record's place: a lane slot, or with LONG_FLAG set an index into longs_.
    using Handle = std::uint32_t;
    static constexpr Handle LONG_FLAG = LaneSlots::SLOT_LIMIT;

    std::uint32_t next_seq() noexcept;
    // append_joined() of a text as it is, folded or not.
    void append_as_is(std::uint32_t id, std::span<const std::string_view> parts);
    // The length class whose lane the next record takes when its text has
    // `length` bytes, at most LANE_TEXT_LIMIT (see LaneSlots::class_for).
    std::size_t lane_class(std::size_t length) const noexcept;
    // Gives the next record a lane of lane_class(length), its mask still
    // empty and its bytes unwritten, and appends it to the order, where room
    // for it must be reserved. Returns its slot.
    LaneSlots::Slot place(std::size_t length_class, std::uint32_t id, std::size_t length);

    // The runs of the records whose text folding changed, in store order.
    struct Unfolded {
        std::uint32_t seq;
        std::uint32_t size;
        std::uint32_t offset;  // in runs_
    };
    const Unfolded* unfolded_of(std::uint32_t seq) const noexcept;
    // Whether the record's lanes hold a lane form that is not its text.
    bool lane_folded(std::size_t index) const noexcept;
    // Byte `position` of the record's lane text.
    std::uint8_t lane_byte(std::size_t index, std::size_t position) const noexcept;
    // Keeps the runs of the record just appended at `index`; room must be reserved.
    void keep_runs(std::size_t index, std::span<const std::uint8_t> runs) noexcept;
    void reserve_runs(std::size_t records, std::size_t bytes);
    // Room for what is likely to come, where it can be had.
    void reserve_runs_ahead(std::size_t records, std::size_t bytes) noexcept;
    void forget_runs(std::uint32_t seq) noexcept;
    // The text to place for `text` (folded into `folded` when folding changes
    // it, with its runs in `runs`); `text` is read even when it is ASCII.
    std::string_view lane_text_of(std::string_view text, PodBuffer<char>& folded,
                                  PodBuffer<std::uint8_t>& runs) const;

    PodBuffer<Handle> order_;
    LaneSlots slots_;
    LongRecords longs_;
    std::uint32_t next_seq_ = 0;
    bool folds_;
    PodBuffer<Unfolded> unfolded_;
    PodBuffer<std::uint8_t> runs_;
    // Room a record's folding takes while it is appended, kept for the next.
    struct {
        std::string joined;
        PodBuffer<char> folded;
        PodBuffer<std::uint8_t> runs;
    } scratch_;
};

// The texts of a chunk of records as a store that folds places them: each
// in its lane form, with the runs of those that folding changed. BulkAppend
// makes one from the texts it is given; a caller that reads texts as code
// points (a Python str's) folds them as it reads them, without making their
// UTF-8 first.
class RecordStore::FoldedChunk {
public:
    // Starts a new chunk.
    void clear() noexcept;
    // Adds the next text, which must live until the chunk is appended.
    // `ascii`: the caller knows it to be ASCII (it is not read).
    void add(std::string_view text, bool ascii = false);
    // Adds the next text given as code points of one width (std::uint8_t,
    // std::uint16_t or std::uint32_t); false, with nothing added, at a lone
    // surrogate.
    template <class Unit>
    bool add_code_points(std::span<const Unit> units);

    std::size_t size() const noexcept { return texts_.size(); }
    // The texts added, in order, as the lanes hold them; valid until the next add or clear().
    std::span<const std::string_view> texts() noexcept;

private:
    friend class BulkAppend;
    friend class RecordStore;
    struct Changed {
        std::size_t record, runs_at, runs_size;
    };
    struct Held {  // a text made here, in folded_
        std::size_t record, at, size;
    };
    void hold(std::size_t folded_at, std::size_t runs_at, bool changed);

    std::vector<std::string_view> texts_;
    std::vector<Held> held_;
    std::vector<Changed> changed_;
    PodBuffer<char> folded_;
    PodBuffer<std::uint8_t> runs_;
    bool views_made_ = true;
};

// Appends records to a store in runs, as one append_many() of them all
// would: the same places, bytes and masks. The store must outlive it.
class RecordStore::BulkAppend {
public:
    // `bytes`: about how many bytes of text the records to come hold (it
    // decides whether their memory is faulted in ahead).
    BulkAppend(RecordStore& store, std::size_t records, std::size_t bytes);
    ~BulkAppend();
    BulkAppend(const BulkAppend&) = delete;
    BulkAppend& operator=(const BulkAppend&) = delete;

    // Appends the next records, as append_many(); the texts need to live
    // only until it returns. `ascii`, when not empty, tells for each text
    // whether the caller knows it to be ASCII (it need not be read to
    // know that folding leaves it as it is).
    void append(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts,
                std::span<const std::uint8_t> ascii = {});
    // The same for texts folded already, in a store that folds (else
    // std::invalid_argument), one id for each.
    void append(std::span<const std::uint32_t> ids, FoldedChunk& chunk);

private:
    // A record placed, its bytes and mask not yet written.
    struct Pending {
        LaneSlots::Slot slot;
        std::uint32_t record;  // in the texts of the chunk
    };
    // Places the records of a chunk, keeps the runs of those folding
    // changed, and writes them.
    void place(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts,
               std::span<const FoldedChunk::Changed> changed, std::span<const std::uint8_t> runs);
    // Writes the records placed so far, a length class at a time.
    void write(std::span<const std::string_view> texts) noexcept;

    RecordStore& store_;
    std::vector<std::vector<Pending>> by_class_;
    FoldedChunk chunk_;         // in a store that folds, the chunk being appended
    std::size_t records_left_;  // about how many records are still to come
    bool room_made_ = false;
    LaneSlots::PrefaultWhile prefault_;
};

}  // namespace murvex
