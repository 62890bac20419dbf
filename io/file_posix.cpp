// io::File and the file status on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "io/file.h"

namespace tp::io {

namespace {

int fdOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}

std::error_code fromErrno(int e) {
    return {e, std::generic_category()};
}

// Opens `path` with `flags` (O_NONBLOCK added, so that a FIFO swapped in never
// blocks the open) and checks that a regular file was opened.
std::error_code openRegular(const std::filesystem::path& path, int flags, int& fd) {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return lastError();
    struct stat st {};
    std::error_code ec;
    if (::fstat(fd, &st) != 0)
        ec = lastError();
    else if (S_ISDIR(st.st_mode))
        ec = std::make_error_code(std::errc::is_a_directory);
    else if (!S_ISREG(st.st_mode))
        ec = std::make_error_code(std::errc::invalid_argument);
    if (ec) {
        ::close(fd);
        fd = -1;
        return ec;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return {};
}

}  // namespace

std::error_code lastError() {
    return fromErrno(errno);
}

std::error_code statusOf(const std::filesystem::path& path, FileStatus& status) {
    status = {};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return lastError();
    status.regular = S_ISREG(st.st_mode);
    status.directory = S_ISDIR(st.st_mode);
    status.size = static_cast<std::uint64_t>(st.st_size);
    status.identity = {static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino)};
    status.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                        static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return {};
}

std::error_code File::openRead(const std::filesystem::path& path) {
    close();
    int fd = -1;
    if (auto ec = openRegular(path, O_RDONLY, fd)) return ec;
    handle_ = fd;
    return {};
}

std::error_code File::openWrite(const std::filesystem::path& path) {
    close();
    int fd = -1;
    if (auto ec = openRegular(path, O_WRONLY, fd)) return ec;
    handle_ = fd;
    return {};
}

std::error_code File::createNew(const std::filesystem::path& path) {
    close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return lastError();
    handle_ = fd;
    return {};
}

std::error_code File::close() {
    if (handle_ == kNone) return {};
    const int fd = fdOf(std::exchange(handle_, kNone));
    return ::close(fd) == 0 ? std::error_code{} : lastError();
}

std::error_code File::readAt(std::uint64_t offset, char* out, std::size_t length,
                             std::size_t& got) const {
    got = 0;
    for (;;) {
        const ssize_t r = ::pread(fdOf(handle_), out, length, static_cast<off_t>(offset));
        if (r >= 0) {
            got = static_cast<std::size_t>(r);
            return {};
        }
        if (errno != EINTR) return lastError();
    }
}

std::error_code File::writeAt(std::uint64_t offset, const char* data, std::size_t length) const {
    while (length > 0) {
        const ssize_t w = ::pwrite(fdOf(handle_), data, length, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        data += w;
        length -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
    return {};
}

std::error_code File::size(std::uint64_t& bytes) const {
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return lastError();
    bytes = static_cast<std::uint64_t>(st.st_size);
    return {};
}

std::error_code File::resize(std::uint64_t bytes) const {
    while (::ftruncate(fdOf(handle_), static_cast<off_t>(bytes)) != 0) {
        if (errno != EINTR) return lastError();
    }
    return {};
}

std::error_code File::sync() const {
    return ::fsync(fdOf(handle_)) == 0 ? std::error_code{} : lastError();
}

std::error_code File::reserve(std::uint64_t from, std::uint64_t bytes) const {
#if defined(__linux__)
    if (::fallocate(fdOf(handle_), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                    static_cast<off_t>(bytes)) == 0)
        return {};
    if (errno == EOPNOTSUPP || errno == ENOSYS)
        return std::make_error_code(std::errc::not_supported);
    return lastError();
#else
    (void)from;
    (void)bytes;
    return std::make_error_code(std::errc::not_supported);
#endif
}

void File::startWriteBack(std::uint64_t offset, std::uint64_t length) const {
#if defined(SYNC_FILE_RANGE_WRITE)
    ::sync_file_range(fdOf(handle_), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
}

void File::readingInOrder() const {
#if defined(POSIX_FADV_SEQUENTIAL)
    ::posix_fadvise(fdOf(handle_), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

std::uint64_t File::nextData(std::uint64_t pos, std::uint64_t size) const {
#if defined(SEEK_DATA)
    const off_t d = ::lseek(fdOf(handle_), static_cast<off_t>(pos), SEEK_DATA);
    if (d >= 0) return static_cast<std::uint64_t>(d);
    if (errno == ENXIO) return size;
#else
    (void)size;
#endif
    return pos;
}

std::error_code File::identity(FileIdentity& id) const {
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return lastError();
    id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return {};
}

}  // namespace tp::io
