#pragma once
// Windows only: a path as the wide Win32 calls take it, in the long form
// ("\\?\C:\...", "\\?\UNC\server\share\...") that is not held to MAX_PATH's 260
// characters: the output tree repeats each mailbox's whole path below the output
// folder, and a deep mail store gives paths longer than that.
#include <filesystem>
#include <string>

namespace tp::io::win32 {

inline std::wstring longPath(const std::filesystem::path& p) {
    std::error_code ec;
    const std::filesystem::path whole = p.is_absolute() ? p : std::filesystem::absolute(p, ec);
    if (ec) return p.native();
    // The long form is taken as it stands: no "." or ".." is resolved, no "/"
    // read as a separator.
    std::wstring s = whole.lexically_normal().native();
    for (wchar_t& c : s)
        if (c == L'/') c = L'\\';
    if (s.rfind(L"\\\\?\\", 0) == 0 || s.rfind(L"\\\\.\\", 0) == 0) return s;
    if (s.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + s.substr(2);
    return L"\\\\?\\" + s;
}

}  // namespace tp::io::win32
