#pragma once
// The mailbox scanner: finds every occurrence of a byte string in one file and
// records where each begins. findAll is the conversion run's message search; the
// Scanner class gives the string finder window its steps on the same search.
// Neither shows anything itself; both report to a ScannerObserver.
//
// Semantics: the search is over bytes; with case sensitivity off, bytes and search
// text are compared upper-cased through Latin-1. Occurrences never overlap and are
// found leftmost first, including one that ends on the file's last byte. An empty
// search text has no occurrence. A first step that cannot search (no file name, a
// missing or unopenable file) shows its notice and sets `ended` with nothing found,
// so a caller repeating findNext until `ended` always stops. The file is opened read-only; only
// writeAtMatch opens it for writing, for one write.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/notice.h"

namespace tp::finder {

class ScannerObserver {
  public:
    virtual ~ScannerObserver() = default;
    // A message box to show (exact text, title, icon; beep set where one sounds).
    virtual void notice(const Notice&) {}
    // A bare beep with no box.
    virtual void beep() {}
    // The print surface: cleared, then appended to. `text` is raw bytes (Latin-1 for
    // display) and carries its own line ends.
    virtual void clearReport() {}
    virtual void printReport(std::string_view /*text*/) {}
    // Whether the observer shows the print surface; when false the scanner skips
    // building the hit report (the conversion run does not need it).
    virtual bool wantsReport() const { return false; }
    // A hit at `offset`: the `found`-th occurrence in the file, lying `percent`
    // (0..100) of the way through it.
    virtual void hit(std::uint64_t /*offset*/, int /*found*/, int /*percent*/) {}
    // The bytes the search read at `offset`, as each read brings them: in file
    // order, a read may repeat the last few bytes of the one before, and the holes
    // of a sparse file are skipped. A caller may look at them in the same pass.
    virtual void bytesRead(std::uint64_t /*offset*/, std::string_view /*bytes*/) {}
    // Whether findAll may search a large file in two parts at once, each on a thread
    // of its own. Its reads then all go to partRead instead of bytesRead: part 0
    // alone when the file was searched in one (SearchResult::partsMeetAt is 0);
    // otherwise part 0 from the start of the file to kPartOverlap bytes past where
    // part 1 begins, part 1 from a page before that to the end. Each part's in file
    // order as bytesRead describes, the two parts' at the same time.
    virtual bool takesParts() const { return false; }
    virtual void partRead(int /*part*/, std::uint64_t /*offset*/, std::string_view /*bytes*/) {}
    // fileNameInput got new text (the scanner sets it on open and close).
    virtual void fileNameChanged(const std::string& /*text*/) {}
    // The scanner moves the focus to fileNameInput (a window may honour it).
    virtual void focusFileName() {}
};

// What a search of a whole file found.
struct SearchResult {
    std::vector<std::uint64_t> offsets;  // every occurrence, in file order
    std::uint64_t fileSize = 0;          // the size of the file as it was searched
    // Every byte of the file went by the search (and by the observer's bytesRead).
    // False when the file could not be opened (the observer got a notice) or not
    // read to its end (`error` says why).
    bool searchedToTheEnd = false;
    std::string error;
    // Where the second part of a search in two parts began (see takesParts); 0 when
    // the file was searched in one.
    std::uint64_t partsMeetAt = 0;
};

// How far the first part of a search in two parts reads into the second.
inline constexpr std::uint64_t kPartOverlap = 4096;
// Files smaller than this are searched in one part.
inline constexpr std::uint64_t kTwoPartsFrom = std::uint64_t{32} << 20;
// A file is searched in two parts only when its first this many bytes were read
// at a gigabyte a second or faster.
inline constexpr std::uint64_t kProbeBytes = std::uint64_t{8} << 20;

// Finds every occurrence of `text` in the file `path` in one pass, reporting each
// read and each hit to `observer`. A file that cannot be searched (missing, not
// openable, shorter than 2 bytes) gets the one notice the string finder window
// would show for it. Case sensitive; `text` is taken as it stands. The hits are
// reported on the calling thread, in file order, also when the file is searched in
// two parts (those of the second part once it is done).
SearchResult findAll(const std::string& path, std::string_view text,
                     ScannerObserver* observer = nullptr);

// The two values the step-by-step search shares with the window: the offset list
// ("0|17|350|") and the end-of-scan flag. The caller clears them before each file;
// the scanner only appends and sets. `offsets` mirrors offsetList as numbers.
struct ScanShared {
    std::string offsetList;
    bool ended = false;
    std::vector<std::uint64_t> offsets;
    void reset() {
        offsetList.clear();
        ended = false;
        offsets.clear();
    }
};

// The step-by-step search of the string finder window: open a file, find the
// first occurrence, then the next, each step reported on the print surface, until
// `ended` is set.
class Scanner {
  public:
    explicit Scanner(ScanShared& shared, ScannerObserver* observer = nullptr);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    void setObserver(ScannerObserver* observer);

    // The window's inputs: file name box, search text box, "Case Sensitive".
    std::string fileNameInput;
    std::string searchInput;
    bool caseSensitive = true;

    // Opens `path` for the steps that follow (a notice when a file is open already).
    void openMailbox(const std::string& path);
    // Searches from the start of the file named by fileNameInput (opening it when
    // none is open), then from just after the last match.
    void findFirst();
    void findNext();
    void closeFile();  // returns quietly when no file is open

    // Writes `replacement` (exactly as long as the search text) over the current match.
    // Opens the file for writing only for this; false with `error` set on failure.
    bool writeAtMatch(std::string_view replacement, std::string& error);

    // State, read-only for callers.
    const std::string& fileName() const { return fileName_; }
    bool isOpen() const;
    std::uint64_t fileSize() const { return fileSize_; }
    std::int64_t matchOffset() const { return matchByte_; }
    std::uint64_t currentOffset() const { return currentByte_; }
    const std::string& searchText() const { return searchText_; }
    std::int64_t searchLength() const { return static_cast<std::int64_t>(searchText_.size()); }
    bool matchFound() const { return matchFound_; }
    // Why the last scan step stopped early (a read error, a file that shrank under
    // the scan, a step on a closed file); empty when it ended normally. Such a step
    // ends the scan (ended is set) so that a caller's loop always stops.
    const std::string& lastError() const { return lastError_; }

  private:
    friend SearchResult findAll(const std::string&, std::string_view, ScannerObserver*);
    template <typename Found>
    friend bool searchPart(Scanner&, std::string_view, std::uint64_t, std::uint64_t, std::uint64_t,
                           std::uint64_t, Found&&);
    struct File;
    ScanShared& shared_;
    ScannerObserver* observer_;
    ScannerObserver nullObserver_;
    std::unique_ptr<File> file_;
    std::string fileName_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t searchEnd_ = UINT64_MAX;  // a search in parts reads no further than this
    std::chrono::steady_clock::duration readTime_{};  // spent in reads of the file
    std::uint64_t readBytes_ = 0;                     // and what they brought
    std::uint64_t currentByte_ = 0;
    std::int64_t matchByte_ = -1;
    std::string searchText_;
    bool matchFound_ = false;
    std::string lastError_;
    void openNamedFile();
    bool openForSearch();
    void searchOn();
    void takeSearchText();
    void scanForward();
    void reportMatch();
    int percentThrough(std::uint64_t offset) const;
    // Whether the reads so far came as fast as a page cache gives them.
    bool readsAreFast() const;
    void failScan(std::string why);
    void printSizeLine();
    void endOfScan();
    ScannerObserver& obs() { return observer_ ? *observer_ : nullObserver_; }
};

// Every "print" on the report surface ends with this line break.
inline constexpr const char* kReportLineBreak = "\r\n";

// Upper case through Latin-1 (a-z and the accented letters 0xE0-0xFE except 0xF7).
unsigned char latin1Upper(unsigned char c);

// Leftmost occurrence of `needle` in `hay`, or nullptr (an empty needle is never found).
const char* findBytes(const char* hay, std::size_t hayLength, const char* needle,
                      std::size_t needleLength);

// The hit report's number format: one blank, then the digits ("-" for negatives).
std::string withBlank(std::int64_t n);

}  // namespace tp::finder
