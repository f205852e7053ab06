#include "murvex/search.hpp"

#include <algorithm>

#include "murvex/bitap.hpp"

namespace murvex {

namespace {

struct RankedMatch {
    std::uint32_t id;
    std::uint16_t score_milli;
    std::uint32_t start;
    std::uint32_t end;
};

// The best `cap` matches offered so far, best first; among equal scores the
// one offered first stands first. Room is reserved once and never grows.
class Ranking {
public:
    explicit Ranking(std::size_t cap) : cap_(cap) { kept_.reserve(cap); }

    // Whether a match with this score would be kept; a full ranking refuses
    // with one comparison against its last entry.
    bool admits(std::uint16_t score) const noexcept {
        return kept_.size() < cap_ || (cap_ > 0 && kept_.back().score_milli < score);
    }

    void offer(const RankedMatch& match) noexcept {
        if (!admits(match.score_milli)) return;
        if (kept_.size() == cap_) kept_.pop_back();
        const auto at = std::find_if(kept_.begin(), kept_.end(),
                                     [&](const RankedMatch& r) { return r.score_milli < match.score_milli; });
        kept_.insert(at, match);  // within the reserved room: cannot throw
    }

    const std::vector<RankedMatch>& kept() const noexcept { return kept_; }

private:
    std::size_t cap_;
    std::vector<RankedMatch> kept_;
};

}  // namespace

std::uint16_t score_milli(std::uint32_t errors, std::size_t end, std::size_t m) noexcept {
    const int base = 1000 - 250 * static_cast<int>(errors);
    const int bonus = end <= m ? 50 : end < m + 10 ? 25 : 0;
    return static_cast<std::uint16_t>(std::min(1000, base + bonus));
}

std::vector<ResultEntry> search(const Engine& engine, std::string_view query) {
    const RecordStore& records = engine.records;
    const Settings& settings = engine.settings;
    if (query.empty() || records.count() == 0 || settings.max_results == 0) return {};

    const Pattern pattern = compile(query);
    const std::size_t m = pattern.len;
    const std::uint32_t k = error_budget(settings.max_errors, m);
    Ranking ranking(static_cast<std::size_t>(settings.max_results));

    for (std::size_t i = 0; i < records.count(); ++i) {
        const Record record = records[i];
        if ((pattern.char_mask & ~record.char_mask) != 0 || record.text.empty()) continue;
        const auto match = best_match(pattern, k, record.text);
        if (!match) continue;
        const std::uint16_t score = score_milli(match->errors, match->end, m);
        if (score < settings.threshold || !ranking.admits(score)) continue;
        const std::size_t start = match->end >= m ? match->end - m : 0;
        ranking.offer(RankedMatch{record.id, score, static_cast<std::uint32_t>(start),
                                  static_cast<std::uint32_t>(match->end)});
    }

    std::vector<ResultEntry> entries;
    entries.reserve(ranking.kept().size());
    for (const RankedMatch& r : ranking.kept())
        entries.push_back(ResultEntry{r.id, static_cast<float>(r.score_milli) / 1000.0f, r.start, r.end});
    return entries;
}

}  // namespace murvex
