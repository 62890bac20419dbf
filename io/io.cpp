// The parts of the output calls that are the same on every system: why a write
// was refused, what an error says, and the calls made of the folder calls.
#include "io/io.h"

#include <cerrno>
#include <utility>

#include "io/file.h"
#include "io/paths.h"

namespace tp::io {

namespace {

class RefusalCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "tp.io.refusal"; }
    std::string message(int code) const override {
        switch (static_cast<Refusal>(code)) {
            case Refusal::LinkInTheWay:
                return "a symbolic link stands in its place, and nothing is written through links";
            case Refusal::OtherNames:
                return "the file has other names (hard links), which would change with it";
            case Refusal::NotAFile:
                return "something other than a file stands in its place";
            case Refusal::OutsideTheRoot:
                return "it does not lie inside the output folder";
        }
        return "refused";
    }
};

}  // namespace

// What a File is on every system; opening, reading and closing are the
// system's own (file_posix.cpp, file_windows.cpp).
File::~File() {
    close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
}

std::filesystem::path plainPath(const std::filesystem::path& p) {
    std::filesystem::path n = p.lexically_normal();
    if (!n.has_filename() && n.has_relative_path()) n = n.parent_path();
    return n;
}

std::filesystem::path partBelow(const std::filesystem::path& root,
                                const std::filesystem::path& path) {
    std::filesystem::path below = plainPath(path).lexically_relative(plainPath(root));
    if (below.empty() || *below.begin() == "..") return {};
    return below;
}

const std::error_category& refusalCategory() {
    static const RefusalCategory category;
    return category;
}

std::error_code make_error_code(Refusal r) {
    return {static_cast<int>(r), refusalCategory()};
}

std::error_code writeFile(const std::filesystem::path& path, std::string_view data) {
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    Folder folder;
    if (auto ec = folder.open(parent, parent, false)) return ec;
    return folder.writeFile(utf8Of(path.filename()), data);
}

std::error_code AppendFile::open(const std::filesystem::path& path, bool createNew) {
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    Folder folder;
    if (auto ec = folder.open(parent, parent, false)) return ec;
    return open(folder, utf8Of(path.filename()), createNew);
}

bool outOfRoomOrRights(const std::error_code& ec) {
    if (ec.category() != std::generic_category() && ec.category() != std::system_category())
        return false;
    if (ec == std::errc::no_space_on_device || ec == std::errc::read_only_file_system ||
        ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted)
        return true;
#ifdef EDQUOT
    if (ec.value() == EDQUOT) return true;
#endif
    return false;
}

std::string describe(const std::error_code& ec) {
    return ec ? ec.message() : "no error";
}

}  // namespace tp::io
