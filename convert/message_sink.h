#pragma once
// Where a run puts its messages. One sink per output format; the run itself is
// format-agnostic: it finds, cuts, and passes each message's final bytes here.
#include <filesystem>
#include <string>
#include <string_view>

#include "run_types.h"

namespace tp::convert {

struct MailboxInfo {
    std::string path;                    // the mailbox path as listed (trimmed)
    std::string fileName;                // FileNameOf(path)
    std::string name;                    // MailboxName: file name, trimmed, ".imm" removed
    std::filesystem::path outputFolder;  // the mailbox output folder (created by the run)
};

struct MessageInfo {
    int number = 0;                 // k, 1-based within the mailbox
    std::filesystem::path emlPath;  // <mailbox output folder>/Email-k.eml
};

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // Before the first mailbox. False (with `error`) ends the run before it starts.
    virtual bool open(const RunOptions&, std::string& /*error*/) { return true; }
    virtual void beginMailbox(const MailboxInfo&) {}
    // Stores one message. `bytes` are the message's final bytes (after the
    // attachment pass). On failure returns false with `error` set; the run then
    // keeps the message as its Email-k.eml.
    virtual bool store(const MailboxInfo&, const MessageInfo&, std::string_view bytes, RunObserver&,
                       std::string& error) = 0;
    virtual void endMailbox(const MailboxInfo&) {}
    // After the last mailbox, also after a cancel: finishes every output so it is whole.
    virtual void close(RunSummary&) {}
};

}  // namespace tp::convert
