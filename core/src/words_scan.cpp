#include "words_scan.hpp"

#include <algorithm>
#include <bit>

#include "murvex/unicode_fold.hpp"

namespace murvex::detail {

namespace {

constexpr bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The fields of a key, from the highest bits down.
constexpr int MISSING_SHIFT = 60;    // 4 bits: up to 15 missing words
constexpr int DISTANCE_SHIFT = 52;   // 8 bits: up to 16 * COVER_CAP
constexpr int APART_SHIFT = 51;      // 1 bit: other words between them
constexpr int DISORDER_SHIFT = 50;   // 1 bit
constexpr int BETWEEN_SHIFT = 43;    // 7 bits
constexpr int ERRORS_SHIFT = 37;     // 6 bits: up to 16 * MAX_ERRORS
constexpr int OFF_START_SHIFT = 32;  // 5 bits: up to 16
constexpr std::uint32_t BETWEEN_CAP = 127;

// The lanes whose records lack at most k of the word's pattern bytes: each
// pattern byte whose class a record lacks takes an edit of its own (a swap
// only moves bytes the record has). Counted for all lanes at once: c1 c0
// count the bytes lacking (0 to 3), `over` marks the lanes where more are,
// and a class of more than k bytes must be there.
std::uint64_t lanes_lacking_at_most(const LaneBlock& block, const QueryWord& word, int k) noexcept {
    std::uint64_t c0 = 0, c1 = 0, over = 0, required = ~std::uint64_t{0};
    for (std::size_t c = 0; c < word.class_count; ++c) {
        const std::uint64_t with = block.lanes_with[word.classes[c]];
        if (word.weights[c] > k) {
            required &= with;
            continue;
        }
        for (int w = 0; w < word.weights[c]; ++w) {
            const std::uint64_t carry0 = c0 & ~with;
            c0 ^= ~with;
            over |= c1 & carry0;
            c1 ^= carry0;
        }
    }
    const std::uint64_t within = k == 0 ? ~(c0 | c1) : k == 1 ? ~c1 : k == 2 ? ~(c1 & c0) : ~std::uint64_t{0};
    return within & ~over & required;
}

// The lanes whose texts are at most `length` bytes long (never a window's).
std::uint64_t lanes_no_longer_than(const LaneBlock& block, std::uint32_t length) noexcept {
    std::uint64_t lanes = 0;
    for (std::size_t lane = 0; lane < LANES; ++lane)
        lanes |= std::uint64_t{block.lengths[lane] <= length} << lane;
    return lanes;
}

// A lane's text, for a TextReader.
struct LaneText {
    const LaneBlock* block;
    int lane;

    static void copy(const void* source, std::size_t from, std::size_t count, std::uint8_t* out) noexcept {
        const auto& text = *static_cast<const LaneText*>(source);
        for (std::size_t i = 0; i < count; ++i)
            out[i] = text.block->data[(from + i) * LANES + static_cast<std::size_t>(text.lane)];
    }
};

// A long record's text, for a TextReader.
struct LongText {
    const RecordStore* store;
    LongRecords::Index record;

    static void copy(const void* source, std::size_t from, std::size_t count, std::uint8_t* out) noexcept {
        const auto& text = *static_cast<const LongText*>(source);
        text.store->read_long(text.record, from, count, out);
    }
};

// The lowest key a record holding `held` words with these matches can have:
// a covering distance is never below its match's errors.
RecordFit least_fit(std::uint32_t words, std::span<const Match> matches, std::uint32_t length) noexcept {
    std::uint32_t errors = 0;
    for (const Match& match : matches) errors += match.errors;
    return RecordFit{
        words, static_cast<std::uint32_t>(matches.size()), errors, errors, 0, 0, false, 0, 0, length, 0, 0};
}

// The fit of a record holding the first matches.size() words, made in the
// steps of word_fit.hpp (caches[i] for word i): nothing as soon as
// `may_enter` refuses what is known (a fit whose distances and typo costs
// are at their floors ranks no later than the whole one).
template <class MayEnter>
std::optional<RecordFit> fit_record(const PreparedWords& query, std::span<const Match> matches,
                                    const TextReader& text, std::span<FitCache> caches,
                                    MayEnter&& may_enter) noexcept {
    std::array<WordFit, MAX_QUERY_WORDS> fits;
    std::array<Around, MAX_QUERY_WORDS> around;
    RecordFit record{static_cast<std::uint32_t>(query.words.size()),
                     static_cast<std::uint32_t>(matches.size()),
                     0,
                     0,
                     0,
                     0,
                     false,
                     0,
                     0,
                     static_cast<std::uint32_t>(text.length),
                     UINT32_MAX,
                     0};
    const std::size_t held = matches.size();
    for (std::size_t i = 0; i < held; ++i) {
        const QueryWord& word = query.words[i];
        const WordFit& fit = fits[i] =
            place_word(word.compiled.pattern, word.first_upper, matches[i], text, around[i], caches[i]);
        record.distance += fit.distance;
        record.errors += fit.errors;
        record.case_differs += fit.case_differs;
    }
    if (!may_enter(record)) return std::nullopt;
    record.distance = 0;
    record.case_differs = 0;  // a cover found at the cap has no case to compare
    for (std::size_t i = 0; i < held; ++i) {
        measure_word(fits[i], query.words[i].compiled.pattern, around[i], caches[i]);
        record.distance += fits[i].distance;
        record.case_differs += fits[i].case_differs;
    }
    if (!may_enter(record)) return std::nullopt;
    record.start = UINT32_MAX;
    std::uint32_t cover_start = UINT32_MAX, cover_end = 0;
    for (std::size_t i = 0; i < held; ++i) {
        WordFit& fit = fits[i];
        place_start(fit, query.words[i].compiled.pattern, around[i], caches[i]);
        record.off_start += !fit.word_start;
        record.disorder |= i > 0 && fit.start < fits[i - 1].start;
        record.start = std::min(record.start, fit.start);
        record.end = std::max(record.end, fit.end);
        cover_start = std::min(cover_start, fit.cover_start);
        cover_end = std::max(cover_end, fit.cover_end);
    }
    if (held > 1)
        record.between =
            word_bytes_between(std::span(fits.data(), held), cover_start, cover_end, text, BETWEEN_CAP);
    if (!may_enter(record)) return std::nullopt;
    for (std::size_t i = 0; i < held; ++i) {
        measure_cost(fits[i], query.words[i].compiled.pattern, around[i], caches[i]);
        record.cost += fits[i].cost;
    }
    if (!may_enter(record)) return std::nullopt;
    return record;
}

}  // namespace

std::vector<std::string_view> query_words(std::string_view query, bool words) {
    if (!words) return query.empty() ? std::vector<std::string_view>{} : std::vector{query};
    std::vector<std::string_view> found;
    for (std::size_t at = 0; at < query.size() && found.size() < MAX_QUERY_WORDS;) {
        if (is_space(query[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < query.size() && !is_space(query[end])) ++end;
        found.push_back(query.substr(at, end - at));
        at = end;
    }
    return found;
}

std::optional<PreparedWords> prepare_words(std::string_view query, std::size_t records,
                                           const Settings& settings, Keep keep, bool fold) {
    std::string folded;
    if (fold && may_fold(query)) {
        std::vector<std::uint8_t> runs;
        fold_text(query, folded, runs);
        query = folded;
    }
    const std::vector<std::string_view> words = query_words(query, settings.words);
    if (words.empty() || records == 0 || (keep == Keep::ranking && settings.max_results == 0))
        return std::nullopt;
    std::optional<PreparedWords> prepared(std::in_place);
    prepared->threshold = settings.threshold;
    prepared->cap = static_cast<std::size_t>(settings.max_results);
    prepared->words.resize(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        QueryWord& word = prepared->words[i];
        word.compiled = compile_query(words[i], true);
        word.exact = word.compiled;
        word.exact.forgiving = false;
        const Pattern& pattern = word.compiled.pattern;
        word.class_count = 0;
        for (std::size_t b = 0; b < pattern.len; ++b) {
            const auto c = static_cast<std::uint8_t>(pattern.bytes[b] & 63);
            const auto* known = std::find(word.classes.begin(), word.classes.begin() + word.class_count, c);
            if (known == word.classes.begin() + word.class_count) {
                word.classes[word.class_count] = c;
                word.weights[word.class_count++] = 0;
            }
            ++word.weights[static_cast<std::size_t>(known - word.classes.begin())];
        }
        word.first_upper = words[i][0] >= 'A' && words[i][0] <= 'Z';
        word.k = static_cast<int>(forgiving_budget(settings.max_errors, word.compiled.pattern.len));
        // One word: a covering distance is never below the errors, so more
        // than (1000 - threshold) / 125 of them cannot reach the threshold.
        if (words.size() == 1) word.k = std::min(word.k, (1000 - settings.threshold) / 125);
    }
    return prepared;
}

std::uint64_t rank_key(const RecordFit& fit) noexcept {
    const auto field = [](std::uint32_t value, std::uint32_t cap, int shift) {
        return std::uint64_t{std::min(value, cap)} << shift;
    };
    return field(fit.words - fit.held, 15, MISSING_SHIFT) | field(fit.distance, 255, DISTANCE_SHIFT) |
           field(fit.between, 1, APART_SHIFT) | field(fit.disorder, 1, DISORDER_SHIFT) |
           field(fit.between, BETWEEN_CAP, BETWEEN_SHIFT) | field(fit.errors, 63, ERRORS_SHIFT) |
           field(fit.off_start, 31, OFF_START_SHIFT);
}

std::uint64_t tie_key(const RecordFit& fit) noexcept {
    return std::uint64_t{std::min(fit.case_differs, 0xFFFFu)} << 48 |
           std::uint64_t{std::min(fit.cost, 0xFFFFu)} << 32 | fit.length;
}

std::uint16_t score_of(const RecordFit& fit) noexcept {
    std::uint32_t penalty;
    if (fit.words == 1) {
        penalty = std::min(1000u, 100 * fit.distance + 25 * fit.errors + 10 * fit.off_start);
    } else {
        penalty = 100 * fit.distance + 40 * (fit.between > 0) + 20 * fit.disorder;
        penalty = std::min(penalty, (1000 + fit.words - 1) / fit.words - 1);
    }
    return static_cast<std::uint16_t>(fit.held * (1000 - penalty) / fit.words);
}

WordsScan::WordsScan(const PreparedWords& query, ScanBlock scan, Keep keep)
    : query_(query),
      scan_(scan),
      keep_(keep),
      ranking_(keep == Keep::ranking ? query.cap : 0),
      caches_(query.words.size()) {
    for (std::size_t required = 1; required <= query.words.size(); ++required) {
        auto& order = longest_first_[required - 1];
        for (std::size_t i = 0; i < required; ++i) order[i] = static_cast<std::uint8_t>(i);
        std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(required),
                         [&](std::uint8_t a, std::uint8_t b) {
                             return query.words[a].compiled.pattern.len > query.words[b].compiled.pattern.len;
                         });
    }
}

WordsScan::Bound WordsScan::bound() const noexcept {
    const auto n = static_cast<std::uint32_t>(query_.words.size());
    // A record of h words scores at most h/n of 1000.
    const std::uint32_t held_for_threshold = (query_.threshold * n + 999) / 1000;
    Bound bound{std::max(1u, held_for_threshold), MAX_ERRORS, UINT32_MAX};
    if (keep_ == Keep::every) return bound;
    if (const RankedMatch* last = ranking_.last_when_full()) {
        // Only a record that ranks before the last entry, or ties with it
        // from earlier in the store, enters: as many words as it holds, and
        // when it holds them all, no word with more errors than its sum of
        // distances.
        const auto missing = static_cast<std::uint32_t>(last->key >> MISSING_SHIFT);
        bound.min_held = std::max(bound.min_held, n - missing);
        if (missing > 0) return bound;
        const auto distance = static_cast<int>((last->key >> DISTANCE_SHIFT) & 0xFF);
        const auto errors = static_cast<int>((last->key >> ERRORS_SHIFT) & 0x3F);
        // One word with as many errors as the last entry's distance has that
        // distance too: it ties only when the last entry's errors are as many.
        bound.k = n == 1 && errors < distance ? distance - 1 : distance;
        // When the last entry's key and tie are the least there are but its
        // length, only a record no longer than it can rank before it.
        if (last->key == 0 && (last->tie >> 32) == 0) bound.longest = static_cast<std::uint32_t>(last->tie);
    }
    return bound;
}

WordsScan::ShardLongs& WordsScan::longs_of(const RecordStore& store, std::uint32_t shard) {
    for (ShardLongs& longs : longs_)
        if (longs.shard == shard) return longs;
    ShardLongs& longs = longs_.emplace_back(ShardLongs{shard, {}});
    for (const QueryWord& word : query_.words)
        longs.words.emplace_back(store.longs().size(), static_cast<std::uint32_t>(word.k));
    return longs;
}

void WordsScan::scan(const RecordStore& store, std::uint32_t shard, std::size_t first, std::size_t last) {
    if (keep_ == Keep::ranking && query_.cap == 0) return;
    const auto n = static_cast<std::uint32_t>(query_.words.size());
    ShardLongs* longs = nullptr;
    for (std::size_t b = first; b < last; ++b) {
        const LaneBlock block = store.block(b);
        // The windows of long records: every word is looked for in each,
        // as the others may be in another window.
        std::uint64_t windows = 0;
        if (store.longs().size() > 0)
            for (std::uint64_t lanes = block.live; lanes; lanes &= lanes - 1)
                windows |= std::uint64_t{(block.lengths[std::countr_zero(lanes)] & LaneBlock::WINDOW) != 0}
                           << std::countr_zero(lanes);
        const Bound bound = this->bound();
        const std::uint64_t short_enough =
            bound.longest == UINT32_MAX ? ~std::uint64_t{0} : lanes_no_longer_than(block, bound.longest);
        std::uint64_t holding =
            block.live & ~windows & short_enough;  // the short records holding words 0..i-1
        windows &= short_enough;
        // A short record enters only holding each of the first min_held
        // words: it must pass all their pre-filters before any is scanned,
        // and those words are scanned the longest first, which the fewest
        // records hold, so that the scans of the others find fewer lanes.
        const std::uint32_t required = std::min(bound.min_held, n);
        std::array<std::uint64_t, MAX_QUERY_WORDS> passing;
        for (std::uint32_t i = 0; i < required; ++i)
            holding &= passing[i] =
                lanes_lacking_at_most(block, query_.words[i], std::min(query_.words[i].k, bound.k));
        if (!holding && !windows) continue;
        for (std::uint32_t step = 0; step < n && (holding || windows); ++step) {
            const std::uint32_t i = step < required ? longest_first_[required - 1][step] : step;
            const QueryWord& word = query_.words[i];
            const int k = std::min(word.k, bound.k);
            LaneMatches& found = matches_[i];
            const std::uint64_t active =
                (holding | windows) & (i < required ? passing[i] : lanes_lacking_at_most(block, word, k));
            found.found = 0;
            if (active)
                scan_(k == 0 ? word.exact : word.compiled, static_cast<std::uint32_t>(k), block, active,
                      block.rows, found);
            if (step >= required) offer_lanes(block, shard, holding & ~found.found, i);
            holding &= found.found;
            for (std::uint64_t lanes = found.found & windows; lanes; lanes &= lanes - 1) {
                const int lane = std::countr_zero(lanes);
                if (!longs) longs = &longs_of(store, shard);
                longs->words[i].improve(store.longs().place(block.ids[lane]), found.errors[lane],
                                        found.end[lane]);
            }
        }
        if (holding) offer_lanes(block, shard, holding, n);
    }
}

void WordsScan::offer_lanes(const LaneBlock& block, std::uint32_t shard, std::uint64_t lanes,
                            std::uint32_t held) {
    for (; lanes; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        std::array<Match, MAX_QUERY_WORDS> matches;
        for (std::uint32_t i = 0; i < held; ++i)
            matches[i] = Match{matches_[i].errors[lane], matches_[i].end[lane]};
        const std::span<const Match> held_matches(matches.data(), held);
        const std::uint32_t length = block.lengths[lane];
        const Order order = order_of(shard, block.seqs[lane]);
        const auto n = static_cast<std::uint32_t>(query_.words.size());
        // The fits cost a pass over the words around each match: only for a
        // record that may enter.
        if (keep_ == Keep::ranking &&
            !ranking_.takes(
                RankedMatch{rank_key(least_fit(n, held_matches, length)), 0, order, 0, 0, 0, 0, false}))
            continue;
        const LaneText lane_text{&block, lane};
        const auto may_enter = [&](const RecordFit& known) {
            return score_of(known) >= query_.threshold &&
                   (keep_ == Keep::every ||
                    ranking_.takes(RankedMatch{rank_key(known), tie_key(known), order, 0, 0, 0, 0, false}));
        };
        const auto fit = fit_record(query_, held_matches, TextReader{length, &lane_text, LaneText::copy},
                                    caches_, may_enter);
        if (!fit) continue;
        if (keep_ == Keep::every)
            every_.push_back(QueryScan::Found{order, block.ids[lane]});
        else
            ranking_.offer(RankedMatch{rank_key(*fit), tie_key(*fit), order, block.ids[lane], fit->start,
                                       fit->end, score_of(*fit), false});
    }
}

namespace {

// Each long record that holds the first word, with its fit, over every
// scan's matches of its windows.
template <class Take>
void for_each_long_fit(const PreparedWords& query, std::span<WordsScan*> scans, const StoreOf& store_of,
                       Take&& take) {
    std::vector<std::uint32_t> shards;
    for (WordsScan* scan : scans)
        for (const auto& longs : scan->longs()) shards.push_back(longs.shard);
    std::sort(shards.begin(), shards.end());
    shards.erase(std::unique(shards.begin(), shards.end()), shards.end());
    std::vector<FitCache> caches(query.words.size());
    for (const std::uint32_t shard : shards) {
        const RecordStore& store = store_of(shard);
        std::vector<const WordsScan::ShardLongs*> found;
        for (WordsScan* scan : scans)
            for (const auto& longs : scan->longs())
                if (longs.shard == shard) found.push_back(&longs);
        for (std::size_t r = 0; r < store.longs().size(); ++r) {
            std::array<Match, MAX_QUERY_WORDS> matches;
            std::uint32_t held = 0;
            for (; held < query.words.size(); ++held) {
                const auto k = static_cast<std::uint32_t>(query.words[held].k);
                Match best{k + 1, 0};
                for (const auto* longs : found) {
                    const Match& match = longs->words[held].best(r);
                    if (match.errors < best.errors || (match.errors == best.errors && match.end < best.end))
                        best = match;
                }
                if (best.errors > k) break;
                matches[held] = best;
            }
            if (held == 0) continue;
            const auto record = static_cast<LongRecords::Index>(r);
            const LongText long_text{&store, record};
            const auto fit =
                fit_record(query, std::span<const Match>(matches.data(), held),
                           TextReader{store.longs().length(record), &long_text, LongText::copy}, caches,
                           [&](const RecordFit& known) { return score_of(known) >= query.threshold; });
            if (fit)
                take(RankedMatch{rank_key(*fit), tie_key(*fit), order_of(shard, store.longs().seq(record)),
                                 store.longs().id(record), fit->start, fit->end, score_of(*fit), true});
        }
    }
}

}  // namespace

std::vector<RankedMatch> finish_ranking(const PreparedWords& query, std::span<WordsScan*> scans,
                                        const StoreOf& store_of) {
    std::vector<std::vector<RankedMatch>> runs;
    for (WordsScan* scan : scans) runs.push_back(std::move(scan->kept()));
    std::vector<RankedMatch>& longs = runs.emplace_back();
    for_each_long_fit(query, scans, store_of, [&](const RankedMatch& match) { longs.push_back(match); });
    std::sort(longs.begin(), longs.end(), ranks_before);
    if (longs.size() > query.cap) longs.resize(query.cap);
    return merge(runs, query.cap);
}

std::vector<QueryScan::Found> finish_every(const PreparedWords& query, std::span<WordsScan*> scans,
                                           const StoreOf& store_of) {
    std::vector<QueryScan::Found> found;
    for (WordsScan* scan : scans) found.insert(found.end(), scan->every().begin(), scan->every().end());
    for_each_long_fit(query, scans, store_of, [&](const RankedMatch& match) {
        found.push_back(QueryScan::Found{match.order, match.id});
    });
    return found;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> word_spans(const PreparedWords& query,
                                                                const RecordStore& store,
                                                                const RankedMatch& match) {
    const auto missing = static_cast<std::size_t>(match.key >> MISSING_SHIFT);
    std::string text;  // as the lanes hold it: the spans are mapped to the record's text later
    store.append_lane_text(store.index_of_seq(static_cast<std::uint32_t>(match.order)), text);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    for (std::size_t i = 0; i + missing < query.words.size(); ++i) {
        const QueryWord& word = query.words[i];
        const auto found =
            best_match_forgiving(word.compiled.pattern, static_cast<std::uint32_t>(word.k), text);
        if (!found) break;  // never: the scan found it
        const std::size_t start = forgiving_start(word.compiled.pattern, found->errors,
                                                  std::string_view(text).substr(0, found->end));
        spans.emplace_back(static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(found->end));
    }
    return spans;
}

}  // namespace murvex::detail
