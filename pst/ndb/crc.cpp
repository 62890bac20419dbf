#include "pst/ndb/crc.h"

#include <zlib.h>

#include <algorithm>

namespace tp::pst::ndb {

// zlib's CRC-32 uses the same reflected polynomial but inverts the value on the way
// in and out; undoing both gives the format's plain form.
std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t seed) {
    const auto* p = static_cast<const Bytef*>(data);
    uLong crc = ~seed & 0xFFFFFFFFu;
    while (size > 0) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = ::crc32(crc, p, n);
        p += n;
        size -= n;
    }
    return ~static_cast<std::uint32_t>(crc);
}

}  // namespace tp::pst::ndb
