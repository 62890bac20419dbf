#pragma once
// The PST output: one new personal-folders store per run, one mail folder per
// mailbox directly below the top of its message tree (mailboxes of the same name
// get "Inbox", "Inbox (2)", ...), one mail item per message, imported from the
// message's RFC 822 bytes. The store is written as "<name>.pst.unfinished" and
// takes its name "<name>.pst" only once it is complete.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mapi/import.h"
#include "pst/pst.h"
#include "run/message_sink.h"

namespace tp::convert {

// The run's start time as the store's names write it: "d.m.YY H.m.ss"
// (6 December 2026, 04:07:05 gives "6.12.26 4.7.05"), in local time, or in UTC
// for a reproducible run's fixed clock (the same store on every machine).
std::string pstTimeStamp(std::chrono::system_clock::time_point when, bool utc = false);

// "IncrediMail" + stamp + ".pst" in `folder`; when that file (or its unfinished
// file) exists, the first free "IncrediMail" + stamp + " (n).pst", n = 2, 3, ...
std::filesystem::path freePstPath(const std::filesystem::path& folder, const std::string& stamp);

// The store is written on a thread of its own, a few messages behind the run:
// store() reads the message's header fields and MIME structure and queues it; the
// writer makes the item from it and adds it. A message
// the store refuses after store() has returned is handed back through takeUnkept()
// with the reason, and the run keeps it as its .eml then.
class PstSink : public MessageSink {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    explicit PstSink(Clock clock = {});
    ~PstSink() override;

    // Creates the store; false (with `error`) when it cannot be created.
    bool open(const RunOptions& options, std::string& error) override;
    // Adds the mailbox's own folder.
    void beginMailbox(const MailboxInfo& mailbox) override;
    // Reads the message and queues it for its mailbox's folder. A message that
    // cannot be read adds nothing to the store and returns false with the reason.
    bool store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
               RunObserver& observer, std::string& error) override;
    // Adds what is still queued, then finishes the store so that it opens (also
    // after a cancel). A store that cannot be finished is useless: it is removed,
    // and its messages are handed back through takeUnkept().
    void close(RunSummary& summary) override;
    std::vector<UnkeptMessage> takeUnkept() override;

    const std::filesystem::path& path() const { return path_; }

  private:
    // Where a message lies in its mailbox (the run can cut it out again).
    struct Placed {
        int row = -1;
        int number = 0;
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
    };
    struct Job {
        pst::FolderId folder = 0;
        ParsedMessage message;
        Placed where;
        std::unique_ptr<pst::Message> item;  // made by the run already (see store())
    };

    // The folder of the mailbox (by its path), or why there is none.
    std::optional<pst::FolderId> folderFor(const std::string& mailbox, std::string& error);
    // Adds one item to the store (storeMutex_ held by the caller).
    bool add(pst::FolderId folder, const pst::Message& item, std::string& error);
    void finished(const Job& job, bool ok, std::string error);
    void writeLoop();
    void stopWriting();

    Clock clock_;
    std::unique_ptr<pst::Store> store_;
    std::filesystem::path path_;
    // The store, and the folder maps below, are used by one thread at a time.
    std::mutex storeMutex_;
    std::map<std::string, pst::FolderId> folders_;     // by mailbox path
    std::map<std::string, std::string> folderErrors_;  // by mailbox path
    // The folders made so far, by parent (0: the top of the store) and lower-case
    // name; whether a mailbox has taken each (a folder of the tree may be made
    // before the mailbox of its name: Inbox/ before Inbox.imm).
    struct Made {
        pst::FolderId id = 0;
        bool mailbox = false;
    };
    std::map<std::pair<pst::FolderId, std::string>, Made> made_;
    // The folder the listed mailboxes have in common: the store mirrors the tree
    // below it (Inbox/Work.imm becomes Inbox > Work).
    std::filesystem::path commonFolder_;
    std::vector<Note> renamed_;  // mailboxes whose folder has another name, for the report

    // The queue between the run and the writer. The writer takes a few messages at
    // a time; the run wakes it only when some have gathered or when it must wait
    // for room itself. While the writer is behind (a backlog in the queue), the run
    // makes the items of the messages it queues itself: the two share the work. Parsed messages go
    // back to the run to be freed (`spent_`): their memory is taken and given back by the same
    // thread.
    std::mutex queueMutex_;
    std::condition_variable work_;  // writerIdle_ cleared, or ending_
    std::condition_variable room_;  // the queue shrank
    std::deque<Job> queue_;
    std::vector<Job> spent_;
    std::size_t queuedWeight_ = 0;
    bool writerIdle_ = false;
    bool runWaiting_ = false;
    bool ending_ = false;
    std::thread writer_;

    // Guarded by queueMutex_ while the writer runs. The messages added so far,
    // where each lies in its mailbox: when the store cannot be finished, the run
    // keeps every one of them as its .eml instead. And those the store refused.
    std::vector<Placed> added_;
    std::vector<UnkeptMessage> refused_;
    std::vector<UnkeptMessage> unkept_;
    std::vector<Note> undated_;  // messages stored without a time, for the report
    ThreadBook threads_;         // the run's conversations (the run's thread alone)
};

std::unique_ptr<MessageSink> makePstSink();

}  // namespace tp::convert
