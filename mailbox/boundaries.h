#pragma once
// Where the messages of a mailbox lie. A mailbox is a plain concatenation of
// RFC 822 messages; the scanner finds every "MIME-Version: 1.0", and this turns
// those hits, and the header blocks of the messages that carry no such line, into
// byte ranges that partition the file: the leading bytes, then message 1,
// message 2, ... up to the end of the file. Nothing is lost or repeated.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "io/file.h"
#include "mailbox/line_starts.h"

namespace tp::convert {

// Read-only positioned access to a mailbox file (64-bit offsets, no mapping, so
// resident memory stays small whatever the file size).
class MailboxFile {
  public:
    MailboxFile() = default;
    ~MailboxFile();
    MailboxFile(const MailboxFile&) = delete;
    MailboxFile& operator=(const MailboxFile&) = delete;

    std::error_code open(const std::filesystem::path& path);
    void close();
    bool isOpen() const { return file_.isOpen(); }
    std::uint64_t size() const { return size_; }
    // Reads up to `length` bytes at `offset` into `out` (replacing its content).
    // Returns the error of a failed read; a short read at the end is not an error.
    std::error_code read(std::uint64_t offset, std::uint64_t length, std::string& out) const;
    // Where data may come next at or after `offset` (the end of a sparse file's hole;
    // `offset` itself when unknown), at most size().
    std::uint64_t nextData(std::uint64_t offset) const { return file_.nextData(offset, size_); }
    // Reads up to `length` bytes at `offset` into `out`; `got` says how many (fewer
    // only at the end of the file, or when it shrank).
    std::error_code readInto(std::uint64_t offset, char* out, std::size_t length,
                             std::size_t& got) const;

  private:
    io::File file_;
    std::uint64_t size_ = 0;
    std::filesystem::path path_;
};

struct MessageRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;  // one past the last byte
    std::uint64_t size() const { return end - begin; }
};

// A header block in a message's body that could have been a message of its own
// or part of the message around it: the finder decided, and says where, so that
// a user can look.
struct BoundaryDoubt {
    std::uint64_t offset = 0;  // where the header block begins
    bool split = false;        // a message was started there
    std::string why;
};

struct Partition {
    std::vector<MessageRange> messages;  // message k is messages[k-1]
    std::uint64_t leadingBytes = 0;      // bytes before the first message (or the whole file)
    bool leadingHasContent = false;      // they hold more than blank lines and NULs
    std::vector<BoundaryDoubt> doubts;   // in file order
    // Set when the file could not be read while the messages were being found; the
    // messages are then cut at the hits themselves (still a partition of the file).
    std::error_code error;
};

// Whether mail uses a header field of this name (case-insensitive): the IANA
// message header field registry's names, any "X-" field, and the fields mail
// programs commonly write.
bool isKnownHeaderField(std::string_view name);

// `hits` are the scanner's offsets of "MIME-Version: 1.0", ascending. Messages
// without that line are found by their header blocks. `starts`, when given, lists
// the file's "Date:" and "--" lines (made while the file was read for the scan);
// without it they are listed here, in one more pass over the file.
// A file of 32 MB or more is searched by two threads (see findMessagesInTwo).
Partition findMessages(const MailboxFile& file, const std::vector<std::uint64_t>& hits,
                       const LineStarts* starts = nullptr);

// The same partition, found by two threads: one from the start of the file, one
// from the hit `splitAt` on. Where the first begins a message exactly as the
// second did (at the same place, in the same state), it takes over the second's
// messages from there; when they never meet, the first finds them all itself.
Partition findMessagesInTwo(const MailboxFile& file, const std::vector<std::uint64_t>& hits,
                            const LineStarts* starts, std::size_t splitAt);

}  // namespace tp::convert
