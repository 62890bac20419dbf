// UTF-8 to UTF-16: long ASCII runs take a wide path; its result must be exactly
// that of the character-by-character one, wherever the other characters fall.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pst/messaging/values.h"

namespace tp::pst {
namespace {

TEST(PstValues, Utf16IsTheSameWhereverAsciiRunsBeginAndEnd) {
    const std::vector<std::string> others = {
        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", "\xC3", "\xED\xA0\x80", "\x7F"};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        ltp::Bytes expected;
        const int pieces = int(random() % 8);
        for (int p = 0; p < pieces; ++p) {
            std::string piece;
            if (random() % 2) {
                piece.assign(random() % 40, char('a' + random() % 26));
                for (char c : piece) {
                    expected.push_back(std::uint8_t(c));
                    expected.push_back(0);
                }
            } else {
                piece = others[random() % others.size()];
                const ltp::Bytes alone = messaging::utf16(piece);
                expected.insert(expected.end(), alone.begin(), alone.end());
            }
            text += piece;
        }
        ASSERT_EQ(messaging::utf16(text), expected) << "round " << round;
    }
    // U+00E9 and U+1F600 as UTF-16LE, the surrogate pair low byte first.
    EXPECT_EQ(messaging::utf16("\xC3\xA9\xF0\x9F\x98\x80"),
              (ltp::Bytes{0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
}

}  // namespace
}  // namespace tp::pst
