#pragma once
// Helpers shared by the mail, attachment and MBOX tests: CR LF text, scratch
// folders, and Python's email package as an independent MIME parser.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

namespace tp::testutil {

// Test texts are written with "\n"; messages use CR LF.
inline std::string crlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("tp-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeBytes(const std::filesystem::path& p, std::string_view data) {
    std::ofstream out(p, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a command and returns what it printed on standard output.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* f = ::popen(command.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    const int rc = ::pclose(f);
    if (status) *status = rc;
    return out;
}

// The structure of `message` as Python's email package parses it (see
// tests/mail/mime_outline.py).
inline std::string outline(std::string_view message) {
    TempDir dir;
    const auto file = dir.path() / "m.eml";
    writeBytes(file, message);
    return run("python3 '" TP_SOURCE_DIR "/tests/mail/mime_outline.py' '" + file.string() + "'");
}

}  // namespace tp::testutil
