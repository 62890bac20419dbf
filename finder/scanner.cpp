// The mailbox scanner engine. The file is read in chunks with pread (no mapping,
// so resident memory stays at one chunk whatever the file size); each chunk carries
// the previous one's last (search length - 1) bytes over so that an occurrence
// straddling two chunks is still found.
#include "finder/scanner.h"

#include "common/compiler_quirks.h"
#include "io/file.h"
#include "io/paths.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tp::finder {

namespace {

// 256 KiB per read: the copy out of the page cache and the search then stay close
// to the processor cache; larger reads measured no faster, smaller ones slower.
constexpr std::size_t kChunk = std::size_t{256} << 10;
constexpr std::size_t kShowBytes = 512;
constexpr std::size_t kPage = 4096;  // bytes shown from a hit's start

std::array<unsigned char, 256> makeUpperTable() {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        int u = c;
        if (c >= 'a' && c <= 'z') u = c - 32;
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) u = c - 32;
        t[static_cast<std::size_t>(c)] = static_cast<unsigned char>(u);
    }
    return t;
}
const std::array<unsigned char, 256> kUpper = makeUpperTable();

std::string trimBlanks(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// A regular file's size, or false when `path` names nothing or not a regular file.
bool regularFileSize(const std::string& path, std::uint64_t& size) {
    io::FileStatus st;
    if (io::statusOf(io::pathFromUtf8(path), st) || !st.regular) return false;
    size = st.size;
    return true;
}

std::string errorText(const char* what, const std::string& path, const std::error_code& ec) {
    return std::string(what) + " " + path + ": " + ec.message();
}

// A notice about the file `path`, which it names apart from its text.
Notice finderNotice(std::string text, NoticeIcon icon, const std::string& path) {
    Notice n;
    n.text = std::move(text);
    n.detail = path;
    n.title = kFinderTitle;
    n.icon = icon;
    n.beep = true;
    return n;
}

}  // namespace

unsigned char latin1Upper(unsigned char c) {
    return kUpper[c];
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TP_HAVE_AVX2_PATH 1
// As the SSE2 loop below, 32 candidate starts at a time.
__attribute__((target("avx2"))) std::size_t filterAvx2(const char* hay, std::size_t n,
                                                       const char* needle, std::size_t m,
                                                       const char** found) {
    const __m256i first = _mm256_set1_epi8(needle[0]);
    const __m256i last = _mm256_set1_epi8(needle[m - 1]);
    std::size_t i = 0;
    for (; i + m - 1 + 32 <= n; i += 32) {
        const __m256i a =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(static_cast<const void*>(hay + i)));
        const __m256i b = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(static_cast<const void*>(hay + i + m - 1)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last))));
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(hay + i + bit + 1, needle + 1, m - 2) == 0) {
                *found = hay + i + bit;
                return i;
            }
            mask &= mask - 1;
        }
    }
    *found = nullptr;
    return i;
}
const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

namespace {

// How common a byte is in mail text: higher is more common. Letters, digits, blanks
// and line ends of running text first; capitals and rarer punctuation last.
std::array<unsigned char, 256> makeCommonness() {
    static constexpr std::string_view kByFrequency =
        "etaoinsrhldcumfpgwyb\r\n.,-:0123456789vk=/ETAOINSRHLDCUMFPGWYB>'\"<@_()"
        "xjqz;!?&%#+*[]{}|\\$~^`\tVKXJQZ";
    std::array<unsigned char, 256> t{};
    t[' '] = 255;
    for (std::size_t i = 0; i < kByFrequency.size(); ++i)
        t[static_cast<unsigned char>(kByFrequency[i])] = static_cast<unsigned char>(250 - i);
    return t;
}
const std::array<unsigned char, 256> kCommonness = makeCommonness();

// The first and last byte filter over [from, n): every start where both agree is
// checked in full.
const char* filterSearch(const char* hay, std::size_t n, const char* needle, std::size_t m,
                         std::size_t i) {
#if defined(TP_HAVE_AVX2_PATH)
    if (kHaveAvx2) {
        const char* found = nullptr;
        i += filterAvx2(hay + i, n - i, needle, m, &found);
        if (found) return found;
    }
#endif
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[m - 1]);
    for (; i + m - 1 + 16 <= n; i += 16) {
        const __m128i a =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(static_cast<const void*>(hay + i)));
        const __m128i b = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(static_cast<const void*>(hay + i + m - 1)));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(hay + i + bit + 1, needle + 1, m - 2) == 0) return hay + i + bit;
            mask &= mask - 1;
        }
    }
#endif
    const std::string_view rest(hay + i, n - i);
    const std::size_t at = rest.find(std::string_view(needle, m));
    return at == std::string_view::npos ? nullptr : hay + i + at;
}

}  // namespace

const char* findBytes(const char* hay, std::size_t n, const char* needle, std::size_t m) {
    if (m == 0 || m > n) return nullptr;
    if (m == 1) return static_cast<const char*>(std::memchr(hay, needle[0], n));
    // Look for the needle's rarest byte with memchr (the fastest scan there is) and
    // check each place it turns up; when it turns up too often, switch to the filter.
    std::size_t rare = 0;
    for (std::size_t j = 1; j < m && j < 256; ++j)
        if (kCommonness[static_cast<unsigned char>(needle[j])] <
            kCommonness[static_cast<unsigned char>(needle[rare])])
            rare = j;
    const char rareByte = needle[rare];
    std::size_t i = 0;  // next candidate start
    std::size_t misses = 0;
    while (i + m <= n) {
        const void* p = std::memchr(hay + i + rare, rareByte, n - m + 1 - i);
        if (!p) return nullptr;
        const std::size_t start =
            static_cast<std::size_t>(static_cast<const char*>(p) - hay) - rare;
        if (std::memcmp(hay + start, needle, m) == 0) return hay + start;
        i = start + 1;
        if (++misses > 16 && misses * 64 > i) return filterSearch(hay, n, needle, m, i);
    }
    return nullptr;
}

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
std::string withBlank(std::int64_t n) {
    // A negative number carries its minus sign in place of the blank.
    return n < 0 ? std::to_string(n) : " " + std::to_string(n);
}
TP_GCC12_FALSE_RESTRICT_END

struct Scanner::File {
    struct Free {
        void operator()(char* p) const { ::operator delete[](p, std::align_val_t{kPage}); }
    };
    io::File file;
    std::filesystem::path path;
    // [kPage bytes for the carried-over tail | the read]: reads go to a page-aligned
    // address at page-aligned file offsets, which the kernel copies fastest.
    std::unique_ptr<char[], Free> buf;
    std::size_t cap = 0;         // bytes of a read (the buffer holds kPage more)
    const char* data = nullptr;  // first byte of the window
    std::uint64_t bufStart = 0;  // file offset of `data`
    std::size_t bufLen = 0;
    bool bufValid = false;
    bool bufUpper = false;
};

Scanner::Scanner(ScanShared& shared, ScannerObserver* observer)
    : shared_(shared), observer_(observer) {}

Scanner::~Scanner() = default;

void Scanner::setObserver(ScannerObserver* observer) {
    observer_ = observer;
}

bool Scanner::isOpen() const {
    return file_ && file_->file.isOpen();
}

void Scanner::printSizeLine() {
    ScannerObserver& o = obs();
    if (!o.wantsReport()) return;
    o.clearReport();
    o.printReport("FILE SIZE : " + withBlank(static_cast<std::int64_t>(fileSize_)) + " bytes\r\n" +
                  kReportLineBreak);
}

void Scanner::openMailbox(const std::string& fmboxname) {
    if (isOpen()) {
        Notice n;
        n.text = "File in use. Please close current file.";
        n.detail = fileName_;
        n.icon = NoticeIcon::Exclamation;
        n.beep = true;
        obs().notice(n);
        return;
    }
    fileName_ = fmboxname;
    openNamedFile();
    fileNameInput = fileName_;
    obs().fileNameChanged(fileNameInput);
}

void Scanner::openNamedFile() {
    std::uint64_t size = 0;
    if (!regularFileSize(fileName_, size)) return;  // no such file: stays closed
    fileSize_ = size;
    if (fileSize_ < 2) {
        obs().notice(finderNotice("File size is " +
                                      withBlank(static_cast<std::int64_t>(fileSize_)) +
                                      " byte !\r\rFile can not open for string searching !",
                                  NoticeIcon::Exclamation, fileName_));
        obs().focusFileName();
        return;
    }
    matchByte_ = -1;
    lastError_.clear();
    auto file = std::make_unique<File>();
    file->path = io::pathFromUtf8(fileName_);
    std::uint64_t bytes = 0;
    if (file->file.openRead(file->path) || file->file.size(bytes)) {
        file_.reset();
        return;
    }
    file->file.readingInOrder();
    fileSize_ = bytes;
    file_ = std::move(file);
    printSizeLine();
}

void Scanner::endOfScan() {
    // A step that cannot search ends the scan with what was found so far, so a
    // caller repeating the next step until ended always stops.
    shared_.ended = true;
    matchFound_ = false;
    matchByte_ = -1;
}

// Opens the file named by fileNameInput unless one is open; shows the notice and
// ends the scan when it cannot.
bool Scanner::openForSearch() {
    const std::string name = trimBlanks(fileNameInput);
    if (name.empty()) {
        Notice n;
        n.text = "Enter name of the file to be searched...";
        n.title = kFinderTitle;
        n.beep = true;
        obs().notice(n);
        file_.reset();
        obs().focusFileName();
        endOfScan();
        return false;
    }
    if (isOpen()) return true;
    fileName_ = name;
    std::uint64_t size = 0;
    if (!regularFileSize(fileName_, size)) {
        obs().notice(finderNotice("File not found !", NoticeIcon::Exclamation, fileName_));
        file_.reset();
        obs().focusFileName();
        endOfScan();
        return false;
    }
    openNamedFile();
    if (!isOpen()) {
        obs().notice(finderNotice("File could not open !", NoticeIcon::Exclamation, fileName_));
        obs().focusFileName();
        endOfScan();
        return false;
    }
    return true;
}

void Scanner::findFirst() {
    lastError_.clear();  // a new search: an earlier file's trouble is not this one's
    if (!openForSearch()) return;
    printSizeLine();
    currentByte_ = 0;
    searchOn();
}

void Scanner::findNext() {
    if (matchByte_ < 0) {
        obs().beep();
        return;
    }
    currentByte_ = static_cast<std::uint64_t>(matchByte_) + searchText_.size();
    printSizeLine();
    searchOn();
}

void Scanner::closeFile() {
    if (!isOpen()) return;
    file_.reset();
    fileNameInput.clear();
    obs().fileNameChanged(fileNameInput);
    obs().focusFileName();
}

void Scanner::searchOn() {
    takeSearchText();
    scanForward();
    if (matchFound_) {
        reportMatch();
        return;
    }
    ScannerObserver& o = obs();
    if (o.wantsReport()) {
        o.printReport(std::string("\n") + kReportLineBreak);
        o.printReport(std::string("[EOF]") + kReportLineBreak);
    }
    shared_.ended = true;
}

void Scanner::takeSearchText() {
    searchText_ = searchInput;
    if (searchText_.size() > 2 && searchText_.front() == '"' && searchText_.back() == '"')
        searchText_ = searchText_.substr(1, searchText_.size() - 2);
    if (!caseSensitive)
        for (char& c : searchText_) c = static_cast<char>(kUpper[static_cast<unsigned char>(c)]);
}

void Scanner::failScan(std::string why) {
    lastError_ = std::move(why);
    matchFound_ = false;
    matchByte_ = -1;
}

void Scanner::scanForward() {
    matchFound_ = false;
    const std::size_t m = searchText_.size();
    if (!isOpen()) {
        failScan("No file is open for searching.");
        return;
    }
    // Where this search stops reading: the end of the file, or of a part of it.
    const std::uint64_t end = std::min(fileSize_, searchEnd_);
    // An empty search text has no occurrence (searching for it would never advance).
    if (m == 0 || currentByte_ > end || end - currentByte_ < m) {
        matchByte_ = -1;
        return;
    }
    File& f = *file_;
    const bool upper = !caseSensitive;
    const bool allNul = searchText_.find_first_not_of('\0') == std::string::npos;
    std::uint64_t pos = currentByte_;
    for (;;) {
        const bool covered = f.bufValid && f.bufUpper == upper && f.bufStart <= pos &&
                             pos + m <= f.bufStart + f.bufLen;
        if (!covered) {
            const std::size_t want = std::max(kChunk, 2 * (m + kPage));
            if (f.cap < want) {
                f.buf.reset(
                    static_cast<char*>(::operator new[](want + kPage, std::align_val_t{kPage})));
                f.cap = want;
                f.bufValid = false;
            }
            // Carry the window's tail (shorter than the search text) over and read on
            // where the window ends; otherwise read from the page that holds `pos`.
            std::uint64_t readAt = pos - pos % kPage;
            std::size_t carry = 0;
            const std::uint64_t winEnd = f.bufStart + f.bufLen;
            if (f.bufValid && f.bufUpper == upper && pos >= f.bufStart && pos < winEnd &&
                winEnd - pos <= kPage) {
                carry = static_cast<std::size_t>(winEnd - pos);
                std::memmove(f.buf.get() + kPage - carry, f.data + (pos - f.bufStart), carry);
                readAt = winEnd;
            }
            f.bufValid = false;
            char* dest = f.buf.get() + kPage;
            const std::uint64_t left = end - readAt;
            const std::size_t len = left < f.cap ? static_cast<std::size_t>(left) : f.cap;
            std::size_t got = 0;
            const auto reading = std::chrono::steady_clock::now();
            const std::error_code ec = io::readFull(f.file, f.path, dest, len, readAt, got);
            readTime_ += std::chrono::steady_clock::now() - reading;
            readBytes_ += got;
            if (ec) {
                failScan(
                    errorText("Cannot read", fileName_ + " at byte " + std::to_string(readAt), ec));
                return;
            }
            if (got < len) {
                failScan("The file " + fileName_ + " became shorter while it was searched (it" +
                         " ended at byte " +
                         std::to_string(readAt + static_cast<std::uint64_t>(got)) + " of " +
                         std::to_string(fileSize_) + ").");
                return;
            }
            obs().bytesRead(readAt, std::string_view(dest, len));
            if (upper) {
                auto* p = reinterpret_cast<unsigned char*>(dest);
                for (std::size_t i = 0; i < len; ++i) p[i] = kUpper[p[i]];
            }
            f.data = dest - carry;
            f.bufStart = readAt - carry;
            f.bufLen = carry + len;
            f.bufUpper = upper;
            f.bufValid = true;
            // Holes of a sparse file read as NULs. When a read starts with one, ask
            // where data comes next; with a search text that holds any other byte, no
            // occurrence begins before that data less (search length - 1) bytes.
            if (len > 0 && dest[0] == '\0' && !allNul) {
                const std::uint64_t next = f.file.nextData(readAt, end);
                if (next >= end) {
                    matchByte_ = -1;
                    currentByte_ = end;
                    return;
                }
                if (next > readAt + len) {
                    pos = std::max(pos, next - (m - 1));
                    f.bufValid = false;
                    if (end - pos < m) {
                        matchByte_ = -1;
                        currentByte_ = end;
                        return;
                    }
                    continue;
                }
            }
        }
        const char* base = f.data + (pos - f.bufStart);
        const std::uint64_t bufEnd = f.bufStart + f.bufLen;
        const std::size_t avail = static_cast<std::size_t>(bufEnd - pos);
        if (const char* hit = findBytes(base, avail, searchText_.data(), m)) {
            matchFound_ = true;
            matchByte_ = static_cast<std::int64_t>(pos + static_cast<std::uint64_t>(hit - base));
            currentByte_ = static_cast<std::uint64_t>(matchByte_);
            return;
        }
        if (bufEnd >= end) {
            matchByte_ = -1;
            currentByte_ = end;
            return;
        }
        pos = bufEnd - (m - 1);  // keep the last m - 1 bytes: a match may straddle
    }
}

bool Scanner::readsAreFast() const {
    // At least a gigabyte a second: a byte a nanosecond.
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(readTime_).count();
    return readBytes_ > 0 && static_cast<std::uint64_t>(nanoseconds) < readBytes_;
}

int Scanner::percentThrough(std::uint64_t offset) const {
    // Round half to even (the default floating-point rounding mode).
    const double ratio = static_cast<double>(offset) / static_cast<double>(fileSize_) * 100.0;
    return static_cast<int>(std::nearbyint(ratio));
}

void Scanner::reportMatch() {
    const auto p = static_cast<std::uint64_t>(matchByte_);
    const std::size_t m = searchText_.size();
    ScannerObserver& o = obs();
    const bool report = o.wantsReport();
    if (report) o.printReport("Byte :" + withBlank(matchByte_) + "\r\n" + kReportLineBreak);
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, p).ptr;
    *end++ = '|';
    shared_.offsetList.append(digits, end);
    shared_.offsets.push_back(p);
    o.hit(p, static_cast<int>(shared_.offsets.size()), percentThrough(p));
    if (!report) return;
    // The occurrence, then what follows it, up to 512 bytes from its start.
    const auto sl = static_cast<std::int64_t>(m);
    const std::int64_t r =
        static_cast<std::int64_t>(fileSize_) - (static_cast<std::int64_t>(p) + sl + 1);
    std::int64_t after = 0;
    if (r > static_cast<std::int64_t>(kShowBytes) - sl)
        after = static_cast<std::int64_t>(kShowBytes) - sl;
    else if (r > sl)
        after = r - sl;
    const std::size_t want = m + static_cast<std::size_t>(std::max<std::int64_t>(after, 0));
    std::string bytes(want, '\0');
    std::size_t got = 0;
    if (const std::error_code ec =
            io::readFull(file_->file, file_->path, bytes.data(), want, p, got)) {
        lastError_ = errorText("Cannot read", fileName_, ec);
        return;
    }
    bytes.resize(got);
    o.printReport(bytes);
    currentByte_ = p + bytes.size();
}

namespace {

// Whether two occurrences of `text` can overlap: a proper prefix of it is also a
// suffix. Occurrences that cannot overlap are the same whether the file is
// searched in one part or in two.
bool mayOverlapItself(std::string_view text) {
    for (std::size_t k = 1; k < text.size(); ++k)
        if (text.substr(0, text.size() - k) == text.substr(k)) return true;
    return false;
}

// The reads of one part of a search, handed to the observer's partRead.
struct PartReads : ScannerObserver {
    ScannerObserver* to = nullptr;
    int part = 0;
    void bytesRead(std::uint64_t offset, std::string_view bytes) override {
        if (to) to->partRead(part, offset, bytes);
    }
};

}  // namespace

// Searches the opened `scanner`'s file from `from` up to `end` and hands each hit
// that begins in [keepFrom, keepBefore) to `found`, in file order; false on a read
// error (the scanner's lastError_ says which).
template <typename Found>
bool searchPart(Scanner& scanner, std::string_view text, std::uint64_t from, std::uint64_t end,
                std::uint64_t keepFrom, std::uint64_t keepBefore, Found&& found) {
    scanner.searchEnd_ = end;
    scanner.currentByte_ = from;
    for (;;) {
        scanner.scanForward();
        if (!scanner.lastError_.empty()) return false;
        if (!scanner.matchFound_) return true;
        const auto at = static_cast<std::uint64_t>(scanner.matchByte_);
        if (at >= keepFrom && at < keepBefore) found(at);
        scanner.currentByte_ = at + text.size();
    }
}

SearchResult findAll(const std::string& path, std::string_view text, ScannerObserver* observer) {
    ScanShared unused;
    Scanner scanner(unused, observer);
    SearchResult result;
    scanner.searchText_ = std::string(text);
    // One notice at most: the first reason the file cannot be searched.
    struct FirstNoticeOnly : ScannerObserver {
        ScannerObserver& to;
        bool shown = false;
        explicit FirstNoticeOnly(ScannerObserver& o) : to(o) {}
        void notice(const Notice& n) override {
            if (!shown) to.notice(n);
            shown = true;
        }
    } opening(scanner.obs());
    scanner.setObserver(&opening);
    // The file of exactly that name (blanks at its ends are part of it); the
    // notices are those of the window's first step.
    scanner.openMailbox(path);
    const bool opened = scanner.openForSearch();
    scanner.setObserver(observer);
    if (!opened) return result;
    const std::uint64_t size = scanner.fileSize_;
    result.fileSize = size;
    ScannerObserver& o = scanner.obs();
    auto report = [&](std::uint64_t at) {
        result.offsets.push_back(at);
        o.hit(at, static_cast<int>(result.offsets.size()), scanner.percentThrough(at));
    };

    // An observer that takes parts gets every read through partRead: part 0 alone
    // when the file is searched in one.
    PartReads first, later;
    first.to = later.to = observer;
    first.part = 0;
    later.part = 1;
    const bool takesParts = observer && observer->takesParts();
    if (takesParts) scanner.setObserver(&first);
    auto failed = [&](const std::string& why) {
        scanner.setObserver(observer);
        result.error = why;
        return result;
    };

    // A large file in two parts, the second on a thread of its own, when the parts
    // cannot disagree and the file comes fast: from the page cache or a fast disk,
    // where searching is the work. A slow disk is left one stream to read in order
    // (two streams would make it seek between them), which the first bytes tell.
    bool inParts = takesParts && !text.empty() && size >= kTwoPartsFrom &&
                   std::thread::hardware_concurrency() > 1 && !mayOverlapItself(text);
    std::uint64_t from = 0;
    if (inParts) {
        if (!searchPart(scanner, text, 0, kProbeBytes, 0, kProbeBytes, report))
            return failed(scanner.lastError_);
        from = kProbeBytes - (text.size() - 1);  // the hits before this are reported
        inParts = scanner.readsAreFast();
    }
    ScanShared unusedToo;
    ScannerObserver quiet;  // no notices while the second part's file is opened
    Scanner second(unusedToo, &quiet);
    if (inParts) {
        second.searchText_ = std::string(text);
        second.openMailbox(path);
        inParts = second.openForSearch() && second.fileSize_ == size;
    }
    if (!inParts) {
        if (!searchPart(scanner, text, from, size, from, size, report))
            return failed(scanner.lastError_);
        scanner.setObserver(observer);
        result.searchedToTheEnd = true;
        return result;
    }

    // The second part begins at a page boundary near the middle; it reads from the
    // byte before it, so that its reads tell whether a line begins there.
    const std::uint64_t meet = size / 2 / kPage * kPage;
    second.setObserver(&later);
    std::vector<std::uint64_t> laterHits;
    std::string laterError;
    std::thread searching([&] {
        try {
            if (!searchPart(second, text, meet - 1, size, meet, size,
                            [&](std::uint64_t at) { laterHits.push_back(at); }))
                laterError = second.lastError_;
        } catch (const std::exception& e) {
            laterError = "Cannot search " + path + ": " + e.what();
        }
    });
    bool firstDone = false;
    try {
        firstDone = searchPart(scanner, text, from, std::min(size, meet + kPartOverlap), from, meet,
                               report);
    } catch (...) {
        searching.join();
        throw;
    }
    searching.join();
    if (!firstDone) return failed(scanner.lastError_);
    for (const std::uint64_t at : laterHits) report(at);
    if (!laterError.empty()) return failed(laterError);
    scanner.setObserver(observer);
    result.partsMeetAt = meet;
    result.searchedToTheEnd = true;
    return result;
}

bool Scanner::writeAtMatch(std::string_view replacement, std::string& error) {
    error.clear();
    if (matchByte_ < 0) {
        error = "There is no current match to replace.";
        return false;
    }
    if (replacement.size() != searchText_.size()) {
        error =
            "The replacement must have exactly " + std::to_string(searchText_.size()) + " bytes.";
        return false;
    }
    io::File out;
    if (const std::error_code ec = out.openWrite(io::pathFromUtf8(fileName_))) {
        if (ec == std::errc::is_a_directory || ec == std::errc::invalid_argument)
            error = "Cannot write to " + fileName_ + ": not a regular file.";
        else
            error = errorText("Cannot open for writing", fileName_, ec);
        return false;
    }
    const auto at = static_cast<std::uint64_t>(matchByte_);
    // The file may have shrunk since the match was found: a write past its end
    // would make it longer, and the replacement must never change its length.
    std::uint64_t size = 0;
    if (const std::error_code ec = out.size(size)) {
        error = errorText("Cannot write to", fileName_, ec);
        return false;
    }
    if (size < at + replacement.size()) {
        error = "The file " + fileName_ + " became shorter since the match was found.";
        return false;
    }
    std::error_code ec = out.writeAt(at, replacement.data(), replacement.size());
    if (const std::error_code closed = out.close(); !ec) ec = closed;
    if (ec) {
        error = errorText("Cannot write to", fileName_, ec);
        return false;
    }
    if (file_) file_->bufValid = false;  // the bytes under the buffer changed
    return true;
}

}  // namespace tp::finder
