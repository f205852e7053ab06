#include "murvex/index.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <tuple>
#include <type_traits>

#include "query_scan.hpp"
#include "words_scan.hpp"

namespace murvex {

namespace {

// A stretch of one shard's blocks, searched as one task.
struct Piece {
    std::uint32_t shard;
    std::size_t first, last;
};

// Fewer blocks than this are not worth a task of their own: waking a helper
// costs about what scanning them does.
constexpr std::size_t MIN_PIECE_BLOCKS = 32;
// Tasks per worker, so that workers that finish early take over the rest.
constexpr std::size_t PIECES_PER_WORKER = 4;

std::vector<Piece> pieces_of(const ShardedIndex& index, std::size_t workers) {
    std::size_t blocks = 0;
    for (std::size_t s = 0; s < index.shard_count(); ++s) blocks += index.shard(s).block_count();
    const std::size_t size = workers <= 1
                                 ? blocks + 1
                                 : std::max(MIN_PIECE_BLOCKS, (blocks + workers * PIECES_PER_WORKER - 1) /
                                                                  (workers * PIECES_PER_WORKER));
    std::vector<Piece> pieces;
    for (std::size_t s = 0; s < index.shard_count(); ++s) {
        const std::size_t count = index.shard(s).block_count();
        for (std::size_t first = 0; first < count; first += size)
            pieces.push_back(Piece{static_cast<std::uint32_t>(s), first, std::min(count, first + size)});
    }
    return pieces;
}

}  // namespace

ShardedIndex::ShardedIndex(Settings settings, std::size_t shard_capacity, bool folds)
    : shard_capacity_(std::clamp<std::size_t>(shard_capacity, 1, MAX_RECORDS)),
      settings_(settings),
      folds_(folds) {}

template <class Append>
void ShardedIndex::append_one(bool new_shard, const Append& append) {
    const bool grow = new_shard || shards_.empty() || shards_.back()->count() >= shard_capacity_;
    if (grow) {
        shards_.reserve(shards_.size() + 1);
        shards_.push_back(std::make_unique<RecordStore>(folds_));
    }
    try {
        append(*shards_.back());
    } catch (...) {
        if (grow) shards_.pop_back();
        throw;
    }
    ++count_;
}

void ShardedIndex::append_joined(std::uint32_t id, std::span<const std::string_view> parts, bool new_shard) {
    append_one(new_shard, [&](RecordStore& shard) { shard.append_joined(id, parts); });
}

void ShardedIndex::append_folded(std::uint32_t id, RecordStore::FoldedChunk& folded, bool new_shard) {
    append_one(new_shard, [&](RecordStore& shard) { shard.append_folded(id, folded); });
}

void ShardedIndex::append_many(std::span<const std::uint32_t> ids, std::span<const std::string_view> texts,
                               bool new_shard, WorkerPool* pool, std::size_t workers) {
    const auto append = [&](std::size_t first, std::size_t n, std::size_t, RecordStore& shard) {
        shard.append_many(ids.subspan(first, n), texts.subspan(first, n));
    };
    append_runs(texts.size(), append, new_shard, pool, workers);
}

void ShardedIndex::append_runs(std::size_t count, const RunBuilder& build, bool new_shard, WorkerPool* pool,
                               std::size_t workers) {
    if (count == 0) return;
    // The rest of the last shard, unless the records start a new one, then a
    // new shard for every shard_capacity records.
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // (first, n)
    std::size_t first = 0;
    const std::size_t room = new_shard || shards_.empty() ? 0 : shard_capacity_ - shards_.back()->count();
    if (room > 0) {
        first = std::min(room, count);
        runs.emplace_back(0, first);
    }
    const std::size_t first_new = runs.size();
    for (; first < count; first += shard_capacity_)
        runs.emplace_back(first, std::min(shard_capacity_, count - first));
    const std::size_t first_shard = add_shards(runs.size() - first_new) - first_new;
    const auto append = [&](std::size_t r, std::size_t slot, RecordStore& shard) {
        build(runs[r].first, runs[r].second, slot, shard);
    };
    fill(first_shard, first_shard + first_new, runs.size(), append, pool, workers);
}

void ShardedIndex::append_shards(std::size_t count, const ShardBuilder& build, WorkerPool* pool,
                                 std::size_t workers) {
    const std::size_t first = add_shards(count);
    fill(first, first, count, build, pool, workers);
}

std::size_t ShardedIndex::add_shards(std::size_t count) {
    const std::size_t before = shards_.size();
    try {
        shards_.reserve(before + count);
        for (std::size_t s = 0; s < count; ++s) shards_.push_back(std::make_unique<RecordStore>(folds_));
    } catch (...) {
        shards_.resize(before);
        throw;
    }
    return before;
}

void ShardedIndex::fill(std::size_t first_shard, std::size_t first_new, std::size_t count,
                        const ShardBuilder& build, WorkerPool* pool, std::size_t workers) {
    std::vector<std::size_t> before(count);
    for (std::size_t r = 0; r < count; ++r) before[r] = shards_[first_shard + r]->count();
    std::vector<std::exception_ptr> errors(count);
    const auto body = [&](std::size_t r, std::size_t slot) {
        try {
            build(r, slot, *shards_[first_shard + r]);
        } catch (...) {
            errors[r] = std::current_exception();
        }
    };
    if (pool && workers > 1 && count > 1) {
        try {
            pool->run(count, std::min(workers, count), body);
        } catch (...) {  // the loop could not start: nothing ran
            errors[0] = std::current_exception();
        }
    } else {
        for (std::size_t r = 0; r < count && !(r > 0 && errors[r - 1]); ++r) body(r, 0);
    }

    // Up to the first failure the records stay; after it, none does: the
    // later shards go, and the failing one too when this call made it and it
    // holds nothing.
    std::size_t r = 0;
    for (; r < count && !errors[r]; ++r) count_ += shards_[first_shard + r]->count() - before[r];
    if (r == count) return;
    count_ += shards_[first_shard + r]->count() - before[r];
    std::size_t keep = first_shard + r + 1;
    if (keep - 1 >= first_new && shards_[keep - 1]->count() == 0) --keep;
    shards_.resize(keep);
    std::rethrow_exception(errors[r]);
}

void ShardedIndex::truncate_records(std::size_t count) noexcept {
    while (count_ > count) {
        RecordStore& last = *shards_.back();
        const std::size_t drop = std::min(last.count(), count_ - count);
        for (std::size_t i = 0; i < drop; ++i) last.pop_back();
        count_ -= drop;
        if (last.count() == 0) shards_.pop_back();
    }
}

void ShardedIndex::reserve(std::size_t more) {
    if (shards_.empty() || more == 0) return;
    RecordStore& last = *shards_.back();
    last.reserve(std::min(shard_capacity_, last.count() + more));
}

bool ShardedIndex::remove(std::uint32_t id) noexcept {
    for (std::size_t s = 0; s < shards_.size(); ++s)
        if (remove_from(s, id)) return true;
    return false;
}

bool ShardedIndex::remove_from(std::size_t shard, std::uint32_t id) noexcept {
    if (shard >= shards_.size() || !shards_[shard]->remove(id)) return false;
    --count_;
    return true;
}

std::vector<std::uint32_t> ShardedIndex::shards_holding(std::uint32_t id) const {
    std::vector<std::uint32_t> holding;
    for (std::size_t s = 0; s < shards_.size(); ++s) {
        const RecordStore& store = *shards_[s];
        for (std::size_t i = 0; i < store.count(); ++i)
            if (store.id(i) == id) {
                holding.push_back(static_cast<std::uint32_t>(s));
                break;
            }
    }
    return holding;
}

std::pair<std::uint32_t, std::string> ShardedIndex::record(std::size_t position) const {
    for (const auto& shard : shards_) {
        if (position < shard->count()) return {shard->id(position), shard->text(position)};
        position -= shard->count();
    }
    return {0, {}};
}

void ShardedIndex::reset() noexcept {
    shards_.clear();
    count_ = 0;
}

void ShardedIndex::truncate(std::size_t shards) noexcept {
    while (shards_.size() > shards) {
        count_ -= shards_.back()->count();
        shards_.pop_back();
    }
}

namespace {

// The lane bytes that the queries of a batch read in turn before the batch
// moves on: they stay in the core's L2 cache meanwhile, so each byte comes
// from memory once per batch rather than once per query.
constexpr std::size_t BATCH_GROUP_BYTES = std::size_t{256} << 10;
// The most queries in a batch: more would push the group out of L2 with
// their own state.
constexpr std::size_t MAX_BATCH_QUERIES = 64;

// The scans of a batch of `count` queries, one for each query on each
// participant (made by make(scan, q); one left empty takes no part), over
// the pieces of the index that scan_all's would take: each piece a group of
// blocks at a time, every query reading a group before the next one. Each
// query's scans then hold what scan_all's would.
template <class Scan, class Make>
std::vector<std::vector<std::optional<Scan>>> scan_batch(const ShardedIndex& index, std::size_t count,
                                                         const SearchOptions& options, const Make& make) {
    const std::size_t workers = options.pool ? std::max<std::size_t>(options.workers, 1) : 1;
    const std::vector<Piece> pieces = pieces_of(index, workers);
    const detail::KernelForm& form = detail::kernel_form(options.kernel);
    std::vector<std::vector<std::optional<Scan>>> scans(
        std::max<std::size_t>(1, std::min(workers, pieces.size())));
    for (auto& own : scans) {
        own = std::vector<std::optional<Scan>>(count);
        for (std::size_t q = 0; q < count; ++q) make(own[q], q);
    }
    const auto body = [&](std::size_t task, std::size_t slot) {
        const Piece& piece = pieces[task];
        const RecordStore& store = index.shard(piece.shard);
        for (std::size_t first = piece.first, last = 0; first < piece.last; first = last) {
            std::size_t bytes = 0;
            for (last = first; last < piece.last && (last == first || bytes < BATCH_GROUP_BYTES); ++last)
                bytes += store.block(last).rows * LANES;
            if constexpr (std::is_same_v<Scan, detail::QueryScan>)
                detail::QueryScan::scan_together(scans[slot], store, piece.shard, first, last, form.scan_pack,
                                                 form.pack);
            else
                for (auto& scan : scans[slot])
                    if (scan) scan->scan(store, piece.shard, first, last);
        }
    };
    if (scans.size() > 1)
        options.pool->run(pieces.size(), scans.size(), body);
    else
        for (std::size_t task = 0; task < pieces.size(); ++task) body(task, 0);
    return scans;
}

// The query's scans over every shard of the index, one per participant (its
// ranking prunes every piece it takes), on up to options.workers threads:
// scans[s][0] for participant s.
template <class Scan, class Query>
auto scan_all(const ShardedIndex& index, const Query& query, detail::Keep keep, const SearchOptions& options,
              auto... run) {
    return scan_batch<Scan>(index, 1, options, [&](auto& one, std::size_t) {
        one.emplace(query, run..., detail::kernel_form(options.kernel).scan, keep);
    });
}

// The words-mode scans, finished with `finish`.
template <class Finish>
auto scan_words(const ShardedIndex& index, const detail::PreparedWords& query, detail::Keep keep,
                const SearchOptions& options, Finish&& finish) {
    auto scans = scan_all<detail::WordsScan>(index, query, keep, options);
    std::vector<detail::WordsScan*> each(scans.size());
    for (std::size_t s = 0; s < scans.size(); ++s) each[s] = &*scans[s][0];
    return finish(query, std::span(each),
                  [&](std::uint32_t shard) -> const RecordStore& { return index.shard(shard); });
}

// In index order; a long record found by several scans once.
std::vector<std::uint32_t> ids_in_order(std::vector<detail::QueryScan::Found>& found) {
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    found.erase(std::unique(found.begin(), found.end(),
                            [](const auto& a, const auto& b) { return a.order == b.order; }),
                found.end());
    std::vector<std::uint32_t> ids(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) ids[i] = found[i].id;
    return ids;
}

IndexHit hit_of(const detail::RankedMatch& r) {
    return IndexHit{static_cast<std::uint32_t>(r.order >> 32),
                    ResultEntry{r.id, thousandths_as_float(r.score_milli), r.start, r.end},
                    {{r.start, r.end}},
                    {r.key, r.tie}};
}

// The hits of a strict query from its scans' rankings.
std::vector<IndexHit> strict_hits(std::span<std::vector<detail::RankedMatch>> kept, std::size_t cap) {
    std::vector<IndexHit> hits;
    for (const detail::RankedMatch& r : detail::merge(kept, cap)) hits.push_back(hit_of(r));
    return hits;
}

// The hits of a query of the forgiving or words mode from its scans.
std::vector<IndexHit> words_hits(const ShardedIndex& index, const detail::PreparedWords& prepared, bool words,
                                 std::span<detail::WordsScan*> scans) {
    std::vector<IndexHit> hits;
    const auto store_of = [&](std::uint32_t shard) -> const RecordStore& { return index.shard(shard); };
    for (const detail::RankedMatch& r : detail::finish_ranking(prepared, scans, store_of)) {
        IndexHit& hit = hits.emplace_back(hit_of(r));
        if (words) {
            hit.spans = detail::word_spans(prepared, index.shard(hit.shard), r);
            hit.spans.resize(prepared.words.size(), NO_SPAN);
        }
        // The matches are in the text the lanes hold: in the record's own
        // text, they cover whole characters.
        const RecordStore& store = index.shard(hit.shard);
        if (!store.folds()) continue;
        hit.spans.emplace_back(hit.entry.start, hit.entry.end);
        store.text_spans(store.index_of_seq(static_cast<std::uint32_t>(r.order)), hit.spans);
        std::tie(hit.entry.start, hit.entry.end) = hit.spans.back();
        hit.spans.pop_back();
    }
    return hits;
}

// A batch of queries of one mode run over the index together; their results
// into `results`.
void search_batch(const ShardedIndex& index, std::span<const std::string_view> queries,
                  std::span<std::vector<IndexHit>> results, const Settings& settings, bool folds,
                  const SearchOptions& options) {
    const detail::ScanBlock scan = detail::kernel_form(options.kernel).scan;
    const std::size_t n = queries.size();
    if (settings.forgiving || settings.words) {
        std::vector<std::optional<detail::PreparedWords>> prepared(n);
        for (std::size_t q = 0; q < n; ++q)
            prepared[q] =
                detail::prepare_words(queries[q], index.count(), settings, detail::Keep::ranking, folds);
        auto scans = scan_batch<detail::WordsScan>(index, n, options, [&](auto& one, std::size_t q) {
            if (prepared[q]) one.emplace(*prepared[q], scan);
        });
        std::vector<detail::WordsScan*> each(scans.size());
        for (std::size_t q = 0; q < n; ++q) {
            if (!prepared[q]) continue;
            for (std::size_t s = 0; s < scans.size(); ++s) each[s] = &*scans[s][q];
            results[q] = words_hits(index, *prepared[q], settings.words, each);
        }
        return;
    }
    std::vector<std::optional<detail::PreparedQuery>> prepared(n);
    for (std::size_t q = 0; q < n; ++q)
        prepared[q] = detail::prepare_query(queries[q], index.count(), settings);
    auto scans = scan_batch<detail::QueryScan>(index, n, options, [&](auto& one, std::size_t q) {
        if (prepared[q]) one.emplace(prepared[q]->compiled, prepared[q]->run, scan);
    });
    std::vector<std::vector<detail::RankedMatch>> kept(scans.size());
    for (std::size_t q = 0; q < n; ++q) {
        if (!prepared[q]) continue;
        for (std::size_t s = 0; s < scans.size(); ++s) kept[s] = std::move(scans[s][q]->kept());
        results[q] = strict_hits(kept, prepared[q]->run.cap);
    }
}

}  // namespace

std::vector<IndexHit> ShardedIndex::search(std::string_view query, const SearchOptions& options) const {
    const Settings& settings = options.settings ? *options.settings : settings_;
    if (settings.forgiving || settings.words) {
        const auto prepared = detail::prepare_words(query, count_, settings, detail::Keep::ranking, folds_);
        if (!prepared) return {};
        return scan_words(*this, *prepared, detail::Keep::ranking, options,
                          [&](const detail::PreparedWords& words, std::span<detail::WordsScan*> each,
                              const auto&) { return words_hits(*this, words, settings.words, each); });
    }
    const auto prepared = detail::prepare_query(query, count_, settings);
    if (!prepared) return {};
    std::vector<std::vector<detail::RankedMatch>> kept;
    for (auto& one : scan_all<detail::QueryScan>(*this, prepared->compiled, detail::Keep::ranking, options,
                                                 prepared->run))
        kept.push_back(std::move(one[0]->kept()));
    return strict_hits(kept, prepared->run.cap);
}

std::vector<std::uint32_t> ShardedIndex::matching_ids(std::string_view query,
                                                      const SearchOptions& options) const {
    const Settings& settings = options.settings ? *options.settings : settings_;
    std::vector<detail::QueryScan::Found> found;
    if (settings.forgiving || settings.words) {
        const auto prepared = detail::prepare_words(query, count_, settings, detail::Keep::every, folds_);
        if (!prepared) return {};
        found = scan_words(*this, *prepared, detail::Keep::every, options, detail::finish_every);
        return ids_in_order(found);
    }
    const auto prepared = detail::prepare_query(query, count_, settings, detail::Keep::every);
    if (!prepared) return {};
    for (auto& one :
         scan_all<detail::QueryScan>(*this, prepared->compiled, detail::Keep::every, options, prepared->run))
        found.insert(found.end(), one[0]->every().begin(), one[0]->every().end());
    return ids_in_order(found);
}

std::vector<std::vector<IndexHit>> ShardedIndex::search_many(std::span<const std::string_view> queries,
                                                             const SearchOptions& options) const {
    std::vector<std::vector<IndexHit>> results(queries.size());
    const Settings& settings = options.settings ? *options.settings : settings_;
    // Batches of about equal size, one after another, each on every worker.
    const std::size_t batches = (queries.size() + MAX_BATCH_QUERIES - 1) / MAX_BATCH_QUERIES;
    const std::size_t size = batches ? (queries.size() + batches - 1) / batches : 0;
    for (std::size_t first = 0; first < queries.size(); first += size) {
        const std::size_t count = std::min(size, queries.size() - first);
        search_batch(*this, queries.subspan(first, count), std::span(results).subspan(first, count), settings,
                     folds_, options);
    }
    return results;
}

}  // namespace murvex
