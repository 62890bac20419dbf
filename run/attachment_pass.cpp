#include "run/attachment_pass.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include "io/paths.h"
#include "mail/mail_message.h"

namespace tp::convert {

namespace {
// The name as it can be shown in the failure report: control characters (a NUL
// among them) become "?".
std::string shown(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}
// The line-start "MIME-Version: 1.0" lines of a message: each is part of a header
// block of a message (the mailbox's boundaries are cut at them).
std::size_t messageHeaderLines(std::string_view bytes) {
    static constexpr std::string_view kLine = "MIME-Version: 1.0";
    std::size_t n = 0;
    for (std::size_t at = bytes.find(kLine); at != std::string_view::npos;
         at = bytes.find(kLine, at + 1)) {
        if (at == 0 || bytes[at - 1] == '\n' || bytes[at - 1] == '\r') ++n;
    }
    return n;
}
}  // namespace

std::optional<std::filesystem::path> attachmentFilePath(const std::string& folder,
                                                        const std::string& name, std::string& why) {
    if (name.empty()) {
        why = "the attachment has no file name";
        return std::nullopt;
    }
    if (name.find('\0') != std::string::npos) {
        why = "the attachment name holds a NUL character";
        return std::nullopt;
    }
    if (name[0] == '/' || name[0] == '\\') {
        why = "the attachment name is an absolute path";
        return std::nullopt;
    }
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
        why = "the attachment name starts with a drive";
        return std::nullopt;
    }
    std::filesystem::path relative;
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t sep = name.find_first_of("/\\", pos);
        if (sep == std::string::npos) sep = name.size();
        const std::string part = name.substr(pos, sep - pos);
        if (part == "..") {
            why = "the attachment name leads out of the attachments folder";
            return std::nullopt;
        }
        if (!part.empty() && part != ".") relative /= io::pathFromUtf8(part);
        pos = sep + 1;
    }
    if (relative.empty()) {
        why = "the attachment name is no file name";
        return std::nullopt;
    }
    if (folder.empty()) {
        why = "no attachments folder was given";
        return std::nullopt;
    }
    return io::pathFromUtf8(folder) / relative;
}

namespace {
// What became of the look for one attachment's file.
enum class Found { File, Absent, Failed };

// Reads the file of attachment `name` from the attachments folder into `data`.
// Absent (with `why`): the file is not there to be had, which is no failure of the
// run; Failed (with `why`): the folder or the file could not be read.
Found readAttachmentFile(const RunOptions& options, bool folderUsable, const std::string& name,
                         std::string& data, std::string& fileName, std::string& why) {
    const auto file = attachmentFilePath(options.attachmentFolder, name, why);
    if (!file) return Found::Absent;
    if (!folderUsable) {
        why = "the attachments folder " + options.attachmentFolder + " is missing or unreadable";
        return Found::Failed;
    }
    if (!resolvesInside(io::pathFromUtf8(options.attachmentFolder), *file)) {
        why = "a symbolic link leads it out of the attachments folder";
        return Found::Absent;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(*file, ec);
    if (ec || !std::filesystem::exists(status)) {
        why = "not in the attachments folder";
        return Found::Absent;
    }
    if (!std::filesystem::is_regular_file(status)) {
        why = "in the attachments folder it is no file";
        return Found::Absent;
    }
    std::ifstream in(*file, std::ios::binary);
    if (!in) {
        why = "cannot read " + file->string() + ": " + std::strerror(errno);
        return Found::Failed;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        why = "cannot read " + file->string();
        return Found::Failed;
    }
    data = std::move(all).str();
    fileName = io::utf8Of(file->filename());
    return Found::File;
}
}  // namespace

void AttachmentPass::apply(std::string& bytes, const RunOptions& options,
                           std::vector<std::string>& problems) {
    // Most messages have no attachment part: they stay exactly as they are.
    if (!MailMessage::MayHaveAttachments(bytes)) return;

    MailMessage message;
    message.LoadFromBytes(bytes);
    const int n = message.AttachmentCount();
    if (n == 0) return;

    // A part that holds its content stays as it is, unless the attachments folder
    // has a file of its name to take its place. A part without content (what the
    // mailbox keeps when the file was stored beside it) goes; its file comes back
    // from the folder when it is there, and the report names it when it is not.
    const bool folderGiven = options.attachments && !options.attachmentFolder.empty();
    bool folderUsable = false;
    if (folderGiven) {
        std::error_code ec;
        folderUsable =
            std::filesystem::is_directory(io::pathFromUtf8(options.attachmentFolder), ec);
    }
    struct Replacement {
        std::string fileName;
        std::string data;
    };
    std::vector<bool> remove(static_cast<std::size_t>(n), false);
    std::vector<std::optional<Replacement>> files(static_cast<std::size_t>(n));
    std::vector<std::string> notBack;  // remarks: parts removed without their file
    std::vector<std::string> failed;   // problems: files that could not be read
    for (int i = 0; i < n; ++i) {
        const auto at = static_cast<std::size_t>(i);
        // A part that holds its content keeps it: a file of the same name in the
        // folder may well be another message's (image001.jpg, smime.p7s), and
        // would silently take the place of what this message holds.
        if (message.AttachmentHasContent(i)) continue;
        const std::string name = message.AttachmentName(i);
        remove[at] = true;
        std::string why;
        Found found = Found::Absent;
        if (!folderGiven) {
            why = "no attachments folder given";
        } else {
            Replacement file;
            found = readAttachmentFile(options, folderUsable, name, file.data, file.fileName, why);
            if (found == Found::File) {
                files[at] = std::move(file);
                continue;
            }
        }
        if (found == Found::Failed) {
            failed.push_back("attachment \"" + shown(name) + "\" not added: " + why);
        } else {
            notBack.push_back("attachment \"" + shown(name) + "\" could not be put back: " + why);
        }
    }
    if (std::none_of(remove.begin(), remove.end(), [](bool b) { return b; })) return;

    message.RemoveAttachments(remove);
    if (message.changed() && messageHeaderLines(message.bytes()) < messageHeaderLines(bytes)) {
        // What would go holds a message of its own (a forwarded one, or one the
        // boundaries could not tell from an unfinished part): nothing is removed.
        // The message is whole; but when files were to be attached, they were not.
        const std::string why =
            "attachments kept in the message: a part to be removed holds a message header "
            "(a line \"MIME-Version: 1.0\"), which must not be lost";
        const bool filesToAdd =
            std::any_of(files.begin(), files.end(), [](const auto& f) { return f.has_value(); });
        if (filesToAdd) {
            problems.push_back(why + "; the files of its attachments were not added");
        } else {
            remarks_.push_back(why);
        }
        return;
    }
    for (auto& file : files)
        if (file) message.AttachData(file->fileName, file->data);
    problems.insert(problems.end(), failed.begin(), failed.end());
    remarks_.insert(remarks_.end(), notBack.begin(), notBack.end());
    if (message.changed()) bytes = message.bytes();
}

std::unique_ptr<AttachmentStep> makeAttachmentPass() {
    return std::make_unique<AttachmentPass>();
}

}  // namespace tp::convert
