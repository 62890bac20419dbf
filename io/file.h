#pragma once
// One open file, as every platform gives it: reads and writes at an offset,
// size, flush to disk, space held ahead, and the file's identity. The engine
// above io/ makes no system call of its own.
#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace tp::io {

// Which file a name leads to: device and inode on POSIX, volume serial number
// and file index on Windows. Two names of one file have the same identity.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

// What a name leads to (links followed).
struct FileStatus {
    bool regular = false;
    bool directory = false;
    std::uint64_t size = 0;
    FileIdentity identity;
    std::int64_t modifiedNs = 0;  // last change of content, ns since 1970
};
// Fills `status`; the error of a name that cannot be looked at.
std::error_code statusOf(const std::filesystem::path& path, FileStatus& status);

class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // An existing regular file, for reading (is_a_directory for a folder,
    // invalid_argument for anything else that is no file; a FIFO never blocks
    // the open).
    std::error_code openRead(const std::filesystem::path& path);
    // An existing regular file, for writing in place (its length unchanged).
    std::error_code openWrite(const std::filesystem::path& path);
    // A new file; file_exists when anything has the name already.
    std::error_code createNew(const std::filesystem::path& path);
    std::error_code close();
    bool isOpen() const { return handle_ != kNone; }

    // Up to `length` bytes at `offset`: `got` is less only at the end of the file.
    std::error_code readAt(std::uint64_t offset, char* out, std::size_t length,
                           std::size_t& got) const;
    // All of `data` at `offset`.
    std::error_code writeAt(std::uint64_t offset, const char* data, std::size_t length) const;
    std::error_code size(std::uint64_t& bytes) const;
    std::error_code resize(std::uint64_t bytes) const;
    // Brings the file's data to the disk.
    std::error_code sync() const;
    // Holds disk space for the file up to `bytes` without changing its size:
    // not_supported where the file system cannot.
    std::error_code reserve(std::uint64_t from, std::uint64_t bytes) const;
    // Asks the system to start writing [offset, offset + length) to disk now. A
    // hint: nothing fails when it is not taken.
    void startWriteBack(std::uint64_t offset, std::uint64_t length) const;
    // The file will be read front to back (a hint).
    void readingInOrder() const;
    // Where data comes next at or after `pos` in a file with holes; `size` when
    // none; `pos` where the system cannot tell.
    std::uint64_t nextData(std::uint64_t pos, std::uint64_t size) const;
    std::error_code identity(FileIdentity& id) const;

  private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone;  // a descriptor on POSIX, a HANDLE on Windows
};

// Reads `length` bytes of the mailbox file `path` at `offset` unless the file
// ends first, asking the fault seam before each read call: `got` is less than
// `length` only at the end of the file.
std::error_code readFull(const File& file, const std::filesystem::path& path, char* out,
                         std::size_t length, std::uint64_t offset, std::size_t& got);

// The platform's words for an error, as std::errc values where one fits, so that
// a run says the same on every system.
std::error_code lastError();

}  // namespace tp::io
