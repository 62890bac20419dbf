#pragma once
// Compares two mail items property by property; says where they first differ.
#include <cstdio>
#include <string>
#include <variant>

#include "pst/pst.h"

namespace tp::test {

inline std::string describeValue(const pst::PropData& v) {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return "\"" + x + "\"";
            } else if constexpr (std::is_same_v<T, pst::FileTime>) {
                return "time " + std::to_string(x.ticks);
            } else if constexpr (std::is_same_v<T, pst::Binary>) {
                std::string out = "binary[" + std::to_string(x.size()) + "]";
                for (std::size_t i = 0; i < x.size() && i < 48; ++i) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, " %02x", x[i]);
                    out += hex;
                }
                return out;
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                return "strings[" + std::to_string(x.size()) + "]";
            } else {
                return std::to_string(x);
            }
        },
        v);
}

inline bool sameValue(const pst::PropData& a, const pst::PropData& b) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&b](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b);
            if constexpr (std::is_same_v<T, pst::FileTime>) {
                return x.ticks == y.ticks;
            } else {
                return x == y;
            }
        },
        a);
}

// The property of `set` with the same tag, or the same name for a named one.
inline const pst::Property* counterpart(const pst::PropertySet& set, const pst::Property& p) {
    if (!p.named) return set.find(p.tag);
    for (const pst::Property& q : set.all())
        if (q.named && q.named->guid == p.named->guid && q.named->id == p.named->id &&
            q.named->name == p.named->name)
            return &q;
    return nullptr;
}

inline std::string differenceOf(const pst::PropertySet& a, const pst::PropertySet& b,
                                const std::string& where) {
    for (const pst::Property& p : a.all()) {
        const pst::Property* q = counterpart(b, p);
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(p.tag));
        if (!q) return where + tag + " only in the first: " + describeValue(p.value);
        if (!sameValue(p.value, q->value))
            return where + tag + ": " + describeValue(p.value) + " vs " + describeValue(q->value);
    }
    for (const pst::Property& q : b.all()) {
        if (!counterpart(a, q)) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(q.tag));
            return where + tag + " only in the second: " + describeValue(q.value);
        }
    }
    return {};
}

// "" when the items are the same.
inline std::string differenceOf(const pst::Message& a, const pst::Message& b,
                                const std::string& where = "") {
    if (std::string d = differenceOf(a.props, b.props, where); !d.empty()) return d;
    if (a.recipients.size() != b.recipients.size())
        return where + "recipients: " + std::to_string(a.recipients.size()) + " vs " +
               std::to_string(b.recipients.size());
    for (std::size_t i = 0; i < a.recipients.size(); ++i) {
        const std::string at = where + "recipient " + std::to_string(i) + ": ";
        if (std::string d = differenceOf(a.recipients[i], b.recipients[i], at); !d.empty())
            return d;
    }
    if (a.attachments.size() != b.attachments.size())
        return where + "attachments: " + std::to_string(a.attachments.size()) + " vs " +
               std::to_string(b.attachments.size());
    for (std::size_t i = 0; i < a.attachments.size(); ++i) {
        const pst::Attachment& x = a.attachments[i];
        const pst::Attachment& y = b.attachments[i];
        const std::string at = where + "attachment " + std::to_string(i) + ": ";
        if (std::string d = differenceOf(x.props, y.props, at); !d.empty()) return d;
        if (x.data != y.data) return at + "data differs";
        if (bool(x.embedded) != bool(y.embedded)) return at + "embedded in one only";
        if (x.embedded) {
            if (std::string d = differenceOf(*x.embedded, *y.embedded, at); !d.empty()) return d;
        }
    }
    return {};
}

}  // namespace tp::test
