// One query run over lane blocks of one or more stores into a ranking:
// pre-filter, block scanner, scoring, threshold, pruning. A single engine's
// search is one such run over all its blocks; a sharded index runs one per
// worker over pieces of its shards and merges them. Internal to the core.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/kernels.hpp"
#include "murvex/scoring.hpp"
#include "murvex/search.hpp"
#include "murvex/store.hpp"

namespace murvex::detail {

// A record's place among the records of every store a query runs over:
// the store's number (a shard) in the high half, the record's seq in the low.
using Order = std::uint64_t;

constexpr Order order_of(std::uint32_t shard, std::uint32_t seq) noexcept { return Order{shard} << 32 | seq; }

// A match in a ranking. `key` orders it among the others, smaller first,
// then `tie`, then its place in store order: in the strict mode 1000 - score
// in the high half of the key, in the forgiving and words modes the keys of
// words_scan.hpp.
struct RankedMatch {
    std::uint64_t key;
    std::uint64_t tie;
    Order order;
    std::uint32_t id;
    std::uint32_t start;
    std::uint32_t end;
    std::uint16_t score_milli;
    bool windowed;  // the record is a long one: another piece may have found it too
};

// The strict mode's key: the higher score first.
constexpr std::uint64_t strict_key(std::uint16_t score_milli) noexcept {
    return std::uint64_t{1000u - score_milli} << 32;
}

// True when a ranks before b: the smaller key first, then the smaller tie,
// then earlier in the store.
inline bool ranks_before(const RankedMatch& a, const RankedMatch& b) noexcept {
    if (a.key != b.key) return a.key < b.key;
    return a.tie != b.tie ? a.tie < b.tie : a.order < b.order;
}

// What a record must do to enter the ranking: records up to `order` need at
// most `before` errors, later ones at most `after` (-1: they cannot enter at
// all). The record at `order` itself is the ranking's last entry, a long one
// met again in another window: a match as good as the one it has may still
// end earlier.
struct Entry {
    Order order;
    int before;
    int after;
};

// The best `cap` matches offered so far in ranking order, whatever order they
// are offered in. Room is reserved once and never grows.
class Ranking {
public:
    explicit Ranking(std::size_t cap) : cap_(cap) { kept_.reserve(cap); }

    // A full ranking refuses a match with one comparison against its last entry.
    void offer(const RankedMatch& match) noexcept {
        if (kept_.size() == cap_) {
            if (cap_ == 0 || !ranks_before(match, kept_.back())) return;
            kept_.pop_back();
        }
        const auto at = std::find_if(kept_.begin(), kept_.end(),
                                     [&](const RankedMatch& r) { return ranks_before(match, r); });
        kept_.insert(at, match);  // within the reserved room: cannot throw
    }

    // Once the ranking is full, only a match that ranks before its last entry
    // can enter: a tie enters from earlier in the store only. `k` is the
    // most errors any match may have.
    Entry entry(int k) const noexcept {
        if (kept_.size() < cap_) return Entry{UINT64_MAX, k, k};
        const RankedMatch& last = kept_.back();
        return Entry{last.order, errors_reaching(last.score_milli, false, k),
                     errors_reaching(last.score_milli, true, k)};
    }

    // Whether offer() would keep the match now.
    bool takes(const RankedMatch& match) const noexcept {
        return kept_.size() < cap_ || (cap_ > 0 && ranks_before(match, kept_.back()));
    }

    // A better match of a record that may be kept already: its entry, if
    // any, goes and the new match is offered. As a record's matches only get
    // better, the ranking ends as if only its best had been offered.
    void offer_again(const RankedMatch& match) noexcept {
        const auto same = std::find_if(kept_.begin(), kept_.end(),
                                       [&](const RankedMatch& r) { return r.order == match.order; });
        if (same != kept_.end()) kept_.erase(same);
        offer(match);
    }

    std::vector<RankedMatch>& kept() noexcept { return kept_; }
    // The last entry of a full ranking, else null.
    const RankedMatch* last_when_full() const noexcept {
        return kept_.size() == cap_ && cap_ > 0 ? &kept_.back() : nullptr;
    }

private:
    std::size_t cap_;
    std::vector<RankedMatch> kept_;
};

// A query's settings for a run: the error budget k is what can still reach
// the threshold (-1 when nothing can).
struct RunSettings {
    std::uint16_t threshold;
    std::size_t cap;
    int k;
};

RunSettings run_settings(const Settings& settings, std::size_t m) noexcept;

// What a scan keeps of its matches: the best run.cap of them, or every
// matching record (the cap and pruning then play no part).
enum class Keep : std::uint8_t { ranking, every };

// A query ready to run over `records` records with `settings`: compiled,
// with its run's settings.
struct PreparedQuery {
    CompiledQuery compiled;
    RunSettings run;
};

// Nothing when no match can come of the query: an empty query or store, a
// cap of 0 on a ranking, a threshold above every score.
std::optional<PreparedQuery> prepare_query(std::string_view query, std::size_t records,
                                           const Settings& settings, Keep keep = Keep::ranking) noexcept;

// One query over any blocks of any stores, into one ranking. Blocks may come
// in any order; a store is known by its shard number, which orders its
// records after those of every lower number.
class QueryScan {
public:
    QueryScan(const CompiledQuery& query, const RunSettings& run, ScanBlock scan, Keep keep = Keep::ranking)
        : query_(query), run_(run), scan_(scan), keep_(keep), ranking_(keep == Keep::ranking ? run.cap : 0) {}

    // A matching record's place and id, with Keep::every.
    struct Found {
        Order order;
        std::uint32_t id;
    };

    // Blocks [first, last) of `store`.
    void scan(const RecordStore& store, std::uint32_t shard, std::size_t first, std::size_t last);

    // The same for every scan of `scans` (an empty one takes no part), block
    // by block: the queries with many lanes to read in a block go through
    // scan_pack, `pack` at a time, each as its own scan would.
    static void scan_together(std::span<std::optional<QueryScan>> scans, const RecordStore& store,
                              std::uint32_t shard, std::size_t first, std::size_t last, ScanPack scan_pack,
                              std::size_t pack);

    // The kept matches, best first.
    std::vector<RankedMatch>& kept() noexcept { return ranking_.kept(); }

    // With Keep::every: the matching records, in the order found; a long
    // one once for each of its windows that matched.
    std::vector<Found>& every() noexcept { return every_; }

private:
    // Whether no match can come of the query.
    bool idle() const noexcept;
    // The lanes of `block` to scan and their budget (none: 0), the folded
    // lanes matched on their own meanwhile.
    std::pair<std::uint64_t, int> lanes_of(const RecordStore& store, std::uint32_t shard,
                                           const LaneBlock& block);
    // Offers the block's matches, found in matches_.
    void take(const RecordStore& store, std::uint32_t shard, const LaneBlock& block);
    void offer(std::uint32_t id, Order order, bool windowed, const Match& match, bool again) noexcept;
    void scan_folded(const RecordStore& store, std::uint32_t shard, const LaneBlock& block,
                     std::uint64_t lanes, const Entry& entry);
    LongMatches& longs_of(const RecordStore& store, std::uint32_t shard);

    const CompiledQuery& query_;
    RunSettings run_;
    ScanBlock scan_;
    Keep keep_;
    Ranking ranking_;
    std::vector<Found> every_;
    std::vector<std::pair<std::uint32_t, LongMatches>> longs_;  // by shard
    LaneMatches matches_;
};

// The best `cap` of several runs' kept matches, as one run over all of them
// would rank them; a long record found by several runs counts once, with its
// best match (the fewest errors, then the first end).
std::vector<RankedMatch> merge(std::span<std::vector<RankedMatch>> runs, std::size_t cap);

// Result entries from ranked matches, in order.
std::vector<ResultEntry> entries_of(const std::vector<RankedMatch>& ranked);

}  // namespace murvex::detail
