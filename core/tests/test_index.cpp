#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "murvex/index.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

struct Hit {
    std::uint32_t id;
    float score;
    std::uint32_t start, end;
    bool operator==(const Hit&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Hit& h) {
    return os << "(" << h.id << ", " << h.score << ", " << h.start << ", " << h.end << ")";
}

std::vector<Hit> hits(const std::vector<ResultEntry>& entries) {
    std::vector<Hit> out;
    out.reserve(entries.size());
    for (const ResultEntry& e : entries) out.push_back({e.id, e.score, e.start, e.end});
    return out;
}

std::vector<Hit> hits(const std::vector<IndexHit>& found) {
    std::vector<Hit> out;
    out.reserve(found.size());
    for (const IndexHit& h : found) out.push_back({h.entry.id, h.entry.score, h.entry.start, h.entry.end});
    return out;
}

TEST(WorkerPool, RunsEveryTaskOnceFromSeveralCallersAtOnce) {
    WorkerPool pool;
    std::vector<std::thread> callers;
    callers.reserve(4);
    std::atomic<int> wrong{0};
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&, c] {
            for (int round = 0; round < 50; ++round) {
                const std::size_t tasks = 1 + (c * 37 + round * 11) % 200, workers = 1 + (c + round) % 4;
                std::vector<std::atomic<int>> ran(tasks);
                std::atomic<bool> slot_in_range{true};
                pool.run(tasks, workers, [&](std::size_t task, std::size_t slot) {
                    ran[task].fetch_add(1);
                    if (slot >= workers) slot_in_range = false;
                });
                for (const auto& count : ran) wrong += count.load() != 1;
                wrong += !slot_in_range;
            }
        });
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(pool.helpers(), 3u);
}

TEST(WorkerPool, TheFirstFailureReachesTheCallerAfterEveryoneStopped) {
    WorkerPool pool;
    std::atomic<int> running{0};
    EXPECT_THROW(pool.run(1000, 3,
                          [&](std::size_t task, std::size_t) {
                              running.fetch_add(1);
                              if (task == 10) throw std::bad_alloc();
                              running.fetch_sub(1);
                          }),
                 std::bad_alloc);
    EXPECT_EQ(running.load(), 1);  // the failed task only: nothing still running
    std::atomic<std::size_t> sum{0};
    pool.run(100, 3, [&](std::size_t task, std::size_t) { sum += task; });  // the pool still works
    EXPECT_EQ(sum.load(), 4950u);
}

#ifndef _WIN32
// A signal sent to the process must reach a thread that waits for it, not a
// helper: helpers block them, faults aside; the caller's mask is as it was.
TEST(WorkerPool, HelpersTakeNoSignalSentToTheProcess) {
    WorkerPool pool;
    std::atomic<int> helpers_blocking{0}, helpers{0};
    pool.run(64, 2, [&](std::size_t, std::size_t slot) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        if (slot != 0) {
            ++helpers;
            helpers_blocking += sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 &&
                                sigismember(&mask, SIGSEGV) == 0;
        } else {
            EXPECT_EQ(sigismember(&mask, SIGINT), 0);  // the caller's own mask
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_GT(helpers.load(), 0);
    EXPECT_EQ(helpers_blocking.load(), helpers.load());
}
#endif

// The index and one store holding every record in the same order, changed
// alike, must give the same results, whatever the shard size, the workers
// and the form.
TEST(ShardedIndex, AnswersAsOneEngineOfUnlimitedSize) {
    WorkerPool pool;
    reference::RandomText random(31);
    const int queries = std::getenv("MURVEX_SAMPLED") ? 4 : 12;  // fewer in the slow runs
    for (const std::size_t capacity : {1u, 7u, 150u, 5000u}) {
        ShardedIndex index(Settings{}, capacity);
        Engine engine;
        for (std::uint32_t i = 0; i < 3000; ++i) {
            const std::size_t length = random.below(10) == 0 ? 900 + random.below(1500) : random.below(90);
            std::string text = random(length, length);
            if (random.below(3) == 0 && text.size() > 8)
                text.replace(random.below(text.size() - 5), 4, "abcD");
            const auto id = static_cast<std::uint32_t>(random.below(500));
            const std::string_view part = text;
            index.append_joined(id, std::span(&part, 1));
            engine.records.append(id, text);
        }
        for (int r = 0; r < 300; ++r) {
            const auto id = static_cast<std::uint32_t>(random.below(500));
            ASSERT_EQ(index.remove(id), engine.records.remove(id));
        }
        ASSERT_EQ(index.count(), engine.records.count());
        for (int q = 0; q < queries; ++q) {
            const Settings settings{static_cast<std::uint16_t>(random.below(3) * 250),
                                    static_cast<std::uint32_t>(random.below(4)), random.below(40)};
            engine.settings = settings;
            // Every other query brings its own settings, and the index's differ.
            const bool own = q % 2 == 1;
            index.settings() = own ? Settings{1000, 0, 1} : settings;
            const std::string query = random.below(2) ? random(1, 12) : random.mutate("abcDab", 1);
            const auto expected = hits(reference::search(engine, query));
            engine.settings.max_results = engine.records.count();  // every match, in store order
            std::vector<std::uint32_t> matching;
            for (const ResultEntry& entry : reference::search(engine, query)) matching.push_back(entry.id);
            for (const Kernel kernel : available_kernels())
                for (std::size_t workers = 1; workers <= 4; ++workers) {
                    const SearchOptions options{&pool, workers, kernel, own ? &settings : nullptr};
                    ASSERT_EQ(hits(index.search(query, options)), expected)
                        << "capacity " << capacity << " workers " << workers << " " << kernel_name(kernel)
                        << " query '" << query << "'";
                    // long records split over the workers' pieces come once
                    std::vector<std::uint32_t> ids = index.matching_ids(query, options);
                    ASSERT_EQ(ids.size(), matching.size());
                    std::sort(ids.begin(), ids.end());
                    std::sort(matching.begin(), matching.end());
                    ASSERT_EQ(ids, matching)
                        << "capacity " << capacity << " workers " << workers << " query '" << query << "'";
                }
        }
    }
}

TEST(ShardedIndex, ShardsFillInOrderAndSearchManyEqualsSearch) {
    WorkerPool pool;
    ShardedIndex index(Settings{0, 2, 100}, 3);
    for (std::uint32_t i = 0; i < 10; ++i) {
        const std::string text = "item " + std::to_string(i);
        const std::string_view part = text;
        index.append_joined(i, std::span(&part, 1), i == 4);  // 0-2, 3, 4-6, 7-9
    }
    EXPECT_EQ(index.shard_count(), 4u);
    EXPECT_EQ(index.shards_holding(5), (std::vector<std::uint32_t>{2}));
    const auto found = index.search("item", SearchOptions{&pool, 2});
    ASSERT_EQ(found.size(), 10u);
    for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(found[i].entry.id, i);
    EXPECT_EQ(found[3].shard, 1u);
    EXPECT_EQ(found[4].shard, 2u);
    EXPECT_TRUE(index.remove(1));
    index.append_joined(11, std::span<const std::string_view>{});  // the last shard is full: a new one
    EXPECT_EQ(index.shard_count(), 5u);

    std::vector<std::string> owned;
    owned.reserve(40);
    for (int q = 0; q < 40; ++q) owned.push_back(q % 3 ? "itme " + std::to_string(q % 10) : "item");
    const std::vector<std::string_view> queries(owned.begin(), owned.end());
    for (std::size_t workers = 1; workers <= 3; ++workers) {
        const auto many = index.search_many(queries, SearchOptions{&pool, workers});
        ASSERT_EQ(many.size(), queries.size());
        for (std::size_t q = 0; q < queries.size(); ++q)
            EXPECT_EQ(hits(many[q]), hits(index.search(queries[q])));
    }
    // A batch's own settings reach every query, on every worker.
    const Settings exact{0, 0, 3};
    const auto many = index.search_many(queries, SearchOptions{&pool, 3, Kernel::automatic, &exact});
    for (std::size_t q = 0; q < queries.size(); ++q)
        EXPECT_EQ(many[q].size(), queries[q] == "item" ? 3u : 0u) << queries[q];
}

// search_many runs its queries in batches, each batch's queries over a group
// of blocks in turn: every query must still get exactly what search() gives
// it, in every mode, with pruning, windows of long records, several groups
// and shards, any number of batches and workers, and every form.
TEST(ShardedIndex, SearchManyInBatchesEqualsSearch) {
    WorkerPool pool;
    reference::RandomText random(47);
    std::vector<std::string> texts;
    texts.reserve(3000);
    for (int i = 0; i < 3000; ++i)  // lanes past two groups, many of them long records' windows
        texts.push_back(random.below(10) == 0 ? random(600, 1400) : random(4, 180));
    for (const bool folds : {false, true}) {
        ShardedIndex index(Settings{}, 1100, folds);
        for (std::uint32_t i = 0; i < texts.size(); ++i) {
            const std::string_view part = texts[i];
            index.append_joined(i % 500, std::span(&part, 1));
        }
        for (std::uint32_t id = 0; id < 500; id += 9) index.remove(id);
        std::vector<std::string> owned;
        const bool sampled = std::getenv("MURVEX_SAMPLED") != nullptr;  // the slow runs: fewer, one form
        const int count = sampled ? 12 : 100;
        owned.reserve(count);
        for (int q = 0; q < count; ++q) {
            const std::string& from = texts[random.below(texts.size())];
            const std::size_t at = from.size() > 12 ? random.below(from.size() - 12) : 0;
            owned.push_back(q % 4 == 0 ? random(1, 30)
                                       : random.mutate(from.substr(at, 3 + random.below(20)), 2) + " " +
                                             (q % 3 ? random(1, 6) : ""));
        }
        owned[7].clear();  // an empty query: no hits, the others as ever
        const std::vector<std::string_view> queries(owned.begin(), owned.end());
        for (const Settings settings : {Settings{250, 2, 3}, Settings{0, 3, 1, true, false},
                                        Settings{500, 2, 10, false, true}, Settings{0, 1, 100}}) {
            std::vector<std::vector<IndexHit>> expected;
            expected.reserve(queries.size());
            const SearchOptions one{nullptr, 1, Kernel::automatic, &settings};
            for (const std::string_view query : queries) expected.push_back(index.search(query, one));
            const std::vector<Kernel> forms = available_kernels();
            for (const Kernel kernel : forms)
                for (std::size_t workers = 1; workers <= 3; ++workers) {
                    if (kernel != forms.front() && (sampled || workers != 2)) continue;  // the others on two
                    const auto many =
                        index.search_many(queries, SearchOptions{&pool, workers, kernel, &settings});
                    ASSERT_EQ(many.size(), queries.size());
                    for (std::size_t q = 0; q < queries.size(); ++q) {
                        ASSERT_EQ(hits(many[q]), hits(expected[q]))
                            << kernel_name(kernel) << " workers " << workers << " query '" << queries[q]
                            << "'";
                        for (std::size_t h = 0; h < many[q].size(); ++h) {
                            EXPECT_EQ(many[q][h].spans, expected[q][h].spans);
                            EXPECT_EQ(many[q][h].rank, expected[q][h].rank);
                            EXPECT_EQ(many[q][h].shard, expected[q][h].shard);
                        }
                    }
                }
        }
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// The bulk append writes bytes in another order than the one-by-one append;
// the stores must come out the same, and a rollback must leave the index as
// it was before.
TEST(ShardedIndex, BulkAppendEqualsOneByOneAndRollsBack) {
    reference::RandomText random(12);
    std::vector<std::string> owned;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        const std::size_t length = random.below(20) == 0 ? 1000 + random.below(3000) : random.below(200);
        owned.push_back(random(length, length));
        ids.push_back(random.below(3) == 0 ? i : static_cast<std::uint32_t>(random.below(100)));
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    ShardedIndex bulk(Settings{0, 3, 100}, 1700), single(Settings{0, 3, 100}, 1700);
    WorkerPool pool;
    bulk.append_many(std::span(ids).first(100), std::span(texts).first(100));
    bulk.append_many(std::span(ids).subspan(100), std::span(texts).subspan(100), true, &pool, 3);
    for (std::size_t i = 0; i < texts.size(); ++i)
        single.append_joined(ids[i], std::span(&texts[i], 1), i == 100);
    ASSERT_EQ(bulk.count(), single.count());
    ASSERT_EQ(bulk.shard_count(), single.shard_count());
    for (std::size_t s = 0; s < bulk.shard_count(); ++s)
        for (std::size_t i = 0; i < bulk.shard(s).count(); ++i) {
            ASSERT_EQ(bulk.shard(s).text(i), single.shard(s).text(i));
            ASSERT_EQ(bulk.shard(s).char_mask(i), single.shard(s).char_mask(i));
            ASSERT_EQ(bulk.shard(s).id(i), single.shard(s).id(i));
        }
    for (const char* query : {"abcd", "zZ a",
                              "\xC3\xA9\xC3\xA9"
                              "ab"})
        EXPECT_EQ(hits(bulk.search(query)), hits(single.search(query))) << query;

    // Shards given whole keep their sizes, filled on any number of threads.
    ShardedIndex whole(Settings{0, 3, 100}, 1700), appended(Settings{0, 3, 100}, 1700);
    const std::pair<std::size_t, std::size_t> given[] = {
        {0, 100}, {100, 1700}, {1800, 1500}};  // first, count
    whole.append_shards(
        3,
        [&](std::size_t r, std::size_t, RecordStore& shard) {
            const auto [first, count] = given[r];
            shard.append_many(std::span(ids).subspan(first, count), std::span(texts).subspan(first, count));
        },
        &pool, 2);
    for (std::size_t i = 0; i < 3300; ++i) appended.append_joined(ids[i], std::span(&texts[i], 1), i == 100);
    ASSERT_EQ(whole.shard_count(), 3u);
    EXPECT_EQ(whole.shard(0).count(), 100u);
    EXPECT_EQ(whole.shard(2).count(), 1500u);
    for (const char* query : {"abcd", "zZ a"})
        EXPECT_EQ(hits(whole.search(query)), hits(appended.search(query))) << query;

    const auto before = hits(bulk.search("abcd"));
    const std::size_t count = bulk.count();
    bulk.append_many(std::span(ids).first(2000), std::span(texts).first(2000));
    bulk.truncate_records(count);
    EXPECT_EQ(bulk.count(), count);
    EXPECT_EQ(bulk.shard_count(), single.shard_count());
    EXPECT_EQ(hits(bulk.search("abcd")), before);
}

// Records made as they are appended go to the shards append_many would
// give them, in runs that each thread appends as it likes; a run that fails
// keeps the runs before it.
TEST(ShardedIndex, RunsFillTheShardsAppendManyWouldAndStopAtAFailure) {
    reference::RandomText random(5);
    std::vector<std::string> owned;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 4000; ++i) {
        owned.push_back(random(0, i % 400 == 7 ? 2500 : 120));  // some longer than a lane
        ids.push_back(i);
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    ShardedIndex by_runs(Settings{0, 3, 100}, 900), by_many(Settings{0, 3, 100}, 900);
    WorkerPool pool;
    by_runs.append_many(std::span(ids).first(250), std::span(texts).first(250));  // room left in its shard
    by_many.append_many(std::span(ids).first(250), std::span(texts).first(250));
    std::mutex seen;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    const auto rest_ids = std::span(ids).subspan(250);
    const auto rest_texts = std::span(texts).subspan(250);
    by_runs.append_runs(
        rest_texts.size(),
        [&](std::size_t first, std::size_t n, std::size_t slot, RecordStore& shard) {
            EXPECT_LT(slot, 2u);
            {
                const std::lock_guard lock(seen);
                runs.emplace_back(first, n);
            }
            RecordStore::BulkAppend bulk(shard, n, 0);
            for (std::size_t at = first; at < first + n; at += 333) {
                const std::size_t m = std::min<std::size_t>(333, first + n - at);
                bulk.append(rest_ids.subspan(at, m), rest_texts.subspan(at, m));
            }
        },
        false, &pool, 2);
    by_many.append_many(rest_ids, rest_texts, false, &pool, 2);
    std::sort(runs.begin(), runs.end());
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {
        {0, 650}, {650, 900}, {1550, 900}, {2450, 900}, {3350, 400}};
    EXPECT_EQ(runs, expected);
    ASSERT_EQ(by_runs.count(), by_many.count());
    ASSERT_EQ(by_runs.shard_count(), by_many.shard_count());
    for (std::size_t s = 0; s < by_many.shard_count(); ++s)
        for (std::size_t i = 0; i < by_many.shard(s).count(); ++i) {
            ASSERT_EQ(by_runs.shard(s).text(i), by_many.shard(s).text(i)) << s << " " << i;
            ASSERT_EQ(by_runs.shard(s).char_mask(i), by_many.shard(s).char_mask(i)) << s << " " << i;
            ASSERT_EQ(by_runs.shard(s).id(i), by_many.shard(s).id(i)) << s << " " << i;
        }

    const std::size_t count = by_runs.count(), shards = by_runs.shard_count();
    const auto second_fails = [&](std::size_t first, std::size_t n, std::size_t, RecordStore& shard) {
        if (first > 900) throw std::runtime_error("no later run starts");
        shard.append_many(std::span(ids).first(first > 0 ? 5 : n), std::span(texts).first(first > 0 ? 5 : n));
        if (first > 0) throw std::runtime_error("the second run fails, having appended some");
    };
    EXPECT_THROW(by_runs.append_runs(2000, second_fails, true, &pool, 2), std::runtime_error);
    EXPECT_EQ(by_runs.count(), count + 905);  // what the failing run appended before it failed stays
    EXPECT_EQ(by_runs.shard_count(), shards + 2);
    std::size_t held = 0;  // what the shards hold is what the index counts
    for (std::size_t s = 0; s < by_runs.shard_count(); ++s) held += by_runs.shard(s).count();
    EXPECT_EQ(held, by_runs.count());
}

}  // namespace
}  // namespace murvex
