#include "pst/ndb/crc.h"

#include <zlib.h>

#include <algorithm>
#ifdef TP_HAVE_ISAL
#include <isa-l/crc.h>
#endif

namespace tp::pst::ndb {

// zlib's CRC-32 (and ISA-L's gzip one) use the same reflected polynomial but invert
// the value on the way in and out; undoing both gives the format's plain form.
std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t seed) {
#ifdef TP_HAVE_ISAL
    return ~crc32_gzip_refl(~seed, static_cast<const unsigned char*>(data),
                            static_cast<std::uint64_t>(size));
#else
    const auto* p = static_cast<const Bytef*>(data);
    uLong crc = ~seed & 0xFFFFFFFFu;
    while (size > 0) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = ::crc32(crc, p, n);
        p += n;
        size -= n;
    }
    return ~static_cast<std::uint32_t>(crc);
#endif
}

}  // namespace tp::pst::ndb
