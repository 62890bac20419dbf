// pstcheck [--shape] FILE: verifies a Unicode personal-folders store, written by
// Tessaport or anyone, and prints one line per finding and a summary. Errors make
// a store invalid or unreadable; with --shape it also reports where the store
// differs from the shape a current Outlook gives its stores. Exit 0: nothing
// found; 1: findings; 2: the file cannot be read as a store.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/paths.h"
#include "io/system.h"
#include "pst/check/checker.h"
#include "tessaport/version.h"

int main(int argc, char** argv) {
    // UTF-8 from here on, whatever the system's code page.
    const std::vector<std::string> args = tp::io::programArguments(argc, argv);
    bool dump = false, shape = false;
    const char* path = nullptr;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--version") {
            std::printf("pstcheck (Tessaport) %s\n", TP_VERSION);
            std::printf(
                "License GPL-3.0-or-later: GNU GPL version 3 or later "
                "<https://gnu.org/licenses/gpl.html>\n"
                "This is free software: you are free to change and redistribute it.\n"
                "There is NO WARRANTY, to the extent permitted by law.\n");
            return 0;
        }
        if (arg == "--dump")
            dump = true;
        else if (arg == "--shape")
            shape = true;
        else if (!path && !arg.empty() && arg[0] != '-')
            path = arg.c_str();
        else
            path = nullptr, i = args.size();
    }
    if (!path) {
        std::fprintf(stderr,
                     "usage: pstcheck [--shape] [--dump] FILE.pst\n       pstcheck --version\n");
        return 2;
    }
    tp::pst::check::CheckOptions options;
    options.shape = shape;
    if (dump) options.dump = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
    auto report = tp::pst::check::checkStore(tp::io::pathFromUtf8(path), options);
    if (!report.readable) {
        std::printf("%s: cannot be checked: %s\n", path, report.fatal.c_str());
        return 2;
    }
    for (const auto& f : report.findings.list())
        std::printf("%s: %s%s: %s: %s\n", path, f.shape ? "shape " : "", f.code.c_str(),
                    f.where.c_str(), f.message.c_str());
    std::size_t shown = report.findings.list().size(), total = report.findings.total();
    if (total > shown) std::printf("%s: ... and %zu more findings\n", path, total - shown);
    std::printf(
        "%s: %zu finding%s (%zu error%s, %zu of shape); %llu nodes, %llu blocks, %llu folders, "
        "%llu messages, "
        "%llu attachments\n",
        path, total, total == 1 ? "" : "s", report.findings.errorTotal(),
        report.findings.errorTotal() == 1 ? "" : "s", report.findings.shapeTotal(),
        static_cast<unsigned long long>(report.nodes),
        static_cast<unsigned long long>(report.blocks),
        static_cast<unsigned long long>(report.folders),
        static_cast<unsigned long long>(report.messages),
        static_cast<unsigned long long>(report.attachments));
    return total == 0 ? 0 : 1;
}
