#pragma once
// Helpers for the store tests: building messages and running the outside readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pst/pst.h"
#include "support/support.h"

namespace pst_test {

namespace fs = std::filesystem;
using namespace tp::pst;

constexpr std::uint32_t kBody = 0x1000001F;
constexpr std::uint32_t kDisplayName = 0x3001001F;

inline fs::path scratch(const std::string& name) {
    fs::path dir = tp::test::programScratch();
    fs::create_directories(dir);
    fs::path p = dir / name;
    fs::remove_all(p);
    if (name.size() > 4 && name.substr(name.size() - 4) != ".pst")
        fs::remove_all(dir / (name + ".export"));
    return p;
}

struct Run {
    int status = -1;
    std::string out;
};

// What `cmd` prints, its standard error included, and its exit code.
inline Run run(const std::string& cmd) {
    Run r;
    r.out = tp::test::output(cmd + " 2>&1", &r.status);
    return r;
}

// The words of a line, split at tabs and spaces.
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> w(1);
    for (char c : line) {
        if (c == '\t' || c == ' ')
            w.emplace_back();
        else
            w.back() += c;
    }
    return w;
}

// pst-extractor's reading of a store (tests/pstx/walk.js, installed by
// scripts/install-deps.sh), bounded in time: the package can loop on a read
// past the end of a node. Its F and M lines go to `lines`, its R lines to
// `recipients`.
inline Run extractorRead(const fs::path& pst, std::vector<std::string>& lines,
                         std::vector<std::string>* recipients = nullptr) {
    Run r = run("timeout 600 node '" TP_SOURCE_DIR "/tests/pstx/walk.js' '" + pst.string() + "'");
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("R\t", 0) == 0) {
            if (recipients) recipients->push_back(line);
        } else if (line.rfind("F\t", 0) == 0 || line.rfind("M\t", 0) == 0) {
            lines.push_back(line);
        }
    }
    return r;
}

// Characters beyond the BMP (four UTF-8 bytes) as '?': libpff's Python binding
// mangles them. Returns whether there were any.
inline bool maskWide(std::string& s) {
    std::string out;
    bool any = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((unsigned char)s[i] >= 0xF0) {
            out += '?';
            i += 3;
            any = true;
        } else {
            out += s[i];
        }
    }
    s = out;
    return any;
}

// Where pst-extractor's lines differ from libpff's (pst_read.py), one line per
// difference. Embedded messages, which pst-extractor returns empty ("msg"), are
// compared by their place only; names with characters beyond the BMP, which
// libpff's Python binding mangles, with those characters masked, and the body
// of such a message by its attachments only.
inline std::string extractorDiffers(std::vector<std::string> ours,
                                    std::vector<std::string> libpff) {
    for (auto* lines : {&ours, &libpff}) {
        for (auto& l : *lines) {
            if (!maskWide(l) || l.rfind("M\t", 0) != 0) continue;
            std::size_t at = 0;
            for (int tab = 0; tab < 3; ++tab) at = l.find('\t', at) + 1;
            l.replace(at, 12, "*");  // the body's hash
        }
        std::sort(lines->begin(), lines->end());
    }
    std::string out;
    if (ours.size() != libpff.size())
        out += "pst-extractor read " + std::to_string(ours.size()) +
               " folders and messages, libpff " + std::to_string(libpff.size()) + "\n";
    for (std::size_t i = 0; i < std::min(ours.size(), libpff.size()); ++i) {
        const auto a = words(ours[i]), b = words(libpff[i]);
        if (!std::equal(
                a.begin(), a.end(), b.begin(), b.end(),
                [](const std::string& x, const std::string& y) { return x == y || x == "msg"; }))
            out += "pst-extractor: " + ours[i] + "\nlibpff:        " + libpff[i] + "\n";
    }
    return out;
}

inline Message simpleMessage(const std::string& subject, const std::string& body,
                             int recipients = 1) {
    Message m;
    m.props.set(0x0037001F, subject);
    m.props.set(kBody, body);
    m.props.set(0x001A001F, std::string("IPM.Note"));
    m.props.set(0x0C1A001F, std::string("Alice Example"));
    m.props.set(0x0C1F001F, std::string("alice@example.org"));
    m.props.set(0x0042001F, std::string("Alice Example"));
    m.props.set(0x0C1E001F, std::string("SMTP"));
    m.props.set(0x0E060040, FileTime{133000000000000000ull});
    m.props.set(0x00390040, FileTime{133000000000000000ull});
    for (int i = 0; i < recipients; ++i) {
        PropertySet r;
        r.set(kDisplayName, "Recipient " + std::to_string(i));
        r.set(0x3003001F, "r" + std::to_string(i) + "@example.org");
        r.set(0x3002001F, std::string("SMTP"));
        r.set(0x0C150003, std::int32_t(i % 2 ? 2 : 1));
        m.recipients.push_back(std::move(r));
    }
    return m;
}

inline Attachment fileAttachment(const std::string& name, Binary data) {
    Attachment a;
    a.props.set(0x3707001F, name);
    a.props.set(0x3704001F, name);
    a.props.set(kDisplayName, name);
    a.props.set(0x370E001F, std::string("application/octet-stream"));
    a.data = std::move(data);
    return a;
}

}  // namespace pst_test
