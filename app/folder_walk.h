#pragma once
// The folder command's walk: every file below a folder, breadth-first.
//
// Paths are native text; the folder separator ("\" on Windows, "/" elsewhere)
// joins a folder and its entries. Symbolic links to folders are neither listed
// nor followed, so a link loop cannot make the walk endless; a link to a file is
// listed as a file. Within one folder, files come before the subfolders' files,
// and entries come in byte order of their names (the same from one walk to the
// next).
#include <string>
#include <vector>

namespace tp::app {

class FolderWalk {
  public:
    // Walks the tree below `folder`. A folder that does not exist holds nothing.
    // False when a folder could not be listed: error() names it and says why, and
    // files() holds only what was found before it.
    bool run(const std::string& folder);
    // Every file found, as the folder's path joined with the names below it.
    const std::vector<std::string>& files() const { return files_; }
    const std::string& error() const { return error_; }

  private:
    std::vector<std::string> files_;
    std::string error_;
};

// `path` with the native folder separator at its end (unchanged when it has one).
std::string withSeparator(const std::string& path);

}  // namespace tp::app
