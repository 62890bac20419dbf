#include "outputs/pst_sink.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>

#include "io/io.h"
#include "io/paths.h"
#include "io/system.h"
#include "mail/date.h"
#include "mail/mail_message.h"
#include "mapi/import.h"

namespace tp::convert {

std::string pstTimeStamp(std::chrono::system_clock::time_point when, bool utc) {
    std::int64_t t = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count();
    if (!utc) t += io::localOffsetAt(t);
    const CivilTime c = civilTimeOf(t);
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%02d %u.%u.%02u", c.day, c.month,
                  ((c.year % 100) + 100) % 100, c.hour, c.minute, c.second);
    return text;
}

std::filesystem::path unfinishedPath(const std::filesystem::path& path) {
    std::filesystem::path unfinished = path;
    unfinished += ".unfinished";
    return unfinished;
}

std::filesystem::path freePstPath(const std::filesystem::path& folder, const std::string& stamp) {
    std::error_code ec;
    std::filesystem::path path = folder / ("IncrediMail" + stamp + ".pst");
    // Free for the store and for its unfinished file. An unreadable folder ends the
    // search; creating the store then says why.
    auto taken = [&](const std::filesystem::path& p) {
        return std::filesystem::exists(std::filesystem::symlink_status(p, ec)) ||
               std::filesystem::exists(std::filesystem::symlink_status(unfinishedPath(p), ec));
    };
    for (int n = 2; taken(path) && !ec; ++n) {
        path = folder / ("IncrediMail" + stamp + " (" + std::to_string(n) + ").pst");
    }
    return path;
}

PstSink::PstSink(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] {
            // A reproducible run (SOURCE_DATE_EPOCH) names its store by the fixed time.
            if (const auto fixed = pst::fixedClock()) {
                const auto since1970 = std::chrono::microseconds(
                    std::int64_t(fixed->ticks / 10) - std::int64_t(11644473600LL) * 1000000);
                return std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(since1970));
            }
            return std::chrono::system_clock::now();
        };
    }
}

namespace {

// How far the writer may fall behind: items, and (roughly) bytes held by them.
constexpr std::size_t kQueuedItems = 64;
constexpr std::size_t kQueuedWeight = std::size_t(48) << 20;
// The writer is woken when this many items are waiting (or when the run must wait),
// and takes at most this many at a time.
constexpr std::size_t kWakeBatch = 8;
// From this backlog on, the run makes the items itself.
constexpr std::size_t kBacklog = 16;

}  // namespace

PstSink::~PstSink() {
    stopWriting();
    // A sink dropped without close() still leaves a store that opens.
    if (store_) {
        std::string error;
        store_->close(error);
    }
}

namespace {

// The folder all the listed mailboxes lie in (empty when none is listed).
std::filesystem::path commonFolderOf(const std::vector<std::string>& mailboxes) {
    std::filesystem::path common;
    bool first = true;
    for (const std::string& listed : mailboxes) {
        if (listed.empty()) continue;
        std::error_code ec;
        const std::filesystem::path folder = std::filesystem::absolute(io::pathFromUtf8(listed), ec)
                                                 .lexically_normal()
                                                 .parent_path();
        if (ec) continue;
        if (first) {
            common = folder;
            first = false;
            continue;
        }
        std::filesystem::path shared;
        auto a = common.begin();
        auto b = folder.begin();
        for (; a != common.end() && b != folder.end() && *a == *b; ++a, ++b) shared /= *a;
        common = shared;
    }
    return common;
}

// The names of the folders from `common` down to the mailbox file's folder.
std::vector<std::string> foldersBetween(const std::filesystem::path& common,
                                        const std::string& mailbox) {
    std::vector<std::string> steps;
    std::error_code ec;
    const std::filesystem::path folder =
        std::filesystem::absolute(io::pathFromUtf8(mailbox), ec).lexically_normal().parent_path();
    if (ec || common.empty()) return steps;
    const std::filesystem::path below = folder.lexically_relative(common);
    for (const auto& part : below) {
        const std::string step = io::utf8Of(part);
        if (step.empty() || step == "." || step == "..") return {};
        steps.push_back(step);
    }
    return steps;
}

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

bool PstSink::open(const RunOptions& options, std::string& error) {
    const std::string stamp = pstTimeStamp(clock_(), pst::fixedClock().has_value());
    const std::string displayName = "IncrediMail Mailbox : Created - " + stamp;
    // A file that exists is never overwritten: a second run within the same second
    // gets "... (2).pst". Creation refuses an existing file, so a file appearing
    // between the check and the creation only moves us on to the next name.
    // The store is written under a name that says it is unfinished (and that
    // Outlook's File -> Open does not offer); close() gives it its name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = freePstPath(options.outputFolder, stamp);
        error.clear();
        store_ = pst::Store::create(unfinishedPath(path_), displayName, error);
        if (store_) break;
        std::error_code ec;
        if (!std::filesystem::exists(unfinishedPath(path_), ec)) break;
    }
    if (!store_) {
        if (error.empty()) error = "the personal folders file could not be created";
        error = "the store " + io::utf8Of(path_) + " could not be created: " + error;
        return false;
    }
    io::setUnfinishedFile(unfinishedPath(path_));
    commonFolder_ = commonFolderOf(options.mailboxes);
    try {
        writer_ = std::thread([this] { writeLoop(); });
    } catch (const std::system_error&) {
        // No thread to be had: store() then adds each message itself.
    }
    return true;
}

void PstSink::beginMailbox(const MailboxInfo& mailbox) {
    std::lock_guard<std::mutex> lock(storeMutex_);
    if (!store_ || folders_.count(mailbox.path)) return;
    std::string error;
    // The folders of the tree between the common folder and the mailbox's file.
    pst::FolderId parent = 0;
    std::string shownPath;
    for (const std::string& step : foldersBetween(commonFolder_, mailbox.path)) {
        const auto key = std::make_pair(parent, lowerAscii(step));
        if (auto it = made_.find(key); it != made_.end()) {
            parent = it->second.id;
        } else {
            auto id = parent == 0 ? store_->addFolder(step, error)
                                  : store_->addFolder(parent, step, error);
            if (!id) {
                folderErrors_[mailbox.path] = "the folder \"" + step + "\" could not be added" +
                                              (error.empty() ? std::string() : ": " + error);
                return;
            }
            made_[key] = Made{*id, false};
            parent = *id;
        }
        shownPath += step + " > ";
    }
    // Each mailbox has a folder of its own. A name an earlier mailbox of this run
    // has taken beside it (Outlook does not tell "inbox" from "Inbox") gives
    // "Inbox (2)", ...; a folder of the tree of that name is the mailbox's.
    std::string name = mailbox.name;
    for (int n = 2;; ++n) {
        auto it = made_.find(std::make_pair(parent, lowerAscii(name)));
        if (it == made_.end()) break;
        if (!it->second.mailbox) {
            it->second.mailbox = true;
            folders_[mailbox.path] = it->second.id;
            folderErrors_.erase(mailbox.path);
            return;
        }
        name = mailbox.name + " (" + std::to_string(n) + ")";
    }
    if (name != mailbox.name) {
        renamed_.push_back(Note{mailbox.path, "the folder of " + mailbox.path +
                                                  " in the store is named \"" + shownPath + name +
                                                  "\": an earlier mailbox has the name \"" +
                                                  mailbox.name + "\""});
    }
    // A folder the new store has already (Deleted Items) takes the mailbox of its name.
    if (parent == 0) {
        if (auto existing = store_->findFolder(name);
            existing && name.find('\\') == std::string::npos) {
            made_[std::make_pair(parent, lowerAscii(name))] = Made{*existing, true};
            folders_[mailbox.path] = *existing;
            return;
        }
    }
    auto id = parent == 0 ? store_->addFolder(name, error) : store_->addFolder(parent, name, error);
    if (id) {
        made_[std::make_pair(parent, lowerAscii(name))] = Made{*id, true};
        folders_[mailbox.path] = *id;
        folderErrors_.erase(mailbox.path);
    } else {
        folderErrors_[mailbox.path] = "the folder \"" + name + "\" could not be added" +
                                      (error.empty() ? std::string() : ": " + error);
    }
}

std::optional<pst::FolderId> PstSink::folderFor(const std::string& mailbox, std::string& error) {
    if (auto it = folders_.find(mailbox); it != folders_.end()) return it->second;
    auto failed = folderErrors_.find(mailbox);
    error =
        failed != folderErrors_.end() ? failed->second : "the mailbox has no folder in the store";
    return std::nullopt;
}

bool PstSink::add(pst::FolderId folder, const pst::Message& item, std::string& error) {
    std::string why;
    if (!store_->addMessage(folder, item, why)) {
        error = "the message could not be added to the personal folders file: " + why;
        return false;
    }
    return true;
}

void PstSink::finished(const Job& job, bool ok, std::string error) {
    const Placed& w = job.where;
    if (ok) {
        added_.push_back(w);
    } else {
        if (error.empty()) error = "the message could not be added to the personal folders file";
        refused_.push_back(UnkeptMessage{w.row, w.number, w.offset, w.size, std::move(error)});
    }
}

bool PstSink::store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
                    RunObserver& /*observer*/, std::string& error) {
    if (!store_) {
        error = "the personal folders file is not open";
        return false;
    }
    // The run alone adds folders, so it may look at the map without the lock.
    const std::optional<pst::FolderId> folder = folderFor(mailbox.path, error);
    if (!folder) return false;
    // The item is built completely before it is added: a message that cannot be
    // read adds nothing (no empty item).
    Job job;
    std::string why;
    ImportOptions options{currentFileTime()};
    options.threads = &threads_;
    if (!parseMessage(bytes, job.message, why, options)) {
        error = "the message could not be imported: " + why;
        return false;
    }
    if (job.message.undated()) {
        // A remark on the message: it is stored, but shows no time in Outlook.
        MailMessage header;
        header.LoadFromBytes(MailMessage::HeaderBlock(bytes));
        undated_.push_back(Note{mailbox.path,
                                "no date (no Received or Date field); it was stored without one",
                                false, message.number, header.Subject()});
    }
    job.folder = *folder;
    job.where = Placed{mailbox.row, message.number, message.offset, message.size};

    if (!writer_.joinable()) {
        pst::Message item;
        fillMessage(job.message, item);
        std::lock_guard<std::mutex> lock(storeMutex_);
        const bool ok = add(job.folder, item, error);
        if (ok) added_.push_back(job.where);
        return ok;
    }
    std::vector<Job> spent;
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        auto roomFor = [&] {
            return queue_.empty() || (queue_.size() < kQueuedItems &&
                                      queuedWeight_ + job.message.size() <= kQueuedWeight);
        };
        if (queue_.size() >= kBacklog) {
            // The writer is behind: make the item here.
            lock.unlock();
            job.item = std::make_unique<pst::Message>();
            fillMessage(job.message, *job.item);
            lock.lock();
        }
        if (!roomFor()) {
            if (writerIdle_) {
                writerIdle_ = false;
                work_.notify_one();
            }
            runWaiting_ = true;
            room_.wait(lock, roomFor);
            runWaiting_ = false;
        }
        const std::size_t weight = job.message.size();
        queue_.push_back(std::move(job));
        queuedWeight_ += weight;
        spent.swap(spent_);
        if (writerIdle_ && queue_.size() >= kWakeBatch) {
            writerIdle_ = false;
            wake = true;
        }
    }
    if (wake) work_.notify_one();
    return true;  // `spent` is freed here, by the thread that built it
}

void PstSink::writeLoop() {
    // Allocated once: nothing on this thread outside the store's own work may fail.
    std::vector<Job> batch;
    batch.reserve(kWakeBatch);
    std::vector<std::pair<bool, std::string>> results;
    results.reserve(kWakeBatch);
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        if (queue_.empty()) {
            if (ending_) return;
            writerIdle_ = true;
            work_.wait(lock, [&] { return !writerIdle_ || ending_; });
            writerIdle_ = false;
            continue;
        }
        const std::size_t take = std::min(queue_.size(), kWakeBatch);
        for (std::size_t i = 0; i < take; ++i) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        lock.unlock();

        results.assign(batch.size(), {false, std::string()});
        for (std::size_t i = 0; i < batch.size(); ++i) {
            auto& [ok, error] = results[i];
            try {
                pst::Message made;
                const pst::Message* item = batch[i].item.get();
                if (item == nullptr) {
                    fillMessage(batch[i].message, made);
                    item = &made;
                }
                std::lock_guard<std::mutex> storeLock(storeMutex_);
                ok = add(batch[i].folder, *item, error);
            } catch (const std::exception& e) {
                error = std::string(
                            "the message could not be added to the personal folders "
                            "file: ") +
                        e.what();
            }
        }

        lock.lock();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            queuedWeight_ -= batch[i].message.size();
            try {
                finished(batch[i], results[i].first, std::move(results[i].second));
                spent_.push_back(std::move(batch[i]));
            } catch (const std::bad_alloc&) {
                // No memory for one more entry: had the store not been finished, this
                // message could not have been handed back. (Or the job is freed here
                // rather than by the run.)
            }
        }
        batch.clear();
        if (runWaiting_) room_.notify_one();
    }
}

void PstSink::stopWriting() {
    if (!writer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        ending_ = true;
    }
    work_.notify_one();
    writer_.join();
    spent_.clear();
}

void PstSink::close(RunSummary& summary) {
    stopWriting();
    summary.notes.insert(summary.notes.end(), renamed_.begin(), renamed_.end());
    summary.notes.insert(summary.notes.end(), undated_.begin(), undated_.end());
    renamed_.clear();
    undated_.clear();
    if (!store_) return;
    std::string error;
    const bool ok = store_->close(error);
    store_.reset();
    unkept_ = std::move(refused_);
    refused_ = {};
    const std::filesystem::path unfinished = unfinishedPath(path_);
    if (ok) {
        // Complete: the store takes its name (the next free one, should a file of
        // that name have appeared meanwhile). Only now is there a .pst to open.
        std::error_code ec;
        for (int attempt = 0; attempt < 100; ++attempt) {
            ec = io::renameNoReplace(unfinished, path_);
            if (ec != std::errc::file_exists) break;
            path_ = freePstPath(path_.parent_path(), pstTimeStamp(clock_()));
        }
        if (!ec) {
            io::setUnfinishedFile({});
            summary.pstFile = path_;
            added_ = {};
            return;
        }
        // A store that cannot have its name is taken for one not finished: its
        // messages are kept one by one instead, and no odd file is left.
        error = "it could not be named " + io::utf8Of(path_) + " (" + io::describe(ec) + ")";
    }
    io::setUnfinishedFile({});
    path_ = unfinished;
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
                io::utf8Of(path_) + " could not be finished: " +
                    (error.empty() ? std::string("unknown error") : error) + "; " + fate +
                    (added_.empty() ? std::string()
                                    : "; the " + std::to_string(added_.size()) +
                                          (added_.size() == 1 ? " message" : " messages") +
                                          " written into it are listed one by one")});
    unkept_.reserve(unkept_.size() + added_.size());
    for (const Placed& w : added_)
        unkept_.push_back(UnkeptMessage{w.row, w.number, w.offset, w.size, {}});
    added_ = {};
    // In mailbox order: the run reads each mailbox once more, front to back.
    std::stable_sort(unkept_.begin(), unkept_.end(),
                     [](const UnkeptMessage& a, const UnkeptMessage& b) {
                         return a.row != b.row ? a.row < b.row : a.number < b.number;
                     });
}

std::vector<UnkeptMessage> PstSink::takeUnkept() {
    return std::exchange(unkept_, {});
}

std::unique_ptr<MessageSink> makePstSink() {
    return std::make_unique<PstSink>();
}

}  // namespace tp::convert
