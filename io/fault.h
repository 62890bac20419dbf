#pragma once
// The one seam where tests make file calls fail: every read of a mailbox file,
// every write of every output (the .pst store's own file calls too) asks the
// injector first. Without one, each call costs a single pointer test.
#include <cstdint>
#include <filesystem>
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
// The store writer's calls arrive as: creation Create, writes and sizing Write,
// the flush to disk and the close Flush. nullptr: none.
void setFaultInjector(FaultInjector* injector);
std::error_code injected(Op op, const std::filesystem::path& path, std::uint64_t bytes);
// Asks the injector about a read of up to `length` bytes at `offset`; it may
// lower `length`.
std::error_code injectedRead(const std::filesystem::path& path, std::uint64_t offset,
                             std::uint64_t& length);

}  // namespace tp::io
