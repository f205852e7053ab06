#include "query_scan.hpp"

#include "murvex/fold.hpp"
#include "murvex/search.hpp"
#include "words_scan.hpp"

namespace murvex::detail {

namespace {

// The lanes of a block worth reading: records whose text is not empty, whose
// character mask has every bit of the pattern's, and that can still enter
// the ranking; and the error budget they need.
struct ActiveLanes {
    std::uint64_t active = 0;
    int k = -1;
};

// The lanes of `lanes` whose records come up to `order` in store order. A
// block's lanes mostly all come before the ranking's last entry or all
// after it: its seq bounds tell without a look at each lane.
std::uint64_t lanes_up_to(const LaneBlock& block, std::uint32_t shard, Order order,
                          std::uint64_t lanes) noexcept {
    if (order_of(shard, block.most_seq) <= order) return lanes;
    if (order_of(shard, block.least_seq) > order) return 0;
    std::uint64_t early = 0;
    for (; lanes; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        early |= std::uint64_t{order_of(shard, block.seqs[lane]) <= order} << lane;
    }
    return early;
}

ActiveLanes active_lanes(const LaneBlock& block, std::uint32_t shard, const CompiledQuery& query,
                         const Entry& entry) noexcept {
    std::uint64_t active = block.live;
    for (std::uint64_t bits = query.pattern.char_mask; bits && active; bits &= bits - 1)
        active &= block.lanes_with[std::countr_zero(bits)];
    if (entry.order == UINT64_MAX || !active) return ActiveLanes{active, entry.before};
    const std::uint64_t early = lanes_up_to(block, shard, entry.order, active);
    if (entry.after < 0) return ActiveLanes{early, entry.before};
    return ActiveLanes{active, early ? entry.before : entry.after};
}

}  // namespace

RunSettings run_settings(const Settings& settings, std::size_t m) noexcept {
    // Errors that cannot reach the threshold are not worth looking for.
    const int k =
        errors_reaching(settings.threshold, false, static_cast<int>(error_budget(settings.max_errors, m)));
    return RunSettings{settings.threshold, static_cast<std::size_t>(settings.max_results), k};
}

std::optional<PreparedQuery> prepare_query(std::string_view query, std::size_t records,
                                           const Settings& settings, Keep keep) noexcept {
    if (query.empty() || records == 0 || (keep == Keep::ranking && settings.max_results == 0))
        return std::nullopt;
    std::optional<PreparedQuery> prepared(std::in_place);
    prepared->compiled = compile_query(query);
    prepared->run = run_settings(settings, prepared->compiled.pattern.len);
    if (prepared->run.k < 0) return std::nullopt;  // a threshold above every score
    return prepared;
}

void QueryScan::offer(std::uint32_t id, Order order, bool windowed, const Match& match, bool again) noexcept {
    const std::size_t m = query_.pattern.len;
    const std::uint16_t score = score_milli(match.errors, match.end, m);
    if (score < run_.threshold) return;
    if (keep_ == Keep::every) {  // a long record's windows may add it again: the caller keeps one
        every_.push_back(Found{order, id});
        return;
    }
    const RankedMatch ranked{strict_key(score),
                             0,
                             order,
                             id,
                             static_cast<std::uint32_t>(match.end >= m ? match.end - m : 0),
                             static_cast<std::uint32_t>(match.end),
                             score,
                             windowed};
    if (again)
        ranking_.offer_again(ranked);
    else
        ranking_.offer(ranked);
}

LongMatches& QueryScan::longs_of(const RecordStore& store, std::uint32_t shard) {
    for (auto& [of, longs] : longs_)
        if (of == shard) return longs;
    return longs_.emplace_back(shard, LongMatches(store.longs().size(), static_cast<std::uint32_t>(run_.k)))
        .second;
}

// The lanes of a store that folds whose text folding changed hold the
// folded text: each such record is matched on its own text, one by one (a
// long one at its first window).
void QueryScan::scan_folded(const RecordStore& store, std::uint32_t shard, const LaneBlock& block,
                            std::uint64_t lanes, const Entry& entry) {
    std::string text;
    for (; lanes; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        bool windowed = false;
        std::uint32_t id = block.ids[lane];
        if (block.lengths[lane] & LaneBlock::WINDOW) {
            const WindowPlace window = store.longs().place(block.ids[lane]);
            if (window.offset != 0) continue;
            windowed = true;
            id = window.id;
        }
        const Order order = order_of(shard, block.seqs[lane]);
        const int k = entry.order == UINT64_MAX || order <= entry.order ? entry.before : entry.after;
        if (k < 0) continue;
        const std::size_t index = store.index_of_seq(block.seqs[lane]);
        text.clear();
        store.append_text(index, text);
        if ((char_mask(text) & query_.pattern.char_mask) != query_.pattern.char_mask) continue;
        if (const auto match = best_match(query_.pattern, static_cast<std::uint32_t>(k), text))
            offer(id, order, windowed, *match, false);
    }
}

std::pair<std::uint64_t, int> QueryScan::lanes_of(const RecordStore& store, std::uint32_t shard,
                                                  const LaneBlock& block) {
    const Entry everything{UINT64_MAX, run_.k, run_.k};  // what Keep::every lets in
    const auto entry = [&] { return keep_ == Keep::every ? everything : ranking_.entry(run_.k); };
    if (block.folded) scan_folded(store, shard, block, block.folded & block.live, entry());
    const ActiveLanes lanes = active_lanes(block, shard, query_, entry());  // after the folded lanes' offers
    return {lanes.active & ~block.folded, lanes.k};
}

void QueryScan::take(const RecordStore& store, std::uint32_t shard, const LaneBlock& block) {
    for (std::uint64_t found = matches_.found; found; found &= found - 1) {
        const int lane = std::countr_zero(found);
        const std::uint32_t errors = matches_.errors[lane], end = matches_.end[lane];
        if (!(block.lengths[lane] & LaneBlock::WINDOW)) {
            offer(block.ids[lane], order_of(shard, block.seqs[lane]), false, Match{errors, end}, false);
            continue;
        }
        const WindowPlace window = store.longs().place(block.ids[lane]);
        LongMatches& longs = longs_of(store, shard);
        if (const auto better = longs.improve(window, errors, end))
            offer(window.id, order_of(shard, window.seq), true, *better, true);
    }
}

bool QueryScan::idle() const noexcept { return run_.k < 0 || (run_.cap == 0 && keep_ == Keep::ranking); }

void QueryScan::scan(const RecordStore& store, std::uint32_t shard, std::size_t first, std::size_t last) {
    if (idle()) return;
    for (std::size_t b = first; b < last; ++b) {
        const LaneBlock block = store.block(b);
        const auto [active, k] = lanes_of(store, shard, block);
        if (!active) continue;
        scan_(query_, static_cast<std::uint32_t>(k), block, active, block.rows, matches_);
        take(store, shard, block);
    }
}

void QueryScan::scan_together(std::span<std::optional<QueryScan>> scans, const RecordStore& store,
                              std::uint32_t shard, std::size_t first, std::size_t last, ScanPack scan_pack,
                              std::size_t pack) {
    if (pack < 2 || scans.size() < 2) {
        for (auto& scan : scans)
            if (scan) scan->scan(store, shard, first, last);
        return;
    }
    // The packs being filled: one of each mode and budget (a pack runs at
    // its largest budget).
    struct Filling {
        std::array<QueryScan*, MAX_PACK> scans;
        std::array<PackMember, MAX_PACK> members;
        std::size_t count = 0;
    };
    constexpr std::size_t BUDGETS = MAX_ERRORS + 1;
    std::array<Filling, 2 * BUDGETS> packs;
    const auto run = [&](Filling& filled, const LaneBlock& block) {
        scan_pack(std::span(filled.members.data(), filled.count), block);
        for (std::size_t m = 0; m < filled.count; ++m) filled.scans[m]->take(store, shard, block);
        filled.count = 0;
    };
    for (std::size_t b = first; b < last; ++b) {
        const LaneBlock block = store.block(b);
        for (auto& scan : scans) {
            if (!scan || scan->idle()) continue;
            const auto [active, k] = scan->lanes_of(store, shard, block);
            if (!active) continue;
            const CompiledQuery& query = scan->query_;
            // Few lanes: alone, jumping over the rows where all are idle.
            if (std::popcount(active) <= SPARSE_LANES) {
                scan->scan_(query, static_cast<std::uint32_t>(k), block, active, block.rows, scan->matches_);
                scan->take(store, shard, block);
                continue;
            }
            Filling& filled = packs[(query.forgiving ? BUDGETS : 0) + static_cast<std::size_t>(k)];
            filled.scans[filled.count] = &*scan;
            filled.members[filled.count++] =
                PackMember{&query, static_cast<std::uint32_t>(k), active, &scan->matches_};
            if (filled.count == std::min(pack, MAX_PACK)) run(filled, block);
        }
        for (Filling& filled : packs)
            if (filled.count) run(filled, block);
    }
}

std::vector<RankedMatch> merge(std::span<std::vector<RankedMatch>> runs, std::size_t cap) {
    if (runs.size() == 1) return std::move(runs[0]);
    std::vector<RankedMatch> all;
    for (const auto& run : runs) all.insert(all.end(), run.begin(), run.end());
    // Among equal scores and places (one long record), the first end first.
    std::sort(all.begin(), all.end(), [](const RankedMatch& a, const RankedMatch& b) {
        return ranks_before(a, b) || (!ranks_before(b, a) && a.end < b.end);
    });
    std::vector<RankedMatch> best;
    best.reserve(std::min(cap, all.size()));
    for (const RankedMatch& match : all) {
        if (best.size() == cap) break;
        if (match.windowed && std::any_of(best.begin(), best.end(),
                                          [&](const RankedMatch& kept) { return kept.order == match.order; }))
            continue;  // a worse match of a long record already kept
        best.push_back(match);
    }
    return best;
}

std::vector<ResultEntry> entries_of(const std::vector<RankedMatch>& ranked) {
    std::vector<ResultEntry> entries;
    entries.reserve(ranked.size());
    for (const RankedMatch& r : ranked)
        entries.push_back(ResultEntry{r.id, thousandths_as_float(r.score_milli), r.start, r.end});
    return entries;
}

}  // namespace murvex::detail

namespace murvex {

std::vector<ResultEntry> search(const Engine& engine, std::string_view query, Kernel kernel) {
    if (engine.settings.forgiving || engine.settings.words) {
        const auto prepared = detail::prepare_words(query, engine.records.count(), engine.settings);
        if (!prepared) return {};
        detail::WordsScan scan(*prepared, detail::kernel_form(kernel).scan);
        scan.scan(engine.records, 0, 0, engine.records.block_count());
        detail::WordsScan* scans[] = {&scan};
        return detail::entries_of(detail::finish_ranking(
            *prepared, scans, [&](std::uint32_t) -> const RecordStore& { return engine.records; }));
    }
    const auto prepared = detail::prepare_query(query, engine.records.count(), engine.settings);
    if (!prepared) return {};
    detail::QueryScan scan(prepared->compiled, prepared->run, detail::kernel_form(kernel).scan);
    scan.scan(engine.records, 0, 0, engine.records.block_count());
    return detail::entries_of(scan.kept());
}

}  // namespace murvex
