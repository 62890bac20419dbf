// Helpers for bench/run.sh:
//   tp-bench scan FILE    finds the messages of FILE exactly as a conversion run does
//                         (the scanner, then the message finder) and prints how many
//   tp-bench search FILE  runs only the first step of scan: the search, with the lines
//                         the message finder needs listed; prints how many hits,
//                         "Date:" lines and "--" lines it found
//   tp-bench lines FILE   prints the 1-based line number of every message start after
//                         line 1, one per line (csplit cuts the file at the same places)
//   tp-bench ranges FILE  prints each message's byte range and each doubt the finder
//                         noted, one per line (to compare two builds' partitions)
//   tp-bench phases FILE  finds the messages as scan does and prints the seconds the
//                         search (with the line lists) and the message finder took
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "finder/scanner.h"
#include "mailbox/boundaries.h"

namespace {

// Finds the hits and lists the lines the message finder needs in one search, as a
// conversion run does.
std::vector<std::uint64_t> scan(const char* path, tp::convert::LineStarts* starts = nullptr) {
    tp::convert::SearchLines lines;
    const tp::finder::SearchResult found = tp::finder::findAll(path, "MIME-Version: 1.0", &lines);
    if (starts) {
        if (auto listed = lines.take(found, found.fileSize)) *starts = std::move(*listed);
    }
    return found.offsets;
}

bool open(tp::convert::MailboxFile& file, const char* path) {
    if (!file.open(path)) return true;
    std::fprintf(stderr, "tp-bench: cannot open %s\n", path);
    return false;
}

int lines(const char* path) {
    const std::vector<std::uint64_t> hits = scan(path);
    tp::convert::MailboxFile file;
    if (!open(file, path)) return 1;
    const tp::convert::Partition part = tp::convert::findMessages(file, hits);
    std::uint64_t line = 1, pos = 0;
    std::string chunk;
    for (const auto& m : part.messages) {
        while (pos < m.begin) {  // count the line ends before this message
            const std::uint64_t want = std::min<std::uint64_t>(m.begin - pos, 1u << 20);
            if (file.read(pos, want, chunk) || chunk.empty()) return 1;
            for (char c : chunk) line += c == '\n' ? 1 : 0;
            pos += chunk.size();
        }
        if (line > 1) std::printf("%llu\n", static_cast<unsigned long long>(line));
    }
    return 0;
}

int ranges(const char* path) {
    tp::convert::LineStarts starts;
    const std::vector<std::uint64_t> hits = scan(path, &starts);
    tp::convert::MailboxFile file;
    if (!open(file, path)) return 1;
    const tp::convert::Partition part = tp::convert::findMessages(file, hits, &starts);
    std::printf("leading %llu %d\n", static_cast<unsigned long long>(part.leadingBytes),
                part.leadingHasContent ? 1 : 0);
    for (const auto& m : part.messages)
        std::printf("message %llu %llu\n", static_cast<unsigned long long>(m.begin),
                    static_cast<unsigned long long>(m.end));
    for (const auto& d : part.doubts)
        std::printf("doubt %llu %d %s\n", static_cast<unsigned long long>(d.offset),
                    d.split ? 1 : 0, d.why.c_str());
    return part.error ? 1 : 0;
}

int phases(const char* path) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    tp::convert::LineStarts starts;
    const std::vector<std::uint64_t> hits = scan(path, &starts);
    const auto searched = Clock::now();
    tp::convert::MailboxFile file;
    if (!open(file, path)) return 1;
    const std::size_t messages = tp::convert::findMessages(file, hits, &starts).messages.size();
    const auto found = Clock::now();
    std::printf("search %.3f s, message finder %.3f s, %zu messages\n",
                std::chrono::duration<double>(searched - start).count(),
                std::chrono::duration<double>(found - searched).count(), messages);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "scan") == 0) {
        tp::convert::LineStarts starts;
        const std::vector<std::uint64_t> hits = scan(argv[2], &starts);
        tp::convert::MailboxFile file;
        if (!open(file, argv[2])) return 1;
        std::printf("%zu\n", tp::convert::findMessages(file, hits, &starts).messages.size());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "search") == 0) {
        tp::convert::LineStarts starts;
        const std::vector<std::uint64_t> hits = scan(argv[2], &starts);
        std::printf("%zu %zu %zu\n", hits.size(), starts.dates.size(), starts.dashes.size());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "lines") == 0) return lines(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "ranges") == 0) return ranges(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "phases") == 0) return phases(argv[2]);
    std::fprintf(stderr, "usage: tp-bench scan|search|lines|ranges|phases FILE\n");
    return 2;
}
