#pragma once
// Where the manual lives: help.html, beside the program in the build tree, or in
// the package's documentation folder when installed. Its "troubleshooting"
// section is the support article the "Outlook Error" box points to. Plain C++
// (no Qt), so that the engine and the command line can name the same address as
// the windows.
#include <filesystem>
#include <string>

namespace tp::app {

inline constexpr const char* kHelpFileName = "help.html";
inline constexpr const char* kTroubleshootingSection = "troubleshooting";

// Where an installed program's manual is, relative to the program's folder
// (bin/ and share/doc/tessaport/ under the same prefix, /usr for the package).
inline constexpr const char* kInstalledHelpFolder = "../share/doc/tessaport";
// Where the package puts it, for a program started from elsewhere (a copy in
// another folder, a link to it).
inline constexpr const char* kSystemHelpFolder = "/usr/share/doc/tessaport";

// The manual of a program in `programDir`: beside it when it is there (the build
// tree), else in the installed documentation folder under the same prefix, else
// in the system's documentation folder; beside the program when none exists.
inline std::filesystem::path helpFileFor(const std::filesystem::path& programDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path beside = programDir / kHelpFileName;
    if (fs::exists(beside, ec)) return beside;
    const fs::path installed =
        (programDir / kInstalledHelpFolder / kHelpFileName).lexically_normal();
    if (fs::exists(installed, ec)) return installed;
    const fs::path system = fs::path(kSystemHelpFolder) / kHelpFileName;
    return fs::exists(system, ec) ? system : beside;
}

// A file: address of `utf8Path` (an absolute path in UTF-8), with `section`
// when given. Characters that would end or change the address are escaped.
inline std::string fileAddress(const std::string& utf8Path, const char* section = nullptr) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    // A Windows path (C:\...) becomes file:///C:/...
    if (utf8Path.size() >= 2 && utf8Path[1] == ':') url += '/';
    for (const char c : utf8Path) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            url += '/';
        } else if (u <= 0x20 || u == 0x7F || c == '%' || c == '#' || c == '?' || c == '"' ||
                   c == '<' || c == '>') {
            url += '%';
            url += kHex[u >> 4];
            url += kHex[u & 0xF];
        } else {
            url += c;
        }
    }
    if (section) url += std::string("#") + section;
    return url;
}

}  // namespace tp::app
