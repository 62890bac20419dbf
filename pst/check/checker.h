#pragma once
// Our store checker: reads a Unicode personal-folders file from its bytes and
// verifies what Outlook's own integrity tool looks at (see checker.cpp for the
// list). It never trusts the file: damaged input gives findings, not crashes.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "pst/ndb/findings.h"

namespace tp::pst::check {

struct Report {
    bool readable = false;  // false: the file could not be interpreted at all
    std::string fatal;      // why, when not readable
    Findings findings;
    std::uint64_t nodes = 0, blocks = 0, folders = 0, messages = 0, attachments = 0;

    bool clean() const { return readable && findings.total() == 0; }
};

struct CheckOptions {
    // Called with a line per node and property when set (for `pstcheck --dump`).
    std::function<void(const std::string&)> dump;
    // Also report where the store differs from the shape Outlook gives its
    // stores (heap order, empty values, Outlook's nodes, table templates, sizes).
    bool shape = false;
};

Report checkStore(const std::filesystem::path& path, const CheckOptions& options = {});

}  // namespace tp::pst::check
