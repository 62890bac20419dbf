#pragma once
// Every file the run writes goes through here: one seam where tests inject
// failures (a full disk, a folder turned read-only) at any write, and at any
// read of a mailbox.
//
// Writes stay inside the output folder: below it, folders are entered one at a
// time without following a link (on POSIX relative to the folder above with
// O_DIRECTORY | O_NOFOLLOW; on Windows every level is opened as itself, refused
// when it is a reparse point, and held open, undeletable, while files are
// written into it), and files are opened without following a link, so a link
// placed anywhere in the output tree never leads a write out of it.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "io/fault.h"

namespace tp::io {

// Why a write was refused: what stands in the output tree where it would write.
enum class Refusal {
    LinkInTheWay = 1,  // a symbolic link where a folder belongs or a file is added to
    OtherNames,        // a file that has other names (hard links) is added to
    NotAFile,          // neither a regular file nor missing
    OutsideTheRoot,    // the path does not lie below the output folder
};
const std::error_category& refusalCategory();
std::error_code make_error_code(Refusal r);

// `p` in normal form without a final separator.
std::filesystem::path plainPath(const std::filesystem::path& p);
// The part of `path` below `root`, as a plain list of names (both taken as
// plainPath gives them): "." for `root` itself, empty when `path` lies outside it.
std::filesystem::path partBelow(const std::filesystem::path& root,
                                const std::filesystem::path& path);

// A folder of the output tree, held open while files are written into it.
class Folder {
  public:
    Folder() = default;
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens `path`, which lies at or below `root` (the output folder the user
    // chose, which may itself be reached through links). With `create`, missing
    // folders are made (`root` too). A symbolic link or a file in the way is
    // refused; the error is kept and returned by every later write.
    std::error_code open(const std::filesystem::path& root, const std::filesystem::path& path,
                         bool create);
    void close();
    bool isOpen() const { return handle_ != -1; }
    const std::filesystem::path& path() const { return path_; }
    std::error_code error() const;

    // Creates or replaces the file `name` in this folder and writes `data`. A
    // symbolic link, or a file with other names, in its place is removed first,
    // never written through. On failure nothing partial is left behind.
    std::error_code writeFile(const std::string& name, std::string_view data) const;
    // Creates the file `name`, which must not exist yet (anything in its place,
    // a link too, gives file_exists), and writes `data`. On failure nothing
    // partial is left behind.
    std::error_code createFile(const std::string& name, std::string_view data) const;
    // Removes the file `name` (a link is removed itself, not what it names).
    std::error_code removeFile(const std::string& name) const;

  private:
    friend class AppendFile;
    std::intptr_t handle_ = -1;         // the folder: a descriptor, or a HANDLE
    std::vector<std::intptr_t> above_;  // Windows: the folders on its way, held
    std::filesystem::path path_;
    std::error_code error_;
};

// Creates or replaces `path` and writes `data`, as Folder::writeFile does in the
// folder that holds it. On failure nothing partial is left behind (the file is
// removed) and the error says why.
std::error_code writeFile(const std::filesystem::path& path, std::string_view data);

// An append-only file (MBOX). Each record is written whole or, on failure, cut
// back to where it began, so the file always ends on a record boundary. It is
// never opened through a symbolic link, and a file with other names (hard
// links) is not added to.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    // With `createNew`, the file must not exist yet (file_exists otherwise): an
    // earlier file of that name is never added to.
    std::error_code open(const Folder& folder, const std::string& name, bool createNew = false);
    std::error_code open(const std::filesystem::path& path, bool createNew = false);
    std::error_code appendRecord(std::string_view record);
    std::error_code close();
    bool isOpen() const { return handle_ != -1; }

  private:
    std::intptr_t handle_ = -1;
    std::filesystem::path path_;
};

std::error_code removeFile(const std::filesystem::path& path);
// Gives `from` the name `to`, which must not exist (file_exists otherwise); never
// replaces a file.
std::error_code renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The file being written under a name that says it is unfinished (the store).
// Empty path: none.
void setUnfinishedFile(const std::filesystem::path& path);
// For an abort (a second Ctrl-C), safe to call from a signal handler: removes
// the unfinished file, and undoes the write under way, so that no file is left
// cut short: a file being written whole is removed, a record being appended is
// cut away.
void abandonUnfinished() noexcept;

std::string describe(const std::error_code& ec);
// Whether a write failed for want of space (a full disk, a quota) or of the right
// to write (a read-only file system, a folder the user may not write): every
// write after it would fail the same way.
bool outOfRoomOrRights(const std::error_code& ec);

}  // namespace tp::io

template <>
struct std::is_error_code_enum<tp::io::Refusal> : std::true_type {};
