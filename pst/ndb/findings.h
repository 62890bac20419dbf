#pragma once
// What the store checker found: one record per fault, with a stable code that
// tests and scripts can match, the place (node, block, page, offset) and a text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tp::pst::check {

// Two kinds: an error makes a store invalid or unreadable, whoever wrote it; a
// shape finding is where a store differs from the shape a current Outlook gives
// its stores (and ours), which other writers and older Outlooks need not follow.
struct Finding {
    std::string code;     // short and stable, e.g. "block-crc", "content-count"
    std::string where;    // "node 0x8022", "block 0x24 at 0x5000", "AMap at 0x4400"
    std::string message;  // what is wrong, with the values seen and expected
    bool shape = false;
};

class Findings {
  public:
    // Keeps at most `limit` findings; the rest are only counted, so that a
    // badly damaged file cannot make the checker grow without bound.
    explicit Findings(std::size_t limit = 5000) : limit_(limit) {}

    void add(std::string code, std::string where, std::string message);
    // Recorded only once shape findings are asked for.
    void addShape(std::string code, std::string where, std::string message);
    void askShape(bool on) { shapeAsked_ = on; }
    bool shapeAsked() const { return shapeAsked_; }
    const std::vector<Finding>& list() const { return list_; }
    std::size_t total() const { return total_; }  // errors and shape findings
    std::size_t shapeTotal() const { return shapeTotal_; }
    std::size_t errorTotal() const { return total_ - shapeTotal_; }
    bool has(const std::string& code) const;

  private:
    std::size_t limit_;
    std::size_t total_ = 0, shapeTotal_ = 0;
    bool shapeAsked_ = false;
    std::vector<Finding> list_;
};

// Formats a number as 0x-prefixed hexadecimal.
std::string hex(std::uint64_t value);

}  // namespace tp::pst::check
