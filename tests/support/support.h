#pragma once
// What the tests of every folder share: a scratch folder that is removed however
// the test ends, reading and writing files as bytes, and running a program (ours
// or an outside reader) as a user does, with what it printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#endif

namespace tp::test {

namespace fs = std::filesystem;

// A name no other test program is using: twelve random letters.
inline std::string uniqueName() {
    static std::mt19937_64 draw{std::random_device{}()};
    std::string name;
    for (int i = 0; i < 12; ++i) name += static_cast<char>('a' + draw() % 26);
    return name;
}

// A fresh folder of its own under the system's temporary folder; removed with
// everything in it (also what was made read-only) when it goes.
class ScratchDir {
  public:
    ScratchDir() {
        std::error_code ec;
        for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
            const fs::path p = fs::temp_directory_path(ec) / ("tp-test-" + uniqueName());
            if (fs::create_directory(p, ec)) path_ = p;
        }
    }
    // A folder of this fixed name instead (where the path shows, as in a picture
    // of a window, and must be the same every time); what an earlier run left
    // there is removed first.
    explicit ScratchDir(const std::string& name) : path_(fs::temp_directory_path() / name) {
        clear();
        fs::create_directories(path_);
    }
    ~ScratchDir() { clear(); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

  private:
    void clear() {
        if (path_.empty()) return;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(path_, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    fs::path path_;
};

// This test program's folder for files kept from one test to the next; removed
// when its tests end, passed or failed (TP_KEEP_SCRATCH keeps it, for looking
// at a failure).
inline fs::path programScratch() {
    static const std::string name = "tp-test-" + uniqueName();
    return fs::temp_directory_path() / name;
}
class ProgramScratchCleanup : public ::testing::Environment {
  public:
    void TearDown() override {
        if (std::getenv("TP_KEEP_SCRATCH")) return;
        std::error_code ec;
        fs::remove_all(programScratch(), ec);
    }
};
inline ::testing::Environment* const kProgramScratchCleanup =
    ::testing::AddGlobalTestEnvironment(new ProgramScratchCleanup);

// Writes `bytes` as the whole file, making its folder first.
inline void writeBytes(const fs::path& p, std::string_view bytes) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The bytes in hexadecimal, two lower-case digits each (for passing them to a reader script).
inline std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The whole file; empty when it cannot be read.
inline std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `text` holds `part` (or begins with it); a failure shows the text.
inline ::testing::AssertionResult has(std::string_view text, std::string_view part) {
    if (text.find(part) != std::string_view::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}
inline ::testing::AssertionResult startsWith(std::string_view text, std::string_view start) {
    if (text.substr(0, start.size()) == start) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\"" << text << "\" does not begin with \"" << start << "\"";
}

// Running programs: the Windows test programs (run under wine) start none.
#ifndef _WIN32
// A word for the shell, quoted.
inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// What a shell command prints on standard output (add " 2>&1" for both); its
// exit code into `status` when given (-1 when it did not exit by itself).
inline std::string output(const std::string& command, int* status = nullptr) {
    std::string text;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        if (status) *status = -1;
        return text;
    }
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    const int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return text;
}

struct Result {
    int code = -1;  // the exit code; -1 when the program did not exit by itself
    std::string out, err;
};

// Runs a shell command line in `cwd`, with no input; what it printed, apart.
inline Result runShell(const fs::path& cwd, const std::string& command) {
    ScratchDir captured;
    const fs::path out = captured.path() / "stdout", err = captured.path() / "stderr";
    const std::string cmd = "cd " + quote(cwd.string()) + " && " + command + " >" +
                            quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
    Result r;
    const int status = std::system(cmd.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readBytes(out);
    r.err = readBytes(err);
    return r;
}

// Runs `program` with `args` in `cwd`, with no input; what it printed, apart.
inline Result runProgram(const fs::path& cwd, const std::string& program,
                         const std::vector<std::string>& args) {
    std::string cmd = quote(program);
    for (const auto& a : args) cmd += " " + quote(a);
    return runShell(cwd, cmd);
}

#ifdef TP_CLI
// Runs tessaport-convert in `cwd` as a user types it.
inline Result convert(const fs::path& cwd, const std::vector<std::string>& args) {
    return runProgram(cwd, TP_CLI, args);
}

// Starts tessaport-convert without waiting for it; what it prints goes to
// `stdoutFile` (or nowhere) and standard error nowhere.
inline pid_t startConvert(const std::vector<std::string>& args, const fs::path& stdoutFile = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        const int out = stdoutFile.empty()
                            ? null
                            : ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null < 0 || out < 0 || ::dup2(out, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(126);
        std::vector<char*> argv = {const_cast<char*>(TP_CLI)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TP_CLI, argv.data());
        ::_exit(127);
    }
    return pid;
}
#endif

// Waits up to a minute for `done`, looking every 200 microseconds.
inline bool waitUntil(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

#endif  // _WIN32

}  // namespace tp::test
