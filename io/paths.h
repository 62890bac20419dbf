#pragma once
// Path helpers of the run: the mailbox's file name and name, its output folder,
// and creating a whole folder path.
#include <filesystem>
#include <string>
#include <string_view>

namespace tp::convert {

// Whether `c` separates the parts of a path: "/" here; "\" and "/" on Windows.
bool isPathSeparator(char c);

// The text after the last path separator ("/" here; "\" and "/" on Windows).
std::string FileNameOf(const std::string& path);

// The file name, trimmed of spaces, with every ".imm" (exact case) removed.
std::string MailboxNameOf(const std::string& path);

// The output folder joined with the mailbox path relative to its root:
// /home/ann/Mail/Inbox.imm under /tmp/out gives /tmp/out/home/ann/Mail/Inbox.imm.
// Relative mailbox paths are made absolute first; the result never leaves the
// output folder.
std::filesystem::path mailboxOutputFolder(const std::filesystem::path& outputFolder,
                                          const std::string& mailboxPath);

// Creates every missing folder of `path`; true when the whole path exists afterwards.
bool MakeFolderPath(const std::filesystem::path& path);

// Whether `file`, with the symbolic links on its way resolved (as far as it
// exists), lies below `folder` (resolved likewise).
bool resolvesInside(const std::filesystem::path& folder, const std::filesystem::path& file);

}  // namespace tp::convert

namespace tp::io {

// A path from UTF-8 text (the engine's strings, the command line's arguments)
// and back. On Windows a path made from a plain std::string reads it in the
// ANSI code page; these read and write UTF-8 on every system (on POSIX the
// bytes pass unchanged).
std::filesystem::path pathFromUtf8(std::string_view text);
std::string utf8Of(const std::filesystem::path& path);

}  // namespace tp::io
