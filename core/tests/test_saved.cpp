#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <csignal>
#include <cstdlib>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "murvex/saved.hpp"
#include "reference.hpp"
#include "saved_file.hpp"

namespace murvex {
namespace {

// A folder of this test process's own, so that two runs at once (two
// clones' tests, ctest -j) never write each other's files.
const std::string& own_folder() {
    static const std::string folder = [] {
#ifdef _WIN32
        const std::string name =
            ::testing::TempDir() + "murvex-saved-" + std::to_string(detail::process_id());
        std::filesystem::create_directories(name);
#else
        std::string name = ::testing::TempDir() + "murvex-saved-XXXXXX";
        if (!::mkdtemp(name.data())) throw std::system_error(errno, std::generic_category(), name);
#endif
        return name + "/";
    }();
    return folder;
}

std::string temp_path(const char* name) { return own_folder() + name; }

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

// The file's header changed at `at` to `value`, its checksum made again.
template <class T>
void rewrite_header(std::string& file, std::size_t at, T value) {
    std::memcpy(file.data() + at, &value, sizeof value);
    std::uint32_t bytes;
    std::memcpy(&bytes, file.data() + 12, 4);
    const std::uint64_t sum = checksum(std::string_view(file).substr(0, bytes - 8));
    std::memcpy(file.data() + bytes - 8, &sum, 8);
}

// A file of format 4 (of an index that does not fold) as format 3 wrote it:
// a header of 64 bytes, no runs bytes in the shards' heads; and as format 2:
// no metadata either.
std::string as_older(const std::string& file, std::uint32_t version) {
    std::string out = file.substr(0, 64);
    out.replace(12, 4, std::string("\x40\0\0\0", 4));
    std::size_t at = 80;
    for (std::uint64_t s = 0, shards = read_u64(file, 48); s < shards; ++s) {
        const std::uint64_t n = read_u64(file, at), blocks = read_u64(file, at + 8),
                            long_bytes = read_u64(file, at + 16), body = read_u64(file, at + 24);
        EXPECT_EQ(read_u64(file, at + 32), 0u);
        const std::size_t rest = 8 * n + (4 + 8 + 512) * blocks + long_bytes;
        const std::string head = file.substr(at, 32) + file.substr(at + 40, rest);
        const std::uint64_t sum = checksum(head);
        out += head;
        out.append(reinterpret_cast<const char*>(&sum), 8);
        out += file.substr(at + 40 + rest + 8, body);
        at += 40 + rest + 8 + body;
    }
    out += version >= 3 ? file.substr(at) : file.substr(file.size() - 8);
    rewrite_header(out, 8, version);
    return out;
}

// The message of what loading `path` throws, without the path; "loaded" when nothing.
std::string refusal(const std::string& path) {
    try {
        load_index(path);
        return "loaded";
    } catch (const SavedIndexError& error) {
        return std::string(error.what()).substr(path.size() + 2);
    }
}

// Both give the same records, in the same order, and the same results (a
// shard emptied by removals comes back as none).
void expect_same(const ShardedIndex& loaded, const ShardedIndex& index, const std::string& where) {
    ASSERT_EQ(loaded.count(), index.count()) << where;
    for (std::size_t p = 0; p < index.count(); ++p) ASSERT_EQ(loaded.record(p), index.record(p)) << where;
    for (const char* query : {"abcd", "ab", "zZaa",
                              "\xC3\xA9"
                              "abcd"}) {
        const auto before = index.search(query), after = loaded.search(query);
        ASSERT_EQ(before.size(), after.size()) << where << " " << query;
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(before[i].entry.id, after[i].entry.id) << where << " " << query;
            EXPECT_EQ(before[i].entry.score, after[i].entry.score) << where << " " << query;
            EXPECT_EQ(before[i].entry.start, after[i].entry.start) << where << " " << query;
            EXPECT_EQ(before[i].entry.end, after[i].entry.end) << where << " " << query;
        }
    }
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

// The bytes to flip and the lengths to cut a file of `size` bytes to: every
// one, or with MURVEX_SAMPLED set (the slow runs: emulated, sanitized)
// the header, a byte of each 8-byte word (each checksummed word, each
// shard's head and sizes) and the last 32 bytes (the metadata and the end).
std::vector<std::size_t> places_to_try(std::size_t size) {
    const bool sampled = std::getenv("MURVEX_SAMPLED") != nullptr;
    std::vector<std::size_t> places;
    for (std::size_t at = 0; at < size; ++at)
        if (!sampled || at < 64 || at % 8 == 3 || at + 32 >= size) places.push_back(at);
    return places;
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
    for (const std::size_t at : places_to_try(good.size())) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
        write_all(bad, flipped);
        for (const bool mapped : {false, true}) {
            std::shared_ptr<const MappedFile> file;
            try {
                load_index(bad, nullptr, 1, nullptr, mapped ? &file : nullptr);
                ADD_FAILURE() << "byte " << at << " flipped was loaded, mapped " << mapped;
            } catch (const SavedIndexError& error) {
                EXPECT_EQ(std::string(error.what()).rfind(bad + ": ", 0), 0u) << error.what();
            }
        }
    }
    for (const std::size_t length : places_to_try(good.size())) {
        write_all(bad, good.substr(0, length));
        EXPECT_THROW(load_index(bad), SavedIndexError) << "cut to " << length;
    }
    write_all(bad, good + "x");
    EXPECT_THROW(load_index(bad), SavedIndexError);
    std::string other = good;
    for (const auto& [version, message] :
         {std::pair{5, "saved by a newer murvex (file format 5; this one reads up to 4)"},
          std::pair{1, "saved by an older murvex (file format 1; this one reads 2 to 4)"}}) {
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
// is refused naming the first, however the workers took them.
TEST(SavedIndex, ShardsLoadOnTheWorkers) {
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
    const std::size_t last =
        bad.size() - 8 - 16 - 1;  // the last block of the last shard, before the metadata
    bad[last] = static_cast<char>(bad[last] ^ 1);
    bad[80 + 40 + 4] = static_cast<char>(bad[80 + 40 + 4] ^ 1);  // an id of shard 0
    write_all(path, bad);
    for (int round = 0; round < 5; ++round) {
        try {
            load_index(path, &pool, 2);
            ADD_FAILURE();
        } catch (const SavedIndexError& error) {
            EXPECT_EQ(std::string(error.what()), path + ": corrupted: the checksum of shard 0");
        }
    }

    std::remove(path.c_str());
}

// Only a regular file is read: a pipe without a writer would block for ever,
// a device give bytes without end.
TEST(SavedIndex, WhatIsNotARegularFileIsRefusedAtOnce) {
#ifdef _WIN32
    EXPECT_EQ(refusal("NUL"), "not a regular file (a saved index is read from a file)");
#else
    const std::string fifo = temp_path("index.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(refusal(fifo), "not a regular file (a saved index is read from a file)");
    EXPECT_EQ(refusal("/dev/zero"), "not a regular file (a saved index is read from a file)");
    std::remove(fifo.c_str());
#endif
    EXPECT_EQ(refusal(own_folder()), "a directory, not a saved index");
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
    const std::uint64_t n = read_u64(good, 80), blocks = read_u64(good, 88), long_bytes = read_u64(good, 96);
    const std::size_t lengths = 80 + 40 + 4 * n, rows = lengths + 4 * n,
                      head_end = 80 + 40 + 8 * n + (4 + 8 + 512) * blocks + long_bytes;
    // The head changed at `at` to `value`, `times` u32 in a row, its checksum made again; a
    // mapped load must refuse it as a copying one does.
    const auto refused = [&](std::size_t at, std::uint32_t value, std::size_t times = 1) {
        std::string bad = good;
        for (std::size_t i = 0; i < times; ++i) std::memcpy(bad.data() + at + 4 * i, &value, 4);
        const std::uint64_t sum = checksum(std::string_view(bad).substr(80, head_end - 80));
        std::memcpy(bad.data() + head_end, &sum, 8);
        write_all(path, bad);
        std::string said[2];
        for (const bool mapped : {false, true}) {
            std::shared_ptr<const MappedFile> file;
            try {
                load_index(path, nullptr, 1, nullptr, mapped ? &file : nullptr);
                said[mapped] = "loaded";
            } catch (const SavedIndexError& error) {
                said[mapped] = std::string(error.what()).substr(path.size() + 2);
            }
        }
        EXPECT_EQ(said[1], said[0]);
        return said[0];
    };
    const std::uint32_t other_rows = read_u64(good, rows) % (1ull << 32) == 16 ? 24 : 16;
    EXPECT_EQ(refused(rows, other_rows), "corrupted: the lanes of shard 0");  // another block length
    EXPECT_EQ(refused(rows, 4096), "corrupted: the lanes of shard 0");        // longer than a lane
    EXPECT_EQ(refused(lengths, 200), "corrupted: the lanes of shard 0");      // a record of another class
    EXPECT_EQ(refused(lengths, 2000), "corrupted: the lengths of shard 0");   // a long text not there
    // texts that the blocks could not hold, refused before they are laid out
    EXPECT_EQ(refused(lengths, 1024, n), "corrupted: the lengths of shard 0");
    std::remove(path.c_str());
}

// Random stores of every shard size, with empty texts (whole shards of
// them), shards emptied by removals, and texts longer than a lane: each
// loads as it was saved.
TEST(SavedIndex, EveryStoreSavedLoadsAsItWas) {
    reference::RandomText random(21);
    const std::string path = temp_path("random.murvex");
    WorkerPool pool;
    for (int round = 0; round < 60; ++round) {
        const std::size_t capacity = 1 + random.below(round % 3 == 0 ? 3 : 130);
        ShardedIndex index(Settings{static_cast<std::uint16_t>(random.below(1001)),
                                    static_cast<std::uint32_t>(random.below(4)), random.below(101),
                                    random.below(2) == 1, random.below(2) == 1},
                           capacity);
        const std::size_t records = random.below(300);
        const std::size_t empty_share = random.below(4);  // none, a third, two thirds, all empty
        for (std::uint32_t i = 0; i < records; ++i) {
            std::string text;
            if (random.below(3) >= empty_share) text = random(0, random.below(20) == 0 ? 2500 : 70);
            const std::string_view part = text;
            index.append_joined(static_cast<std::uint32_t>(random.below(40)), std::span(&part, 1));
        }
        for (std::size_t r = random.below(records / 3 + 1); r > 0; --r)
            index.remove(static_cast<std::uint32_t>(random.below(40)));
        if (index.shard_count() > 1)  // a shard emptied whole
            for (std::uint32_t id = 0; id < 40; ++id) index.remove_from(index.shard_count() / 2, id);
        std::string metadata = random(0, 50);
        save_index(index, path, metadata);
        std::string loaded_metadata;
        const ShardedIndex loaded = load_index(path, &pool, 1 + random.below(2), &loaded_metadata);
        const std::string where = "round " + std::to_string(round);
        EXPECT_EQ(loaded_metadata, metadata) << where;
        EXPECT_EQ(loaded.shard_capacity(), capacity) << where;
        EXPECT_EQ(loaded.settings().threshold, index.settings().threshold) << where;
        EXPECT_EQ(loaded.settings().max_errors, index.settings().max_errors) << where;
        EXPECT_EQ(loaded.settings().max_results, index.settings().max_results) << where;
        EXPECT_EQ(loaded.settings().forgiving, index.settings().forgiving) << where;
        EXPECT_EQ(loaded.settings().words, index.settings().words) << where;
        expect_same(loaded, index, where);
    }
    std::remove(path.c_str());
}

// A mapped load gives what a copying one gives, and stays so through
// removals and appends, which never reach the file; the file may go, but a
// change to it is noticed; a mapped body is checked as a copied one.
TEST(SavedIndex, AMappedLoadEqualsACopyingOneAndNeverWritesItsFile) {
    reference::RandomText random(33);
    const std::string path = temp_path("mapped.murvex");
    WorkerPool pool;
    for (int round = 0; round < 24; ++round) {
        ShardedIndex index(Settings{static_cast<std::uint16_t>(random.below(1001)), 2, 1 + random.below(50),
                                    round % 3 == 1, round % 3 == 2},
                           1 + random.below(round % 4 == 0 ? 3 : 130), round % 2 == 1);
        for (std::uint32_t i = 0, n = static_cast<std::uint32_t>(random.below(400)); i < n; ++i) {
            const std::string text = random(0, random.below(25) == 0 ? 2500 : 70) + (i % 3 ? " abcD" : "");
            const std::string_view part = text;
            index.append_joined(static_cast<std::uint32_t>(random.below(40)), std::span(&part, 1));
        }
        save_index(index, path);
        const std::string saved = read_all(path);
        std::shared_ptr<const MappedFile> file;
        ShardedIndex copied = load_index(path, &pool, 2);
        ShardedIndex mapped = load_index(path, &pool, 1 + random.below(2), nullptr, &file);
        const std::string where = "round " + std::to_string(round);
        ASSERT_TRUE(file) << where;
        expect_same(mapped, index, where);
        for (int change = 0; change < 30; ++change) {
            const auto id = static_cast<std::uint32_t>(random.below(40));
            if (change % 2 == 0) {
                copied.remove(id);
                mapped.remove(id);
            } else {
                const std::string text = random(0, change == 1 ? 1800 : 60) + " abcd";
                const std::string_view part = text;
                copied.append_joined(id, std::span(&part, 1));
                mapped.append_joined(id, std::span(&part, 1));
            }
        }
        expect_same(mapped, copied, where + " changed");
        EXPECT_EQ(read_all(path), saved) << where;
#ifdef _WIN32
        // Windows replaces no file that a process maps: the save fails and keeps it.
        EXPECT_THROW(save_index(mapped, path), std::system_error) << where;
#else
        save_index(mapped, path);  // replaces the file: the mapped one is not written
#endif
        EXPECT_FALSE(file->changed()) << where;
    }
    {
        std::shared_ptr<const MappedFile> file;
        const ShardedIndex mapped = load_index(path, nullptr, 1, nullptr, &file);
        const ShardedIndex copied = load_index(path);
        std::remove(path.c_str());  // the mapping holds the bytes (Windows keeps the file while mapped)
        expect_same(mapped, copied, "its file removed");
        EXPECT_EQ(file->path(), path);
    }
    const ShardedIndex index = sample_index(300, 100);
    save_index(index, path);
    {
        std::shared_ptr<const MappedFile> opened;
        const ShardedIndex kept = load_index(path, nullptr, 1, nullptr, &opened);
        std::ofstream(path, std::ios::binary | std::ios::app) << 'x';  // grown in place: the same file
        EXPECT_TRUE(opened->changed());
    }
    std::string bytes = read_all(path);
    bytes.pop_back();
    bytes[bytes.size() - 100] = static_cast<char>(bytes[bytes.size() - 100] ^ 1);  // in the last body
    write_all(path, bytes);
    std::shared_ptr<const MappedFile> refused;
    EXPECT_THROW(load_index(path, nullptr, 1, nullptr, &refused), SavedIndexError);
    EXPECT_FALSE(refused);
    std::remove(path.c_str());
}

// A file of the last format (no flags, no metadata) loads with the defaults
// for what it did not hold; a header whose record count the sections do not
// hold, or with an unknown flag, is refused though its checksum holds.
TEST(SavedIndex, OlderFilesLoadAndHeadersAreCheckedAgainstTheSections) {
    ShardedIndex index = sample_index(30, 7);
    const std::string path = temp_path("versions.murvex");
    save_index(index, path, "kept");
    const std::string good = read_all(path);

    std::string old = as_older(good, 3);
    write_all(path, old);
    std::string metadata;
    EXPECT_FALSE(load_index(path, nullptr, 1, &metadata).folds());
    EXPECT_EQ(metadata, "kept");
    expect_same(load_index(path), index, "version 3");
    rewrite_header(old, 18, std::uint16_t{4});  // version 3 did not fold
    write_all(path, old);
    EXPECT_EQ(refusal(path), "corrupted: settings or sizes out of range in the header");

    old = as_older(good, 2);
    write_all(path, old);
    metadata = "left";
    const ShardedIndex loaded = load_index(path, nullptr, 1, &metadata);
    EXPECT_EQ(metadata, "");
    EXPECT_FALSE(loaded.settings().forgiving);
    expect_same(loaded, index, "version 2");
    rewrite_header(old, 18, std::uint16_t{1});  // version 2 had no flags
    write_all(path, old);
    EXPECT_EQ(refusal(path), "corrupted: settings or sizes out of range in the header");

    for (const std::uint64_t records : {std::uint64_t{7}, std::uint64_t{31}}) {
        std::string bad = good;
        rewrite_header(bad, 40, records);
        write_all(path, bad);
        EXPECT_EQ(refusal(path), "corrupted: the header counts another number of records");
    }
    std::string bad = good;
    rewrite_header(bad, 18, std::uint16_t{8});  // a flag this version does not know
    write_all(path, bad);
    EXPECT_EQ(refusal(path), "corrupted: settings or sizes out of range in the header");
    std::remove(path.c_str());
}

// A save that fails part-way (here the file-size limit) leaves the file it
// would have replaced as it was, and no temporary file; temporary files of
// saves whose process was killed are cleared by the next save.
TEST(SavedIndex, AFailedSaveKeepsTheOldFileAndLeavesNothingBehind) {
    const std::string path = temp_path("kept.murvex");
    const ShardedIndex small = sample_index(5, 100, 20);
    save_index(small, path);
    const std::string before = read_all(path);

    const std::string stale = path + ".tmp-999999999-0badf00d",
                      running = path + ".tmp-" + std::to_string(detail::process_id()) + "-1";
    write_all(stale, "half");
    write_all(running, "half");
#ifdef _WIN32
    save_index(small, path);  // no file-size limit to make it fail: it clears the stale file all the same
#else
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small_limit{4096, limit.rlim_max};
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small_limit), 0);
    EXPECT_THROW(save_index(sample_index(400, 100), path), std::system_error);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, old_handler);
#endif

    EXPECT_EQ(read_all(path), before);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(own_folder()))
        if (const std::string name = entry.path().filename().string(); name.starts_with("kept.murvex."))
            left.push_back(name);
    EXPECT_EQ(left, std::vector<std::string>{running.substr(own_folder().size())});
    std::remove(running.c_str());
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
