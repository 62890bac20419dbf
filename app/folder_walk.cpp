#include "app/folder_walk.h"

#include "common/compiler_quirks.h"
#include "io/paths.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace tp::app {

namespace {

bool endsWithSeparator(const std::string& path) {
    if (path.empty()) return false;
    return convert::isPathSeparator(path.back());
}

struct Listing {
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

// Lists one folder's direct subfolders and files by name. Symbolic links to
// folders are left out; everything else that is not a folder counts as a file.
std::error_code listFolder(const std::string& folder, Listing& out) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return ec;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code sec;
        const fs::file_status own = entry.symlink_status(sec);
        if (sec) return sec;  // an entry that cannot be examined might be a folder
        std::string name = entry.path().filename().string();
        if (fs::is_directory(own)) {
            out.folders.push_back(std::move(name));
        } else if (fs::is_symlink(own)) {
            std::error_code tec;
            if (!fs::is_directory(entry.status(tec))) out.files.push_back(std::move(name));
        } else {
            out.files.push_back(std::move(name));
        }
    }
    if (ec) return ec;
    std::sort(out.folders.begin(), out.folders.end());
    std::sort(out.files.begin(), out.files.end());
    return {};
}

}  // namespace

std::string withSeparator(const std::string& path) {
    if (endsWithSeparator(path)) return path;
    return path + static_cast<char>(fs::path::preferred_separator);
}

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
bool FolderWalk::run(const std::string& folder) {
    files_.clear();
    error_.clear();
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(fs::path(folder), ec)) return true;

    std::deque<std::string> waiting{withSeparator(folder)};
    while (!waiting.empty()) {
        const std::string current = std::move(waiting.front());
        waiting.pop_front();
        Listing listing;
        if (const std::error_code lec = listFolder(current, listing)) {
            error_ = "Cannot list the folder " + current + ": " + lec.message();
            return false;
        }
        for (const std::string& name : listing.folders)
            waiting.push_back(current + name + static_cast<char>(fs::path::preferred_separator));
        for (const std::string& name : listing.files) files_.push_back(current + name);
    }
    return true;
}
TP_GCC12_FALSE_RESTRICT_END

}  // namespace tp::app
