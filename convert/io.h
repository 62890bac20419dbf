#pragma once
// Every file the run writes goes through here: one seam where tests inject
// failures (a full disk, a folder turned read-only) at any write, and at any
// read of a mailbox.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace tp::io {

enum class Op { Create, Write, Append, Rename, Remove, MakeDir, Flush };

// Test seam: consulted before each operation; a non-zero error makes it fail.
// Calls come one at a time, from whichever thread makes them.
class FaultInjector {
  public:
    virtual ~FaultInjector() = default;
    virtual std::error_code before(Op op, const std::filesystem::path& path,
                                   std::uint64_t bytes) = 0;
    // Before each read call on a mailbox file (the scanner's search, the look for
    // where messages begin, the cut of each message): a non-zero error makes the
    // call fail; lowering `length` makes it return that many bytes (0: as if the
    // file ended at `offset`). The reader calls again for the rest of a short read.
    virtual std::error_code beforeRead(const std::filesystem::path& /*path*/,
                                       std::uint64_t /*offset*/, std::uint64_t& /*length*/) {
        return {};
    }
};
// Also reaches the .pst writer's own file calls (creation as Create, writes and
// sizing as Write, flush and close as Flush) and the mailbox reads. nullptr: none.
void setFaultInjector(FaultInjector* injector);
std::error_code injected(Op op, const std::filesystem::path& path, std::uint64_t bytes);

// Creates or truncates `path` and writes `data`. On failure nothing partial is
// left behind (the file is removed) and the error says why.
std::error_code writeFile(const std::filesystem::path& path, std::string_view data);

// An append-only file (MBOX). Each record is written whole or, on failure, cut
// back to where it began, so the file always ends on a record boundary.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    std::error_code open(const std::filesystem::path& path);
    std::error_code appendRecord(std::string_view record);
    std::error_code close();
    bool isOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::filesystem::path path_;
};

std::error_code removeFile(const std::filesystem::path& path);
std::string describe(const std::error_code& ec);

}  // namespace tp::io
