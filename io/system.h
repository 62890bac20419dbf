#pragma once
// The console and the process, as every platform gives them: the program's
// arguments and output in UTF-8, the terminal's width, Ctrl-C and termination,
// the program's own folder and the local time.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tp::io {

// The program's arguments in UTF-8 (on Windows read from the UTF-16 command
// line, not from `argv`, which holds them in the ANSI code page). Also makes the
// console take UTF-8 output.
std::vector<std::string> programArguments(int argc, char** argv);

// Whether standard error is a terminal, and its width in columns (0: unknown).
bool errorIsTerminal();
std::size_t errorColumns();

// Calls `handler` on each Ctrl-C or request to terminate. It may run inside a
// signal handler (POSIX) or on a thread of its own (Windows): it may only set
// atomics and call the functions marked safe below.
void onInterrupt(void (*handler)());
// Writes `text` to standard error. Safe inside `handler`.
void writeErrorRaw(const char* text, std::size_t length) noexcept;
// Ends the process at once with `code`, running no destructors. Safe inside
// `handler`.
[[noreturn]] void exitNow(int code) noexcept;

// The folder that holds the running program; empty when it cannot be told.
std::filesystem::path programFolder();

// The local time now, as "YYYY-MM-DD HH:MM:SS"; empty when it cannot be told.
std::string localTimeNow();
// How far the local clock is ahead of UTC at a moment (seconds since 1970), in
// seconds; 0 when it cannot be told.
std::int64_t localOffsetAt(std::int64_t secondsSince1970);

}  // namespace tp::io
