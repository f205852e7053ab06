// An index that folds: its forgiving and words searches against the model
// run over the folded texts, with the stretches taken back to the records'
// own texts; its strict searches as those of an index that does not fold;
// and the folded store saved and loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "murvex/index.hpp"
#include "murvex/saved.hpp"
#include "murvex/unicode_fold.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

// Texts of words in several scripts, typed with and without their accents
// and in either case, some longer than a lane.
std::string random_text(reference::RandomText& random, std::size_t words) {
    static const std::vector<std::string> vocabulary = {
        "München", "munchen", "MÜNCHEN", "Straße", "strasse", "Île-de-France", "ile",
        "Αθήνα",   "αθηνα",   "Москва",  "москва", "ﬁne",     "cafe\xCC\x81",  "café",
        "abcd",    "Zcab",    "x",       "\xC3",   "😀"};
    std::string text;
    for (std::size_t w = 0; w < words; ++w) {
        if (w > 0) text += random.below(5) == 0 ? "-" : " ";
        text += vocabulary[random.below(vocabulary.size())];
    }
    return text;
}

TEST(Folding, SearchesMatchTheFoldedTextsAndGiveStretchesInTheOwnOnes) {
    WorkerPool pool;
    reference::RandomText random(31);
    for (int round = 0; round < 4; ++round) {
        Engine folded_model;  // the folded texts in a store that does not fold
        ShardedIndex index(Settings{}, 1 + random.below(300), true), plain(Settings{}, 1 + random.below(300));
        std::vector<std::string> texts, folded;
        std::vector<std::vector<std::uint8_t>> runs;
        const std::size_t n = 300 + random.below(300);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::string& text =
                texts.emplace_back(random_text(random, random.below(40) == 0 ? 200 : random.below(9)));
            fold_text(text, folded.emplace_back(), runs.emplace_back());
            folded_model.records.append(i, folded.back());
            const std::string_view part = text;
            index.append_joined(i, std::span(&part, 1));
            plain.append_joined(i, std::span(&part, 1));
        }
        for (int r = 0; r < 30; ++r) {  // removals keep the runs of the others
            const auto id = static_cast<std::uint32_t>(random.below(n));
            ASSERT_EQ(index.remove(id), folded_model.records.remove(id));
            plain.remove(id);
        }
        for (std::size_t p = 0; p < index.count(); ++p) ASSERT_EQ(index.record(p), plain.record(p));

        for (const char* query :
             {"munchen", "MUNCHEN strase", "αθηνα ile", "Straße", "москва fine", "cafe", "zcab München"}) {
            folded_model.settings = Settings{0, 2, 20, true, true};
            std::string folded_query;
            std::vector<std::uint8_t> query_runs;
            fold_text(query, folded_query, query_runs);
            const auto expected = reference::words_search(folded_model, folded_query);
            const std::string what = "round " + std::to_string(round) + " '" + query + "'";
            ASSERT_FALSE(expected.empty()) << what;
            const Settings strict{0, 2, 20};
            const auto strict_expected =
                plain.search(query, SearchOptions{nullptr, 1, Kernel::automatic, &strict});
            for (const Kernel kernel : available_kernels()) {
                for (std::size_t workers = 1; workers <= 3; ++workers) {
                    const SearchOptions options{&pool, workers, kernel, &folded_model.settings};
                    const auto got = index.search(query, options);
                    ASSERT_EQ(got.size(), expected.size()) << what;
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        const auto id = expected[i].entry.id;
                        const auto span = [&](std::uint32_t start, std::uint32_t end) {
                            const auto [s, e] = original_span(folded[id], runs[id], start, end);
                            return std::pair{static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(e)};
                        };
                        ASSERT_EQ(got[i].entry.id, id) << what << " hit " << i;
                        ASSERT_EQ(got[i].entry.score, expected[i].entry.score) << what;
                        ASSERT_EQ(std::pair(got[i].entry.start, got[i].entry.end),
                                  span(expected[i].entry.start, expected[i].entry.end))
                            << what << " " << texts[id];
                        for (std::size_t w = 0; w < expected[i].spans.size(); ++w)
                            ASSERT_EQ(got[i].spans[w],
                                      span(expected[i].spans[w].first, expected[i].spans[w].second))
                                << what << " word " << w;
                    }
                    // The strict mode matches each text as it is.
                    const auto strict_got =
                        index.search(query, SearchOptions{&pool, workers, kernel, &strict});
                    ASSERT_EQ(strict_got.size(), strict_expected.size()) << what;
                    for (std::size_t i = 0; i < strict_got.size(); ++i)
                        ASSERT_EQ(std::tuple(strict_got[i].entry.id, strict_got[i].entry.score,
                                             strict_got[i].entry.end),
                                  std::tuple(strict_expected[i].entry.id, strict_expected[i].entry.score,
                                             strict_expected[i].entry.end))
                            << what << " strict " << kernel_name(kernel);
                    ASSERT_EQ(index.matching_ids(query, SearchOptions{&pool, workers, kernel, &strict}),
                              plain.matching_ids(query, SearchOptions{nullptr, 1, kernel, &strict}));
                }
            }
        }

        // Saved and loaded, it folds and finds as before.
        const std::string path = ::testing::TempDir() + "folding-" + std::to_string(round) + ".murvex";
        save_index(index, path);
        const ShardedIndex loaded = load_index(path);
        if (round == 0) {  // folded with another Unicode's tables, its runs could be read wrong
            std::ifstream in(path, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), {});
            bytes.replace(56, 16, std::string("9.9.9") + std::string(11, '\0'));
            const std::uint64_t sum = checksum(std::string_view(bytes).substr(0, 72));
            std::memcpy(bytes.data() + 72, &sum, 8);
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
            try {
                load_index(path);
                ADD_FAILURE() << "loaded";
            } catch (const SavedIndexError& error) {
                EXPECT_NE(std::string(error.what())
                              .find("folded with other tables (Unicode and form 9.9.9; this murvex's are"),
                          std::string::npos)
                    << error.what();
            }
        }
        std::remove(path.c_str());
        ASSERT_TRUE(loaded.folds());
        for (std::size_t p = 0; p < index.count(); ++p) ASSERT_EQ(loaded.record(p), index.record(p));
        const Settings words{0, 2, 20, true, true};
        for (const char* query : {"munchen", "strase ile αθηνα"}) {
            const auto before = index.search(query, SearchOptions{nullptr, 1, Kernel::automatic, &words});
            const auto after = loaded.search(query, SearchOptions{nullptr, 1, Kernel::automatic, &words});
            ASSERT_EQ(before.size(), after.size());
            for (std::size_t i = 0; i < before.size(); ++i)
                EXPECT_EQ(std::tuple(before[i].entry.id, before[i].entry.start, before[i].spans),
                          std::tuple(after[i].entry.id, after[i].entry.start, after[i].spans));
        }
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// A long record whose letters of one byte stand only in a later window (no
// runs: nothing marks it but its lanes' bytes) comes back whole from a saved
// file, and the strict mode still matches its own text.
TEST(Folding, ALongRecordWithLettersInALaterWindowLoadsWhole) {
    const std::string text = std::string(1500, 'x') + " москва αθηνα " + std::string(600, 'y');
    ShardedIndex index(Settings{0, 2, 10}, MAX_RECORDS, true), plain(Settings{0, 2, 10});
    for (ShardedIndex* each : {&index, &plain}) {
        const std::string_view part = text;
        each->append_joined(7, std::span(&part, 1));
    }
    const std::string path = ::testing::TempDir() + "folding-long.murvex";
    save_index(index, path);
    const ShardedIndex loaded = load_index(path);
    std::remove(path.c_str());
    ASSERT_EQ(loaded.record(0).second, text);
    const Settings words{0, 2, 10, true, true};
    for (const ShardedIndex* each : {static_cast<const ShardedIndex*>(&index), &loaded}) {
        const auto strict = each->search("москва"), expected = plain.search("москва");
        ASSERT_EQ(strict.size(), 1u);
        EXPECT_EQ(std::tuple(strict[0].entry.start, strict[0].entry.end),
                  std::tuple(expected[0].entry.start, expected[0].entry.end));
        const auto folded =
            each->search("МОСКВА αθηνα", SearchOptions{nullptr, 1, Kernel::automatic, &words});
        ASSERT_EQ(folded.size(), 1u);
        EXPECT_EQ(folded[0].spans[0], (std::pair<std::uint32_t, std::uint32_t>(1501, 1513)));
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// A store that folds lays out the same lanes, runs and texts whichever way
// its records come: one by one, as joined parts, or in bulk (with or without
// the caller telling which texts are ASCII); and keeps them through removals.
// Adds `text` to `chunk` as its code points, 16 bits wide where they fit
// (32 where not); as UTF-8 where it is not UTF-8 (a str never is that).
void add_as_str(RecordStore::FoldedChunk& chunk, std::string_view text) {
    std::vector<std::uint32_t> codes;
    for (std::size_t i = 0; i < text.size();) {
        const auto [code, length] = utf8_character(text, i);
        if (code >= 0x110000) return chunk.add(text);
        codes.push_back(code);
        i += length;
    }
    if (std::ranges::all_of(codes, [](std::uint32_t c) { return c <= 0xFFFF; })) {
        const std::vector<std::uint16_t> narrow(codes.begin(), codes.end());
        ASSERT_TRUE(chunk.add_code_points(std::span<const std::uint16_t>(narrow)));
    } else {
        ASSERT_TRUE(chunk.add_code_points(std::span<const std::uint32_t>(codes)));
    }
}

TEST(Folding, FoldedTextsGoOnlyToAStoreThatFoldsOneIdEach) {
    RecordStore plain(false), folds(true);
    RecordStore::FoldedChunk chunk;
    chunk.add("Straße");
    chunk.add("plain", true);
    const std::uint32_t ids[] = {1, 2};
    EXPECT_THROW(RecordStore::BulkAppend(plain, 2, 0).append(ids, chunk), std::invalid_argument);
    EXPECT_THROW(RecordStore::BulkAppend(folds, 2, 0).append(std::span(ids, 1), chunk),
                 std::invalid_argument);
    EXPECT_THROW(folds.append_folded(1, chunk), std::invalid_argument);  // two texts, not one
    EXPECT_EQ(plain.count() + folds.count(), 0u);
    RecordStore::BulkAppend(folds, 2, 0).append(ids, chunk);
    EXPECT_EQ(folds.text(0), "Straße");
    EXPECT_EQ(folds.text(1), "plain");
}

TEST(Folding, EveryWayOfAppendingFoldsAlike) {
    reference::RandomText random(5);
    for (int round = 0; round < 6; ++round) {
        std::vector<std::string> texts(700 + random.below(600));
        for (std::string& text : texts)
            text = (random.below(4) == 0 ? std::string(random(0, 40)) : random_text(random, random.below(9)));
        texts.push_back(random_text(random, 300));  // longer than a lane
        std::vector<std::string_view> views(texts.begin(), texts.end());
        std::vector<std::uint32_t> ids(texts.size());
        std::vector<std::uint8_t> ascii(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            ids[i] = static_cast<std::uint32_t>(i);
            ascii[i] = std::all_of(texts[i].begin(), texts[i].end(), [](char c) { return c >= 0; });
        }
        RecordStore one_by_one(true), bulk(true), told(true), as_code_points(true), folded_one_by_one(true);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i % 3 == 0) {  // as two parts joined by a space, where the text has one
                const std::size_t space = texts[i].find(' ');
                if (space != std::string::npos) {
                    const std::string_view parts[] = {views[i].substr(0, space), views[i].substr(space + 1)};
                    one_by_one.append_joined(ids[i], parts);
                    continue;
                }
            }
            one_by_one.append(ids[i], views[i]);
        }
        bulk.append_many(ids, views);
        RecordStore::BulkAppend(told, texts.size(), 0).append(ids, views, ascii);
        // Read as a str holds its text (UCS-2 here; UCS-4 past it), folded as
        // read, in chunks and one record at a time.
        RecordStore::BulkAppend read(as_code_points, texts.size(), 0);
        RecordStore::FoldedChunk chunk, one;
        for (std::size_t first = 0; first < texts.size(); first += 1000) {
            chunk.clear();
            const std::size_t last = std::min(texts.size(), first + 1000);
            for (std::size_t i = first; i < last; ++i) {
                add_as_str(chunk, views[i]);
                one.clear();
                add_as_str(one, views[i]);
                folded_one_by_one.append_folded(ids[i], one);
            }
            read.append(std::span(ids).subspan(first, last - first), chunk);
        }
        for (std::uint32_t id = 0; id < texts.size(); id += 7)
            for (RecordStore* store : {&one_by_one, &bulk, &told, &as_code_points, &folded_one_by_one})
                store->remove(id);
        ASSERT_EQ(bulk.count(), one_by_one.count());
        for (std::size_t i = 0; i < one_by_one.count(); ++i) {
            const std::string& text = texts[one_by_one.id(i)];
            std::string lane;
            one_by_one.append_lane_text(i, lane);
            for (const RecordStore* store :
                 {&one_by_one, &bulk, &told, &as_code_points, &folded_one_by_one}) {
                ASSERT_EQ(store->text(i), text) << round << " " << i;
                std::string other;
                store->append_lane_text(i, other);
                ASSERT_EQ(other, lane);
                ASSERT_TRUE(std::ranges::equal(store->runs(i), one_by_one.runs(i)));
                ASSERT_EQ(store->char_mask(i), reference::char_mask(lane));
            }
        }
    }
}

}  // namespace
}  // namespace murvex
