#include "murvex/search.hpp"

#include <algorithm>
#include <bit>

#include "kernels/kernels.hpp"

namespace murvex {

namespace {

struct RankedMatch {
    std::uint32_t id;
    std::uint32_t seq;  // store order
    std::uint16_t score_milli;
    std::uint32_t start;
    std::uint32_t end;
};

// True when a ranks before b: higher score first, then earlier in the store.
bool ranks_before(const RankedMatch& a, const RankedMatch& b) noexcept {
    return a.score_milli != b.score_milli ? a.score_milli > b.score_milli : a.seq < b.seq;
}

// What a record must do to enter the ranking: records up to `seq` in the
// store need at most `before` errors, later ones at most `after` (-1: they
// cannot enter at all). The record at `seq` itself is the ranking's last
// entry, a long one met again in another window: a match as good as the one
// it has may still end earlier.
struct Entry {
    std::uint32_t seq;
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
        if (kept_.size() < cap_) return Entry{UINT32_MAX, k, k};
        const RankedMatch& last = kept_.back();
        return Entry{last.seq, errors_reaching(last.score_milli, false, k),
                     errors_reaching(last.score_milli, true, k)};
    }

    // A better match of a record that may be kept already: its entry, if
    // any, goes and the new match is offered. As a record's matches only get
    // better, the ranking ends as if only its best had been offered.
    void offer_again(const RankedMatch& match) noexcept {
        const auto same = std::find_if(kept_.begin(), kept_.end(),
                                       [&](const RankedMatch& r) { return r.seq == match.seq; });
        if (same != kept_.end()) kept_.erase(same);
        offer(match);
    }

    const std::vector<RankedMatch>& kept() const noexcept { return kept_; }

private:
    std::size_t cap_;
    std::vector<RankedMatch> kept_;
};

// What every record's match goes through once it is found.
class Scorer {
public:
    Scorer(const Settings& settings, std::size_t m) : threshold_(settings.threshold), m_(m) {}

    // `again`: the record may have been offered before, with a worse match.
    void offer(Ranking& ranking, std::uint32_t id, std::uint32_t seq, const Match& match,
               bool again = false) const noexcept {
        const std::uint16_t score = score_milli(match.errors, match.end, m_);
        if (score < threshold_) return;
        const std::size_t start = match.end >= m_ ? match.end - m_ : 0;
        const RankedMatch ranked{id, seq, score, static_cast<std::uint32_t>(start),
                                 static_cast<std::uint32_t>(match.end)};
        if (again)
            ranking.offer_again(ranked);
        else
            ranking.offer(ranked);
    }

private:
    std::uint16_t threshold_;
    std::size_t m_;
};

// The lanes of a block worth reading: records whose text is not empty, whose
// character mask has every bit of the pattern's, and that can still enter
// the ranking; and the error budget they need.
struct ActiveLanes {
    std::uint64_t active = 0;
    int k = -1;
};

ActiveLanes active_lanes(const LaneBlock& block, std::uint64_t pattern_mask, const Entry& entry) noexcept {
    std::uint64_t active = block.live;
    for (std::uint64_t bits = pattern_mask; bits && active; bits &= bits - 1)
        active &= block.lanes_with[std::countr_zero(bits)];
    if (entry.seq == UINT32_MAX || !active) return ActiveLanes{active, entry.before};
    std::uint64_t early = 0;  // lanes up to the ranking's last entry in store order
    for (std::uint64_t lanes = active; lanes; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        early |= std::uint64_t{block.seqs[lane] <= entry.seq} << lane;
    }
    if (entry.after < 0) return ActiveLanes{early, entry.before};
    return ActiveLanes{active, early ? entry.before : entry.after};
}

}  // namespace

std::vector<ResultEntry> search(const Engine& engine, std::string_view query, Kernel kernel) {
    const RecordStore& records = engine.records;
    const Settings& settings = engine.settings;
    if (query.empty() || records.count() == 0 || settings.max_results == 0) return {};

    const detail::CompiledQuery compiled = detail::compile_query(query);
    const std::size_t m = compiled.pattern.len;
    const Scorer scorer(settings, m);
    // Errors that cannot reach the threshold are not worth looking for.
    const int k =
        errors_reaching(settings.threshold, false, static_cast<int>(error_budget(settings.max_errors, m)));
    if (k < 0) return {};  // a threshold above every score
    Ranking ranking(static_cast<std::size_t>(settings.max_results));

    const detail::ScanBlock scan = detail::kernel_form(kernel).scan;
    detail::LaneMatches matches;
    LongMatches longs(records.longs().size(), static_cast<std::uint32_t>(k));
    for (std::size_t b = 0; b < records.block_count(); ++b) {
        const LaneBlock block = records.block(b);
        const ActiveLanes lanes = active_lanes(block, compiled.pattern.char_mask, ranking.entry(k));
        if (!lanes.active) continue;
        scan(compiled, static_cast<std::uint32_t>(lanes.k), block, lanes.active, block.rows, matches);
        for (std::uint64_t found = matches.found; found; found &= found - 1) {
            const int lane = std::countr_zero(found);
            const std::uint32_t errors = matches.errors[lane];
            if (!(block.lengths[lane] & LaneBlock::WINDOW)) {
                scorer.offer(ranking, block.ids[lane], block.seqs[lane], Match{errors, matches.end[lane]});
                continue;
            }
            const WindowPlace window = records.longs().place(block.ids[lane]);
            if (const auto better = longs.improve(window, errors, matches.end[lane]))
                scorer.offer(ranking, window.id, window.seq, *better, true);
        }
    }
    std::vector<ResultEntry> entries;
    entries.reserve(ranking.kept().size());
    for (const RankedMatch& r : ranking.kept())
        entries.push_back(ResultEntry{r.id, static_cast<float>(r.score_milli) / 1000.0f, r.start, r.end});
    return entries;
}

}  // namespace murvex
