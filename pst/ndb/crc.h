#pragma once
// The CRC-32 used throughout the file ([MS-PST] 5.3): the reflected 0xEDB88320
// polynomial, seeded with 0 and without a final inversion.
#include <cstddef>
#include <cstdint>

namespace tp::pst::ndb {

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t seed = 0);

}  // namespace tp::pst::ndb
