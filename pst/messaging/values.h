#pragma once
// Turning the API's property values into their on-disk form, and the rules for
// the sizes the store records about its objects.
#include <string>

#include "pst/ltp/builders.h"
#include "pst/pst.h"

namespace tp::pst::messaging {

// UTF-8 to UTF-16LE; malformed sequences become U+FFFD.
ltp::Bytes utf16(const std::string& utf8);

// The value in the form its tag's type asks for (a bool tag holding an int, say,
// is converted). False when the value cannot be represented in that type.
bool encodeValue(std::uint32_t tag, const PropData& value, ltp::Bytes& out);

// PidTagMessageSize and PidTagAttachSize: the bytes of every property value an
// object serialises (fixed-size values at their natural size, variable ones at
// their encoded length), plus its recipients' values and its attachments' sizes.
// An attachment's size is its own values plus, for an embedded message, that
// message's size. pstcheck recomputes the same sum.
std::uint64_t valueBytes(const std::vector<ltp::Value>& values);

}  // namespace tp::pst::messaging
