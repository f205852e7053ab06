// The files of saved indexes, one source per system: written under a
// temporary name beside the target and renamed onto it once whole and synced;
// read where they are asked, on any thread. Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "murvex/saved.hpp"

#ifndef _WIN32
#include <sys/uio.h>
#endif

namespace murvex::detail {

// Where one read puts a part of the bytes it reads.
#ifdef _WIN32
struct ReadPart {
    void* iov_base;
    std::size_t iov_len;
};
#else
using ReadPart = iovec;
#endif

// This process's number on its system.
unsigned long process_id() noexcept;

// The prefix of the temporary names of saves to `path`: PATH.tmp-
inline std::string temporary_prefix(const std::string& path) { return path + ".tmp-"; }

// A temporary name beside `path`, in the same directory so that the rename
// is atomic: PATH.tmp-PID-RANDOM.
inline std::string temporary_beside(const std::string& path) {
    std::random_device random;
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "%lu-%08x", process_id(), random());
    return temporary_prefix(path) + suffix;
}

// Removes the temporary files of earlier saves to `path` whose process is
// gone (killed while saving); those of running saves stay.
void remove_stale_temporaries(const std::string& path);

// A file being written; closed (and its temporary name removed) on
// destruction when not kept.
class Output {
public:
    explicit Output(const std::string& target);
    ~Output();
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
    // Writes what is left and syncs; only then gives the file the target's
    // name, replacing what had it.
    void keep();

private:
    void flush();
    [[noreturn]] void fail(const char* what) const;

    std::string target_;
    std::string name_;  // the temporary name, while the file has one
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string buffer_;
};

// Bytes of a file mapped copy-on-write: this process may write them, and
// the file keeps its own. Unmapped on destruction.
class MappedBytes {
public:
    MappedBytes(void* base, std::size_t length, std::size_t offset) noexcept
        : base_(base), length_(length), offset_(offset) {}
    ~MappedBytes();
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;

    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(base_) + offset_; }

private:
    void* base_;
    std::size_t length_;  // mapped from base_ on
    std::size_t offset_;  // from base_ to the bytes asked for
};

// A saved index's file, read where it is asked, so that each shard's bytes
// are read on the thread that loads it. Only a regular file is read: a
// device or a pipe could give bytes without end, or none ever. A read past
// the end is refused as a truncation, also when the file shrinks while it is
// read.
class SavedFile {
public:
    explicit SavedFile(std::string path);
    ~SavedFile();
    SavedFile(const SavedFile&) = delete;
    SavedFile& operator=(const SavedFile&) = delete;

    std::uint64_t size() const noexcept { return size_; }

    // `n` bytes from `at` on into `into`; refused, naming `what`, past the end.
    void read(std::uint64_t at, std::size_t n, char* into, const std::string& what) const {
        if (at > size_ || n > size_ - at) fail("truncated: it ends inside " + what);
        for (std::size_t done = 0; done < n;) {
            const std::size_t got = read_some(into + done, n - done, at + done);
            if (got == 0) fail("truncated: it ends inside " + what);
            done += got;
        }
    }
    // The bytes from `at` on into `parts`, one after another.
    void read(std::uint64_t at, std::span<ReadPart> parts, const std::string& what) const;
    std::string read(std::uint64_t at, std::size_t n, const std::string& what) const {
        std::string bytes(n, '\0');
        read(at, n, bytes.data(), what);
        return bytes;
    }

    // `n` bytes from `at` on (within the file), mapped copy-on-write.
    // Throws std::system_error when the system will not map them.
    std::unique_ptr<MappedBytes> map(std::uint64_t at, std::size_t n) const;

    // What changes when the file is written: its size and the time it was
    // last written. Throws std::system_error when it cannot be asked.
    struct State {
        std::uint64_t size;
        std::int64_t written;  // in the system's units
        bool operator==(const State&) const = default;
    };
    State state() const;

    const std::string& path() const noexcept { return path_; }

    [[noreturn]] void fail(const std::string& problem) const {
        throw SavedIndexError(path_ + ": " + problem);
    }

private:
    // Up to `n` bytes from `at`; 0 at the end.
    std::size_t read_some(char* into, std::size_t n, std::uint64_t at) const;

    std::string path_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
};

}  // namespace murvex::detail
