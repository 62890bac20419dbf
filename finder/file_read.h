#pragma once
// Reads of the mailbox files: the scanner's search and every cut of a message go
// through here, one seam where tests make a read fail, come back short, or find
// the file changed under it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tp::finder {

class ReadFaults {
  public:
    virtual ~ReadFaults() = default;
    // Consulted before each read call of up to `length` bytes at `offset` of
    // `path`: a non-zero errno makes the call fail with it; lowering `length`
    // makes the call return that many bytes (0: as if the file ended at `offset`).
    virtual int before(const std::string& path, std::uint64_t offset, std::size_t& length) = 0;
};
// nullptr: none. Calls come from whichever thread reads.
void setReadFaults(ReadFaults* faults);

// Reads `length` bytes at `offset` unless the file ends first: returns the count
// read (less than `length` only at the end of the file), or -1 with errno set.
long long readFull(int fd, const std::string& path, char* out, std::size_t length,
                   std::uint64_t offset);

}  // namespace tp::finder
