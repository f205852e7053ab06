#include <gtest/gtest.h>
#include <cctype>

#include <cmath>
#include <string>
#include <vector>

#include "murvex/search.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

struct Row {
    std::uint32_t id;
    int milli;
    std::uint32_t start, end;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << "(" << r.id << ", " << r.milli << ", " << r.start << ", " << r.end << ")";
}

std::vector<Row> rows(const std::vector<ResultEntry>& entries) {
    std::vector<Row> out;
    out.reserve(entries.size());
    for (const ResultEntry& e : entries)
        out.push_back({e.id, static_cast<int>(std::lround(e.score * 1000.0f)), e.start, e.end});
    return out;
}

std::vector<std::uint32_t> ids_of(const std::vector<ResultEntry>& entries) {
    std::vector<std::uint32_t> out;
    out.reserve(entries.size());
    for (const ResultEntry& e : entries) out.push_back(e.id);
    return out;
}

Engine engine_with(std::initializer_list<std::pair<std::uint32_t, std::string>> records,
                   Settings settings = {}) {
    Engine engine;
    engine.settings = settings;
    for (const auto& [id, text] : records) engine.records.append(id, text);
    return engine;
}

TEST(Score, TableOfEveryErrorCountAndDistance) {
    const std::size_t m = 6;
    const int expected[4][3] = {{1000, 1000, 1000}, {800, 775, 750}, {550, 525, 500}, {300, 275, 250}};
    for (std::uint32_t errors = 0; errors <= 3; ++errors) {
        EXPECT_EQ(score_milli(errors, m, m), expected[errors][0]);
        EXPECT_EQ(score_milli(errors, m + 1, m), expected[errors][1]);
        EXPECT_EQ(score_milli(errors, m + 9, m), expected[errors][1]);
        EXPECT_EQ(score_milli(errors, m + 10, m), expected[errors][2]);
    }
}

TEST(Search, EmptyQueryStoreOrCapGiveNothing) {
    Engine empty;
    EXPECT_TRUE(search(empty, "abc").empty());
    Engine one = engine_with({{1, "abc"}});
    EXPECT_TRUE(search(one, "").empty());
    one.settings.max_results = 0;
    EXPECT_TRUE(search(one, "abc").empty());
    Engine blank = engine_with({{1, ""}});
    EXPECT_TRUE(search(blank, "a").empty());
}

TEST(Search, ScoresByErrorsAndDistanceFromTheStart) {
    Engine engine =
        engine_with({{1, "zzzzzzzzzzabcdef"}, {2, "abxdef c"}, {3, "zzabxdef c"}, {4, "zzzzzzzzzzabxdef c"}});
    EXPECT_EQ(rows(search(engine, "abcdef")),
              (std::vector<Row>{{1, 1000, 10, 16}, {2, 800, 0, 6}, {3, 775, 2, 8}, {4, 750, 10, 16}}));

    engine = engine_with({{5, "abxyef cd"}, {6, "abxyzf cde"}}, Settings{250, 3, 50});
    EXPECT_EQ(rows(search(engine, "abcdef")), (std::vector<Row>{{5, 550, 0, 6}, {6, 300, 0, 6}}));
}

TEST(Search, ScoreIsThousandthsInSinglePrecision) {
    Engine engine = engine_with({{3, "zzabxdef c"}});
    const auto results = search(engine, "abcdef");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].score, 775.0f / 1000.0f);
}

TEST(Search, ThresholdIsInclusive) {
    const auto records = {std::pair<std::uint32_t, std::string>{2, "abxdef c"},
                          {3, "zzabxdef c"},
                          {4, "zzzzzzzzzzabxdef c"},
                          {5, "abcdef"}};
    EXPECT_EQ(ids_of(search(engine_with(records, {800, 2, 50}), "abcdef")),
              (std::vector<std::uint32_t>{5, 2}));
    EXPECT_EQ(ids_of(search(engine_with(records, {760, 2, 50}), "abcdef")),
              (std::vector<std::uint32_t>{5, 2, 3}));
    EXPECT_EQ(ids_of(search(engine_with(records, {1000, 2, 50}), "abcdef")), (std::vector<std::uint32_t>{5}));
}

TEST(Search, TiesKeepStoreOrderAlsoWhenTheBufferIsFull) {
    const auto records = {std::pair<std::uint32_t, std::string>{10, "abxdef c"},
                          {11, "abcdef"},
                          {12, "zz abcdef"},
                          {13, "abxdef c"},
                          {14, "abcdef"}};
    EXPECT_EQ(ids_of(search(engine_with(records), "abcdef")),
              (std::vector<std::uint32_t>{11, 12, 14, 10, 13}));
    EXPECT_EQ(ids_of(search(engine_with(records, {250, 2, 3}), "abcdef")),
              (std::vector<std::uint32_t>{11, 12, 14}));
    EXPECT_EQ(ids_of(search(engine_with(records, {250, 2, 2}), "abcdef")),
              (std::vector<std::uint32_t>{11, 12}));
    EXPECT_EQ(ids_of(search(engine_with(records, {250, 2, 1}), "abcdef")), (std::vector<std::uint32_t>{11}));
}

TEST(Search, PreFilterRejectsRecordsLackingAQueryByteClass) {
    Engine engine = engine_with({{1, "hallo"}, {2, "hallo e"}, {3, "helo"}}, Settings{250, 3, 50});
    EXPECT_EQ(rows(search(engine, "hello")), (std::vector<Row>{{2, 800, 0, 5}, {3, 800, 0, 4}}));
}

TEST(Search, PositionsCountBytesAndStartIsCutAtZero) {
    EXPECT_EQ(rows(search(engine_with({{1, "abd c"}}), "abcd")), (std::vector<Row>{{1, 800, 0, 3}}));
    EXPECT_EQ(rows(search(engine_with({{1, "\xC3\xA9 test"}}), "test")), (std::vector<Row>{{1, 1000, 3, 7}}));
}

TEST(Search, LongQueriesAreScoredOnTheir32Bytes) {
    const std::string query = "0123456789abcdefghijklmnopqrstuvwxyz0123";  // 40 bytes
    EXPECT_EQ(rows(search(engine_with({{1, query.substr(0, 32) + " tail"}}), query)),
              (std::vector<Row>{{1, 1000, 0, 32}}));
}

// Positions are reported in full, not cut to 16 bits.
TEST(Search, PositionsBeyond64KiBAreReportedInFull) {
    EXPECT_EQ(rows(search(engine_with({{1, std::string(65536 + 96, 'x') + "test"}}), "test")),
              (std::vector<Row>{{1, 1000, 65632, 65636}}));
    EXPECT_EQ(rows(search(engine_with({{2, std::string(65530, 'x') + "test"}}), "test")),
              (std::vector<Row>{{2, 1000, 65530, 65534}}));
    EXPECT_EQ(rows(search(engine_with({{3, std::string(65534, 'x') + "test"}}), "test")),
              (std::vector<Row>{{3, 1000, 65534, 65538}}));
}

TEST(Search, RemovedRecordsAreNotVisited) {
    Engine engine = engine_with({{1, "abcdef"}, {2, "abcdef"}, {3, "abcdef"}});
    engine.records.remove(1);
    EXPECT_EQ(ids_of(search(engine, "abcdef")), (std::vector<std::uint32_t>{2, 3}));
}

// Whole searches agree with the reference over random stores and settings.
TEST(Search, AgreesWithTheReferenceOnRandomStores) {
    reference::RandomText random(99);
    for (int round = 0; round < 300; ++round) {
        Engine engine;
        engine.settings = Settings{static_cast<std::uint16_t>(random.below(5) * 250),
                                   static_cast<std::uint32_t>(random.below(4)), random.below(12)};
        const std::string query = random(1, 34);
        const std::size_t n = random.below(60);
        for (std::uint32_t i = 0; i < n; ++i) {
            std::string text = random(0, 60);
            if (random.below(2)) text += random.mutate(query, static_cast<std::uint32_t>(random.below(4)));
            engine.records.append(static_cast<std::uint32_t>(random.below(8)), text);
        }
        const auto expected = rows(reference::search(engine, query));
        for (const Kernel kernel : available_kernels())
            ASSERT_EQ(rows(search(engine, query, kernel)), expected)
                << "query '" << query << "' round " << round << " kernel " << kernel_name(kernel);
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// Large stores exercise many lane blocks, every length class, long texts,
// freed and reused lanes; every kernel form must give the reference's results.
TEST(Search, EveryKernelAgreesWithTheReferenceOnLargeChurnedStores) {
    reference::RandomText random(2024);
    for (int round = 0; round < 12; ++round) {
        Engine engine;
        const std::size_t n = 200 + random.below(1200);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t length = random.below(8) == 0 ? random.below(1400) : random.below(140);
            std::string text = random(length, length);
            if (random.below(3) == 0 && text.size() > 10)
                text.replace(random.below(text.size() - 5), 4, "abcD");
            engine.records.append(static_cast<std::uint32_t>(random.below(300)), text);
        }
        for (int r = 0; r < 150; ++r) engine.records.remove(static_cast<std::uint32_t>(random.below(300)));
        for (std::uint32_t i = 0; i < 100; ++i) engine.records.append(i, random(0, 200));

        for (int q = 0; q < 25; ++q) {
            engine.settings = Settings{static_cast<std::uint16_t>(random.below(3) * 250),
                                       static_cast<std::uint32_t>(random.below(4)), 1 + random.below(60)};
            std::string query =
                random.below(2) ? random(1, 34) : random.mutate("abcDab \xC3\xA9" + random(0, 30), 2);
            if (query.empty()) query = "a";
            const auto expected = rows(reference::search(engine, query));
            for (const Kernel kernel : available_kernels())
                ASSERT_EQ(rows(search(engine, query, kernel)), expected)
                    << "query '" << query << "' kernel " << kernel_name(kernel);
        }
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

void expect_every_kernel_agrees(const Engine& engine, std::string_view query, const std::string& what) {
    const auto expected = rows(reference::search(engine, query));
    for (const Kernel kernel : available_kernels())
        ASSERT_EQ(rows(search(engine, query, kernel)), expected)
            << what << " query '" << query << "' kernel " << kernel_name(kernel);
}

// A long text is searched in overlapping windows: matches that end just
// before, at and after every window edge, and matches inside the overlap,
// must come out with the text's own errors and first end.
TEST(Search, LongTextsAreMatchedExactlyAcrossWindowEdges) {
    const std::string query = "abcdefghij";
    for (const std::size_t length : {1024u, 1025u, 1059u, 2013u, 2048u, 3002u, 5000u}) {
        for (std::size_t edge : {std::size_t{1024}, LANE_TEXT_LIMIT + WINDOW_STRIDE, 2 * WINDOW_STRIDE}) {
            for (std::size_t at = edge - 14; at <= edge + 3 && at + query.size() <= length; ++at) {
                for (const char* typo : {"", "x"}) {
                    std::string text(length, '.');
                    std::string planted = query;
                    if (*typo) planted[4] = *typo;
                    text.replace(at, planted.size(), planted);
                    Engine engine;
                    engine.settings = Settings{250, 2, 5};
                    engine.records.append(1, text);
                    engine.records.append(2, std::string(40, ',') + query);  // a short one beside it
                    expect_every_kernel_agrees(
                        engine, query, "length " + std::to_string(length) + " at " + std::to_string(at));
                }
            }
        }
    }
}

// Once the ranking is full, records that cannot enter are skipped and the
// budget shrinks; ties must still go to the records earliest in the store,
// also when reused lanes put late records into early blocks.
TEST(Search, ThePrunedSearchKeepsTiesInStoreOrder) {
    reference::RandomText random(7);
    for (int round = 0; round < 40; ++round) {
        Engine engine;
        for (std::uint32_t i = 0; i < 700; ++i) {
            const std::size_t kind = random.below(4);
            const std::string text = kind == 0   ? "the abcdef"
                                     : kind == 1 ? "x abxdef y"
                                     : kind == 2 ? random(5, 40)
                                                 : std::string(1000 + random.below(1200), 'z') + " abcdef";
            engine.records.append(i, text);
        }
        for (int r = 0; r < 300; ++r) engine.records.remove(static_cast<std::uint32_t>(random.below(700)));
        for (std::uint32_t i = 700; i < 900; ++i)
            engine.records.append(i, random.below(2) ? "the abcdef" : "abxdef");
        engine.settings =
            Settings{static_cast<std::uint16_t>(random.below(4) * 250), 2, 1 + random.below(30)};
        for (const char* query : {"the", "abcdef", "abzdef", "ab", "zzzz"})
            expect_every_kernel_agrees(engine, query, "round " + std::to_string(round));
    }
}

// Dense matches, and texts full of 8-byte prefixes of the query so that the
// upper planes of the state come and go.
TEST(Search, DenseMatchesAndUpperPlanesAgreeWithTheReference) {
    Engine engine;
    engine.settings = Settings{0, 3, 50};
    engine.records.append(1, "b" + std::string(99, 'a'));
    engine.records.append(2, std::string(300, 'a') + "b");
    std::string prefixes;
    for (int i = 0; i < 40; ++i)
        prefixes += (i % 3 ? "abcdefgh" : "abcdefghijklmnop") + std::string(i % 5, ' ');
    engine.records.append(3, prefixes);
    engine.records.append(4, prefixes + "abcdefghijklmnopqrstuvwxyz012345");
    engine.records.append(5, std::string(2000, 'a') + prefixes);
    for (const char* query : {"aaaaab", "aaaaaa", "baaaaa", "abcdefghijklmnopqrstuvwxyz012345",
                              "abcdefghijklmnopqrstuvwxyz01234x", "abcdefghijkl", "abcdefghXjklmnop"}) {
        for (std::uint32_t max_errors = 0; max_errors <= 3; ++max_errors) {
            engine.settings.max_errors = max_errors;
            expect_every_kernel_agrees(engine, query, "max_errors " + std::to_string(max_errors));
        }
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

TEST(Kernel, EveryCpuOfOursRunsALaneForm) {
    EXPECT_TRUE(kernel_available(widest_kernel()));
    EXPECT_TRUE(kernel_available(Kernel::one_by_one));
#if defined(__aarch64__)
    EXPECT_EQ(widest_kernel(), Kernel::neon);
#elif defined(__x86_64__)
    EXPECT_TRUE(kernel_available(Kernel::ssse3));  // every x86-64 CPU this runs on in practice
    EXPECT_FALSE(kernel_available(Kernel::neon));
#if defined(__linux__) && defined(__GNUC__)
    // The CPU asked directly says what the compiler's runtime says, where it has one that works.
    __builtin_cpu_init();
    EXPECT_EQ(kernel_available(Kernel::avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(kernel_available(Kernel::avx512),
              __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512f") != 0);
#endif
#endif
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// Both ends of the alphabet fold: 'z' and 'Z' differ in the high nibble the
// lane kernel looks up.
TEST(Search, EveryLetterFoldsInEveryForm) {
    Engine engine = engine_with({{1, "ZEBRA"}, {2, "zebra"}, {3, "AzZa"}});
    for (const Kernel kernel : available_kernels()) {
        EXPECT_EQ(rows(search(engine, "zebra", kernel)), (std::vector<Row>{{1, 1000, 0, 5}, {2, 1000, 0, 5}}))
            << kernel_name(kernel);
        EXPECT_EQ(rows(search(engine, "ZZ", kernel)), (std::vector<Row>{{3, 1000, 1, 3}}))
            << kernel_name(kernel);
    }
}

// A window's lane is padded past its text like any other: a match may never
// end in the padding, also in the last window of a long record.
TEST(Search, NoMatchEndsInTheLastWindowsPadding) {
    Engine engine = engine_with({{0, "@" + std::string(1096, 'y') + "abc"}});
    for (const Kernel kernel : available_kernels())
        EXPECT_EQ(rows(search(engine, std::string_view("abc\0", 4), kernel)),
                  (std::vector<Row>{{0, 750, 1096, 1100}}))
            << kernel_name(kernel);
}

// Once the ranking is full with a long record's match, its other windows
// still count as that record, not as a later one, and an equal match that
// ends earlier replaces it: the window with the later end is met first here.
TEST(Search, ALongRecordKeepsItsEarliestEqualMatchWhenPruning) {
    std::string long_text(1100, '.');
    long_text.replace(5, 6, "needle");
    long_text.replace(1050, 6, "needle");
    std::string short_text(111, ',');
    short_text.replace(100, 6, "neXdle");
    Engine engine = engine_with({{1, short_text}, {2, long_text}});
    for (const std::uint64_t cap : {1u, 50u}) {
        engine.settings.max_results = cap;
        std::vector<Row> expected{{2, 1000, 5, 11}, {1, 750, 100, 106}};
        expected.resize(cap == 1 ? 1 : 2);
        for (const Kernel kernel : available_kernels())
            EXPECT_EQ(rows(search(engine, "needle", kernel)), expected)
                << kernel_name(kernel) << " cap " << cap;
    }
}

// The longest match a window must hold whole: 32 pattern bytes with three
// insertions, 35 bytes, across the first window edge.
TEST(Search, TheWindowOverlapHoldsTheLongestMatch) {
    const std::string query = "abcdefghijklmnopqrstuvwxyz012345";
    std::string stretch = query;
    for (const std::size_t at : {24u, 16u, 8u}) stretch.insert(at, "#");
    std::string text(1100, '.');
    text.replace(990, stretch.size(), stretch);
    Engine engine = engine_with({{0, text}}, Settings{250, 3, 50});
    for (const Kernel kernel : available_kernels())
        EXPECT_EQ(rows(search(engine, query, kernel)), (std::vector<Row>{{0, 250, 993, 1025}}))
            << kernel_name(kernel);
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// The forgiving matcher and its start against the plain dynamic program of
// the definition, at every error budget.
void forgiving_agrees(const std::string& query, const std::string& text) {
    const Pattern pattern = compile(query);
    for (std::uint32_t k = 0; k <= 3; ++k) {
        const auto expected = reference::forgiving_match(query, k, text);
        const auto got = best_match_forgiving(pattern, k, text);
        ASSERT_EQ(got.has_value(), expected.has_value()) << "'" << query << "' in '" << text << "' k " << k;
        if (!got) continue;
        ASSERT_EQ(got->errors, expected->errors) << "'" << query << "' in '" << text << "' k " << k;
        ASSERT_EQ(got->end, expected->end) << "'" << query << "' in '" << text << "' k " << k;
        ASSERT_EQ(forgiving_start(pattern, got->errors, std::string_view(text).substr(0, got->end)),
                  reference::forgiving_start(query, text, *got))
            << "'" << query << "' in '" << text << "' k " << k;
    }
}

// On texts full of near-matches: swaps, edits of the first
// pattern byte, letters the text lacks.
TEST(Forgiving, TheMatcherAndTheStartAgreeWithTheDefinition) {
    reference::RandomText random(17);
    for (int round = 0; round < 4000; ++round) {
        std::string query = random(1, 12);
        std::string text = random(0, 30);
        if (random.below(2)) {
            std::string planted = random.mutate(query, static_cast<std::uint32_t>(random.below(3)));
            if (planted.size() >= 2 && random.below(2)) std::swap(planted[0], planted[1]);
            text.insert(random.below(text.size() + 1), planted);
        }
        ASSERT_NO_FATAL_FAILURE(forgiving_agrees(query, text));
    }
}

// Long texts over all of printable ASCII, where most bytes match none of the
// query's first letters: both matchers skip over them, 16 at a time, and must
// not skip a near-match that starts with a swap, a wrong first letter or a
// capital.
TEST(Forgiving, SkippingQuietBytesLosesNoMatch) {
    reference::RandomText random(29);
    const auto below = [&](std::size_t n) { return random.below(n); };
    const auto printable = [&](std::size_t n) {
        std::string s(n, ' ');
        for (char& c : s) c = static_cast<char>(' ' + below(95));
        return s;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string query = printable(4 + below(12));
        std::string text = printable(below(400));
        for (std::size_t copies = below(4); copies > 0; --copies) {
            std::string planted = query;
            switch (below(5)) {
                case 0: std::swap(planted[0], planted[1]); break;
                case 4:
                    for (char& c : planted)
                        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                    break;
                case 1: planted[0] = printable(1)[0]; break;
                case 2: planted.erase(below(planted.size()), 1); break;
                default: {
                    const std::size_t at = 1 + below(planted.size() - 2);  // a swap further in
                    std::swap(planted[at], planted[at + 1]);
                }
            }
            text.insert(below(text.size() + 1), planted);
        }
        ASSERT_NO_FATAL_FAILURE(forgiving_agrees(query, text));
        const Pattern pattern = compile(query);
        for (std::uint32_t k = 0; k <= 3; ++k) {
            const auto expected = reference::straightforward_match(query, k, text);
            const auto got = best_match(pattern, k, text);
            ASSERT_EQ(got.has_value(), expected.has_value())
                << "'" << query << "' in '" << text << "' k " << k;
            if (got) {
                ASSERT_EQ(std::pair(got->errors, got->end), std::pair(expected->errors, expected->end));
            }
        }
    }
}

Engine forgiving_engine(std::initializer_list<std::pair<std::uint32_t, std::string>> records,
                        Settings settings = {}) {
    Engine engine = engine_with(records, settings);
    engine.settings.forgiving = true;
    return engine;
}

TEST(Forgiving, ForgivesWhatTheStrictModeDoesNot) {
    // a swap is one edit; the first letter may be wrong; a letter the record lacks is forgiven; the
    // start is that of the tightest stretch ("ythm" for "rythm": one deletion), and the score that of
    // the words covering it (1000 - 100 distance - 25 errors - 10 when it starts inside a word)
    Engine engine = forgiving_engine({{1, "United Kingdom"},
                                      {2, "rhythm and blues"},
                                      {3, "John Smith"},
                                      {4, "definitely"},
                                      {5, "chrysanthemum"}},
                                     Settings{250, 2, 50});
    for (const Kernel kernel : available_kernels()) {
        EXPECT_EQ(rows(search(engine, "Untied Kingdom", kernel)), (std::vector<Row>{{1, 875, 0, 14}}));
        EXPECT_EQ(rows(search(engine, "rythm", kernel)), (std::vector<Row>{{2, 865, 2, 6}}));
        EXPECT_EQ(rows(search(engine, "jon smiht", kernel)), (std::vector<Row>{{3, 750, 0, 9}}));
        EXPECT_EQ(rows(search(engine, "definately", kernel)), (std::vector<Row>{{4, 875, 0, 10}}))
            << kernel_name(kernel);
        EXPECT_EQ(rows(search(engine, "xefinitely", kernel)), (std::vector<Row>{{4, 865, 1, 10}}));
    }
    engine.settings.forgiving = false;
    EXPECT_TRUE(search(engine, "definately").empty());  // the strict pre-filter: no 'a' in "definitely"
}

// Queries that span several planes of state, with a swap at every place
// (after other edits too): a swap moves a bit up by two, also out of the
// first plane, which the lane kernels must not lose when they run on that
// plane alone.
TEST(Forgiving, EveryKernelCarriesSwapsAcrossPlanes) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz012345";
    for (const std::size_t m : {9, 12, 16, 17, 24, 25, 32}) {
        const std::string query = letters.substr(0, m);
        Engine engine;
        std::uint32_t id = 0;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            std::string swapped = query;
            std::swap(swapped[i], swapped[i + 1]);
            std::string deleted = swapped, substituted = swapped;
            deleted.erase(i / 2, 1);
            substituted[(i + m) / 2] = '#';
            for (const std::string& text : {swapped, deleted, substituted})
                engine.records.append(id++, "..~" + text + "~..");
        }
        engine.settings = Settings{0, 3, 100, true};
        expect_every_kernel_agrees(engine, query, "m " + std::to_string(m));
    }
}

// Whole searches in the forgiving mode agree with the reference in every
// form, on churned stores with long records and pruning.
TEST(Forgiving, EveryKernelAgreesWithTheReference) {
    reference::RandomText random(71);
    for (int round = 0; round < 40; ++round) {
        Engine engine;
        const std::size_t n = 100 + random.below(500);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t length = random.below(12) == 0 ? 900 + random.below(1400) : random.below(90);
            std::string text = random(length, length);
            if (random.below(3) == 0 && text.size() > 10)
                text.replace(random.below(text.size() - 5), 4, "bacD");
            engine.records.append(static_cast<std::uint32_t>(random.below(200)), text);
        }
        for (int r = 0; r < 40; ++r) engine.records.remove(static_cast<std::uint32_t>(random.below(200)));
        for (int q = 0; q < 6; ++q) {
            engine.settings =
                Settings{static_cast<std::uint16_t>(random.below(3) * 250),
                         static_cast<std::uint32_t>(random.below(4)), 1 + random.below(40), true};
            std::string query =
                random.below(2) ? random(1, 34) : random.mutate("abcDab \xC3\xA9" + random(0, 25), 2);
            if (query.empty()) query = "a";
            const auto expected = rows(reference::search(engine, query));
            for (const Kernel kernel : available_kernels())
                ASSERT_EQ(rows(search(engine, query, kernel)), expected)
                    << "round " << round << " query '" << query << "' kernel " << kernel_name(kernel);
        }
    }
}

}  // namespace
}  // namespace murvex
