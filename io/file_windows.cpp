// io::File and the file status on Windows: wide paths, handles, reads and writes
// at an offset through OVERLAPPED.
#include <windows.h>

#include <utility>

#include "io/file.h"
#include "io/win32_errors.h"
#include "io/win32_path.h"

namespace tp::io {

namespace {

HANDLE handleOf(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

std::intptr_t valueOf(HANDLE h) {
    return reinterpret_cast<std::intptr_t>(h);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Reads and writes go in pieces a DWORD can count.
constexpr std::size_t kMaxCall = std::size_t{1} << 30;

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

std::uint64_t join(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Opens `path` and checks that a regular file was opened (no folder, no device).
std::error_code openRegular(const std::filesystem::path& path, DWORD access, HANDLE& h) {
    h = ::CreateFileW(win32::longPath(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        // A folder opens only with backup semantics: say what it is.
        const DWORD attrs = ::GetFileAttributesW(win32::longPath(path).c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return std::make_error_code(std::errc::is_a_directory);
        return win32::errorOf(e);
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return std::make_error_code(std::errc::invalid_argument);
    }
    return {};
}

}  // namespace

std::error_code lastError() {
    return win32::lastErrorCode();
}

std::error_code statusOf(const std::filesystem::path& path, FileStatus& status) {
    status = {};
    HANDLE h = ::CreateFileW(win32::longPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError();
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    const std::error_code ec = ok ? std::error_code{} : lastError();
    const DWORD type = ::GetFileType(h);
    ::CloseHandle(h);
    if (!ok) return ec;
    status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.regular = !status.directory && type == FILE_TYPE_DISK;
    status.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    status.identity = {info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow)};
    // FILETIME counts 100 ns steps from 1601; 11644473600 s lie between 1601 and 1970.
    const auto ticks = static_cast<std::int64_t>(
        join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
    status.modifiedNs = (ticks - std::int64_t{116444736000000000}) * 100;
    return {};
}

std::error_code File::openRead(const std::filesystem::path& path) {
    close();
    HANDLE h = INVALID_HANDLE_VALUE;
    if (auto ec = openRegular(path, GENERIC_READ, h)) return ec;
    handle_ = valueOf(h);
    return {};
}

std::error_code File::openWrite(const std::filesystem::path& path) {
    close();
    HANDLE h = INVALID_HANDLE_VALUE;
    if (auto ec = openRegular(path, GENERIC_WRITE, h)) return ec;
    handle_ = valueOf(h);
    return {};
}

std::error_code File::createNew(const std::filesystem::path& path) {
    close();
    HANDLE h = ::CreateFileW(win32::longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError();
    handle_ = valueOf(h);
    return {};
}

std::error_code File::close() {
    if (handle_ == kNone) return {};
    HANDLE h = handleOf(std::exchange(handle_, kNone));
    return ::CloseHandle(h) != 0 ? std::error_code{} : lastError();
}

std::error_code File::readAt(std::uint64_t offset, char* out, std::size_t length,
                             std::size_t& got) const {
    got = 0;
    OVERLAPPED o = at(offset);
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(length < kMaxCall ? length : kMaxCall);
    if (::ReadFile(handleOf(handle_), out, ask, &n, &o) == 0) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_HANDLE_EOF) return {};  // at or past the end: nothing read
        return win32::errorOf(e);
    }
    got = n;
    return {};
}

std::error_code File::writeAt(std::uint64_t offset, const char* data, std::size_t length) const {
    while (length > 0) {
        OVERLAPPED o = at(offset);
        DWORD n = 0;
        const DWORD ask = static_cast<DWORD>(length < kMaxCall ? length : kMaxCall);
        if (::WriteFile(handleOf(handle_), data, ask, &n, &o) == 0) return lastError();
        if (n == 0) return std::make_error_code(std::errc::io_error);
        data += n;
        length -= n;
        offset += n;
    }
    return {};
}

std::error_code File::size(std::uint64_t& bytes) const {
    LARGE_INTEGER s{};
    if (::GetFileSizeEx(handleOf(handle_), &s) == 0) return lastError();
    bytes = static_cast<std::uint64_t>(s.QuadPart);
    return {};
}

std::error_code File::resize(std::uint64_t bytes) const {
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
    if (::SetFileInformationByHandle(handleOf(handle_), FileEndOfFileInfo, &eof, sizeof eof) == 0)
        return lastError();
    return {};
}

std::error_code File::sync() const {
    return ::FlushFileBuffers(handleOf(handle_)) != 0 ? std::error_code{} : lastError();
}

std::error_code File::reserve(std::uint64_t from, std::uint64_t bytes) const {
    // The allocation size holds clusters past the end without moving it.
    FILE_ALLOCATION_INFO alloc{};
    alloc.AllocationSize.QuadPart = static_cast<LONGLONG>(from + bytes);
    if (::SetFileInformationByHandle(handleOf(handle_), FileAllocationInfo, &alloc, sizeof alloc) !=
        0)
        return {};
    // A full disk is worth trying again later; anything else (a file system or
    // a system that cannot) is not.
    const std::error_code ec = lastError();
    if (ec == std::errc::no_space_on_device) return ec;
    return std::make_error_code(std::errc::not_supported);
}

void File::startWriteBack(std::uint64_t /*offset*/, std::uint64_t /*length*/) const {}

void File::readingInOrder() const {}

std::uint64_t File::nextData(std::uint64_t pos, std::uint64_t /*size*/) const {
    return pos;
}

std::error_code File::identity(FileIdentity& id) const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(handleOf(handle_), &info) == 0) return lastError();
    id = {info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow)};
    return {};
}

}  // namespace tp::io
