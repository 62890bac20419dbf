// pstcheck FILE: verifies a Unicode personal-folders store and prints one line
// per finding and a summary. Exit 0: every check holds; 1: findings; 2: the
// file cannot be read as a store.
#include <cstdio>
#include <cstring>
#include <string>

#include "pst/check/checker.h"
#include "tessaport/version.h"

int main(int argc, char** argv) {
    bool dump = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("pstcheck (Tessaport) %s\n", TP_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--dump") == 0)
            dump = true;
        else if (!path && argv[i][0] != '-')
            path = argv[i];
        else
            path = nullptr, i = argc;
    }
    if (!path) {
        std::fprintf(stderr, "usage: pstcheck [--dump] FILE.pst\n       pstcheck --version\n");
        return 2;
    }
    tp::pst::check::CheckOptions options;
    if (dump) options.dump = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
    auto report = tp::pst::check::checkStore(path, options);
    if (!report.readable) {
        std::printf("%s: cannot be checked: %s\n", path, report.fatal.c_str());
        return 2;
    }
    for (const auto& f : report.findings.list())
        std::printf("%s: %s: %s: %s\n", path, f.code.c_str(), f.where.c_str(), f.message.c_str());
    std::size_t shown = report.findings.list().size(), total = report.findings.total();
    if (total > shown) std::printf("%s: ... and %zu more findings\n", path, total - shown);
    std::printf(
        "%s: %zu finding%s; %llu nodes, %llu blocks, %llu folders, %llu messages, "
        "%llu attachments\n",
        path, total, total == 1 ? "" : "s", static_cast<unsigned long long>(report.nodes),
        static_cast<unsigned long long>(report.blocks),
        static_cast<unsigned long long>(report.folders),
        static_cast<unsigned long long>(report.messages),
        static_cast<unsigned long long>(report.attachments));
    return total == 0 ? 0 : 1;
}
