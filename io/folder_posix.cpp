// The output folder calls on POSIX systems: folders entered one at a time
// relative to the one above, files opened relative to their folder, never
// through a symbolic link.
#include "io/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tp::io {

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;  // bytes per write call

std::error_code lastErrno() {
    return {errno, std::generic_category()};
}

// Writes all of `data`, asking the injector before each piece.
std::error_code writeAll(int fd, const std::filesystem::path& path, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t piece = std::min(kPiece, data.size() - done);
        if (auto ec = injected(Op::Write, path, piece)) return ec;
        std::size_t written = 0;
        while (written < piece) {
            const ssize_t w = ::write(fd, data.data() + done + written, piece - written);
            if (w < 0) {
                if (errno == EINTR) continue;
                return lastErrno();
            }
            written += static_cast<std::size_t>(w);
        }
        done += piece;
    }
    return {};
}

bool isLink(int dirFd, const char* name) {
    struct stat st {};
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The folder `name` in `dirFd`, entered without following a link.
int enterFolder(int dirFd, const char* name) {
    return ::openat(dirFd, name, kFolderFlags | O_NOFOLLOW);
}

}  // namespace

Folder::~Folder() {
    close();
}

void Folder::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

std::error_code Folder::error() const {
    if (handle_ >= 0) return {};
    return error_ ? error_ : std::make_error_code(std::errc::bad_file_descriptor);
}

std::error_code Folder::open(const std::filesystem::path& root, const std::filesystem::path& path,
                             bool create) {
    namespace fs = std::filesystem;
    close();
    path_ = path;
    error_ = {};
    auto failed = [&](std::error_code ec) {
        if (handle_ >= 0) ::close(static_cast<int>(handle_));
        handle_ = -1;
        error_ = ec;
        return ec;
    };
    const fs::path top = plainPath(root);
    const fs::path below = partBelow(root, path);
    if (below.empty()) return failed(Refusal::OutsideTheRoot);

    bool asked = false;  // the seam hears once that folders are to be made
    auto mayMake = [&]() -> std::error_code {
        if (asked) return {};
        asked = true;
        return injected(Op::MakeDir, path, 0);
    };
    handle_ = ::open(top.c_str(), kFolderFlags);
    if (handle_ < 0 && errno == ENOENT && create) {
        if (auto ec = mayMake()) return failed(ec);
        std::error_code ec;
        fs::create_directories(top, ec);
        handle_ = ::open(top.c_str(), kFolderFlags);
    }
    if (handle_ < 0) return failed(lastErrno());
    for (const fs::path& part : below) {
        if (part == ".") continue;
        const char* name = part.c_str();
        int next = enterFolder(static_cast<int>(handle_), name);
        if (next < 0 && errno == ENOENT && create) {
            if (auto ec = mayMake()) return failed(ec);
            if (::mkdirat(static_cast<int>(handle_), name, 0777) != 0 && errno != EEXIST)
                return failed(lastErrno());
            next = enterFolder(static_cast<int>(handle_), name);
        }
        if (next < 0) {
            const std::error_code ec = lastErrno();
            if ((errno == ELOOP || errno == ENOTDIR) && isLink(static_cast<int>(handle_), name))
                return failed(Refusal::LinkInTheWay);
            return failed(ec);
        }
        ::close(static_cast<int>(handle_));
        handle_ = next;
    }
    return {};
}

namespace {

// The write under way, for an abort to undo (see abandonUnfinished()). The run
// writes its files from one thread, one at a time.
constexpr int kNothing = 0, kWholeFile = 1, kRecord = 2;
char gWritingPath[4096];
std::atomic<int> gWriting{kNothing};
std::atomic<int> gWritingFd{-1};
std::atomic<off_t> gWritingStart{0};

// Marks a write as under way for as long as it lives.
class WriteUnderWay {
  public:
    WriteUnderWay() = default;
    ~WriteUnderWay();
    WriteUnderWay(const WriteUnderWay&) = delete;
    WriteUnderWay& operator=(const WriteUnderWay&) = delete;
    void file(const std::filesystem::path& path);  // a file written whole: removed
    void record(int fd, off_t start);              // a record appended: cut away
};

// Writes `data` into the file just made as `name` in the folder `dir` and closes
// it; a write that fails removes the file, and so does an abort while it is under way.
std::error_code writeNew(int dir, int fd, const std::filesystem::path& path,
                         const std::string& name, WriteUnderWay& underWay, std::string_view data) {
    underWay.file(path);
    std::error_code ec = writeAll(fd, path, data);
    if (!ec) ec = injected(Op::Flush, path, 0);
    if (::close(fd) != 0 && !ec) ec = lastErrno();
    if (ec) ::unlinkat(dir, name.c_str(), 0);  // nothing partial stays behind
    return ec;
}

}  // namespace

std::error_code Folder::writeFile(const std::string& name, std::string_view data) const {
    const std::filesystem::path path = path_ / name;
    if (handle_ < 0) return error();
    WriteUnderWay underWay;
    if (auto ec = injected(Op::Create, path, data.size())) return ec;
    // O_NONBLOCK: a FIFO in the way fails instead of waiting for a reader.
    constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    // Most names are new: made here, the file needs no look at what it was.
    int fd = ::openat(static_cast<int>(handle_), name.c_str(), kFlags | O_EXCL, 0666);
    if (fd >= 0) return writeNew(static_cast<int>(handle_), fd, path, name, underWay, data);
    if (errno != EEXIST) return lastErrno();
    fd = ::openat(static_cast<int>(handle_), name.c_str(), kFlags, 0666);
    bool fresh = false;
    if (fd < 0 && errno == ELOOP && isLink(static_cast<int>(handle_), name.c_str())) {
        fresh = true;  // the link goes; the file is made in its place
    } else if (fd < 0) {
        return lastErrno();
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const std::error_code ec = lastErrno();
            ::close(fd);
            return ec;
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            return Refusal::NotAFile;
        }
        if (st.st_nlink > 1) {
            ::close(fd);
            fresh = true;  // its other names keep their content
        } else if (st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
            const std::error_code ec = lastErrno();
            ::close(fd);
            return ec;
        }
    }
    if (fresh) {
        if (::unlinkat(static_cast<int>(handle_), name.c_str(), 0) != 0 && errno != ENOENT)
            return lastErrno();
        fd = ::openat(static_cast<int>(handle_), name.c_str(), kFlags | O_EXCL, 0666);
        if (fd < 0) return lastErrno();
    }
    return writeNew(static_cast<int>(handle_), fd, path, name, underWay, data);
}

std::error_code Folder::createFile(const std::string& name, std::string_view data) const {
    const std::filesystem::path path = path_ / name;
    if (handle_ < 0) return error();
    WriteUnderWay underWay;
    if (auto ec = injected(Op::Create, path, data.size())) return ec;
    const int fd = ::openat(static_cast<int>(handle_), name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (fd < 0) return lastErrno();
    return writeNew(static_cast<int>(handle_), fd, path, name, underWay, data);
}

std::error_code Folder::removeFile(const std::string& name) const {
    if (handle_ < 0) return error();
    if (auto ec = injected(Op::Remove, path_ / name, 0)) return ec;
    if (::unlinkat(static_cast<int>(handle_), name.c_str(), 0) != 0) return lastErrno();
    return {};
}

AppendFile::~AppendFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::error_code AppendFile::open(const Folder& folder, const std::string& name, bool createNew) {
    if (handle_ >= 0) return std::make_error_code(std::errc::device_or_resource_busy);
    const std::filesystem::path path = folder.path() / name;
    if (!folder.isOpen()) return folder.error();
    if (auto ec = injected(Op::Create, path, 0)) return ec;
    const int fd = ::openat(static_cast<int>(folder.handle_), name.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW |
                                O_NONBLOCK | (createNew ? O_EXCL : 0),
                            0666);
    if (fd < 0) {
        const std::error_code ec = lastErrno();
        if (errno == ELOOP && isLink(static_cast<int>(folder.handle_), name.c_str()))
            return Refusal::LinkInTheWay;
        return ec;
    }
    struct stat st {};
    std::error_code ec;
    if (::fstat(fd, &st) != 0) {
        ec = lastErrno();
    } else if (!S_ISREG(st.st_mode)) {
        ec = Refusal::NotAFile;
    } else if (st.st_nlink > 1) {
        ec = Refusal::OtherNames;
    }
    if (ec) {
        ::close(fd);
        return ec;
    }
    handle_ = fd;
    path_ = path;
    return {};
}

std::error_code AppendFile::appendRecord(std::string_view record) {
    if (handle_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    struct stat st {};
    if (::fstat(static_cast<int>(handle_), &st) != 0) return lastErrno();
    const off_t start = st.st_size;
    WriteUnderWay underWay;
    underWay.record(static_cast<int>(handle_), start);
    std::error_code ec = injected(Op::Append, path_, record.size());
    if (!ec) ec = writeAll(static_cast<int>(handle_), path_, record);
    if (ec) {
        // Cut the half-written record away so the file ends on a record boundary.
        while (::ftruncate(static_cast<int>(handle_), start) != 0 && errno == EINTR) {
        }
    }
    return ec;
}

std::error_code AppendFile::close() {
    if (handle_ < 0) return {};
    std::error_code ec = injected(Op::Flush, path_, 0);
    if (::close(static_cast<int>(handle_)) != 0 && !ec) ec = lastErrno();
    handle_ = -1;
    return ec;
}

std::error_code removeFile(const std::filesystem::path& path) {
    if (auto ec = injected(Op::Remove, path, 0)) return ec;
    if (::unlink(path.c_str()) != 0) return lastErrno();
    return {};
}

std::error_code renameNoReplace(const std::filesystem::path& from,
                                const std::filesystem::path& to) {
    if (auto ec = injected(Op::Rename, to, 0)) return ec;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return lastErrno();
    // A file system without RENAME_NOREPLACE: a second name, then the first goes.
    if (::link(from.c_str(), to.c_str()) != 0) return lastErrno();
    ::unlink(from.c_str());
    return {};
}

namespace {
char gUnfinished[4096];
std::atomic<bool> gHaveUnfinished{false};
}  // namespace

void WriteUnderWay::file(const std::filesystem::path& path) {
    const std::string& s = path.native();
    if (s.size() >= sizeof gWritingPath) return;
    std::memcpy(gWritingPath, s.c_str(), s.size() + 1);
    gWriting.store(kWholeFile);
}

void WriteUnderWay::record(int fd, off_t start) {
    gWritingFd.store(fd);
    gWritingStart.store(start);
    gWriting.store(kRecord);
}

WriteUnderWay::~WriteUnderWay() {
    gWriting.store(kNothing);
}

void setUnfinishedFile(const std::filesystem::path& path) {
    gHaveUnfinished.store(false);
    const std::string& s = path.native();
    if (s.empty() || s.size() >= sizeof gUnfinished) return;
    std::memcpy(gUnfinished, s.c_str(), s.size() + 1);
    gHaveUnfinished.store(true);
}

void abandonUnfinished() noexcept {
    if (gHaveUnfinished.exchange(false)) ::unlink(gUnfinished);
    switch (gWriting.exchange(kNothing)) {
        case kWholeFile:
            ::unlink(gWritingPath);
            break;
        case kRecord:
            while (::ftruncate(gWritingFd.load(), gWritingStart.load()) != 0 && errno == EINTR) {
            }
            break;
        default:
            break;
    }
}

}  // namespace tp::io
