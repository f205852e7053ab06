#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "murvex/fold.hpp"
#include "murvex/store.hpp"

namespace murvex {
namespace {

std::vector<std::uint32_t> ids(const RecordStore& store) {
    std::vector<std::uint32_t> out;
    out.reserve(store.count());
    for (std::size_t i = 0; i < store.count(); ++i) out.push_back(store[i].id);
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
    EXPECT_EQ(store[0].text, "Ab");
    EXPECT_EQ(store[1].text, "aB");
    EXPECT_EQ(store[0].char_mask, store[1].char_mask);
    EXPECT_EQ(store[2].text, "");
    EXPECT_EQ(store[2].char_mask, 0u);
}

TEST(RecordStore, JoinsPartsWithSingleSpaces) {
    RecordStore store;
    const std::vector<std::string_view> two{"Hello", "World"}, with_empty{"a", ""}, empties{"", ""}, none{};
    store.append_joined(1, two);
    store.append_joined(2, with_empty);
    store.append_joined(3, empties);
    store.append_joined(4, none);
    EXPECT_EQ(store[0].text, "Hello World");
    EXPECT_EQ(store[0].char_mask, char_mask("hello world"));
    EXPECT_EQ(store[1].text, "a ");
    EXPECT_EQ(store[2].text, " ");
    EXPECT_EQ(store[3].text, "");
}

TEST(RecordStore, DuplicateIdsAreRemovedOneAtATimeFromTheFront) {
    RecordStore store;
    store.append(5, "first");
    store.append(6, "other");
    store.append(5, "second");
    EXPECT_EQ(store.count(), 3u);
    EXPECT_TRUE(store.remove(5));
    EXPECT_EQ(ids(store), (std::vector<std::uint32_t>{6, 5}));
    EXPECT_EQ(store[1].text, "second");
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
    EXPECT_EQ(store[0].text, "R2");
    EXPECT_EQ(store[1].text, "R3");
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
        const std::uint32_t id = store[i].id;
        EXPECT_EQ(id % 7, 0u);
        EXPECT_EQ(store[i].text, std::string(id % 50, static_cast<char>('a' + id % 26)));
        EXPECT_EQ(store[i].char_mask, char_mask(store[i].text));
    }
    EXPECT_EQ(store[store.count() - 1].text, "tail");
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
    EXPECT_EQ(store[0].id, 77u);
    EXPECT_EQ(store[0].text, "again");
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
    EXPECT_EQ(store[0].text, "kept");
    store.append(3, "after");
    EXPECT_EQ(store[1].text, "after");
}

}  // namespace
}  // namespace murvex
