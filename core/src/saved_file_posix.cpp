// The files of saved indexes on POSIX systems.
#ifndef _WIN32

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#if defined(__linux__) && !defined(MADV_POPULATE_READ)
#define MADV_POPULATE_READ 22
#endif
#include <sys/stat.h>
#include <unistd.h>

#include "saved_file.hpp"

namespace murvex::detail {

namespace {

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

unsigned long process_id() noexcept { return static_cast<unsigned long>(::getpid()); }

void remove_stale_temporaries(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string prefix = temporary_prefix(slash == std::string::npos ? path : path.substr(slash + 1));
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory_of(path).c_str()), ::closedir);
    if (!listing) return;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix)) continue;
        const std::string rest(name.substr(prefix.size()));
        char* end = nullptr;
        const long pid = std::strtol(rest.c_str(), &end, 10);
        if (pid <= 0 || end == rest.c_str() || *end != '-') continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
    }
}

// --- writing ----------------------------------------------------------------------

// Without a name until keep() gives it one where the system has unnamed files
// (O_TMPFILE), else under a temporary name beside the target.
Output::Output(const std::string& target) : target_(target) {
#ifdef O_TMPFILE
    fd_ = ::open(directory_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd_ >= 0) return;
#endif
    name_ = temporary_beside(target);
    fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + name_);
}

Output::~Output() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
}

// An unnamed file gets a temporary name first: a link cannot replace a file.
void Output::keep() {
    flush();
    if (::fsync(fd_) != 0) fail("cannot write");
    if (name_.empty()) {
        std::string name = temporary_beside(target_);
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            fail("cannot name");
        name_ = std::move(name);
    }
    if (::close(std::exchange(fd_, -1)) != 0) fail("cannot write");
    if (::rename(name_.c_str(), target_.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot rename " + name_ + " to " + target_);
    name_.clear();
    // The rename itself made lasting, as far as the directory can be synced.
#ifdef O_DIRECTORY
    if (const int directory = ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
#endif
}

void Output::flush() {
    for (std::size_t done = 0; done < buffer_.size();) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot write");
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

void Output::fail(const char* what) const {
    throw std::system_error(errno ? errno : EIO, std::generic_category(), std::string(what) + " " + target_);
}

// --- reading ----------------------------------------------------------------------

SavedFile::SavedFile(std::string path) : path_(std::move(path)) {
    // Not blocking: opening a pipe without a writer would wait for one.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
    struct stat info{};
    if (::fstat(fd_, &info) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(), "cannot read " + path_);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd_);
        fail(S_ISDIR(info.st_mode) ? "a directory, not a saved index"
                                   : "not a regular file (a saved index is read from a file)");
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
}

SavedFile::~SavedFile() { ::close(fd_); }

void SavedFile::read(std::uint64_t at, std::span<ReadPart> parts, const std::string& what) const {
    std::uint64_t n = 0;
    for (const ReadPart& part : parts) n += part.iov_len;
    if (at > size_ || n > size_ - at) fail("truncated: it ends inside " + what);
    for (;;) {
        // Past the parts read whole and the empty ones (a block of empty
        // texts has no rows): a read into nothing but those gives 0.
        while (!parts.empty() && parts.front().iov_len == 0) parts = parts.subspan(1);
        if (parts.empty()) return;
        const ssize_t got =
            ::preadv(fd_, parts.data(), static_cast<int>(std::min<std::size_t>(parts.size(), IOV_MAX)),
                     static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
        if (got == 0) fail("truncated: it ends inside " + what);
        at += static_cast<std::uint64_t>(got);
        // Into the rest of one read in part.
        auto left = static_cast<std::size_t>(got);
        for (; !parts.empty() && left >= parts.front().iov_len; parts = parts.subspan(1))
            left -= parts.front().iov_len;
        if (left > 0) {
            parts.front().iov_base = static_cast<char*>(parts.front().iov_base) + left;
            parts.front().iov_len -= left;
        }
    }
}

MappedBytes::~MappedBytes() { ::munmap(base_, length_); }

std::unique_ptr<MappedBytes> SavedFile::map(std::uint64_t at, std::size_t n) const {
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t from = at / page * page;
    const std::size_t length = std::max<std::size_t>(static_cast<std::size_t>(at - from) + n, 1);
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd_, static_cast<off_t>(from));
    if (base == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "cannot map " + path_);
#ifdef __linux__
    // The page tables filled in one call rather than a fault at a time, for
    // reading: a write would still copy a page (Linux 5.14; older kernels
    // refuse it and pages come on first touch).
    madvise(base, length, MADV_POPULATE_READ);
#endif
    return std::make_unique<MappedBytes>(base, length, static_cast<std::size_t>(at - from));
}

SavedFile::State SavedFile::state() const {
    struct stat info{};
    if (::fstat(fd_, &info) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
    // The modification time, not the status change time: removing the
    // file's name (a save replacing it) changes the latter, not the bytes.
#ifdef __APPLE__
    const struct timespec written = info.st_mtimespec;
#else
    const struct timespec written = info.st_mtim;
#endif
    return State{static_cast<std::uint64_t>(info.st_size),
                 static_cast<std::int64_t>(written.tv_sec) * 1'000'000'000 + written.tv_nsec};
}

std::size_t SavedFile::read_some(char* into, std::size_t n, std::uint64_t at) const {
    for (;;) {
        const ssize_t got = ::pread(fd_, into, n, static_cast<off_t>(at));
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
    }
}

}  // namespace murvex::detail

#endif  // _WIN32
