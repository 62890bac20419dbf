#pragma once
// Running tessaport-convert and other commands as a user does, from the tests of
// the command line.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "run/run_helpers.h"

namespace tp::test {

struct Result {
    int code = -1;
    std::string out, err;
};

// A word for the shell, quoted.
inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the converter in `cwd` with the given arguments; what it printed, apart.
inline Result convert(const std::filesystem::path& cwd, const std::vector<std::string>& args) {
    std::string cmd = "cd " + quote(cwd.string()) + " && " + quote(TP_CLI);
    for (const auto& a : args) cmd += " " + quote(a);
    const std::filesystem::path out = cwd / ".stdout", err = cwd / ".stderr";
    cmd += " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
    Result r;
    const int status = std::system(cmd.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readBytes(out);
    r.err = readBytes(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

// What a command prints on standard output.
inline std::string output(const std::string& cmd) {
    std::string text;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        pclose(p);
    }
    return text;
}

}  // namespace tp::test
