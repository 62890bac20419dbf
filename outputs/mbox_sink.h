#pragma once
// The MBOX output: one <MailboxName>.mbox per mailbox (" (2)" and on when an
// earlier run left a file of that name), in its mailbox output folder, one record per message
// (mboxrd: "From " lines in the text are quoted with one more ">", so every reader splits the file
// where it was joined).
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "io/io.h"
#include "run/message_sink.h"

namespace tp::convert {

// "Sun Dec 06 04:57:45 2026" (UTC, English names).
std::string mboxDate(std::chrono::system_clock::time_point when);

// One whole record: the separator line "From <sender> <date>", the message's
// lines each ended with CR LF (a line ends at CR LF or a lone CR), then an empty
// line. The date is the Date header's, else the first Received header's, else
// `fallback`. `textLength` receives the length of the message lines as written.
std::string mboxRecord(std::string_view message, std::chrono::system_clock::time_point fallback,
                       std::size_t* textLength = nullptr);

class MboxSink : public MessageSink {
  public:
    void beginMailbox(const MailboxInfo& mailbox) override;
    bool store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
               RunObserver& observer, std::string& error) override;
    void endMailbox(const MailboxInfo& mailbox) override;
    void close(RunSummary& summary) override;

  private:
    void closeFile();
    std::error_code create(const MailboxInfo& mailbox);
    io::AppendFile file_;
    std::filesystem::path path_;
    bool created_ = false;  // path_ is this mailbox's file, made by this run
    std::string mailboxPath_;
    std::string closeError_;  // a failed close, reported at the end of the run
    std::string closeMailbox_;
};

std::unique_ptr<MessageSink> makeMboxSink();

}  // namespace tp::convert
