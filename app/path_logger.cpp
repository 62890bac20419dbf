#include "app/path_logger.h"

#include "common/compiler_quirks.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace tp::app {

namespace {

bool endsWithSeparator(const std::string& path) {
    if (path.empty()) return false;
    const char last = path.back();
#ifdef _WIN32
    return last == '\\' || last == '/';
#else
    return last == '/';
#endif
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

std::string AddBackslash(const std::string& path) {
    if (endsWithSeparator(path)) return path;
    return path + static_cast<char>(fs::path::preferred_separator);
}

void pathLogger::PathLogInit() {
    ready_ = true;
    fullFileNamesOnly = true;
    fileNames_.reset();
    pathNames_.reset();
    pathPointers_.reset();
    fullFileNames_.reset();
    lastError_.clear();
}

void pathLogger::Terminate() {
    ready_ = false;
    fileNames_.reset();
    pathNames_.reset();
    pathPointers_.reset();
    fullFileNames_.reset();
}

std::shared_ptr<TextList> pathLogger::fileNames() {
    if (!fileNames_) fileNames_ = std::make_shared<TextList>();
    return fileNames_;
}
std::shared_ptr<TextList> pathLogger::pathNames() {
    if (!pathNames_) pathNames_ = std::make_shared<TextList>();
    return pathNames_;
}
std::shared_ptr<PositionList> pathLogger::pathPointers() {
    if (!pathPointers_) pathPointers_ = std::make_shared<PositionList>();
    return pathPointers_;
}
std::shared_ptr<TextList> pathLogger::fullFileNames() {
    if (!fullFileNames_) fullFileNames_ = std::make_shared<TextList>();
    return fullFileNames_;
}

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
bool pathLogger::LogPath(const std::string& startFolder) {
    lastError_.clear();
    if (!ready_) {
        lastError_ = "The folder walk was not initialised.";
        return false;
    }
    std::error_code ec;
    if (startFolder.empty() || !fs::is_directory(fs::path(startFolder), ec)) return true;

    std::int32_t j = 1;
    std::int32_t i = 1;
    count_ = 1;
    TextList& folders = *pathNames();
    if (!folders.Add(AddBackslash(startFolder), "K0")) {
        lastError_ =
            "The key K0 is already in the folder list (a second walk needs "
            "PathLogInit first).";
        return false;
    }
    auto duplicate = [this](const std::string& key) {
        lastError_ = "The key " + key + " is already in use.";
        return false;
    };
    // pathNames is both the result and the queue of folders still to visit.
    do {
        const std::string folder = folders.Item(i);
        Listing listing;
        if (const std::error_code lec = listFolder(folder, listing)) {
            lastError_ = "Cannot list the folder " + folder + ": " + lec.message();
            return false;
        }
        for (const std::string& name : listing.folders) {
            ++j;
            const std::string key = "K" + std::to_string(j);
            if (!folders.Add(folder + name + static_cast<char>(fs::path::preferred_separator), key))
                return duplicate(key);
        }
        for (const std::string& name : listing.files) {
            const std::string key = "K" + std::to_string(count_);
            if (fullFileNamesOnly) {
                if (!fullFileNames()->Add(folder + name, key)) return duplicate(key);
            } else {
                if (!fileNames()->Add(name, key)) return duplicate(key);
                if (!fullFileNames()->Add(folder + name, key)) return duplicate(key);
                if (!pathPointers()->Add(i, key)) return duplicate(key);
            }
            ++count_;
        }
        ++i;
    } while (i <= j);
    return true;
}
TP_GCC12_FALSE_RESTRICT_END

}  // namespace tp::app
