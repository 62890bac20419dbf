#pragma once
// The lines of a mailbox that the message finder looks for through every body:
// lines that begin with "Date:" (a header block may be around them) and lines
// that begin with "--" (multipart delimiters and closing lines). Listed once, in
// the same pass that reads the file for the scanner, they spare the finder its
// own searches through the whole file.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/scanner.h"

namespace tp::convert {

struct LineStarts {
    std::vector<std::uint64_t> dates;   // "Date:" begins a line here, ascending
    std::vector<std::uint64_t> dashes;  // "--" begins a line here, ascending
    // For each of `dashes`: whether it is a closing line "--B--", and the hash of
    // its B (see closingBoundary).
    enum class Dash : std::uint8_t { Other, Closing, Unknown };
    std::vector<Dash> dashKinds;
    std::vector<std::uint64_t> closingHashes;
};

// The longest start of a line that tells whether it is a closing line.
inline constexpr std::size_t kClosingLineLook = 216;

// When the start of a line (its first kClosingLineLook bytes at most, without its
// line end) is a closing delimiter "--B--" (blanks after it allowed, B at least
// one byte): B.
std::optional<std::string_view> closingBoundary(std::string_view line);

// The hash the finder keys closing lines by.
std::uint64_t boundaryHash(std::string_view boundary);

// The lines of a file listed in two parts: those `first` lists before `meet`, then
// those `second` lists from `meet` on. `first` must have been handed at least
// kClosingLineLook bytes past `meet` (or all the file), and `second` the byte before
// `meet`, so that each decided the lines near `meet` as one listing would.
LineStarts joinParts(LineStarts first, LineStarts second, std::uint64_t meet);

// Builds LineStarts from the bytes of a file handed over in pieces, in file order.
// Pieces may overlap what came before (the overlap is skipped) or leave a gap (a
// hole the reader skipped, taken as NUL bytes). A line begins at offset 0 and
// after every CR and every LF.
class LineStartIndexer {
  public:
    void add(std::uint64_t offset, const char* data, std::size_t n);
    // Everything up to `fileSize` has been handed over (a gap before it is NULs).
    LineStarts finish(std::uint64_t fileSize);
    // The next offset a piece must reach to keep the listing whole.
    std::uint64_t end() const { return end_; }

  private:
    void decide(const char* base, std::uint64_t baseOffset, std::uint64_t from, std::uint64_t to,
                std::uint64_t known, bool fileEnd);
    void noteEach(unsigned mask, std::uint64_t q, const char* base, std::uint64_t baseOffset,
                  std::uint64_t known, bool fileEnd);
    std::uint64_t decideWide(const char* base, std::uint64_t baseOffset, std::uint64_t q,
                             std::uint64_t to, std::uint64_t known, bool fileEnd);
    void note(std::uint64_t q, const char* at, std::uint64_t avail, bool fileEnd);
    void skipTo(std::uint64_t offset);
    LineStarts starts_;
    std::uint64_t end_ = 0;      // bytes before this were handed over
    std::uint64_t decided_ = 0;  // line starts before this are listed
    // Bytes [decided_ - 1, end_): the byte before the first undecided place (a
    // line end at the file's start), then the undecided ones (at most four).
    std::string tail_ = "\n";
};

// Lists the lines of a file from the bytes the scanner's findAll reads while it
// searches it, in one part or in two at once, so that the file is read once for
// both.
class SearchLines : public finder::ScannerObserver {
  public:
    void bytesRead(std::uint64_t offset, std::string_view bytes) override {
        parts_[0].add(offset, bytes.data(), bytes.size());
    }
    bool takesParts() const override { return true; }
    void partRead(int part, std::uint64_t offset, std::string_view bytes) override {
        parts_[part == 0 ? 0 : 1].add(offset, bytes.data(), bytes.size());
    }
    // Forgets what earlier searches read: before each search.
    void reset() { parts_[0] = parts_[1] = LineStartIndexer(); }
    // The lines of the file that `search` searched, when it read every byte of it
    // and the file still has `fileSize` bytes; nothing otherwise. Once per search.
    std::optional<LineStarts> take(const finder::SearchResult& search, std::uint64_t fileSize);

  private:
    LineStartIndexer parts_[2];  // the reads of each part (of the only one, in one)
};

}  // namespace tp::convert
