#pragma once
// Helpers shared by the mail, attachment and MBOX tests: CR LF text and Python's
// email package as an independent MIME parser.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include "support/support.h"

namespace tp::test {

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

#ifndef _WIN32
// The structure of `message` as Python's email package parses it (see
// tests/mail/mime_outline.py).
inline std::string outline(std::string_view message) {
    ScratchDir dir;
    const auto file = dir.path() / "m.eml";
    writeBytes(file, message);
    return output("python3 '" TP_SOURCE_DIR "/tests/mail/mime_outline.py' '" + file.string() + "'");
}
#endif

}  // namespace tp::test
