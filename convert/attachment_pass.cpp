#include "convert/attachment_pass.h"

#include <string_view>
#include <system_error>

#include "convert/mail_message.h"
#include "convert/paths.h"

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
        if (!part.empty() && part != ".") relative /= part;
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
    return std::filesystem::path(folder) / relative;
}

void AttachmentPass::apply(std::string& bytes, const RunOptions& options,
                           std::vector<std::string>& problems) {
    // Most messages have no attachment part: they stay exactly as they are.
    if (!MailMessage::MayHaveAttachments(bytes)) return;

    MailMessage message;
    message.LoadFromBytes(bytes);
    std::vector<std::string> names;
    if (options.attachments) {
        const int n = message.AttachmentCount();
        for (int i = 0; i < n; ++i) names.push_back(message.AttachmentName(i));
    }
    message.RemoveAllAttachments();
    if (message.changed() && messageHeaderLines(message.bytes()) < messageHeaderLines(bytes)) {
        // What would go holds a message of its own (a forwarded one, or one the
        // boundaries could not tell from an unfinished part): nothing is removed.
        // The message is whole; but when files were to be attached, they were not.
        const std::string why =
            "attachments kept in the message: a part to be removed holds a message header "
            "(a line \"MIME-Version: 1.0\"), which must not be lost";
        if (names.empty()) {
            remarks_.push_back(why);
        } else {
            problems.push_back(why + "; the files of its attachments were not added");
        }
        return;
    }

    bool folderChecked = false;
    bool folderUsable = true;
    for (const std::string& name : names) {
        std::string why;
        const auto file = attachmentFilePath(options.attachmentFolder, name, why);
        if (!file) {
            problems.push_back("attachment \"" + shown(name) + "\" not added: " + why);
            continue;
        }
        if (!folderChecked) {
            folderChecked = true;
            std::error_code ec;
            folderUsable = std::filesystem::is_directory(options.attachmentFolder, ec);
        }
        if (!folderUsable) {
            problems.push_back("attachment \"" + shown(name) +
                               "\" not added: the attachments folder " + options.attachmentFolder +
                               " is missing or unreadable");
            continue;
        }
        if (!resolvesInside(options.attachmentFolder, *file)) {
            problems.push_back("attachment \"" + shown(name) +
                               "\" not added: a symbolic link leads it out of the attachments "
                               "folder");
            continue;
        }
        const std::string failed = message.AttachFile(*file);
        if (!failed.empty())
            problems.push_back("attachment \"" + shown(name) + "\" not added: " + failed);
    }
    if (message.changed()) bytes = message.bytes();
}

std::unique_ptr<AttachmentStep> makeAttachmentPass() {
    return std::make_unique<AttachmentPass>();
}

}  // namespace tp::convert
