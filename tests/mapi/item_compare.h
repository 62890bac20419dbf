#pragma once
// A mail item as text, one property a line, so that two items compare with
// EXPECT_EQ and the test output shows where they differ. (The fuzz target of the
// import uses it too: no test framework here.)
#include <algorithm>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "pst/pst.h"

namespace tp::test {

inline std::string hexOf(const pst::Binary& bytes) {
    std::string out;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

// The properties of `set` sorted by tag (named ones by set and name), each with
// the type and value it holds.
inline std::string dump(const pst::PropertySet& set, const std::string& where) {
    std::vector<std::string> lines;
    for (const pst::Property& p : set.all()) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(p.tag));
        const std::string key =
            p.named ? "named " + hexOf(pst::Binary(p.named->guid.begin(), p.named->guid.end())) +
                          " " + (p.named->id ? std::to_string(*p.named->id) : p.named->name)
                    : std::string(tag);
        const std::string value = std::visit(
            [](const auto& x) -> std::string {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    return "\"" + x + "\"";
                } else if constexpr (std::is_same_v<T, pst::FileTime>) {
                    return "time " + std::to_string(x.ticks);
                } else if constexpr (std::is_same_v<T, pst::Binary>) {
                    return "binary " + hexOf(x);
                } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                    std::string all = "strings";
                    for (const std::string& s : x) all += " \"" + s + "\"";
                    return all;
                } else {
                    return std::to_string(x);
                }
            },
            p.value);
        lines.push_back(where + key + " (" + std::to_string(p.value.index()) + ") " + value + "\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line;
    return out;
}

inline std::string dump(const pst::Message& m, const std::string& where = "") {
    std::string out = dump(m.props, where);
    for (std::size_t i = 0; i < m.recipients.size(); ++i)
        out += dump(m.recipients[i], where + "recipient " + std::to_string(i) + ": ");
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
        const pst::Attachment& a = m.attachments[i];
        const std::string at = where + "attachment " + std::to_string(i) + ": ";
        out += dump(a.props, at) + at + "data " + hexOf(a.data) + "\n";
        if (a.embedded) out += at + "embedded\n" + dump(*a.embedded, at);
    }
    return out;
}

// "" when the items are the same; else the first line where they differ (the
// fuzz target prints it).
inline std::string differenceOf(const pst::Message& a, const pst::Message& b) {
    const std::string x = dump(a), y = dump(b);
    if (x == y) return {};
    std::size_t line = 0;
    for (std::size_t i = 0; i < x.size() && i < y.size() && x[i] == y[i]; ++i)
        if (x[i] == '\n') line = i + 1;
    return x.substr(line, x.find('\n', line) - line) + " vs " +
           y.substr(line, y.find('\n', line) - line);
}

}  // namespace tp::test
