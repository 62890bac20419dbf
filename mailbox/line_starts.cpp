#include "mailbox/line_starts.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace tp::convert {

namespace {

constexpr std::size_t kDateLength = 5;  // "Date:"; "--" needs two of those bytes

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

}  // namespace

std::optional<std::string_view> closingBoundary(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.size() < 5 || line.compare(0, 2, "--") != 0 ||
        line.compare(line.size() - 2, 2, "--") != 0)
        return std::nullopt;
    return line.substr(2, line.size() - 4);
}

std::uint64_t boundaryHash(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (const char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// Lists `q` when a line begins there with one of the two texts; the bytes from
// `q` on are `at[0, avail)`, which reach the end of the file when `fileEnd`.
void LineStartIndexer::note(std::uint64_t q, const char* at, std::uint64_t avail, bool fileEnd) {
    if (at[0] == 'D') {
        if (avail >= kDateLength && std::memcmp(at, "Date:", kDateLength) == 0)
            starts_.dates.push_back(q);
    } else if (at[0] == '-' && avail >= 2 && at[1] == '-') {
        starts_.dashes.push_back(q);
        const std::size_t look =
            static_cast<std::size_t>(std::min<std::uint64_t>(avail, kClosingLineLook));
        std::size_t end = 0;
        while (end < look && !isLineEnd(at[end])) ++end;
        if (end == look && look < kClosingLineLook && !fileEnd) {
            starts_.dashKinds.push_back(
                LineStarts::Dash::Unknown);  // the line goes on in the next piece
            starts_.closingHashes.push_back(0);
        } else if (const auto b = closingBoundary(std::string_view(at, end))) {
            starts_.dashKinds.push_back(LineStarts::Dash::Closing);
            starts_.closingHashes.push_back(boundaryHash(*b));
        } else {
            starts_.dashKinds.push_back(LineStarts::Dash::Other);
            starts_.closingHashes.push_back(0);
        }
    }
}

// Lists the places q + i whose bit i is set in `mask` (see decide).
void LineStartIndexer::noteEach(unsigned mask, std::uint64_t q, const char* base,
                                std::uint64_t baseOffset, std::uint64_t known, bool fileEnd) {
    while (mask != 0) {
        const std::uint64_t at = q + static_cast<unsigned>(__builtin_ctz(mask));
        note(at, base + (at - baseOffset), known - at, fileEnd);
        mask &= mask - 1;
    }
}

namespace {

#if defined(__SSE2__)
// Bit i set: p[i] is a line end and p[i + 1] a 'D' or '-' (a line may begin with
// "Date:" or "--" there), for i in [0, 16).
unsigned candidates16(const char* p) {
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i d = _mm_set1_epi8('D'), dash = _mm_set1_epi8('-');
    const __m128i before =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(static_cast<const void*>(p)));
    const __m128i first =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(static_cast<const void*>(p + 1)));
    const __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(before, lf), _mm_cmpeq_epi8(before, cr));
    const __m128i starts = _mm_or_si128(_mm_cmpeq_epi8(first, d), _mm_cmpeq_epi8(first, dash));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(ends, starts)));
}
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TP_HAVE_AVX2_PATH 1
const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

// The same for i in [0, 32), where the processor has AVX2.
__attribute__((target("avx2"))) unsigned candidates32(const char* p) {
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    const __m256i d = _mm256_set1_epi8('D'), dash = _mm256_set1_epi8('-');
    const __m256i before =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(static_cast<const void*>(p)));
    const __m256i first =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(static_cast<const void*>(p + 1)));
    const __m256i ends =
        _mm256_or_si256(_mm256_cmpeq_epi8(before, lf), _mm256_cmpeq_epi8(before, cr));
    const __m256i starts =
        _mm256_or_si256(_mm256_cmpeq_epi8(first, d), _mm256_cmpeq_epi8(first, dash));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(ends, starts)));
}
#endif

}  // namespace

#if defined(TP_HAVE_AVX2_PATH)
// The places of decide 32 at a time; returns the first place not looked at.
__attribute__((target("avx2"))) std::uint64_t LineStartIndexer::decideWide(
    const char* base, std::uint64_t baseOffset, std::uint64_t q, std::uint64_t to,
    std::uint64_t known, bool fileEnd) {
    for (; q + 32 <= to; q += 32)
        noteEach(candidates32(base + (q - 1 - baseOffset)), q, base, baseOffset, known, fileEnd);
    return q;
}
#endif

// Lists the line starts q in [from, to) whose bytes `base` holds: base[0] is the
// byte at baseOffset, which is below `from`, and the bytes are known up to `known`.
void LineStartIndexer::decide(const char* base, std::uint64_t baseOffset, std::uint64_t from,
                              std::uint64_t to, std::uint64_t known, bool fileEnd) {
    std::uint64_t q = from;
#if defined(TP_HAVE_AVX2_PATH)
    if (kHaveAvx2) q = decideWide(base, baseOffset, q, to, known, fileEnd);
#endif
#if defined(__SSE2__)
    // Sixteen places at a time: a line end followed by 'D' or '-'.
    for (; q + 16 <= to; q += 16)
        noteEach(candidates16(base + (q - 1 - baseOffset)), q, base, baseOffset, known, fileEnd);
#endif
    for (; q < to; ++q) {
        if (isLineEnd(base[q - 1 - baseOffset]))
            note(q, base + (q - baseOffset), known - q, fileEnd);
    }
}

void LineStartIndexer::skipTo(std::uint64_t offset) {
    // The gap holds NULs: nothing undecided can match across it, nothing in it matches.
    decide(tail_.data(), decided_ - 1, decided_, end_, end_, false);
    decided_ = end_ = offset;
    tail_.assign(1, '\0');
}

LineStarts joinParts(LineStarts first, LineStarts second, std::uint64_t meet) {
    LineStarts out = std::move(first);
    const auto cut = [meet](std::vector<std::uint64_t>& v) {
        return static_cast<std::size_t>(std::lower_bound(v.begin(), v.end(), meet) - v.begin());
    };
    const std::size_t dates = cut(out.dates), dashes = cut(out.dashes);
    out.dates.resize(dates);
    out.dashes.resize(dashes);
    out.dashKinds.resize(dashes);
    out.closingHashes.resize(dashes);
    const std::size_t laterDates = cut(second.dates), laterDashes = cut(second.dashes);
    const auto from = [](auto& v, std::size_t i) {
        return v.begin() + static_cast<std::ptrdiff_t>(i);
    };
    out.dates.insert(out.dates.end(), from(second.dates, laterDates), second.dates.end());
    out.dashes.insert(out.dashes.end(), from(second.dashes, laterDashes), second.dashes.end());
    out.dashKinds.insert(out.dashKinds.end(), from(second.dashKinds, laterDashes),
                         second.dashKinds.end());
    out.closingHashes.insert(out.closingHashes.end(), from(second.closingHashes, laterDashes),
                             second.closingHashes.end());
    return out;
}

void LineStartIndexer::add(std::uint64_t offset, const char* data, std::size_t n) {
    if (offset + n <= end_) return;  // seen already
    if (offset > end_) skipTo(offset);
    const std::size_t seen = static_cast<std::size_t>(end_ - offset);
    data += seen;
    n -= seen;
    offset = end_;
    const std::uint64_t known = offset + n;
    // A place is decided once the bytes it may begin are all known.
    const std::uint64_t upTo =
        std::max(decided_, known >= kDateLength ? known - kDateLength + 1 : 0);
    // Places whose line-end byte is in the tail: decided over the tail and the
    // first bytes of the new piece, side by side.
    std::string joint = tail_;
    joint.append(data, std::min<std::size_t>(n, 2 * kDateLength));
    const std::uint64_t jointStart = decided_ - 1;
    decide(joint.data(), jointStart, decided_, std::min(upTo, offset + 1),
           jointStart + joint.size(), false);
    // The rest have their line-end byte in the piece itself.
    if (upTo > offset + 1) decide(data, offset, std::max(decided_, offset + 1), upTo, known, false);
    // Keep [upTo - 1, known) for the next piece.
    const std::size_t keep = static_cast<std::size_t>(known - upTo + 1);
    if (keep <= n) {
        tail_.assign(data + (n - keep), keep);
    } else {
        std::string all = tail_;
        all.append(data, n);
        tail_ = all.substr(all.size() - keep);
    }
    decided_ = upTo;
    end_ = known;
}

LineStarts LineStartIndexer::finish(std::uint64_t fileSize) {
    if (fileSize > end_) skipTo(fileSize);
    decide(tail_.data(), decided_ - 1, decided_, end_, end_, true);
    decided_ = end_;
    tail_.assign(1, '\0');
    return std::move(starts_);
}

std::optional<LineStarts> SearchLines::take(const finder::SearchResult& search,
                                            std::uint64_t fileSize) {
    static_assert(finder::kPartOverlap > kClosingLineLook);
    if (!search.searchedToTheEnd || search.fileSize != fileSize) return std::nullopt;
    if (search.partsMeetAt == 0) {
        if (parts_[0].end() > fileSize) return std::nullopt;
        return parts_[0].finish(fileSize);
    }
    const std::uint64_t meet = search.partsMeetAt;
    if (parts_[0].end() < std::min(fileSize, meet + finder::kPartOverlap) ||
        parts_[1].end() > fileSize)
        return std::nullopt;
    return joinParts(parts_[0].finish(parts_[0].end()), parts_[1].finish(fileSize), meet);
}

}  // namespace tp::convert
