#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/kernels.hpp"
#include "murvex/arena.hpp"
#include "murvex/fold.hpp"
#include "murvex/search.hpp"
#include "murvex/store.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

std::vector<std::uint32_t> ids(const RecordStore& store) {
    std::vector<std::uint32_t> out;
    out.reserve(store.count());
    for (std::size_t i = 0; i < store.count(); ++i) out.push_back(store.id(i));
    return out;
}

TEST(RecordStore, StartsEmptyWithRoomForAThousand) {
    RecordStore store;
    EXPECT_EQ(store.count(), 0u);
    EXPECT_FALSE(store.is_full());
    EXPECT_GE(store.capacity(), INITIAL_CAPACITY);
}

TEST(RecordStore, KeepsTextsAsGivenWithTheirMasks) {
    RecordStore store;
    store.append(1, "Ab");
    store.append(2, "aB");
    store.append(3, "");
    ASSERT_EQ(store.count(), 3u);
    EXPECT_EQ(store.text(0), "Ab");
    EXPECT_EQ(store.text(1), "aB");
    EXPECT_EQ(store.char_mask(0), store.char_mask(1));
    EXPECT_EQ(store.text(2), "");
    EXPECT_EQ(store.char_mask(2), 0u);
}

TEST(RecordStore, JoinsPartsWithSingleSpaces) {
    RecordStore store;
    const std::vector<std::string_view> two{"Hello", "World"}, with_empty{"a", ""}, empties{"", ""}, none{};
    store.append_joined(1, two);
    store.append_joined(2, with_empty);
    store.append_joined(3, empties);
    store.append_joined(4, none);
    EXPECT_EQ(store.text(0), "Hello World");
    EXPECT_EQ(store.char_mask(0), char_mask("hello world"));
    EXPECT_EQ(store.text(1), "a ");
    EXPECT_EQ(store.text(2), " ");
    EXPECT_EQ(store.text(3), "");
}

TEST(RecordStore, DuplicateIdsAreRemovedOneAtATimeFromTheFront) {
    RecordStore store;
    store.append(5, "first");
    store.append(6, "other");
    store.append(5, "second");
    EXPECT_EQ(store.count(), 3u);
    EXPECT_TRUE(store.remove(5));
    EXPECT_EQ(ids(store), (std::vector<std::uint32_t>{6, 5}));
    EXPECT_EQ(store.text(1), "second");
    EXPECT_TRUE(store.remove(5));
    EXPECT_FALSE(store.remove(5));
    EXPECT_EQ(ids(store), (std::vector<std::uint32_t>{6}));
}

TEST(RecordStore, RemoveClosesTheGapInOrder) {
    RecordStore store;
    for (std::uint32_t id = 1; id <= 3; ++id) store.append(id, std::string(1, 'R') += std::to_string(id));
    EXPECT_FALSE(store.remove(42));
    EXPECT_EQ(store.count(), 3u);
    EXPECT_TRUE(store.remove(1));
    EXPECT_EQ(ids(store), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(store.text(0), "R2");
    EXPECT_EQ(store.text(1), "R3");
}

// Removing most records reclaims their text space; the survivors' texts and
// masks must come through unchanged and later appends must still work.
TEST(RecordStore, TextsSurviveManyRemovals) {
    RecordStore store;
    for (std::uint32_t id = 0; id < 3000; ++id)
        store.append(id, std::string(id % 50, static_cast<char>('a' + id % 26)));
    for (std::uint32_t id = 0; id < 3000; ++id)
        if (id % 7 != 0) {
            ASSERT_TRUE(store.remove(id));
        }
    store.append(9999, "tail");
    ASSERT_EQ(store.count(), 3000u / 7 + 1 + 1);
    for (std::size_t i = 0; i + 1 < store.count(); ++i) {
        const std::uint32_t id = store.id(i);
        EXPECT_EQ(id % 7, 0u);
        EXPECT_EQ(store.text(i), std::string(id % 50, static_cast<char>('a' + id % 26)));
        EXPECT_EQ(store.char_mask(i), char_mask(store.text(i)));
    }
    EXPECT_EQ(store.text(store.count() - 1), "tail");
}

// A bulk append that fails part-way (here at a text of 5 GiB, refused
// before a byte of it is read) keeps the records before the failing one
// whole: placed and written, bytes and masks, not left as zero bytes.
TEST(RecordStore, AFailingBulkAppendKeepsTheRecordsBeforeItWhole) {
    reference::RandomText random(17);
    std::vector<std::string> owned(40);
    for (std::string& text : owned) text = random(1, 60) + "abcd";
    std::vector<std::string_view> texts(owned.begin(), owned.end());
    texts.push_back(std::string_view(owned[0].data(), std::size_t{5} << 30));
    std::vector<std::uint32_t> ids(texts.size());
    for (std::uint32_t i = 0; i < ids.size(); ++i) ids[i] = i;
    RecordStore store;
    RecordStore::BulkAppend bulk(store, texts.size(), 0);
    EXPECT_THROW(bulk.append(ids, texts), std::length_error);
    ASSERT_EQ(store.count(), owned.size());
    for (std::size_t i = 0; i < owned.size(); ++i) {
        EXPECT_EQ(store.text(i), owned[i]) << i;
        EXPECT_EQ(store.char_mask(i), char_mask(owned[i])) << i;
    }
    Engine engine{std::move(store), Settings{0, 0, 100}};
    EXPECT_EQ(search(engine, "abcd").size(), std::min<std::size_t>(owned.size(), 100));
}

// A bulk append writes eight neighbouring lanes at a time, also lanes freed
// in a block whose other lanes hold texts (freed last to first, so that they
// are taken again first to last); every text and mask must come through.
TEST(RecordStore, BulkAppendIntoFreedAndFreshLanesKeepsEveryText) {
    RecordStore store, in_runs;
    std::vector<std::string> kept;
    for (std::uint32_t id = 0; id < 640; ++id) {
        kept.push_back(std::string(16, static_cast<char>('a' + id % 26)) + std::to_string(1000 + id));
        store.append(id, kept.back());
        in_runs.append(id, kept.back());
    }
    for (std::uint32_t id = 640; id-- > 0;)
        if (id % 64 >= 8 && id % 64 < 24) {
            ASSERT_TRUE(store.remove(id));
            ASSERT_TRUE(in_runs.remove(id));
        }
    std::vector<std::string> owned;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        // the first ones of the freed lanes' length class, the others of any
        const std::size_t length = i < 200 ? 13 + i % 8 : i * 7 % 90;
        owned.push_back(std::string(length, static_cast<char>('A' + i % 26)) + std::to_string(1000 + i));
        ids.push_back(1000 + i);
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    store.append_many(ids, texts);
    std::vector<std::string> expected;
    for (std::uint32_t id = 0; id < 640; ++id)
        if (!(id % 64 >= 8 && id % 64 < 24)) expected.push_back(kept[id]);
    expected.insert(expected.end(), owned.begin(), owned.end());
    ASSERT_EQ(store.count(), expected.size());
    for (std::size_t i = 0; i < store.count(); ++i) {
        ASSERT_EQ(store.text(i), expected[i]) << i;
        ASSERT_EQ(store.char_mask(i), char_mask(expected[i])) << i;
    }

    // The same records appended in runs of any length, each run's texts
    // gone once it is appended, take the same lanes.
    {
        RecordStore::BulkAppend bulk(in_runs, texts.size(), 1 << 30);
        for (std::size_t first = 0, run = 1; first < texts.size(); first += run, run = run * 7 % 1500 + 1) {
            const std::size_t n = std::min(run, texts.size() - first);
            const auto run_owned = std::span(owned).subspan(first, n);
            std::vector<std::string> copies(run_owned.begin(), run_owned.end());
            const std::vector<std::string_view> run_texts(copies.begin(), copies.end());
            bulk.append(std::span(ids).subspan(first, n), run_texts);
        }
    }
    ASSERT_EQ(in_runs.count(), store.count());
    ASSERT_EQ(in_runs.block_count(), store.block_count());
    for (std::size_t i = 0; i < store.count(); ++i) {
        ASSERT_EQ(in_runs.text(i), expected[i]) << i;
        ASSERT_EQ(in_runs.char_mask(i), store.char_mask(i)) << i;
    }
    for (std::size_t b = 0; b < store.block_count(); ++b) {
        const LaneBlock ours = in_runs.block(b), theirs = store.block(b);
        ASSERT_EQ(ours.rows, theirs.rows) << b;
        ASSERT_EQ(ours.live, theirs.live) << b;
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            if (theirs.live >> lane & 1) {
                ASSERT_EQ(ours.ids[lane], theirs.ids[lane]) << b << " " << lane;
            }
        }
    }
}

// Every form of the eight-lane writer lays texts down the lanes byte for
// byte, zeros to the longest text's last row, and finds the masks the
// definition gives: every byte value (0 and '@' share a bit with bytes past
// a text's end), texts ending at each place in a row and longer than any
// other by many rows.
TEST(EightLanes, EveryFormWritesTheTextsAndTheirMasks) {
    reference::RandomText random(20);
    constexpr std::size_t ROWS = 96, FIRST_LANE = 16;
    for (int round = 0; round < 400; ++round) {
        std::string owned[8];
        std::string_view texts[8];
        const std::size_t longest_allowed = round % 4 == 0 ? ROWS : 1 + random.below(24);
        for (int j = 0; j < 8; ++j) {
            owned[j].resize(random.below(longest_allowed + 1));
            for (char& c : owned[j])
                c = static_cast<char>(round % 2 ? random.below(256) : "Az@\0 \x80Q"[random.below(7)]);
            texts[j] = owned[j];
        }
        std::size_t rows = 0;
        for (const std::string& text : owned) rows = std::max(rows, (text.size() + 7) / 8 * 8);
        for (const detail::KernelForm& form : detail::kernel_forms()) {
            if (!form.write_eight || !form.available()) continue;
            std::vector<std::uint8_t> lanes((ROWS + 8) * LANES, 0xEE);
            std::uint64_t masks[8];
            form.write_eight(texts, lanes.data() + FIRST_LANE, masks);
            for (int j = 0; j < 8; ++j) {
                ASSERT_EQ(masks[j], reference::char_mask(owned[j])) << form.name << " round " << round;
                for (std::size_t p = 0; p < rows; ++p)
                    ASSERT_EQ(lanes[p * LANES + FIRST_LANE + j],
                              p < owned[j].size() ? static_cast<std::uint8_t>(owned[j][p]) : 0)
                        << form.name << " round " << round << " text " << j << " byte " << p;
            }
            for (std::size_t at = 0; at < lanes.size(); ++at) {
                if (at / LANES >= rows || at % LANES < FIRST_LANE || at % LANES >= FIRST_LANE + 8) {
                    ASSERT_EQ(lanes[at], 0xEE)
                        << form.name << " round " << round << " wrote outside at " << at;
                }
            }
        }
    }
}

// A pass of several queries over a block finds in each lane what each
// query's own scan finds, in every form: patterns of 1-32 bytes (those of
// more than 8 leaving the pass where a lane carries out of their first 8),
// budgets 0-3 mixed in a pack, both modes, any lanes, patterns that are
// prefixes and suffixes of each other, matches at the lanes' ends.
TEST(Kernel, APackFindsWhatEachQueryFindsAlone) {
    reference::RandomText random(83);
    for (int round = 0; round < 16; ++round) {
        const std::size_t longest = round % 2 ? 8 : 32;
        const std::string stem = random(longest, longest);
        RecordStore store;
        for (std::uint32_t id = 0; id < 300; ++id) {
            std::string text = random(0, 100);
            if (random.below(2)) text += random.mutate(stem, static_cast<std::uint32_t>(random.below(3)));
            store.append(id, text);
        }
        for (const bool forgiving : {false, true}) {
            std::vector<detail::CompiledQuery> queries;
            for (int q = 0; q < 4; ++q) {
                const std::size_t m = 1 + random.below(longest);
                const std::string query = q == 0   ? stem.substr(0, m)
                                          : q == 1 ? stem.substr(longest - m)
                                                   : random(m, m);
                queries.push_back(detail::compile_query(query, forgiving));
            }
            const detail::KernelForm& one_by_one = detail::kernel_form(Kernel::one_by_one);
            for (const detail::KernelForm& form : detail::kernel_forms()) {
                if (!form.available()) continue;
                for (std::size_t b = 0; b < store.block_count(); ++b) {
                    const LaneBlock block = store.block(b);
                    const std::size_t count = 1 + random.below(form.pack);
                    std::vector<detail::LaneMatches> alone(count), packed(count), oracle(count);
                    std::vector<detail::PackMember> members;
                    for (std::size_t q = 0; q < count; ++q) {
                        const auto k = static_cast<std::uint32_t>(random.below(4));
                        const std::uint64_t active =
                            block.live & (random.below(3) ? ~std::uint64_t{0} : random.below(UINT64_MAX));
                        form.scan(queries[q], k, block, active, block.rows, alone[q]);
                        one_by_one.scan(queries[q], k, block, active, block.rows, oracle[q]);
                        members.push_back(detail::PackMember{&queries[q], k, active, &packed[q]});
                    }
                    form.scan_pack(members, block);
                    // The pass against the form's own scan, then against the one-by-one matcher.
                    for (const auto* expected : {&alone, &oracle}) {
                        for (std::size_t q = 0; q < count; ++q) {
                            const detail::LaneMatches& want = (*expected)[q];
                            ASSERT_EQ(packed[q].found, want.found)
                                << form.name << " round " << round << " block " << b << " member " << q;
                            for (std::uint64_t lanes = want.found; lanes; lanes &= lanes - 1) {
                                const int lane = std::countr_zero(lanes);
                                ASSERT_EQ(packed[q].errors[lane], want.errors[lane])
                                    << form.name << " lane " << lane;
                                ASSERT_EQ(packed[q].end[lane], want.end[lane])
                                    << form.name << " lane " << lane;
                            }
                        }
                    }
                }
            }
        }
    }
}

// Pages for bulk appends come as whole huge pages on a huge page boundary,
// zeroed; the arena takes them only while prefaulting.
TEST(Pages, FilledPagesAreWholeAlignedAndZeroed) {
    Pages pages = Pages::filled(3 << 20);
#ifdef __linux__  // elsewhere they are ordinary pages that come on first touch
    ASSERT_EQ(pages.size(), std::size_t{4} << 20);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages.data()) % Pages::HUGE_PAGE_BYTES, 0u);
#endif
    for (std::size_t at = 0; at < pages.size(); at += 4096) ASSERT_EQ(pages.data()[at], 0) << at;
    pages.data()[pages.size() - 1] = 1;
    const Pages moved = std::move(pages);
    EXPECT_EQ(moved.data()[moved.size() - 1], 1);
    EXPECT_EQ(Pages::lazy(0).data(), nullptr);

    BlockArena arena;
    arena.allocate(100);
    EXPECT_EQ(arena.mapped_bytes(), BlockArena::CHUNK_BYTES);
    arena.set_prefault(true);
    arena.allocate(BlockArena::CHUNK_BYTES);  // no room left in the first chunk
    EXPECT_EQ(arena.mapped_bytes(), BlockArena::CHUNK_BYTES + Pages::HUGE_PAGE_BYTES);
    arena.release();
    EXPECT_EQ(arena.mapped_bytes(), 0u);
}

TEST(RecordStore, FullAtOneHundredThousandUntilARemoval) {
    RecordStore store;
    for (std::uint32_t id = 0; id + 1 < MAX_RECORDS; ++id) store.append(id, "x");
    EXPECT_FALSE(store.is_full());
    store.append(7, "last");
    EXPECT_EQ(store.count(), MAX_RECORDS);
    EXPECT_TRUE(store.is_full());
    EXPECT_TRUE(store.remove(7));
    EXPECT_FALSE(store.is_full());
}

TEST(RecordStore, ResetEmptiesButKeepsTheRoom) {
    RecordStore store;
    store.reset();  // on an empty store: nothing to do
    for (std::uint32_t id = 0; id < 1500; ++id) store.append(id, "text");
    const std::size_t room = store.capacity();
    EXPECT_GE(room, 2000u);
    store.reset();
    EXPECT_EQ(store.count(), 0u);
    EXPECT_EQ(store.capacity(), room);
    store.append(77, "again");
    EXPECT_EQ(store.id(0), 77u);
    EXPECT_EQ(store.text(0), "again");
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// A text too long for 32-bit match positions is refused before any byte is
// read or stored.
TEST(RecordStore, RefusesTextsOf4GiBOrMore) {
    RecordStore store;
    store.append(1, "kept");
    const char byte = 'x';
    const std::string_view half(&byte, std::size_t{1} << 31);  // never read
    const std::vector<std::string_view> parts{half, half};
    EXPECT_THROW(store.append_joined(2, parts), std::length_error);
    ASSERT_EQ(store.count(), 1u);
    EXPECT_EQ(store.text(0), "kept");
    store.append(3, "after");
    EXPECT_EQ(store.text(1), "after");
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// Regression (found by fuzz_store): the first record of a store having an
// empty text made a block of no rows in a buffer with no memory yet; zeroing
// it passed a null pointer to memset, and finding the lane offset one.
TEST(RecordStore, EmptyTextAsTheVeryFirstRecord) {
    RecordStore store;
    store.append(1, "");
    store.append(2, "x");
    store.append(3, "");
    EXPECT_EQ(store.count(), 3u);
    EXPECT_EQ(store.text(0), "");
    EXPECT_EQ(store.text(1), "x");
    EXPECT_TRUE(store.remove(1));
    EXPECT_EQ(store.id(0), 2u);
}

}  // namespace
}  // namespace murvex

namespace murvex {

struct RecordStoreTestAccess {
    static void set_next_seq(RecordStore& store, std::uint32_t seq) { store.next_seq_ = seq; }
};

namespace {

// When sequence numbers run out they are dealt again in store order, and
// they must still order the records as the store does.
TEST(RecordStore, SequenceNumbersStayInStoreOrderWhenTheyRunOut) {
    RecordStore store;
    store.append(1, "a");
    store.append(2, std::string(2000, 'b'));  // a long text
    store.append(3, "c");
    RecordStoreTestAccess::set_next_seq(store, UINT32_MAX - 1);
    store.append(4, "d");                     // takes UINT32_MAX - 1
    store.append(5, std::string(1500, 'e'));  // runs out: everything is renumbered
    store.append(6, "f");
    ASSERT_TRUE(store.remove(1));
    for (std::size_t i = 0; i + 1 < store.count(); ++i) EXPECT_LT(store.seq(i), store.seq(i + 1)) << i;
    EXPECT_LT(store.seq(store.count() - 1), 10u);
}

// The same seen through a search: equal scores must still come in store
// order, long records included, after a remove and the renumbering.
TEST(RecordStore, TiesKeepStoreOrderAfterSequenceNumbersRunOutWithLongRecords) {
    for (const Kernel kernel : {Kernel::automatic, Kernel::avx2, Kernel::one_by_one}) {
        Engine engine;
        engine.records.append(1, "tie A");
        engine.records.append(2, "tie B");
        engine.records.append(3, "tie L" + std::string(1500, '.'));
        ASSERT_TRUE(engine.records.remove(1));
        RecordStoreTestAccess::set_next_seq(engine.records, UINT32_MAX);
        engine.records.append(4, "tie C");  // runs out: everything is renumbered
        std::vector<std::uint32_t> found;
        for (const ResultEntry& entry : search(engine, "tie", kernel)) found.push_back(entry.id);
        EXPECT_EQ(found, (std::vector<std::uint32_t>{2, 3, 4})) << static_cast<int>(kernel);
    }
}

// With max_results 2 the pruning decides: a long record's windows must take
// its new place too, or they would look later than the ranking's last entry.
TEST(RecordStore, RenumberingMovesWindowsWithTheirRecord) {
    for (const Kernel kernel : available_kernels()) {
        Engine engine;
        engine.settings.max_results = 2;
        for (std::uint32_t id = 10; id < 15; ++id) engine.records.append(id, "zzz");
        engine.records.append(2, "tie B");
        engine.records.append(3, "tie L" + std::string(1500, '.'));
        for (std::uint32_t id = 10; id < 15; ++id) ASSERT_TRUE(engine.records.remove(id));
        RecordStoreTestAccess::set_next_seq(engine.records, UINT32_MAX);
        engine.records.append(4, "tie C");  // runs out: B, L and C become 0, 1 and 2
        std::vector<std::uint32_t> found;
        for (const ResultEntry& entry : search(engine, "tie", kernel)) found.push_back(entry.id);
        EXPECT_EQ(found, (std::vector<std::uint32_t>{2, 3})) << kernel_name(kernel);
    }
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

std::string numbered_text(std::size_t length, std::uint32_t seed) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    return text;
}

// Long texts live in overlapping windows; they come back whole, with the
// whole text's mask, also after other long records around them are removed.
TEST(RecordStore, LongTextsComeBackWholeThroughRemovals) {
    RecordStore store;
    std::vector<std::pair<std::uint32_t, std::string>> model;
    std::uint32_t id = 0;
    for (const std::size_t length :
         {1023u, 1024u, 1025u, 1058u, 1059u, 2013u, 2014u, 4096u, 70000u, 12u, 0u}) {
        model.emplace_back(id, numbered_text(length, id));
        store.append(id, model.back().second);
        ++id;
    }
    for (const std::uint32_t gone : {2u, 5u, 8u}) {
        ASSERT_TRUE(store.remove(gone));
        std::erase_if(model, [&](const auto& record) { return record.first == gone; });
    }
    model.emplace_back(99, numbered_text(2990, 99) + "0123456789");
    store.append(99, model.back().second);
    ASSERT_EQ(store.count(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(store.id(i), model[i].first);
        EXPECT_EQ(store.text(i), model[i].second) << "record " << model[i].first;
        EXPECT_EQ(store.char_mask(i), char_mask(model[i].second));
    }
    Engine engine;
    engine.records = std::move(store);
    const std::string tail = "0123456789";  // the very end of the newest long text
    const auto found = search(engine, tail);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].id, 99u);
    EXPECT_EQ(found[0].end, 3000u);
}

}  // namespace
}  // namespace murvex

namespace murvex {
namespace {

// A small store does not open a block per length class: 100 texts of 30 to
// 230 bytes (26 classes) share a few blocks, and every form still finds
// what the reference finds in them.
TEST(RecordStore, SmallStoresShareBlocksAcrossLengthClasses) {
    Engine engine;
    reference::RandomText random(8);
    for (std::uint32_t i = 0; i < 100; ++i) {
        const std::size_t length = 30 + (i * 37) % 200;
        engine.records.append(i, random(length, length) + (i % 3 ? "abcd" : ""));
    }
    EXPECT_LE(engine.records.block_count(), 8u);  // one per class would be 26
    for (const char* query : {"abcd", "bcda", "abcdzz"}) {
        std::vector<std::uint32_t> expected, found;
        for (const ResultEntry& e : reference::search(engine, query)) expected.push_back(e.id);
        for (const Kernel kernel : available_kernels()) {
            found.clear();
            for (const ResultEntry& e : search(engine, query, kernel)) found.push_back(e.id);
            EXPECT_EQ(found, expected) << kernel_name(kernel) << " " << query;
        }
    }
}

// A store laid out from the blocks of one that append_many() filled holds
// the same records and answers alike, small-store sharing and windows
// included; masks of lanes without a text are dropped, and a failure leaves
// it empty.
TEST(RecordStore, LaidOutFromAFilledStoresBlocksItAnswersAlike) {
    reference::RandomText random(12);
    std::vector<std::string> owned;
    std::vector<std::uint32_t> ids, lengths;
    for (std::uint32_t i = 0; i < 900; ++i) {
        owned.push_back(i % 97 == 5 ? random(1025, 3000)
                                    : random(0, i < 200 ? 300 : 70) + (i % 3 ? "abcd" : ""));
        ids.push_back(i % 50);
        lengths.push_back(static_cast<std::uint32_t>(owned.back().size()));
    }
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    std::vector<std::string_view> long_texts;
    for (const std::string_view text : texts)
        if (text.size() > LANE_TEXT_LIMIT) long_texts.push_back(text);
    Engine filled;
    filled.records.append_many(ids, texts);
    const auto copy_blocks = [&filled](std::span<const RecordStore::BlockToFill> blocks) {
        ASSERT_EQ(blocks.size(), filled.records.block_count());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const LaneBlock block = filled.records.block(b);
            ASSERT_EQ(blocks[b].rows, block.rows);
            std::copy_n(block.data, block.rows * LANES, blocks[b].data);
            for (int bit = 0; bit < 64; ++bit)
                blocks[b].lanes_with[bit] = block.lanes_with[bit] | ~block.live;
        }
    };
    Engine laid;
    laid.records.append_laid_out(ids, lengths, long_texts, copy_blocks);
    ASSERT_EQ(laid.records.count(), filled.records.count());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(laid.records.text(i), texts[i]) << i;
        ASSERT_EQ(laid.records.id(i), ids[i]) << i;
        ASSERT_EQ(laid.records.char_mask(i), char_mask(texts[i])) << i;
    }
    for (const char* query : {"abcd", "zZa", "\xC3\xA9!a"}) {
        std::vector<std::uint32_t> expected, found;
        for (const ResultEntry& e : reference::search(filled, query)) expected.push_back(e.id);
        for (const ResultEntry& e : search(laid, query)) found.push_back(e.id);
        EXPECT_EQ(found, expected) << query;
    }
    // Its lanes are free or taken as the filled store's: removals and later
    // appends leave the two alike.
    for (Engine* engine : {&filled, &laid}) {
        reference::RandomText more(13);
        for (std::uint32_t id = 0; id < 50; id += 7) engine->records.remove(id);
        for (std::uint32_t i = 0; i < 300; ++i)
            engine->records.append(100 + i, more(0, i % 50 == 0 ? 2000 : 90));
    }
    ASSERT_EQ(laid.records.count(), filled.records.count());
    ASSERT_EQ(laid.records.block_count(), filled.records.block_count());
    for (std::size_t i = 0; i < filled.records.count(); ++i) {
        ASSERT_EQ(laid.records.text(i), filled.records.text(i)) << i;
        ASSERT_EQ(laid.records.char_mask(i), filled.records.char_mask(i)) << i;
    }

    EXPECT_THROW(laid.records.append_laid_out(ids, lengths, long_texts, copy_blocks), std::invalid_argument);
    RecordStore failed;
    EXPECT_THROW(failed.append_laid_out(ids, lengths, std::span(long_texts).first(1), copy_blocks),
                 std::invalid_argument);
    EXPECT_EQ(failed.count(), 0u);
    EXPECT_EQ(failed.block_count(), 0u);
    EXPECT_THROW(
        failed.append_laid_out(ids, lengths, long_texts,
                               [](std::span<const RecordStore::BlockToFill>) { throw std::bad_alloc(); }),
        std::bad_alloc);
    EXPECT_EQ(failed.count(), 0u);
    EXPECT_EQ(failed.block_count(), 0u);
    failed.append(7, "after");
    EXPECT_EQ(failed.text(0), "after");
}

}  // namespace
}  // namespace murvex
