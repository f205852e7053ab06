// Any number of records in stores ("shards") of a bounded size, searched as
// one engine of unlimited size would search them, on several threads.
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

#include "murvex/kernel.hpp"
#include "murvex/pool.hpp"
#include "murvex/scoring.hpp"
#include "murvex/search.hpp"
#include "murvex/store.hpp"

namespace murvex {

// How a search runs: on the calling thread and up to workers - 1 helpers of
// `pool` (none when the pool is null), in the form `kernel`, with `settings`
// in place of the index's own when not null (one search's own settings, so
// that concurrent searches never need to change the index's).
struct SearchOptions {
    WorkerPool* pool = nullptr;
    std::size_t workers = 1;
    Kernel kernel = Kernel::automatic;
    const Settings* settings = nullptr;
};

// The span of a query word that a record does not hold.
inline constexpr std::pair<std::uint32_t, std::uint32_t> NO_SPAN{UINT32_MAX, UINT32_MAX};

// One result of an index, with the shard that holds its record, and where
// each word of the query matched (start, end): in the words mode every word
// of the query in query order, NO_SPAN for those the record does not hold;
// else the one match.
struct IndexHit {
    std::uint32_t shard;
    ResultEntry entry;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    // Hits of one query from several indexes rank as one index's would by
    // (rank, the shard's number across the indexes, their order in each),
    // rank compared as a pair.
    std::pair<std::uint64_t, std::uint64_t> rank;
};

// Records go to the last shard until it holds shard_capacity, then to a new
// one: a record's place in the index is (shard, place in its shard), so the
// index's order is the order of appending, and room a remove frees in an
// earlier shard is not taken again. A search gives exactly what one engine
// holding every record in that order would give: the same scores, best
// first, ties in index order, at most max_results. Not safe for concurrent
// changes: callers hold a readers-writer lock (searches are only reads).
//
// An index that folds keeps its records in stores that fold (RecordStore):
// its forgiving and words searches match the Unicode-folded query against
// the folded texts; its strict ones match each text as it is, as in any
// index. Its hits' stretches are in the records' own texts.
class ShardedIndex {
public:
    explicit ShardedIndex(Settings settings = {}, std::size_t shard_capacity = MAX_RECORDS,
                          bool folds = false);

    bool folds() const noexcept { return folds_; }

    std::size_t count() const noexcept { return count_; }
    std::size_t shard_count() const noexcept { return shards_.size(); }
    std::size_t shard_capacity() const noexcept { return shard_capacity_; }
    const RecordStore& shard(std::size_t s) const noexcept { return *shards_[s]; }
    Settings& settings() noexcept { return settings_; }
    const Settings& settings() const noexcept { return settings_; }

    // Appends a record whose text is `parts` joined with single spaces; with
    // `new_shard`, into a new shard even when the last one has room. Strong
    // guarantee, as RecordStore::append_joined.
    void append_joined(std::uint32_t id, std::span<const std::string_view> parts, bool new_shard = false);
    // Appends a record whose text is the only one of `folded`, folded
    // already (an index that folds), as append_joined would that text.
    void append_folded(std::uint32_t id, RecordStore::FoldedChunk& folded, bool new_shard = false);

    // Appends records in order, record i with id ids[i] and text texts[i],
    // as append_joined would one by one (new_shard for the first), faster:
    // each shard's records are written by one of up to `workers` threads
    // (the caller and helpers of `pool`, when not null). When it throws, the
    // records before the failing one stay, and none after it.
    void append_many(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts,
                     bool new_shard = false, WorkerPool* pool = nullptr, std::size_t workers = 1);

    // Appends `count` records that are made as they are appended, in the
    // shards append_many() would give them: build(first, n, slot, shard)
    // appends records [first, first + n) of the call, in order, to the shard
    // they go to, on one of up to `workers` threads (`slot` as for
    // append_shards). When a build throws, as append_many.
    using RunBuilder = std::function<void(std::size_t, std::size_t, std::size_t, RecordStore&)>;
    void append_runs(std::size_t count, const RunBuilder& build, bool new_shard = false,
                     WorkerPool* pool = nullptr, std::size_t workers = 1);

    // Appends `count` new shards, shard r filled by build(r, slot, shard) on
    // one of up to `workers` threads, for records that are read as they are
    // appended; `slot` (below `workers`) tells the threads apart, as in
    // WorkerPool::run. When a build throws, the shards before it stay as
    // built, the failing one as it was left, and no later one is added.
    using ShardBuilder = std::function<void(std::size_t, std::size_t, RecordStore&)>;
    void append_shards(std::size_t count, const ShardBuilder& build, WorkerPool* pool = nullptr,
                       std::size_t workers = 1);

    // Removes the records appended after the index held `count`.
    void truncate_records(std::size_t count) noexcept;

    // Room for `more` records in the shards they will go to.
    void reserve(std::size_t more);

    // Removes the first record, in index order, carrying `id`; or the first
    // in shard `shard` only. False when there is none.
    bool remove(std::uint32_t id) noexcept;
    bool remove_from(std::size_t shard, std::uint32_t id) noexcept;

    // The shards holding a record with this id, in order.
    std::vector<std::uint32_t> shards_holding(std::uint32_t id) const;

    // The id and text of the record at `position` in index order (below count()).
    std::pair<std::uint32_t, std::string> record(std::size_t position) const;

    // Removes every record and shard; the settings stay.
    void reset() noexcept;

    // Drops the shards from number `shards` on, with their records.
    void truncate(std::size_t shards) noexcept;

    // Throws std::bad_alloc when memory runs out; the index is only read.
    std::vector<IndexHit> search(std::string_view query, const SearchOptions& options = {}) const;

    // The ids of every record search() would give without a cap on its
    // results (those whose best match scores at least the threshold;
    // max_results plays no part), in index order.
    std::vector<std::uint32_t> matching_ids(std::string_view query, const SearchOptions& options = {}) const;

    // Result i is search(queries[i]); the queries are spread over the workers.
    std::vector<std::vector<IndexHit>> search_many(std::span<const std::string_view> queries,
                                                   const SearchOptions& options = {}) const;

private:
    // Appends one record to the last shard, or a new one: `append(shard)`.
    template <class Append>
    void append_one(bool new_shard, const Append& append);

    // Adds `count` empty shards at the end; the index of the first. Strong
    // guarantee.
    std::size_t add_shards(std::size_t count);
    // Runs build(r, slot, shard first_shard + r) for r below `count` (the shards
    // exist); the shards from first_new on were made for this call.
    void fill(std::size_t first_shard, std::size_t first_new, std::size_t count, const ShardBuilder& build,
              WorkerPool* pool, std::size_t workers);

    std::vector<std::unique_ptr<RecordStore>> shards_;
    std::size_t shard_capacity_;
    std::size_t count_ = 0;
    Settings settings_;
    bool folds_;
};

}  // namespace murvex
