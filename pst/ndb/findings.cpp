#include "pst/ndb/findings.h"

#include <cstdio>

namespace tp::pst::check {

void Findings::add(std::string code, std::string where, std::string message) {
    ++total_;
    if (list_.size() < limit_)
        list_.push_back({std::move(code), std::move(where), std::move(message)});
}

void Findings::addShape(std::string code, std::string where, std::string message) {
    if (!shapeAsked_) return;
    ++total_;
    ++shapeTotal_;
    if (list_.size() < limit_)
        list_.push_back({std::move(code), std::move(where), std::move(message), true});
}

bool Findings::has(const std::string& code) const {
    for (const auto& f : list_)
        if (f.code == code) return true;
    return false;
}

std::string hex(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
    return buf;
}

}  // namespace tp::pst::check
