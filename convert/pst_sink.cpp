#include "convert/pst_sink.h"

#include <ctime>
#include <system_error>

#include "convert/io.h"
#include "convert/pst_import.h"

namespace tp::convert {

std::string pstTimeStamp(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::filesystem::path freePstPath(const std::filesystem::path& folder, const std::string& stamp) {
    std::error_code ec;
    std::filesystem::path path = folder / ("IncrediMail" + stamp + ".pst");
    // An unreadable folder ends the search; creating the store then says why.
    for (int n = 2; std::filesystem::exists(path, ec) && !ec; ++n) {
        path = folder / ("IncrediMail" + stamp + " (" + std::to_string(n) + ").pst");
    }
    return path;
}

PstSink::PstSink(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return std::chrono::system_clock::now(); };
}

PstSink::~PstSink() {
    // A sink dropped without close() still leaves a store that opens.
    if (store_) {
        std::string error;
        store_->close(error);
    }
}

bool PstSink::open(const RunOptions& options, std::string& error) {
    const std::string stamp = pstTimeStamp(clock_());
    const std::string displayName = "IncrediMail Mailbox : Created - " + stamp;
    // A file that exists is never overwritten: a second run within the same second
    // gets "... (2).pst". Creation refuses an existing file, so a file appearing
    // between the check and the creation only moves us on to the next name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = freePstPath(options.outputFolder, stamp);
        error.clear();
        store_ = pst::Store::create(path_, displayName, error);
        if (store_) return true;
        std::error_code ec;
        if (!std::filesystem::exists(path_, ec)) break;
    }
    if (error.empty()) error = "the personal folders file could not be created";
    error = path_.string() + ": " + error;
    return false;
}

void PstSink::beginMailbox(const MailboxInfo& mailbox) {
    if (!store_ || folders_.count(mailbox.name)) return;
    // Two mailboxes of the same name share one folder.
    if (auto existing = store_->findFolder(mailbox.name);
        existing && mailbox.name.find('\\') == std::string::npos) {
        folders_[mailbox.name] = *existing;
        return;
    }
    std::string error;
    if (auto id = store_->addFolder(mailbox.name, error)) {
        folders_[mailbox.name] = *id;
        folderErrors_.erase(mailbox.name);
    } else {
        folderErrors_[mailbox.name] = error.empty() ? "the folder could not be added" : error;
    }
}

std::optional<pst::FolderId> PstSink::folderFor(const std::string& name, std::string& error) {
    // The folder path inside the store: "\\" + display name + "\" + mailbox name. A
    // name that itself holds "\" cannot be looked up by path; the folder added for it
    // is used.
    if (name.find('\\') == std::string::npos) {
        if (auto id = store_->findFolder("\\\\" + store_->displayName() + "\\" + name)) return id;
    }
    if (auto it = folders_.find(name); it != folders_.end()) return it->second;
    auto failed = folderErrors_.find(name);
    error = "the folder \"" + name + "\" is missing from the store" +
            (failed != folderErrors_.end() ? ": " + failed->second : std::string());
    return std::nullopt;
}

bool PstSink::store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
                    RunObserver& /*observer*/, std::string& error) {
    if (!store_) {
        error = "the personal folders file is not open";
        return false;
    }
    auto folder = folderFor(mailbox.name, error);
    if (!folder) return false;
    // The item is built completely before it is added: a message that cannot be
    // read adds nothing (no empty item).
    pst::Message item;
    std::string why;
    if (!importMessage(bytes, item, why)) {
        error = "the message could not be imported: " + why;
        return false;
    }
    if (!store_->addMessage(*folder, item, why)) {
        error = "the message could not be added to the personal folders file: " + why;
        return false;
    }
    added_.push_back(UnkeptMessage{mailbox.row, message.number, message.offset, message.size});
    return true;
}

void PstSink::close(RunSummary& summary) {
    if (!store_) return;
    std::string error;
    const bool ok = store_->close(error);
    store_.reset();
    if (ok) {
        summary.pstFile = path_;
        added_ = {};
        return;
    }
    // Without its header the file opens nowhere; it only takes space (perhaps the
    // very space that ran out). Remove it; if even that fails, empty it, so that
    // nothing is left that looks like a store.
    std::string fate = "the file was removed";
    if (std::error_code ec = io::removeFile(path_)) {
        std::error_code ec2;
        std::filesystem::resize_file(path_, 0, ec2);
        fate = "the file could not be removed (" + io::describe(ec) + ")" +
               (ec2 ? ", nor emptied (" + io::describe(ec2) + "); it is not a usable store"
                    : std::string(", so it was emptied"));
    }
    summary.failures.push_back(
        Failure{"", 0, "pst",
                path_.string() + " could not be finished: " +
                    (error.empty() ? std::string("unknown error") : error) + "; " + fate +
                    (added_.empty() ? std::string()
                                    : "; the " + std::to_string(added_.size()) +
                                          (added_.size() == 1 ? " message" : " messages") +
                                          " written into it are listed one by one")});
    unkept_ = std::move(added_);
    added_ = {};
}

std::vector<UnkeptMessage> PstSink::takeUnkept() {
    return std::exchange(unkept_, {});
}

std::unique_ptr<MessageSink> makePstSink() {
    return std::make_unique<PstSink>();
}

}  // namespace tp::convert
