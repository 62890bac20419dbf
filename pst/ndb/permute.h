#pragma once
// Permutative encoding of data blocks ([MS-PST] 5.1, bCryptMethod 1): a byte-wise
// substitution, encoded when written and decoded when read, in place.
#include <cstddef>
#include <cstdint>

namespace tp::pst::ndb {

void permuteEncode(std::uint8_t* data, std::size_t size);
void permuteDecode(std::uint8_t* data, std::size_t size);

}  // namespace tp::pst::ndb
