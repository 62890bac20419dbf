// The output folder calls on Windows. Reparse points (symbolic links, junctions,
// mount points) are Windows' links: every level of the output tree below the
// output folder is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) and refused
// when it is one, and the levels stay open without FILE_SHARE_DELETE while files
// are written into them, so none can be renamed away and swapped for a link.
// Files are opened as themselves too and never written through a link.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "io/io.h"
#include "io/paths.h"
#include "io/win32_errors.h"
#include "io/win32_path.h"

namespace tp::io {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPiece = std::size_t{1} << 20;  // bytes per write call

HANDLE handleOf(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

std::intptr_t valueOf(HANDLE h) {
    return reinterpret_cast<std::intptr_t>(h);
}

std::error_code lastWin32() {
    return win32::lastErrorCode();
}

// Writes all of `data` from `offset` on, asking the injector before each piece.
std::error_code writeAllAt(HANDLE h, const fs::path& path, std::string_view data,
                           std::uint64_t offset) {
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t piece = std::min(kPiece, data.size() - done);
        if (auto ec = injected(Op::Write, path, piece)) return ec;
        std::size_t written = 0;
        while (written < piece) {
            OVERLAPPED o{};
            const std::uint64_t at = offset + done + written;
            o.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
            o.OffsetHigh = static_cast<DWORD>(at >> 32);
            DWORD n = 0;
            if (::WriteFile(h, data.data() + done + written, static_cast<DWORD>(piece - written),
                            &n, &o) == 0)
                return lastWin32();
            if (n == 0) return std::make_error_code(std::errc::io_error);
            written += n;
        }
        done += piece;
    }
    return {};
}

std::error_code truncateTo(HANDLE h, std::uint64_t size) {
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof) == 0)
        return lastWin32();
    return {};
}

// A folder level, opened as itself (a reparse point is not followed) and shared
// for reading and writing but not for deletion or renaming.
HANDLE openLevel(const fs::path& path, bool asItself) {
    return ::CreateFileW(
        win32::longPath(path).c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (asItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
}

bool notFound(DWORD e) {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// The write under way, for an abort to undo (see abandonUnfinished()). The run
// writes its files from one thread, one at a time.
constexpr int kNothing = 0, kWholeFile = 1, kRecord = 2;
wchar_t gWritingPath[32768];
std::atomic<int> gWriting{kNothing};
std::atomic<std::intptr_t> gWritingHandle{-1};
std::atomic<std::uint64_t> gWritingStart{0};

class WriteUnderWay {
  public:
    WriteUnderWay() = default;
    ~WriteUnderWay() { gWriting.store(kNothing); }
    WriteUnderWay(const WriteUnderWay&) = delete;
    WriteUnderWay& operator=(const WriteUnderWay&) = delete;
    void file(const fs::path& path) {
        const std::wstring s = win32::longPath(path);
        if (s.size() >= sizeof gWritingPath / sizeof gWritingPath[0]) return;
        std::memcpy(gWritingPath, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
        gWriting.store(kWholeFile);
    }
    void record(HANDLE h, std::uint64_t start) {
        gWritingHandle.store(valueOf(h));
        gWritingStart.store(start);
        gWriting.store(kRecord);
    }
};

// What a freshly opened name in the output tree is: refused, or to be replaced.
// (A folder never opens for writing: the open fails, and the caller says
// is_a_directory, as POSIX does.)
enum class Found { File, Link, Other, Shared };

Found whatIs(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(h, &info) == 0) return Found::Other;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Found::Link;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Found::Other;
    if (::GetFileType(h) != FILE_TYPE_DISK) return Found::Other;
    if (info.nNumberOfLinks > 1) return Found::Shared;
    return Found::File;
}

// Opens the name `path` for writing as itself, with `disposition`.
HANDLE openForWriting(const fs::path& path, DWORD disposition) {
    return ::CreateFileW(win32::longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether what stands at `path` (not followed) is a folder, or a link (a
// reparse point: a symbolic link to a file or a folder, a junction).
bool isFolder(const fs::path& path) {
    const DWORD attrs = ::GetFileAttributesW(win32::longPath(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}
bool isLink(const fs::path& path) {
    const DWORD attrs = ::GetFileAttributesW(win32::longPath(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
// Removes the link `path` itself, never what it leads to.
bool removeLink(const fs::path& path) {
    const DWORD attrs = ::GetFileAttributesW(win32::longPath(path).c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return ::RemoveDirectoryW(win32::longPath(path).c_str()) != 0;
    return ::DeleteFileW(win32::longPath(path).c_str()) != 0;
}

std::error_code finishWhole(HANDLE h, const fs::path& path, std::string_view data) {
    std::error_code ec = writeAllAt(h, path, data, 0);
    if (!ec) ec = injected(Op::Flush, path, 0);
    if (::CloseHandle(h) == 0 && !ec) ec = lastWin32();
    if (ec) ::DeleteFileW(win32::longPath(path).c_str());  // nothing partial stays behind
    return ec;
}

}  // namespace

Folder::~Folder() {
    close();
}

void Folder::close() {
    if (handle_ != -1) ::CloseHandle(handleOf(handle_));
    handle_ = -1;
    for (std::intptr_t h : above_) ::CloseHandle(handleOf(h));
    above_.clear();
}

std::error_code Folder::error() const {
    if (handle_ != -1) return {};
    return error_ ? error_ : std::make_error_code(std::errc::bad_file_descriptor);
}

std::error_code Folder::open(const fs::path& root, const fs::path& path, bool create) {
    close();
    path_ = path;
    error_ = {};
    auto failed = [&](std::error_code ec) {
        close();
        error_ = ec;
        return ec;
    };
    const fs::path top = plainPath(root);
    const fs::path below = partBelow(root, path);
    if (below.empty()) return failed(Refusal::OutsideTheRoot);

    bool asked = false;
    auto mayMake = [&]() -> std::error_code {
        if (asked) return {};
        asked = true;
        return injected(Op::MakeDir, path, 0);
    };
    // The output folder itself may be reached through links.
    HANDLE h = openLevel(top, false);
    if (h == INVALID_HANDLE_VALUE && notFound(::GetLastError()) && create) {
        if (auto ec = mayMake()) return failed(ec);
        std::error_code ignored;
        fs::create_directories(top, ignored);
        h = openLevel(top, false);
    }
    if (h == INVALID_HANDLE_VALUE) return failed(lastWin32());
    if (!isFolder(top)) {
        ::CloseHandle(h);
        return failed(std::make_error_code(std::errc::not_a_directory));
    }
    handle_ = valueOf(h);
    fs::path at = top;
    for (const fs::path& part : below) {
        if (part == ".") continue;
        at /= part;
        h = openLevel(at, true);
        if (h == INVALID_HANDLE_VALUE && notFound(::GetLastError()) && create) {
            if (auto ec = mayMake()) return failed(ec);
            if (::CreateDirectoryW(win32::longPath(at).c_str(), nullptr) == 0 &&
                ::GetLastError() != ERROR_ALREADY_EXISTS)
                return failed(lastWin32());
            h = openLevel(at, true);
        }
        if (h == INVALID_HANDLE_VALUE) return failed(lastWin32());
        BY_HANDLE_FILE_INFORMATION info{};
        std::error_code ec;
        if (::GetFileInformationByHandle(h, &info) == 0)
            ec = lastWin32();
        else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            ec = Refusal::LinkInTheWay;
        else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            ec = std::make_error_code(std::errc::not_a_directory);
        if (ec) {
            ::CloseHandle(h);
            return failed(ec);
        }
        above_.push_back(handle_);
        handle_ = valueOf(h);
    }
    return {};
}

std::error_code Folder::writeFile(const std::string& name, std::string_view data) const {
    const fs::path path = path_ / pathFromUtf8(name);
    if (handle_ == -1) return error();
    WriteUnderWay underWay;
    if (auto ec = injected(Op::Create, path, data.size())) return ec;
    HANDLE h = openForWriting(path, OPEN_ALWAYS);
    bool fresh = false;
    if (h == INVALID_HANDLE_VALUE) {
        const std::error_code ec = lastWin32();
        if (isFolder(path)) return std::make_error_code(std::errc::is_a_directory);
        // A link to a folder does not open as a file: it goes, as any link does.
        if (!isLink(path)) return ec;
        if (!removeLink(path)) return lastWin32();
        h = openForWriting(path, CREATE_NEW);
        if (h == INVALID_HANDLE_VALUE) return lastWin32();
    }
    switch (whatIs(h)) {
        case Found::Other:
            ::CloseHandle(h);
            return Refusal::NotAFile;
        case Found::Link:    // the link goes; the file is made in its place
        case Found::Shared:  // its other names keep their content
            ::CloseHandle(h);
            fresh = true;
            break;
        case Found::File:
            if (auto ec = truncateTo(h, 0)) {
                ::CloseHandle(h);
                return ec;
            }
            break;
    }
    if (fresh) {
        if (!removeLink(path) && !notFound(::GetLastError())) return lastWin32();
        h = openForWriting(path, CREATE_NEW);
        if (h == INVALID_HANDLE_VALUE) return lastWin32();
    }
    underWay.file(path);
    return finishWhole(h, path, data);
}

std::error_code Folder::createFile(const std::string& name, std::string_view data) const {
    const fs::path path = path_ / pathFromUtf8(name);
    if (handle_ == -1) return error();
    WriteUnderWay underWay;
    if (auto ec = injected(Op::Create, path, data.size())) return ec;
    HANDLE h = openForWriting(path, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE) return lastWin32();
    underWay.file(path);
    return finishWhole(h, path, data);
}

std::error_code Folder::removeFile(const std::string& name) const {
    if (handle_ == -1) return error();
    const fs::path path = path_ / pathFromUtf8(name);
    if (auto ec = injected(Op::Remove, path, 0)) return ec;
    if (::DeleteFileW(win32::longPath(path).c_str()) == 0) return lastWin32();
    return {};
}

AppendFile::~AppendFile() {
    if (handle_ != -1) ::CloseHandle(handleOf(handle_));
}

std::error_code AppendFile::open(const Folder& folder, const std::string& name, bool createNew) {
    if (handle_ != -1) return std::make_error_code(std::errc::device_or_resource_busy);
    const fs::path path = folder.path() / pathFromUtf8(name);
    if (!folder.isOpen()) return folder.error();
    if (auto ec = injected(Op::Create, path, 0)) return ec;
    HANDLE h = openForWriting(path, createNew ? CREATE_NEW : OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        const std::error_code ec = lastWin32();
        if (!createNew && isLink(path)) return Refusal::LinkInTheWay;
        if (!createNew && isFolder(path)) return std::make_error_code(std::errc::is_a_directory);
        return ec;
    }
    std::error_code ec;
    switch (whatIs(h)) {
        case Found::Link:
            ec = Refusal::LinkInTheWay;
            break;
        case Found::Other:
            ec = Refusal::NotAFile;
            break;
        case Found::Shared:
            ec = Refusal::OtherNames;
            break;
        case Found::File:
            break;
    }
    if (ec) {
        ::CloseHandle(h);
        return ec;
    }
    handle_ = valueOf(h);
    path_ = path;
    return {};
}

std::error_code AppendFile::appendRecord(std::string_view record) {
    if (handle_ == -1) return std::make_error_code(std::errc::bad_file_descriptor);
    HANDLE h = handleOf(handle_);
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(h, &size) == 0) return lastWin32();
    const auto start = static_cast<std::uint64_t>(size.QuadPart);
    WriteUnderWay underWay;
    underWay.record(h, start);
    std::error_code ec = injected(Op::Append, path_, record.size());
    if (!ec) ec = writeAllAt(h, path_, record, start);
    if (ec) truncateTo(h, start);  // the file ends on a record boundary again
    return ec;
}

std::error_code AppendFile::close() {
    if (handle_ == -1) return {};
    std::error_code ec = injected(Op::Flush, path_, 0);
    if (::CloseHandle(handleOf(handle_)) == 0 && !ec) ec = lastWin32();
    handle_ = -1;
    return ec;
}

std::error_code removeFile(const fs::path& path) {
    if (auto ec = injected(Op::Remove, path, 0)) return ec;
    if (::DeleteFileW(win32::longPath(path).c_str()) == 0) return lastWin32();
    return {};
}

std::error_code renameNoReplace(const fs::path& from, const fs::path& to) {
    if (auto ec = injected(Op::Rename, to, 0)) return ec;
    // Without MOVEFILE_REPLACE_EXISTING an existing `to` is never replaced.
    if (::MoveFileExW(win32::longPath(from).c_str(), win32::longPath(to).c_str(), 0) == 0)
        return lastWin32();
    return {};
}

namespace {
wchar_t gUnfinished[32768];
std::atomic<bool> gHaveUnfinished{false};
}  // namespace

void setUnfinishedFile(const fs::path& path) {
    gHaveUnfinished.store(false);
    if (path.empty()) return;
    const std::wstring s = win32::longPath(path);
    if (s.size() >= sizeof gUnfinished / sizeof gUnfinished[0]) return;
    std::memcpy(gUnfinished, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
    gHaveUnfinished.store(true);
}

// Called from the console's control handler, which runs on a thread of its own.
void abandonUnfinished() noexcept {
    if (gHaveUnfinished.exchange(false)) ::DeleteFileW(gUnfinished);
    switch (gWriting.exchange(kNothing)) {
        case kWholeFile:
            ::DeleteFileW(gWritingPath);
            break;
        case kRecord:
            truncateTo(handleOf(gWritingHandle.load()), gWritingStart.load());
            break;
        default:
            break;
    }
}

}  // namespace tp::io
