// Helpers for bench/run.sh:
//   tp-bench scan FILE    finds the messages of FILE exactly as a conversion run does
//                         (the scanner, then the message finder) and prints how many
//   tp-bench lines FILE   prints the 1-based line number of every message start after
//                         line 1, one per line (csplit cuts the file at the same places)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "finder/scanner.h"
#include "mailbox/boundaries.h"

namespace {

tp::finder::ScanShared scan(const char* path) {
    tp::finder::ScanShared shared;
    tp::finder::Scanner scanner(shared);
    scanner.Text2 = "MIME-Version: 1.0";
    scanner.Open_MBOX(path);
    scanner.Find_Click();
    while (!shared.ScanEnded) scanner.FindNext_Click();
    scanner.CloseFile();
    return shared;
}

int lines(const char* path) {
    const tp::finder::ScanShared shared = scan(path);
    tp::convert::MailboxFile file;
    if (file.open(path)) {
        std::fprintf(stderr, "tp-bench: cannot open %s\n", path);
        return 1;
    }
    const tp::convert::Partition part = tp::convert::findMessages(file, shared.offsets);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "scan") == 0) {
        const tp::finder::ScanShared shared = scan(argv[2]);
        tp::convert::MailboxFile file;
        if (file.open(argv[2])) {
            std::fprintf(stderr, "tp-bench: cannot open %s\n", argv[2]);
            return 1;
        }
        std::printf("%zu\n", tp::convert::findMessages(file, shared.offsets).messages.size());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "lines") == 0) return lines(argv[2]);
    std::fprintf(stderr, "usage: tp-bench scan|lines FILE\n");
    return 2;
}
