#pragma once
// The fuzzed entry points. Each takes arbitrary bytes, drives the real code and
// aborts (through TP_FUZZ_CHECK) when an invariant breaks. Each says in a line
// what the code made of the bytes, for the regression replays in
// tests/regressions/, which compare it with what it was when the input was kept;
// the libFuzzer mains call the same functions and ignore it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tp::fuzz {

// The bytes as a mailbox: the scanner's hits against a plain search, and the
// message ranges that must partition the file. Says "messages 0-120 120-300,
// leading 0" (the ranges as begin-end, and the bytes before the first).
std::string mailbox(const std::uint8_t* data, std::size_t size);

// The bytes as one message: every read-out, attachment removal, adding a file,
// saving and loading again. Says "attachments n" (as loaded), or "no message".
std::string mailMessage(const std::uint8_t* data, std::size_t size);

// The bytes as one message imported into a new store; the store must close and
// pass the checker. Says 'imported "<subject>", n attachments, n recipients',
// or "refused: <why>".
std::string pstImport(const std::uint8_t* data, std::size_t size);

}  // namespace tp::fuzz
