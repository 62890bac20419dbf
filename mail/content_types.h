#pragma once
// The content type an attached file gets from its name's extension: one table of
// our own, the same on every system (no system MIME database is asked).
#include <string>
#include <string_view>

namespace tp::convert {

// "application/octet-stream" for a name without an extension or one not listed.
std::string contentTypeOfName(std::string_view fileName);

}  // namespace tp::convert
