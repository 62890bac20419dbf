#include "pst/ndb/crc.h"

#include <array>

namespace tp::pst::ndb {
namespace {

// Eight slicing tables; table[0] is the classic byte-at-a-time table.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t seed) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = seed;
    while (size >= 8) {
        std::uint32_t a = crc ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                 std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
        std::uint32_t b = std::uint32_t(p[4]) | std::uint32_t(p[5]) << 8 |
                          std::uint32_t(p[6]) << 16 | std::uint32_t(p[7]) << 24;
        crc = kTables[7][a & 0xFF] ^ kTables[6][(a >> 8) & 0xFF] ^ kTables[5][(a >> 16) & 0xFF] ^
              kTables[4][a >> 24] ^ kTables[3][b & 0xFF] ^ kTables[2][(b >> 8) & 0xFF] ^
              kTables[1][(b >> 16) & 0xFF] ^ kTables[0][b >> 24];
        p += 8;
        size -= 8;
    }
    while (size--) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace tp::pst::ndb
