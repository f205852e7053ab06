#include "murvex/saved.hpp"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace murvex {

namespace {

constexpr char MAGIC[8] = {'M', 'U', 'R', 'V', 'E', 'X', 'I', 'X'};
constexpr char END[8] = {'M', 'U', 'R', 'V', 'E', 'X', 'E', 'N'};
constexpr std::uint32_t VERSION = 1;
constexpr std::uint32_t HEADER_BYTES = 64;

static_assert(std::endian::native == std::endian::little,
              "the file format is written as the machine holds it");

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

// --- writing ----------------------------------------------------------------------

// A file written through a descriptor; closed (and, when not kept, removed)
// on destruction.
class Output {
public:
    explicit Output(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path_);
    }
    ~Output() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void write(std::string_view bytes) {
        buffer_ += bytes;
        if (buffer_.size() >= (std::size_t{1} << 22)) flush();
    }
    template <class T>
    void put(T value) {
        write(std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
    }
    // Writes what is left, syncs, closes and renames the file to `path`.
    void keep_as(const std::string& path) {
        flush();
        if (::fsync(fd_) != 0) fail("cannot write");
        if (::close(std::exchange(fd_, -1)) != 0) fail("cannot write");
        if (::rename(path_.c_str(), path.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot rename " + path_ + " to " + path);
        kept_ = true;
    }

private:
    void flush() {
        for (std::size_t done = 0; done < buffer_.size();) {
            const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write");
            done += static_cast<std::size_t>(n);
        }
        buffer_.clear();
    }
    [[noreturn]] void fail(const char* what) const {
        throw std::system_error(errno ? errno : EIO, std::generic_category(),
                                std::string(what) + " " + path_);
    }

    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
    std::string buffer_;
};

// A temporary name beside `path`, in the same directory so that the rename
// is atomic.
std::string temporary_beside(const std::string& path) {
    std::random_device random;
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(::getpid()), random());
    return path + suffix;
}

// --- reading ----------------------------------------------------------------------

std::string read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info{};
    std::string bytes;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

// Walks a file's bytes, refusing every read past the end.
class Reader {
public:
    Reader(const std::string& path, std::string_view bytes) : path_(path), bytes_(bytes) {}

    std::string_view take(std::size_t n, const char* what) {
        if (n > bytes_.size() - at_) fail("truncated: it ends inside " + std::string(what));
        const std::string_view taken = bytes_.substr(at_, n);
        at_ += n;
        return taken;
    }
    std::uint64_t u64(const char* what) {
        const std::string_view bytes = take(8, what);  // eight bytes, not a string
        return read64(bytes.data());                   // NOLINT(bugprone-suspicious-stringview-data-usage)
    }
    std::size_t at() const noexcept { return at_; }
    std::size_t left() const noexcept { return bytes_.size() - at_; }
    std::string_view bytes() const noexcept { return bytes_; }
    [[noreturn]] void fail(const std::string& problem) const {
        throw SavedIndexError(path_ + ": " + problem);
    }

private:
    const std::string& path_;
    std::string_view bytes_;
    std::size_t at_ = 0;
};

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

void save_index(const ShardedIndex& index, const std::string& path) {
    Output out(temporary_beside(path));
    std::string header(MAGIC, sizeof MAGIC);
    const auto put = [&header](auto value) {
        header.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    const Settings& settings = index.settings();
    put(VERSION);
    put(HEADER_BYTES);
    put(settings.threshold);
    put(std::uint16_t{0});
    put(settings.max_errors);
    put(std::uint64_t{settings.max_results});
    put(std::uint64_t{index.shard_capacity()});
    put(std::uint64_t{index.count()});
    put(std::uint64_t{index.shard_count()});
    put(checksum(header));
    out.write(header);

    std::string section, texts;
    for (std::size_t s = 0; s < index.shard_count(); ++s) {
        const RecordStore& shard = index.shard(s);
        const std::size_t n = shard.count();
        section.clear();
        texts.clear();
        std::vector<std::uint32_t> lengths(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t before = texts.size();
            shard.append_text(i, texts);
            lengths[i] = static_cast<std::uint32_t>(texts.size() - before);
        }
        const auto append = [&section](auto value) {
            section.append(reinterpret_cast<const char*>(&value), sizeof value);
        };
        append(std::uint64_t{n});
        append(std::uint64_t{texts.size()});
        for (std::size_t i = 0; i < n; ++i) append(shard.id(i));
        section.append(reinterpret_cast<const char*>(lengths.data()), 4 * n);
        section += texts;
        out.write(section);
        out.put(checksum(section));
    }
    out.write(std::string_view(END, sizeof END));
    out.keep_as(path);
}

ShardedIndex load_index(const std::string& path, WorkerPool* pool, std::size_t workers) {
    const std::string bytes = read_file(path);
    Reader in(path, bytes);
    if (bytes.size() < sizeof MAGIC || std::memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0)
        in.fail("not a saved murvex index (its first bytes are not \"MURVEXIX\")");
    const std::string_view header = in.take(HEADER_BYTES, "the header");
    const std::uint32_t version = read32(header.data() + 8);
    if (version > VERSION)
        in.fail("saved by a newer murvex (file format " + std::to_string(version) +
                "; this one reads up to " + std::to_string(VERSION) + ")");
    if (version != VERSION || read32(header.data() + 12) != HEADER_BYTES)
        in.fail("not a file format this murvex reads");
    if (checksum(header.substr(0, 56)) != read64(header.data() + 56))
        in.fail("corrupted: the header's checksum");

    Settings settings;
    std::memcpy(&settings.threshold, header.data() + 16, 2);
    settings.max_errors = read32(header.data() + 20);
    settings.max_results = read64(header.data() + 24);
    const std::uint64_t capacity = read64(header.data() + 32), records = read64(header.data() + 40),
                        shards = read64(header.data() + 48);
    if (settings.threshold > 1000 || settings.max_errors > MAX_ERRORS ||
        settings.max_results > MAX_RESULTS_LIMIT || capacity < 1 || capacity > MAX_RECORDS ||
        shards > bytes.size() / 24 || records > bytes.size())
        in.fail("corrupted: settings or sizes out of range in the header");

    // Every section is read and checked before any record is appended; the
    // shards are then filled on the worker threads.
    std::vector<std::vector<std::string_view>> texts;
    std::vector<std::vector<std::uint32_t>> ids;
    for (std::uint64_t s = 0; s < shards; ++s) {
        const std::size_t start = in.at();
        const std::string what = "shard " + std::to_string(s);
        const std::uint64_t n = in.u64(what.c_str()), text_bytes = in.u64(what.c_str());
        if (n > capacity || n > in.left() / 8 || text_bytes > in.left())
            in.fail("truncated or corrupted in " + what);
        const std::string_view id_bytes = in.take(4 * n, what.c_str());
        const std::string_view length_bytes = in.take(4 * n, what.c_str());
        const std::string_view text_data = in.take(text_bytes, what.c_str());
        const std::string_view section = in.bytes().substr(start, in.at() - start);
        if (checksum(section) != in.u64(what.c_str())) in.fail("corrupted: the checksum of " + what);
        if (n == 0) continue;  // a shard that was emptied by removals comes back as none
        auto& shard_texts = texts.emplace_back(n);
        auto& shard_ids = ids.emplace_back(n);
        std::size_t at = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t length = read32(length_bytes.data() + 4 * i);
            if (length > text_data.size() - at) in.fail("corrupted: the lengths of " + what);
            shard_texts[i] = text_data.substr(at, length);
            shard_ids[i] = read32(id_bytes.data() + 4 * i);
            at += length;
        }
        if (at != text_data.size()) in.fail("corrupted: the lengths of " + what);
    }
    if (in.take(sizeof END, "the end mark") != std::string_view(END, sizeof END) || in.left() != 0)
        in.fail("corrupted: bytes after the last shard");
    std::vector<ShardedIndex::ShardRecords> filled;
    std::size_t total = 0;
    for (std::size_t s = 0; s < texts.size(); ++s) {
        filled.push_back({ids[s], texts[s]});
        total += texts[s].size();
    }
    if (total != records) in.fail("corrupted: the header counts another number of records");
    ShardedIndex index(settings, capacity);
    index.append_shards(filled, pool, workers);
    return index;
}

}  // namespace murvex
