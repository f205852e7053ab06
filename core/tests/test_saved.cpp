#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "murvex/saved.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

std::string temp_path(const char* name) { return ::testing::TempDir() + name; }

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint64_t read_u64(const std::string& bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
}

void write_all(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Records of up to 65 bytes; every tenth of up to `longest` + 5.
ShardedIndex sample_index(std::size_t records, std::size_t capacity, std::size_t longest = 1500) {
    reference::RandomText random(4);
    ShardedIndex index(Settings{500, 3, 7}, capacity);
    for (std::uint32_t i = 0; i < records; ++i) {
        const std::string text =
            random(0, i % 10 == 0 ? longest : std::min<std::size_t>(longest, 60)) + (i % 3 ? " abcD" : "");
        const std::string_view part = text;
        index.append_joined(i % 17, std::span(&part, 1));
    }
    return index;
}

TEST(SavedIndex, LoadsAsItWasSavedTiesAndSettingsIncluded) {
    ShardedIndex index = sample_index(700, 150);
    index.remove(3);
    for (std::uint32_t id = 0; id < 17; ++id)
        index.remove_from(2, id);  // an emptied shard comes back as none
    const std::string path = temp_path("round-trip.murvex");
    save_index(index, path);
    const ShardedIndex loaded = load_index(path);
    EXPECT_EQ(loaded.count(), index.count());
    EXPECT_EQ(loaded.shard_capacity(), 150u);
    EXPECT_EQ(loaded.settings().threshold, 500);
    EXPECT_EQ(loaded.settings().max_errors, 3u);
    EXPECT_EQ(loaded.settings().max_results, 7u);
    for (const char* query : {"abcd", "ab", "zZaa",
                              "\xC3\xA9"
                              "abcd"}) {
        const auto before = index.search(query), after = loaded.search(query);
        ASSERT_EQ(before.size(), after.size()) << query;
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(before[i].entry.id, after[i].entry.id) << query;
            EXPECT_EQ(before[i].entry.score, after[i].entry.score) << query;
            EXPECT_EQ(before[i].entry.end, after[i].entry.end) << query;
        }
    }
    std::remove(path.c_str());
}

// Every byte of a small file flipped, and every length it could be cut to:
// each is refused with the file's name, never half loaded.
TEST(SavedIndex, EveryFlippedByteAndEveryTruncationIsRefused) {
    const std::string path = temp_path("small.murvex");
    ShardedIndex small = sample_index(8, 3, 20);
    for (std::uint32_t id = 3; id < 6; ++id) small.remove_from(1, id);  // an emptied shard is checked too
    save_index(small, path);
    const std::string good = read_all(path);
    const std::string bad = temp_path("bad.murvex");
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
        write_all(bad, flipped);
        try {
            load_index(bad);
            ADD_FAILURE() << "byte " << at << " flipped was loaded";
        } catch (const SavedIndexError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(bad + ": ", 0), 0u) << error.what();
        }
    }
    for (std::size_t length = 0; length < good.size(); ++length) {
        write_all(bad, good.substr(0, length));
        EXPECT_THROW(load_index(bad), SavedIndexError) << "cut to " << length;
    }
    write_all(bad, good + "x");
    EXPECT_THROW(load_index(bad), SavedIndexError);
    std::string other = good;
    for (const auto& [version, message] :
         {std::pair{3, "saved by a newer murvex (file format 3; this one reads up to 2)"},
          std::pair{1, "saved by an older murvex (file format 1; this one reads 2)"}}) {
        other[8] = static_cast<char>(version);
        write_all(bad, other);
        try {
            load_index(bad);
            ADD_FAILURE();
        } catch (const SavedIndexError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(load_index(temp_path("missing.murvex")), std::system_error);
    std::remove(path.c_str());
    std::remove(bad.c_str());
}

// Shards are read and appended on the workers: a file with two bad sections
// is refused naming the first, however the workers took them; a pipe, which
// cannot be read at offsets, is read whole and loads the same.
TEST(SavedIndex, ShardsLoadOnTheWorkersAndFromAPipe) {
    const ShardedIndex index = sample_index(600, 50);
    const std::string path = temp_path("shards.murvex");
    save_index(index, path);
    WorkerPool pool;
    const ShardedIndex loaded = load_index(path, &pool, 2);
    ASSERT_EQ(loaded.shard_count(), index.shard_count());
    for (std::size_t s = 0; s < index.shard_count(); ++s) {
        ASSERT_EQ(loaded.shard(s).count(), index.shard(s).count());
        for (std::size_t i = 0; i < index.shard(s).count(); ++i)
            ASSERT_EQ(loaded.shard(s).text(i), index.shard(s).text(i));
    }

    std::string bad = read_all(path);
    const std::size_t last = bad.size() - 8 - 1;  // the last block of the last shard
    bad[last] = static_cast<char>(bad[last] ^ 1);
    bad[64 + 32 + 4] = static_cast<char>(bad[64 + 32 + 4] ^ 1);  // an id of shard 0
    write_all(path, bad);
    for (int round = 0; round < 5; ++round) {
        try {
            load_index(path, &pool, 2);
            ADD_FAILURE();
        } catch (const SavedIndexError& error) {
            EXPECT_EQ(std::string(error.what()), path + ": corrupted: the checksum of shard 0");
        }
    }

    save_index(index, path);
    const std::string fifo = temp_path("shards.fifo");
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { write_all(fifo, read_all(path)); });
    const ShardedIndex piped = load_index(fifo, &pool, 2);
    writer.join();
    EXPECT_EQ(piped.count(), index.count());
    const auto before = index.search("abcd"), after = piped.search("abcd");
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].entry.id, after[i].entry.id);
    std::remove(fifo.c_str());
    std::remove(path.c_str());
}

// Shards whose bodies take several reads (a read stops at 1 MiB or 512
// blocks), long records among them, come back byte for byte.
TEST(SavedIndex, ShardsOfManyBlocksComeBackWhole) {
    reference::RandomText random(9);
    ShardedIndex index(Settings{}, 60000);
    for (std::uint32_t i = 0; i < 70000; ++i) {
        const std::string text = random(0, i % 700 == 0 ? 5000 : 60);
        const std::string_view part = text;
        index.append_joined(i, std::span(&part, 1));
    }
    const std::string path = temp_path("many.murvex");
    save_index(index, path);
    ASSERT_GT(index.shard(0).block_count(), 512u);
    WorkerPool pool;
    const ShardedIndex loaded = load_index(path, &pool, 2);
    ASSERT_EQ(loaded.shard_count(), 2u);
    for (std::size_t s = 0; s < 2; ++s) {
        ASSERT_EQ(loaded.shard(s).count(), index.shard(s).count());
        for (std::size_t i = 0; i < index.shard(s).count(); ++i) {
            ASSERT_EQ(loaded.shard(s).text(i), index.shard(s).text(i)) << s << " " << i;
            ASSERT_EQ(loaded.shard(s).char_mask(i), index.shard(s).char_mask(i)) << s << " " << i;
        }
    }
    std::remove(path.c_str());
}

// A file whose checksums hold but whose records do not fit its blocks (made
// by hand, or by a faulty writer) is refused, never laid out.
TEST(SavedIndex, BlocksThatDoNotFitTheRecordsAreRefused) {
    const std::string path = temp_path("fit.murvex");
    save_index(sample_index(40, 100, 20), path);
    const std::string good = read_all(path);
    const std::uint64_t n = read_u64(good, 64), blocks = read_u64(good, 72), long_bytes = read_u64(good, 80);
    const std::size_t lengths = 64 + 32 + 4 * n, rows = lengths + 4 * n,
                      head_end = 64 + 32 + 8 * n + (4 + 8 + 512) * blocks + long_bytes;
    // The head changed at `at` to `value`, `times` u32 in a row, its checksum made again.
    const auto refused = [&](std::size_t at, std::uint32_t value, std::size_t times = 1) {
        std::string bad = good;
        for (std::size_t i = 0; i < times; ++i) std::memcpy(bad.data() + at + 4 * i, &value, 4);
        const std::uint64_t sum = checksum(std::string_view(bad).substr(64, head_end - 64));
        std::memcpy(bad.data() + head_end, &sum, 8);
        write_all(path, bad);
        try {
            load_index(path);
            return std::string("loaded");
        } catch (const SavedIndexError& error) {
            return std::string(error.what()).substr(path.size() + 2);
        }
    };
    EXPECT_EQ(refused(rows, 16), "corrupted: the lanes of shard 0");         // another block length
    EXPECT_EQ(refused(rows, 4096), "corrupted: the lanes of shard 0");       // longer than a lane
    EXPECT_EQ(refused(lengths, 200), "corrupted: the lanes of shard 0");     // a record of another class
    EXPECT_EQ(refused(lengths, 2000), "corrupted: the lengths of shard 0");  // a long text not there
    // texts that the blocks could not hold, refused before they are laid out
    EXPECT_EQ(refused(lengths, 1024, n), "corrupted: the lengths of shard 0");
    std::remove(path.c_str());
}

TEST(SavedIndex, ChecksumIsXxh64) {
    EXPECT_EQ(checksum(""), 0xEF46DB3751D8E999ULL);
    EXPECT_EQ(checksum("a"), 0xD24EC4F1A98C6E5BULL);
    EXPECT_EQ(checksum("abc"), 0x44BC2CF5AD770999ULL);
    EXPECT_EQ(checksum(std::string(100, 'x')), checksum(std::string(100, 'x')));
}

}  // namespace
}  // namespace murvex
