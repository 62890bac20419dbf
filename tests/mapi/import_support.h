#pragma once
// The import tests' ways in: one message imported (with both header readers,
// which must agree), and its properties read back as values.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "mapi/import.h"
#include "mapi/item_compare.h"

namespace tp::test {

inline const pst::FileTime kNow = convert::fileTimeFromUnix(1796000000);

// Imports with our header reader, and checks that GMime's message parser gives
// the very same item.
inline pst::Message import(const std::string& text) {
    pst::Message m, whole;
    std::string error;
    EXPECT_TRUE(convert::importMessage(text, m, error, convert::ImportOptions{kNow})) << error;
    EXPECT_TRUE(convert::importMessage(text, whole, error, convert::ImportOptions{kNow, true}))
        << error;
    EXPECT_EQ(dump(m), dump(whole)) << text.substr(0, 300);
    return m;
}

// A property's value; a missing one fails the test.
template <class T>
T get(const pst::PropertySet& p, std::uint32_t tag) {
    const pst::Property* prop = p.find(tag);
    if (!prop) {
        ADD_FAILURE() << "property 0x" << std::hex << tag << " missing";
        return T{};
    }
    return std::get<T>(prop->value);
}
inline std::string text(const pst::PropertySet& p, std::uint32_t t) {
    return get<std::string>(p, t);
}
inline std::int32_t num(const pst::PropertySet& p, std::uint32_t t) {
    return get<std::int32_t>(p, t);
}

// `utf8` in `charset`.
inline std::string encodeAs(const std::string& utf8, const char* charset) {
    gsize written = 0;
    gchar* out =
        g_convert(utf8.data(), gssize(utf8.size()), charset, "UTF-8", nullptr, &written, nullptr);
    EXPECT_NE(out, nullptr) << charset;
    std::string s(out ? out : "", written);
    g_free(out);
    return s;
}

}  // namespace tp::test
