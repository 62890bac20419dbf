#pragma once
// The fuzzed entry points. Each takes arbitrary bytes, drives the real code and
// aborts (through TP_FUZZ_CHECK) when an invariant breaks. The libFuzzer mains
// and the regression replays in tests/regressions/ call the same functions.
#include <cstddef>
#include <cstdint>

namespace tp::fuzz {

// The bytes as a mailbox: the scanner's hits against a plain search, and the
// message ranges that must partition the file.
void mailbox(const std::uint8_t* data, std::size_t size);

// The bytes as one message: every read-out, attachment removal, adding a file,
// saving and loading again.
void mailMessage(const std::uint8_t* data, std::size_t size);

// The bytes as one message imported into a new store; the store must close and
// pass the checker.
void pstImport(const std::uint8_t* data, std::size_t size);

}  // namespace tp::fuzz
