#include "io/paths.h"

#include <system_error>

#include "io/io.h"

namespace fs = std::filesystem;

namespace tp::convert {

bool isPathSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

namespace {

std::string trimSpaces(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

std::string FileNameOf(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i)
        if (isPathSeparator(path[i - 1])) return path.substr(i);
    return path;
}

std::string MailboxNameOf(const std::string& path) {
    // One left-to-right pass: what remains after a removal is not searched again.
    const std::string name = trimSpaces(FileNameOf(path));
    static constexpr std::string_view kExt = ".imm";
    std::string out;
    out.reserve(name.size());
    std::size_t i = 0;
    while (i < name.size()) {
        if (name.compare(i, kExt.size(), kExt) == 0) {
            i += kExt.size();
        } else {
            out += name[i++];
        }
    }
    return out;
}

fs::path mailboxOutputFolder(const fs::path& outputFolder, const std::string& mailboxPath) {
    if (trimSpaces(mailboxPath).empty()) return outputFolder;
    std::error_code ec;
    fs::path p = io::pathFromUtf8(mailboxPath);
    if (!p.is_absolute()) {
        fs::path abs = fs::absolute(p, ec);
        if (!ec) p = std::move(abs);
    }
    // In the normal form of a rooted path no ".." is left, so what is joined below
    // stays inside the output folder.
    fs::path rel = p.lexically_normal().relative_path();
    fs::path cleaned;
    for (const fs::path& part : rel) {
        if (part == ".." || part == ".") continue;
        cleaned /= part;
    }
    return cleaned.empty() ? outputFolder : outputFolder / cleaned;
}

bool MakeFolderPath(const fs::path& path) {
    if (path.empty()) return false;
    std::error_code ec;
    if (fs::is_directory(path, ec)) return true;
    if (io::injected(io::Op::MakeDir, path, 0)) return false;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

bool resolvesInside(const fs::path& folder, const fs::path& file) {
    std::error_code ec;
    const fs::path base = fs::weakly_canonical(folder, ec);
    if (ec) return false;
    const fs::path real = fs::weakly_canonical(file, ec);
    if (ec) return false;
    const fs::path rel = real.lexically_relative(base);
    return !rel.empty() && *rel.begin() != ".." && *rel.begin() != ".";
}

}  // namespace tp::convert

namespace tp::io {

fs::path pathFromUtf8(std::string_view text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace tp::io
