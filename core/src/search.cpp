#include "murvex/search.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "lanes.hpp"
#include "murvex/bitap.hpp"

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

    const std::vector<RankedMatch>& kept() const noexcept { return kept_; }

private:
    std::size_t cap_;
    std::vector<RankedMatch> kept_;
};

// What every record's match goes through once it is found.
class Scorer {
public:
    Scorer(const Settings& settings, std::size_t m) : threshold_(settings.threshold), m_(m) {}

    void offer(Ranking& ranking, std::uint32_t id, std::uint32_t seq, const Match& match) const noexcept {
        const std::uint16_t score = score_milli(match.errors, match.end, m_);
        if (score < threshold_) return;
        const std::size_t start = match.end >= m_ ? match.end - m_ : 0;
        ranking.offer(RankedMatch{id, seq, score, static_cast<std::uint32_t>(start),
                                  static_cast<std::uint32_t>(match.end)});
    }

private:
    std::uint16_t threshold_;
    std::size_t m_;
};

// The lanes of a block worth reading: records whose text is not empty and
// whose character mask has every bit of the pattern's.
std::uint64_t active_lanes(const LaneBlock& block, std::uint64_t pattern_mask, std::size_t& rows) noexcept {
    // Branch-free: whether a lane passes the pre-filter is as good as random.
    std::uint64_t active = 0;
    std::size_t longest = 0;
    for (std::size_t lane = 0; lane < LANES; ++lane) {
        const std::uint16_t length = block.lengths[lane];
        const bool wanted = (length != LaneBlock::FREE_LANE) & (length != 0) &
                            ((pattern_mask & ~block.char_masks[lane]) == 0);
        active |= std::uint64_t{wanted} << lane;
        longest = std::max<std::size_t>(longest, wanted ? length : 0);
    }
    rows = longest;
    return active;
}

// The matcher on each active lane in turn, for CPUs without the lane kernel.
void scan_lanes_one_by_one(const Pattern& pattern, std::uint32_t k, const LaneBlock& block,
                           std::uint64_t active, std::string& text, detail::LaneMatches& matches) {
    matches.errors.fill(static_cast<std::uint8_t>(k + 1));
    for (; active; active &= active - 1) {
        const int lane = std::countr_zero(active);
        text.resize(block.lengths[lane]);
        for (std::size_t p = 0; p < text.size(); ++p)
            text[p] = static_cast<char>(block.data[p * LANES + lane]);
        if (const auto match = best_match(pattern, k, text)) {
            matches.errors[lane] = static_cast<std::uint8_t>(match->errors);
            matches.end[lane] = static_cast<std::uint32_t>(match->end);
        }
    }
}

// The form of the lane kernel a search runs; none for one record at a time.
detail::LaneIsa lane_isa_for(Kernel kernel) noexcept {
    const detail::LaneIsa widest = detail::lane_isa();
    switch (kernel) {
        case Kernel::one_by_one: return detail::LaneIsa::none;
        case Kernel::avx2: return widest == detail::LaneIsa::none ? widest : detail::LaneIsa::avx2;
        default: return widest;
    }
}

}  // namespace

std::uint16_t score_milli(std::uint32_t errors, std::size_t end, std::size_t m) noexcept {
    const int base = 1000 - 250 * static_cast<int>(errors);
    const int bonus = end <= m ? 50 : end < m + 10 ? 25 : 0;
    return static_cast<std::uint16_t>(std::min(1000, base + bonus));
}

std::vector<ResultEntry> search(const Engine& engine, std::string_view query, Kernel kernel) {
    const RecordStore& records = engine.records;
    const Settings& settings = engine.settings;
    if (query.empty() || records.count() == 0 || settings.max_results == 0) return {};

    const Pattern pattern = compile(query);
    const std::uint32_t k = error_budget(settings.max_errors, pattern.len);
    const Scorer scorer(settings, pattern.len);
    Ranking ranking(static_cast<std::size_t>(settings.max_results));

    const detail::LaneIsa isa = lane_isa_for(kernel);
    const detail::LanePattern lane_pattern = detail::lane_pattern(pattern);
    detail::LaneMatches matches;
    std::string text;  // a lane's text, for the one-by-one scan
    for (std::size_t b = 0; b < records.block_count(); ++b) {
        const LaneBlock block = records.block(b);
        std::size_t rows = 0;
        const std::uint64_t active = active_lanes(block, pattern.char_mask, rows);
        if (!active) continue;
        if (isa != detail::LaneIsa::none)
            detail::scan_lanes(isa, lane_pattern, k, block, active, rows, matches);
        else
            scan_lanes_one_by_one(pattern, k, block, active, text, matches);
        for (std::uint64_t found = active; found; found &= found - 1) {
            const int lane = std::countr_zero(found);
            if (matches.errors[lane] <= k)
                scorer.offer(ranking, block.ids[lane], block.seqs[lane],
                             Match{matches.errors[lane], matches.end[lane]});
        }
    }
    for (std::size_t i = 0; i < records.long_count(); ++i) {
        const LongRecord record = records.long_record(i);
        if (!record.live || (pattern.char_mask & ~record.char_mask)) continue;
        if (const auto match = best_match(pattern, k, record.text))
            scorer.offer(ranking, record.id, record.seq, *match);
    }

    std::vector<ResultEntry> entries;
    entries.reserve(ranking.kept().size());
    for (const RankedMatch& r : ranking.kept())
        entries.push_back(ResultEntry{r.id, static_cast<float>(r.score_milli) / 1000.0f, r.start, r.end});
    return entries;
}

}  // namespace murvex
