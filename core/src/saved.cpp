#include "murvex/saved.hpp"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "murvex/unicode_fold.hpp"
#include "saved_file.hpp"

namespace murvex {

namespace {

constexpr char MAGIC[8] = {'M', 'U', 'R', 'V', 'E', 'X', 'I', 'X'};
constexpr char END[8] = {'M', 'U', 'R', 'V', 'E', 'X', 'E', 'N'};
constexpr std::uint32_t VERSION = 4;         // written
constexpr std::uint32_t OLDEST_VERSION = 2;  // still read: no flags, no metadata
constexpr std::uint32_t HEADER_BYTES = 80;   // written: 64 before version 4
constexpr std::size_t UNICODE_BYTES = 16;    // the folding table's Unicode version, from byte 56 on
constexpr std::size_t MASK_BYTES = sizeof(std::uint64_t) * 64;  // a block's mask words

static_assert(std::endian::native == std::endian::little,
              "the file format is written as the machine holds it");
static_assert(LANES == 64 && LANE_ROW_STEP == 8 && LANE_TEXT_LIMIT == 1024 && WINDOW_OVERLAP == 35,
              "the blocks in the file are laid out as the store lays them out: a change is a new version");

// --- XXH64 ----------------------------------------------------------------------

constexpr std::uint64_t P1 = 0x9E3779B185EBCA87ULL, P2 = 0xC2B2AE3D27D4EB4FULL, P3 = 0x165667B19E3779F9ULL,
                        P4 = 0x85EBCA77C2B2AE63ULL, P5 = 0x27D4EB2F165667C5ULL;

std::uint64_t read64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

std::uint32_t read32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint64_t round(std::uint64_t acc, std::uint64_t input) noexcept {
    return std::rotl(acc + input * P2, 31) * P1;
}

std::uint64_t merge_round(std::uint64_t acc, std::uint64_t value) noexcept {
    return (acc ^ round(0, value)) * P1 + P4;
}

// --- settings -------------------------------------------------------------------

// The settings as the header holds them, bytes 16 to 31: threshold (u16),
// flags (u16, bit 0 forgiving, bit 1 words, bit 2 the index folds),
// max_errors (u32), max_results (u64).
constexpr std::size_t SETTINGS_AT = 16;
constexpr std::uint16_t FORGIVING_FLAG = 1;
constexpr std::uint16_t WORDS_FLAG = 2;
constexpr std::uint16_t FOLDS_FLAG = 4;

std::uint16_t flags_of(std::string_view header) noexcept {
    std::uint16_t flags;
    std::memcpy(&flags, header.data() + SETTINGS_AT + 2, 2);
    return flags;
}

void put_settings(const Settings& settings, bool folds, std::string& header) {
    const auto flags =
        static_cast<std::uint16_t>((settings.forgiving ? FORGIVING_FLAG : 0) |
                                   (settings.words ? WORDS_FLAG : 0) | (folds ? FOLDS_FLAG : 0));
    header.append(reinterpret_cast<const char*>(&settings.threshold), 2);
    header.append(reinterpret_cast<const char*>(&flags), 2);
    header.append(reinterpret_cast<const char*>(&settings.max_errors), 4);
    const std::uint64_t max_results = settings.max_results;
    header.append(reinterpret_cast<const char*>(&max_results), 8);
}

// The settings of a header; nothing when a value is out of range or a flag
// unknown (version 2 wrote no flags: its files load with the defaults').
std::optional<Settings> settings_of(std::string_view header, std::uint32_t version) {
    Settings settings;
    const std::uint16_t flags = flags_of(header);
    std::memcpy(&settings.threshold, header.data() + SETTINGS_AT, 2);
    settings.max_errors = read32(header.data() + SETTINGS_AT + 4);
    settings.max_results = read64(header.data() + SETTINGS_AT + 8);
    settings.forgiving = (flags & FORGIVING_FLAG) != 0;
    settings.words = (flags & WORDS_FLAG) != 0;
    if (settings.threshold > 1000 || settings.max_errors > MAX_ERRORS ||
        settings.max_results > MAX_RESULTS_LIMIT ||
        (flags & ~(FORGIVING_FLAG | WORDS_FLAG | (version >= 4 ? FOLDS_FLAG : 0))) != 0 ||
        (version < 3 && flags != 0))
        return std::nullopt;
    return settings;
}

// --- writing ----------------------------------------------------------------------

// A block's bytes, rows * LANES of them.
std::string_view block_bytes(const LaneBlock& block) noexcept {
    return std::string_view(reinterpret_cast<const char*>(block.data), block.rows * LANES);
}

// The checksum of a block's bytes, a multiple of 32 of them: word i of their
// 64-bit words is added to running sum i mod 4, and each running sum, once
// added to, to its weighed sum, modulo 2^64; the XXH64 of the four running
// sums, the four weighed ones and the byte count, nine u64, is the checksum.
// A change of one word changes a running sum, an exchange of two words a
// weighed one. The bodies are most of a file; this takes a quarter of the
// time XXH64 takes over them.
std::uint64_t block_checksum(std::string_view bytes) noexcept {
    std::uint64_t r0 = 0, r1 = 0, r2 = 0, r3 = 0, w0 = 0, w1 = 0, w2 = 0, w3 = 0;
    // In locals, not an array: the compiler would have to assume that the
    // bytes it reads alias an array and store every sum back every time.
    for (const char *p = bytes.data(), *const end = p + bytes.size() / 32 * 32; p != end; p += 32) {
        r0 += read64(p);
        r1 += read64(p + 8);
        r2 += read64(p + 16);
        r3 += read64(p + 24);
        w0 += r0;
        w1 += r1;
        w2 += r2;
        w3 += r3;
    }
    const std::uint64_t sums[9] = {r0, r1, r2, r3, w0, w1, w2, w3, bytes.size()};
    return checksum(std::string_view(reinterpret_cast<const char*>(sums), sizeof sums));
}

}  // namespace

std::uint64_t checksum(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    std::uint64_t hash;
    if (bytes.size() >= 32) {
        std::uint64_t v1 = P1 + P2, v2 = P2, v3 = 0, v4 = 0 - P1;
        for (; end - p >= 32; p += 32) {
            v1 = round(v1, read64(p));
            v2 = round(v2, read64(p + 8));
            v3 = round(v3, read64(p + 16));
            v4 = round(v4, read64(p + 24));
        }
        hash = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        hash = merge_round(merge_round(merge_round(merge_round(hash, v1), v2), v3), v4);
    } else {
        hash = P5;
    }
    hash += bytes.size();
    for (; end - p >= 8; p += 8) hash = std::rotl(hash ^ round(0, read64(p)), 27) * P1 + P4;
    if (end - p >= 4) {
        hash = std::rotl(hash ^ (std::uint64_t{read32(p)} * P1), 23) * P2 + P3;
        p += 4;
    }
    for (; p < end; ++p) hash = std::rotl(hash ^ (static_cast<std::uint8_t>(*p) * P5), 11) * P1;
    hash ^= hash >> 33;
    hash *= P2;
    hash ^= hash >> 29;
    hash *= P3;
    hash ^= hash >> 32;
    return hash;
}

void save_index(const ShardedIndex& index, const std::string& path, std::string_view metadata) {
    detail::remove_stale_temporaries(path);
    detail::Output out(path);
    std::string header(MAGIC, sizeof MAGIC);
    const auto put = [&header](auto value) {
        header.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    put(VERSION);
    put(HEADER_BYTES);
    put_settings(index.settings(), index.folds(), header);
    put(std::uint64_t{index.shard_capacity()});
    put(std::uint64_t{index.count()});
    put(std::uint64_t{index.shard_count()});
    std::string unicode(fold_table_id());
    unicode.resize(UNICODE_BYTES, '\0');
    header += unicode;
    put(checksum(header));
    out.write(header);

    std::string head, texts, runs;
    for (std::size_t s = 0; s < index.shard_count(); ++s) {
        // The shard's records appended afresh, in order, give the blocks as
        // the loader lays them out again; in an index that folds, their
        // folded texts, with the runs folding changed.
        const RecordStore& shard = index.shard(s);
        const std::size_t n = shard.count();
        texts.clear();
        runs.clear();
        std::vector<std::uint32_t> ids(n), lengths(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t before = texts.size();
            shard.append_lane_text(i, texts);
            ids[i] = shard.id(i);
            lengths[i] = static_cast<std::uint32_t>(texts.size() - before);
            if (const auto changed = shard.runs(i); !changed.empty()) {
                const std::uint32_t place[2] = {static_cast<std::uint32_t>(i),
                                                static_cast<std::uint32_t>(changed.size())};
                runs.append(reinterpret_cast<const char*>(place), sizeof place);
                runs.append(reinterpret_cast<const char*>(changed.data()), changed.size());
            }
        }
        std::vector<std::string_view> views(n);
        for (std::size_t i = 0, at = 0; i < n; at += lengths[i++])
            views[i] = std::string_view(texts).substr(at, lengths[i]);
        RecordStore fresh;
        fresh.append_many(ids, views);

        std::uint64_t long_bytes = 0, body_bytes = 0;
        for (const std::uint32_t length : lengths)
            if (length > LANE_TEXT_LIMIT) long_bytes += length;
        for (std::size_t b = 0; b < fresh.block_count(); ++b) body_bytes += fresh.block(b).rows * LANES;
        head.clear();
        const auto append = [&head](auto value) {
            head.append(reinterpret_cast<const char*>(&value), sizeof value);
        };
        append(std::uint64_t{n});
        append(std::uint64_t{fresh.block_count()});
        append(long_bytes);
        append(body_bytes);
        append(std::uint64_t{runs.size()});
        head.append(reinterpret_cast<const char*>(ids.data()), 4 * n);
        head.append(reinterpret_cast<const char*>(lengths.data()), 4 * n);
        for (std::size_t b = 0; b < fresh.block_count(); ++b)
            append(static_cast<std::uint32_t>(fresh.block(b).rows));
        for (std::size_t b = 0; b < fresh.block_count(); ++b)
            append(block_checksum(block_bytes(fresh.block(b))));
        for (std::size_t b = 0; b < fresh.block_count(); ++b)
            head.append(reinterpret_cast<const char*>(fresh.block(b).lanes_with), MASK_BYTES);
        for (const std::string_view text : views)
            if (text.size() > LANE_TEXT_LIMIT) head += text;
        head += runs;
        out.write(head);
        out.put(checksum(head));
        for (std::size_t b = 0; b < fresh.block_count(); ++b) out.write(block_bytes(fresh.block(b)));
    }
    std::string tail;
    const std::uint64_t metadata_bytes = metadata.size();
    tail.append(reinterpret_cast<const char*>(&metadata_bytes), 8);
    tail += metadata;
    out.write(tail);
    out.put(checksum(tail));
    out.write(std::string_view(END, sizeof END));
    out.keep();
}

namespace {

class OpenMappedFile final : public MappedFile {
public:
    explicit OpenMappedFile(const std::string& path) : file(path), opened_(file.state()) {}
    const std::string& path() const noexcept override { return file.path(); }
    bool changed() const override {
        try {
            return file.state() != opened_;
        } catch (const std::system_error&) {
            return true;
        }
    }

    const detail::SavedFile file;

private:
    const detail::SavedFile::State opened_;
};

}  // namespace

ShardedIndex load_index(const std::string& path, WorkerPool* pool, std::size_t workers, std::string* metadata,
                        std::shared_ptr<const MappedFile>* mapped) {
    const auto source = std::make_shared<const OpenMappedFile>(path);
    const detail::SavedFile& file = source->file;
    if (file.size() < sizeof MAGIC ||
        file.read(0, sizeof MAGIC, "the header") != std::string_view(MAGIC, sizeof MAGIC))
        file.fail("not a saved murvex index (its first bytes are not \"MURVEXIX\")");
    std::string header = file.read(0, 64, "the header");
    const std::uint32_t version = read32(header.data() + 8);
    if (version > VERSION)
        file.fail("saved by a newer murvex (file format " + std::to_string(version) +
                  "; this one reads up to " + std::to_string(VERSION) + ")");
    if (version < OLDEST_VERSION)
        file.fail("saved by an older murvex (file format " + std::to_string(version) + "; this one reads " +
                  std::to_string(OLDEST_VERSION) + " to " + std::to_string(VERSION) +
                  "): add the records again and save them");
    const std::uint32_t header_bytes = version >= 4 ? HEADER_BYTES : 64;
    if (read32(header.data() + 12) != header_bytes) file.fail("not a file format this murvex reads");
    header = file.read(0, header_bytes, "the header");
    if (checksum(std::string_view(header).substr(0, header_bytes - 8)) !=
        read64(header.data() + header_bytes - 8))
        file.fail("corrupted: the header's checksum");

    const std::optional<Settings> read_settings = settings_of(header, version);
    const std::uint64_t capacity = read64(header.data() + 32), records = read64(header.data() + 40),
                        shards = read64(header.data() + 48);
    if (!read_settings || capacity < 1 || capacity > MAX_RECORDS || shards > file.size() / 40 ||
        records > file.size())
        file.fail("corrupted: settings or sizes out of range in the header");
    const Settings& settings = *read_settings;
    const bool folds = (flags_of(header) & FOLDS_FLAG) != 0;
    const std::uint64_t sizes_bytes = version >= 4 ? 40 : 32;  // a head's sizes before its ids
    // The runs of an index that folds are read with the folding table: one
    // of another Unicode version could read them wrong.
    if (folds) {
        const std::string_view unicode = std::string_view(header).substr(56, UNICODE_BYTES);
        const std::string_view saved = unicode.substr(0, std::min(unicode.find('\0'), unicode.size()));
        if (saved != fold_table_id())
            file.fail("folded with other tables (Unicode and form " + std::string(saved) +
                      "; this murvex's are " + std::string(fold_table_id()) +
                      "): add the records again and save them");
    }

    // The sections' sizes first, in order, so that a file cut short or with
    // wrong sizes is refused before anything is read in bulk; then each
    // shard's section is read, checked and laid out on a worker thread. A
    // section that fails drops the whole index.
    struct Section {
        std::uint64_t shard, at, sizes, records, blocks, long_bytes, body_bytes, runs_bytes;
        std::string what() const { return "shard " + std::to_string(shard); }
        // The head's bytes without its checksum.
        std::uint64_t head_bytes() const {
            return sizes + 8 * records + (4 + 8 + MASK_BYTES) * blocks + long_bytes + runs_bytes;
        }
        std::uint64_t body_at() const { return at + head_bytes() + 8; }
    };
    // A section's head with its checksum, checked, into `into`.
    const auto read_head = [&file](const Section& section, std::string& into) {
        const std::size_t bytes = section.head_bytes();
        into.resize(bytes + 8);
        file.read(section.at, bytes + 8, into.data(), section.what());
        if (checksum(std::string_view(into).substr(0, bytes)) != read64(into.data() + bytes))
            file.fail("corrupted: the checksum of " + section.what());
    };
    std::vector<Section> sections;
    std::uint64_t at = header_bytes, total = 0;
    for (std::uint64_t s = 0; s < shards; ++s) {
        Section section{s, at, sizes_bytes, 0, 0, 0, 0, 0};
        const std::string what = section.what(), head = file.read(at, sizes_bytes, what);
        section.records = read64(head.data());
        section.blocks = read64(head.data() + 8);
        section.long_bytes = read64(head.data() + 16);
        section.body_bytes = read64(head.data() + 24);
        if (version >= 4) section.runs_bytes = read64(head.data() + 32);
        const std::uint64_t left = file.size() - at - sizes_bytes;
        if (section.records > capacity || section.records > left / 8 ||
            section.blocks > left / (4 + 8 + MASK_BYTES) || section.long_bytes > left ||
            section.body_bytes > left || section.runs_bytes > left || (section.runs_bytes > 0 && !folds))
            file.fail("truncated or corrupted in " + what);
        if (section.head_bytes() + 8 + section.body_bytes > file.size() - at)
            file.fail("truncated: it ends inside " + what);
        if (section.records > 0) {
            sections.push_back(section);
        } else {  // a shard that was emptied by removals comes back as none
            std::string head;
            read_head(section, head);
            if (section.blocks != 0 || section.long_bytes != 0 || section.body_bytes != 0 ||
                section.runs_bytes != 0)
                file.fail("corrupted: the lanes of " + what);
        }
        total += section.records;
        at += section.head_bytes() + 8 + section.body_bytes;
    }
    std::string kept;
    if (version >= 3) {  // the metadata
        const std::uint64_t bytes = read64(file.read(at, 8, "the metadata").data());
        if (bytes > file.size() - at - 8) file.fail("truncated: it ends inside the metadata");
        const std::string tail = file.read(at, 8 + bytes, "the metadata");
        if (checksum(tail) != read64(file.read(at + 8 + bytes, 8, "the metadata").data()))
            file.fail("corrupted: the checksum of the metadata");
        kept = tail.substr(8);
        at += 8 + bytes + 8;
    }
    if (file.read(at, sizeof END, "the end mark") != std::string_view(END, sizeof END) ||
        file.size() - at != sizeof END)
        file.fail("corrupted: bytes after the last shard");
    if (total != records) file.fail("corrupted: the header counts another number of records");

    struct Scratch {
        std::string head;
        std::vector<std::uint32_t> ids, lengths;
        std::vector<detail::ReadPart> parts;
        std::vector<std::string_view> long_texts;
    };
    std::vector<Scratch> scratch(std::max<std::size_t>(workers, 1));
    const auto build = [&](std::size_t r, std::size_t slot, RecordStore& shard) {
        const Section& section = sections[r];
        const std::string what = section.what();
        const std::size_t n = section.records, blocks = section.blocks;
        Scratch& own = scratch[slot];
        read_head(section, own.head);
        const char* const ids = own.head.data() + section.sizes;
        const char* const lengths = ids + 4 * n;
        const char* const rows = lengths + 4 * n;
        const char* const sums = rows + 4 * blocks;
        const char* const masks = sums + 8 * blocks;
        const char* long_text = masks + MASK_BYTES * blocks;
        own.ids.resize(n);
        own.lengths.resize(n);
        own.long_texts.clear();
        // Short texts lie in the body, so their bytes are no more than its:
        // a file cannot make the loader lay out far more than it holds.
        std::uint64_t long_bytes = 0, short_bytes = 0;
        for (std::size_t i = 0; i < n; ++i) {
            own.ids[i] = read32(ids + 4 * i);
            const std::uint32_t length = own.lengths[i] = read32(lengths + 4 * i);
            if (length <= LANE_TEXT_LIMIT) {
                short_bytes += length;
                continue;
            }
            if (length > section.long_bytes - long_bytes) file.fail("corrupted: the lengths of " + what);
            own.long_texts.emplace_back(long_text, length);
            long_text += length;
            long_bytes += length;
        }
        if (long_bytes != section.long_bytes || short_bytes > section.body_bytes)
            file.fail("corrupted: the lengths of " + what);
        std::vector<std::uint64_t> block_at(blocks + 1, 0);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::uint32_t block_rows = read32(rows + 4 * b);
            if (block_rows > LANE_TEXT_LIMIT) file.fail("corrupted: the lanes of " + what);
            block_at[b + 1] = block_at[b] + std::uint64_t{block_rows} * LANES;
        }
        if (block_at[blocks] != section.body_bytes) file.fail("corrupted: the lanes of " + what);

        // The body is read straight into the blocks, some at a time, each
        // checked while its bytes are still in the cache; or mapped, and
        // the blocks' rows are its bytes.
        std::shared_ptr<const detail::MappedBytes> body;
        if (mapped && section.body_bytes > 0) body = file.map(section.body_at(), section.body_bytes);
        const auto rows_of = [&](std::size_t b, std::size_t block_rows) -> std::uint8_t* {
            if (b >= blocks || block_at[b + 1] - block_at[b] != std::uint64_t{block_rows} * LANES)
                file.fail("corrupted: the lanes of " + what);  // as fill() finds it when copying
            return body->data() + block_at[b];
        };
        constexpr std::uint64_t READ_BYTES = std::uint64_t{1} << 20;
        constexpr std::size_t READ_BLOCKS = 512;
        const auto fill = [&](std::span<const RecordStore::BlockToFill> laid_out) {
            if (laid_out.size() != blocks) file.fail("corrupted: the lanes of " + what);
            for (std::size_t b = 0; b < blocks; ++b)
                if (block_at[b + 1] - block_at[b] != laid_out[b].rows * LANES)
                    file.fail("corrupted: the lanes of " + what);
            for (std::size_t first = 0, last; first < blocks; first = last) {
                own.parts.clear();
                for (last = first; last < blocks && last - first < READ_BLOCKS &&
                                   (last == first || block_at[last + 1] - block_at[first] <= READ_BYTES);
                     ++last)
                    if (!body)
                        own.parts.push_back(
                            detail::ReadPart{laid_out[last].data, laid_out[last].rows * LANES});
                if (!body) file.read(section.body_at() + block_at[first], own.parts, what);
                for (std::size_t b = first; b < last; ++b) {
                    const std::string_view bytes(reinterpret_cast<const char*>(laid_out[b].data),
                                                 laid_out[b].rows * LANES);
                    if (block_checksum(bytes) != read64(sums + 8 * b))
                        file.fail("corrupted: the checksum of " + what);
                    std::memcpy(laid_out[b].lanes_with, masks + MASK_BYTES * b, MASK_BYTES);
                }
            }
        };
        try {
            if (body)
                shard.append_laid_out(own.ids, own.lengths, own.long_texts, fill, rows_of, body);
            else
                shard.append_laid_out(own.ids, own.lengths, own.long_texts, fill);
        } catch (const std::invalid_argument&) {
            file.fail("corrupted: the lengths of " + what);
        }
        // What folding changed: (record, bytes) and the runs, records in order.
        const char* runs = long_text;
        for (std::uint64_t left = section.runs_bytes, next = 0; left > 0;) {
            const std::uint32_t record = left >= 8 ? read32(runs) : 0,
                                bytes = left >= 8 ? read32(runs + 4) : 0;
            if (left < 8 || bytes > left - 8 || record < next || record >= n || bytes == 0)
                file.fail("corrupted: what folding changed in " + what);
            shard.restore_runs(record, std::span(reinterpret_cast<const std::uint8_t*>(runs + 8), bytes));
            runs += 8 + bytes;
            left -= 8 + std::uint64_t{bytes};
            next = record + 1;
        }
        if (folds) shard.mark_folded_lanes();
    };
    ShardedIndex index(settings, capacity, folds);
    index.append_shards(sections.size(), build, pool, workers);
    if (metadata) *metadata = std::move(kept);
    if (mapped) *mapped = source;
    return index;
}

}  // namespace murvex
