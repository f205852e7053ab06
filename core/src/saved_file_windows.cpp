// The files of saved indexes on Windows: the same rules as elsewhere, with the
// system's own calls (positional reads through OVERLAPPED offsets, which any
// thread may make at once; a rename that replaces the target).
#ifdef _WIN32

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include <windows.h>

#include "saved_file.hpp"

namespace murvex::detail {

namespace {

// A path as the system takes it: UTF-8 to UTF-16.
std::wstring wide(const std::string& path) {
    if (path.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
    return out;
}

std::size_t last_separator(const std::string& path) { return path.find_last_of("/\\"); }

[[noreturn]] void system_failure(const std::string& what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

}  // namespace

unsigned long process_id() noexcept { return GetCurrentProcessId(); }

void remove_stale_temporaries(const std::string& path) {
    const std::size_t separator = last_separator(path);
    const std::string directory = separator == std::string::npos ? "" : path.substr(0, separator + 1);
    const std::string prefix =
        temporary_prefix(separator == std::string::npos ? path : path.substr(separator + 1));
    WIN32_FIND_DATAW found;
    const HANDLE listing = FindFirstFileW(wide(directory + prefix + "*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        const std::wstring rest = name.substr(std::min(name.size(), wide(prefix).size()));
        wchar_t* end = nullptr;
        const unsigned long pid = std::wcstoul(rest.c_str(), &end, 10);
        if (pid == 0 || end == rest.c_str() || *end != L'-') continue;
        if (const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
            CloseHandle(process);  // still running
            continue;
        }
        if (GetLastError() == ERROR_INVALID_PARAMETER)  // no such process
            DeleteFileW((wide(directory) + name).c_str());
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
}

// --- writing ----------------------------------------------------------------------

Output::Output(const std::string& target) : target_(target), name_(temporary_beside(target)) {
    handle_ = CreateFileW(wide(name_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        handle_ = nullptr;
        system_failure("cannot create " + name_);
    }
}

Output::~Output() {
    if (handle_) CloseHandle(handle_);
    if (!name_.empty()) DeleteFileW(wide(name_).c_str());
}

void Output::keep() {
    flush();
    if (!FlushFileBuffers(handle_)) fail("cannot write");
    if (!CloseHandle(std::exchange(handle_, nullptr))) fail("cannot write");
    if (!MoveFileExW(wide(name_).c_str(), wide(target_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        system_failure("cannot rename " + name_ + " to " + target_);
    name_.clear();
}

void Output::flush() {
    for (std::size_t done = 0; done < buffer_.size();) {
        DWORD n = 0;
        const auto asked = static_cast<DWORD>(std::min<std::size_t>(buffer_.size() - done, DWORD{1} << 30));
        if (!WriteFile(handle_, buffer_.data() + done, asked, &n, nullptr) || n == 0) fail("cannot write");
        done += n;
    }
    buffer_.clear();
}

void Output::fail(const char* what) const { system_failure(std::string(what) + " " + target_); }

// --- reading ----------------------------------------------------------------------

SavedFile::SavedFile(std::string path) : path_(std::move(path)) {
    const DWORD attributes = GetFileAttributesW(wide(path_).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        fail("a directory, not a saved index");
    handle_ =
        CreateFileW(wide(path_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        handle_ = nullptr;
        system_failure("cannot read " + path_);
    }
    LARGE_INTEGER size;
    if (GetFileType(handle_) != FILE_TYPE_DISK || !GetFileSizeEx(handle_, &size)) {
        CloseHandle(handle_);
        fail("not a regular file (a saved index is read from a file)");
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
}

SavedFile::~SavedFile() { CloseHandle(handle_); }

void SavedFile::read(std::uint64_t at, std::span<ReadPart> parts, const std::string& what) const {
    for (const ReadPart& part : parts) {
        read(at, part.iov_len, static_cast<char*>(part.iov_base), what);
        at += part.iov_len;
    }
}

MappedBytes::~MappedBytes() { UnmapViewOfFile(base_); }

std::unique_ptr<MappedBytes> SavedFile::map(std::uint64_t at, std::size_t n) const {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::uint64_t granularity = system.dwAllocationGranularity, from = at / granularity * granularity;
    const std::size_t length = static_cast<std::size_t>(at - from) + n;
    // The mapping object goes once the view holds the section.
    HANDLE mapping = CreateFileMappingW(handle_, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    if (!mapping) system_failure("cannot map " + path_);
    void* base = MapViewOfFile(mapping, FILE_MAP_COPY, static_cast<DWORD>(from >> 32),
                               static_cast<DWORD>(from), std::max<std::size_t>(length, 1));
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    if (!base)
        throw std::system_error(static_cast<int>(error), std::system_category(), "cannot map " + path_);
    return std::make_unique<MappedBytes>(base, length, static_cast<std::size_t>(at - from));
}

SavedFile::State SavedFile::state() const {
    LARGE_INTEGER size;
    FILETIME written;
    if (!GetFileSizeEx(handle_, &size) || !GetFileTime(handle_, nullptr, nullptr, &written))
        system_failure("cannot read " + path_);
    return State{
        static_cast<std::uint64_t>(size.QuadPart),
        static_cast<std::int64_t>(std::uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime)};
}

std::size_t SavedFile::read_some(char* into, std::size_t n, std::uint64_t at) const {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    const auto asked = static_cast<DWORD>(std::min<std::size_t>(n, DWORD{1} << 30));
    if (ReadFile(handle_, into, asked, &got, &where)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    system_failure("cannot read " + path_);
}

}  // namespace murvex::detail

#endif  // _WIN32
