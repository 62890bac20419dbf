#pragma once
// The PST output: one new personal-folders store per run, one mail folder per
// mailbox name directly below the top of its message tree, one mail item per
// message, imported from the message's RFC 822 bytes.
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convert/message_sink.h"
#include "pst/pst.h"

namespace tp::convert {

// The run's start time as the store's names write it: "d.m.YY H.m.ss"
// (6 December 2026, 04:07:05 gives "6.12.26 4.7.05"), in local time.
std::string pstTimeStamp(std::chrono::system_clock::time_point when);

// "IncrediMail" + stamp + ".pst" in `folder`; when that file exists, the first free
// "IncrediMail" + stamp + " (n).pst", n = 2, 3, ...
std::filesystem::path freePstPath(const std::filesystem::path& folder, const std::string& stamp);

class PstSink : public MessageSink {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    explicit PstSink(Clock clock = {});
    ~PstSink() override;

    // Creates the store; false (with `error`) when it cannot be created.
    bool open(const RunOptions& options, std::string& error) override;
    // Adds the mailbox's folder unless a folder of that name is already there.
    void beginMailbox(const MailboxInfo& mailbox) override;
    // Imports the message into the mailbox's folder. A message that cannot be read or
    // written adds nothing to the store and returns false with the reason.
    bool store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
               RunObserver& observer, std::string& error) override;
    // Finishes the store so that it opens (also after a cancel). A store that cannot
    // be finished is useless: it is removed, and its messages are handed back
    // through takeUnkept().
    void close(RunSummary& summary) override;
    std::vector<UnkeptMessage> takeUnkept() override;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::optional<pst::FolderId> folderFor(const std::string& name, std::string& error);

    Clock clock_;
    std::unique_ptr<pst::Store> store_;
    std::filesystem::path path_;
    std::map<std::string, pst::FolderId> folders_;
    std::map<std::string, std::string> folderErrors_;
    // The messages added so far, where each lies in its mailbox: when the store
    // cannot be finished, the run keeps every one of them as its .eml instead.
    std::vector<UnkeptMessage> added_;
    std::vector<UnkeptMessage> unkept_;
};

std::unique_ptr<MessageSink> makePstSink();

}  // namespace tp::convert
