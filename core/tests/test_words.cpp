// The forgiving mode's ranking and the words mode: named cases from real
// queries, and whole searches against the brute-force model in reference.hpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "murvex/index.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

using Spans = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

ShardedIndex index_of(const std::vector<std::string>& texts, Settings settings) {
    ShardedIndex index(settings);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view text = texts[i];
        index.append_joined(static_cast<std::uint32_t>(i), std::span(&text, 1));
    }
    return index;
}

std::vector<std::uint32_t> ids(const std::vector<IndexHit>& hits) {
    std::vector<std::uint32_t> out;
    out.reserve(hits.size());
    for (const IndexHit& hit : hits) out.push_back(hit.entry.id);
    return out;
}

TEST(Ranking, TheWordMeantComesFirst) {
    const std::vector<std::string> words = {
        "ambassadress", "precivilization",    "receive",     "receive's", "address",
        "libgoffice",   "libreoffice-dmaths", "libreoffice", "weird",     "wired"};
    const ShardedIndex index = index_of(words, Settings{250, 2, 10, true});
    for (const Kernel kernel : available_kernels()) {
        const SearchOptions options{nullptr, 1, kernel, nullptr};
        // a whole word at the fewest edits first, the shorter record before a longer one holding it
        EXPECT_EQ(ids(index.search("recieve", options)).front(), 2u);
        EXPECT_EQ(ids(index.search("adress", options)).front(), 4u);
        EXPECT_EQ(ids(index.search("libreoffice", options)).front(), 7u);
        EXPECT_EQ(ids(index.search("wierd", options)).front(), 8u);
        // a swap costs one edit where "libgoffice" needs two substitutions: a lower score, not a tie
        const auto hits = index.search("lirbeoffice", options);
        ASSERT_GE(hits.size(), 3u);
        EXPECT_EQ(ids(hits)[0], 7u);
        EXPECT_GT(hits[0].entry.score, hits[2].entry.score) << kernel_name(kernel);
    }
}

TEST(Ranking, AWordLongerThanTheBytesReadAroundAMatchScoresAtTheCap) {
    const std::string run(300, 'x');
    const ShardedIndex index =
        index_of({run + "needle" + run, "a needle", "x" + run + "needle"}, Settings{0, 2, 10, true});
    const auto hits = index.search("needle");
    ASSERT_EQ(ids(hits), (std::vector<std::uint32_t>{1, 2, 0}));
    EXPECT_EQ(hits[0].entry.score, 1.0f);
    EXPECT_EQ(hits[1].entry.score, 0.0f);  // the cap: 1000 - 100 * 10
    EXPECT_EQ(hits[2].entry.score, 0.0f);
}

// Found by the fuzzer: the case of a cover at the distance cap plays no
// part, both for a cover cut short (it would show the case of a byte inside
// its word) and for one whose distance reaches the cap only when measured.
TEST(Ranking, ACoverAtTheCapHasNoCase) {
    const std::string cut = std::string(21, 'E') + std::string(76, 'x') + std::string(67, 'E') +
                            std::string("\xF2\0\xE5\xF2=\0\0", 7);
    const std::string reaching = std::string(31, 't') + "LLLL\x1bLLLL";
    const std::tuple<std::string, std::size_t, std::string, std::uint32_t> cases[] = {
        {cut, 85, std::string(29, 'E'), 1}, {reaching, 20, "L~LLLtt", 3}};
    for (const auto& [text, half, query, k] : cases) {
        Engine engine;
        engine.records.append(1, text);
        engine.records.append(2, text.substr(half));
        engine.settings = Settings{0, k, 5, true};
        const auto expected = reference::search(engine, query);
        ASSERT_EQ(expected.size(), 2u);
        EXPECT_EQ(expected[0].id, 2u) << query;  // the shorter record: both at the cap, both inside a word
        for (const Kernel kernel : available_kernels()) {
            const auto got = search(engine, query, kernel);
            ASSERT_EQ(got.size(), 2u);
            for (std::size_t i = 0; i < 2; ++i)
                EXPECT_EQ(std::tuple(got[i].id, got[i].score, got[i].start, got[i].end),
                          std::tuple(expected[i].id, expected[i].score, expected[i].start, expected[i].end))
                    << query << " " << kernel_name(kernel);
        }
    }
}

TEST(Words, AnyOrderFallbacksAndSpans) {
    const std::vector<std::string> texts = {"Kingdom of the United Arab Emirates", "United Kingdom",
                                            "NVIDIA GeForce RTX 4090 graphics card", "geforce now client",
                                            "the kingdom of heaven"};
    Settings settings{250, 2, 10, true, true};
    const ShardedIndex index = index_of(texts, settings);
    for (const Kernel kernel : available_kernels()) {
        const SearchOptions options{nullptr, 1, kernel, nullptr};
        // adjacent words first, whatever their order; then in order further apart
        auto hits = index.search("kingdom untied", options);
        ASSERT_EQ(ids(hits), (std::vector<std::uint32_t>{1, 0, 4}));
        EXPECT_EQ(hits[0].spans, (Spans{{7, 14}, {0, 6}}));
        EXPECT_EQ(std::pair(hits[0].entry.start, hits[0].entry.end), std::pair(0u, 14u));
        EXPECT_EQ(hits[2].spans,
                  (Spans{{4, 11}, NO_SPAN}));  // holds the first word only: after all that hold both
        EXPECT_GT(hits[1].entry.score, 0.5f);  // half the words held: at most half the score
        EXPECT_LE(hits[2].entry.score, 0.5f);
        hits = index.search("nvidia geforce", options);
        EXPECT_EQ(ids(hits), (std::vector<std::uint32_t>{2}));
        // the last word of a query typed as you go is often unfinished
        hits = index.search("geforce rtx zzzzzz", options);
        EXPECT_EQ(ids(hits), (std::vector<std::uint32_t>{2, 3}));
        EXPECT_EQ(hits[0].spans, (Spans{{7, 14}, {15, 18}, NO_SPAN}));
    }
    // one word, and blanks around it: the forgiving mode's results
    Settings forgiving = settings;
    forgiving.words = false;
    for (const char* word : {"kingdom", "untied", "geforc"}) {
        const SearchOptions options{nullptr, 1, Kernel::automatic, &forgiving};
        const auto expected = index.search(word, options);
        const auto got = index.search(std::string("  ") + word + "\t");
        ASSERT_EQ(ids(got), ids(expected)) << word;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].entry.score, expected[i].entry.score);
            EXPECT_EQ(got[i].spans, expected[i].spans);
        }
    }
    EXPECT_TRUE(index.search(" \t ").empty());
}

// Random stores of short and long records, words of every length, every
// form, workers 1 to 3 and shards of several sizes, against the model:
// results, scores (never rising down the ranking), spans and every match.
TEST(Words, EveryFormShardAndWorkerCountAgreesWithTheModel) {
    WorkerPool pool;
    reference::RandomText random(97);
    const bool sampled = std::getenv("MURVEX_SAMPLED") != nullptr;
    for (int round = 0; round < (sampled ? 3 : 10); ++round) {
        Engine engine;
        const std::size_t capacity = 1 + random.below(400);
        ShardedIndex index(Settings{}, capacity);
        const std::size_t n = 200 + random.below(600);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t length = random.below(15) == 0 ? 900 + random.below(1400) : random.below(70);
            std::string text = random(length, length);
            for (const char* word : {"bacD", "dabba", "Zcab"})
                if (random.below(3) == 0 && text.size() > 10)
                    text.replace(random.below(text.size() - 5), 4, word);
            const auto id = static_cast<std::uint32_t>(random.below(300));
            engine.records.append(id, text);
            const std::string_view part = text;
            index.append_joined(id, std::span(&part, 1));
        }
        for (int r = 0; r < 40; ++r) {
            const auto id = static_cast<std::uint32_t>(random.below(300));
            ASSERT_EQ(index.remove(id), engine.records.remove(id));
        }
        for (int q = 0; q < 8; ++q) {
            engine.settings = Settings{static_cast<std::uint16_t>(random.below(4) * 200),
                                       static_cast<std::uint32_t>(random.below(4)), 1 + random.below(30),
                                       true, random.below(4) != 0};
            std::string query;
            for (std::size_t w = 1 + random.below(3); w > 0; --w)
                query += random.mutate(random.below(2)   ? "bacD"
                                       : random.below(2) ? "dabba"
                                                         : random(1, 9),
                                       1) +
                         " ";
            const auto expected = reference::words_search(engine, query);
            const std::string what = "round " + std::to_string(round) + " query '" + query + "'";
            for (std::size_t i = 1; i < expected.size(); ++i)
                ASSERT_LE(expected[i].entry.score, expected[i - 1].entry.score) << what << " hit " << i;
            const Settings settings = engine.settings;
            engine.settings.max_results = engine.records.count();  // every match
            std::vector<std::uint32_t> matching;
            for (const auto& hit : reference::words_search(engine, query)) matching.push_back(hit.entry.id);
            engine.settings = settings;
            std::sort(matching.begin(), matching.end());
            for (const Kernel kernel : available_kernels()) {
                for (std::size_t workers = 1; workers <= 3; ++workers) {
                    const SearchOptions options{&pool, workers, kernel, &settings};
                    const auto got = index.search(query, options);
                    ASSERT_EQ(got.size(), expected.size()) << what << " " << kernel_name(kernel);
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        const ResultEntry& a = got[i].entry;
                        const ResultEntry& b = expected[i].entry;
                        ASSERT_EQ(std::tuple(a.id, a.score, a.start, a.end),
                                  std::tuple(b.id, b.score, b.start, b.end))
                            << what << " hit " << i << " " << kernel_name(kernel) << " workers " << workers;
                        if (!settings.words) continue;
                        Spans spans = expected[i].spans;
                        spans.resize(reference::words_of(query, true).size(), NO_SPAN);
                        ASSERT_EQ(got[i].spans, spans) << what;
                    }
                    std::vector<std::uint32_t> found = index.matching_ids(query, options);
                    std::sort(found.begin(), found.end());
                    ASSERT_EQ(found, matching) << what << " workers " << workers;
                }
                const auto alone = search(engine, query, kernel);  // the single engine's search
                ASSERT_EQ(alone.size(), expected.size()) << what;
                for (std::size_t i = 0; i < alone.size(); ++i)
                    ASSERT_EQ(std::tuple(alone[i].id, alone[i].score, alone[i].start, alone[i].end),
                              std::tuple(expected[i].entry.id, expected[i].entry.score,
                                         expected[i].entry.start, expected[i].entry.end))
                        << what;
            }
        }
    }
}

}  // namespace
}  // namespace murvex
