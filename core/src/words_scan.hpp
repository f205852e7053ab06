// The forgiving and words modes' search: a query of one or more words, each
// matched on its own with the forgiving rules anywhere in a record, and the
// records ranked by how close the words of their text are to the query's.
// Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "query_scan.hpp"
#include "word_fit.hpp"

namespace murvex::detail {

// A query of the words mode is cut at whitespace into at most this many
// words; the rest of it takes no part.
inline constexpr std::size_t MAX_QUERY_WORDS = 16;

// The words of `query`: its whitespace-separated words in the words mode,
// else the whole query as one word (none for an empty query).
std::vector<std::string_view> query_words(std::string_view query, bool words);

// One word of a query, compiled, with its error budget.
struct QueryWord {
    CompiledQuery compiled;
    // The same in the strict mode, which finds the same matches without
    // errors and skips to where the first byte stands.
    CompiledQuery exact;
    // The pattern's byte classes (folded byte mod 64) and how many pattern
    // bytes are of each.
    std::array<std::uint8_t, MAX_PATTERN_BYTES> classes;
    std::array<std::uint8_t, MAX_PATTERN_BYTES> weights;
    std::size_t class_count;
    int k;
    bool first_upper;  // the word starts with a capital letter
};

// A query of the forgiving or words mode, ready to run.
struct PreparedWords {
    std::vector<QueryWord> words;  // 1 to MAX_QUERY_WORDS
    std::uint16_t threshold;
    std::size_t cap;
};

// Nothing when no match can come of the query: no words, an empty store, a
// cap of 0 on a ranking. With `fold`, for stores that fold: the query is
// folded as their texts are (unicode_fold.hpp) before it is cut into words.
std::optional<PreparedWords> prepare_words(std::string_view query, std::size_t records,
                                           const Settings& settings, Keep keep = Keep::ranking,
                                           bool fold = false);

// What the ranking knows of a record that holds the first `held` of the
// query's `words` words (the others count as missing even where they match).
struct RecordFit {
    std::uint32_t words;
    std::uint32_t held;
    std::uint32_t distance;      // the sum of the held words' covering distances
    std::uint32_t errors;        // the sum of their matches' errors
    std::uint32_t off_start;     // how many of their matches start inside a word
    std::uint32_t between;       // word bytes between them, up to 127
    bool disorder;               // they stand in another order than the query's
    std::uint32_t cost;          // the sum of their covers' typo costs (typo_cost)
    std::uint32_t case_differs;  // covers starting in the other case than their query word
    std::uint32_t length;        // the record's text
    std::uint32_t start;         // from the first held word's match to the last one's
    std::uint32_t end;
};

// Records rank by their key, smaller first: missing words, then the sum of
// distances, then whether other words stand between the query's, then
// whether they stand in another order (the phrase itself first), then how
// many word bytes stand between, then the sum of errors, then matches inside
// words. One word: its distance, errors, whether it starts a word. Records
// of the same key rank by their tie: covers in the other case than the
// query, then the sum of typo costs, then the shorter record.
std::uint64_t rank_key(const RecordFit& fit) noexcept;
std::uint64_t tie_key(const RecordFit& fit) noexcept;

// The score in thousandths, never higher for a record that ranks after
// another: with n words of which h are held, h/n of (1000 - penalty), where
//   one word:  penalty = 100 distance + 25 errors + 10 off_start, at most 1000
//   n words:   penalty = 100 distance + 40 (words between) + 20 (disorder),
//              at most ceil(1000 / n) - 1
// so that a record holding more words always scores higher.
std::uint16_t score_of(const RecordFit& fit) noexcept;

// One query over any blocks of any stores, as QueryScan, in the forgiving
// and words modes. The long records' matches are only gathered here: they
// are ranked when the scans are finished, together.
class WordsScan {
public:
    WordsScan(const PreparedWords& query, ScanBlock scan, Keep keep = Keep::ranking);

    // Blocks [first, last) of `store`.
    void scan(const RecordStore& store, std::uint32_t shard, std::size_t first, std::size_t last);

    // The long records' best match of each word, for one shard.
    struct ShardLongs {
        std::uint32_t shard;
        std::vector<LongMatches> words;
    };

    std::vector<RankedMatch>& kept() noexcept { return ranking_.kept(); }
    std::vector<QueryScan::Found>& every() noexcept { return every_; }
    std::vector<ShardLongs>& longs() noexcept { return longs_; }

private:
    // Which lanes can still enter, and the most errors a word may have.
    struct Bound {
        std::uint32_t min_held;
        int k;
        std::uint32_t longest;  // the longest text that may enter
    };
    Bound bound() const noexcept;
    // Ranks the lanes of `lanes` as holding the first `held` words.
    void offer_lanes(const LaneBlock& block, std::uint32_t shard, std::uint64_t lanes, std::uint32_t held);
    ShardLongs& longs_of(const RecordStore& store, std::uint32_t shard);

    const PreparedWords& query_;
    ScanBlock scan_;
    Keep keep_;
    Ranking ranking_;
    std::vector<QueryScan::Found> every_;
    std::vector<ShardLongs> longs_;
    std::vector<FitCache> caches_;                      // of each word
    std::array<LaneMatches, MAX_QUERY_WORDS> matches_;  // of each word, in the block at hand
    // The first r words' numbers, longest first, at [r - 1].
    std::array<std::array<std::uint8_t, MAX_QUERY_WORDS>, MAX_QUERY_WORDS> longest_first_;
};

// The store of a shard number.
using StoreOf = std::function<const RecordStore&(std::uint32_t shard)>;

// The best query.cap matches of the scans (Keep::ranking), the long
// records' among them.
std::vector<RankedMatch> finish_ranking(const PreparedWords& query, std::span<WordsScan*> scans,
                                        const StoreOf& store_of);

// Every match of the scans (Keep::every), a long record once.
std::vector<QueryScan::Found> finish_every(const PreparedWords& query, std::span<WordsScan*> scans,
                                           const StoreOf& store_of);

// Each held query word's match (start, end) in the ranked record's lane text, in query order.
std::vector<std::pair<std::uint32_t, std::uint32_t>> word_spans(const PreparedWords& query,
                                                                const RecordStore& store,
                                                                const RankedMatch& match);

}  // namespace murvex::detail
