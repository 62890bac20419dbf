#pragma once
// Where a run puts its messages. One sink per output format; the run itself is
// format-agnostic: it finds, cuts, and passes each message's final bytes here.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "io/io.h"
#include "run/run_types.h"

namespace tp::convert {

struct MailboxInfo {
    std::string path;                    // the mailbox path as listed (trimmed)
    std::string fileName;                // FileNameOf(path)
    std::string name;                    // MailboxName: file name, trimmed, ".imm" removed
    std::filesystem::path outputFolder;  // the mailbox output folder (created by the run)
    int row = -1;                        // its position in RunOptions::mailboxes
    // That folder as the run opened it inside the output folder (not open when it
    // could not be made); files of the mailbox are written into it by name.
    // Null: write by path.
    const io::Folder* folder = nullptr;
};

// A step of the run about this mailbox (its row and name filled in).
inline RunProgress stepOf(RunProgress::Step step, const MailboxInfo& mailbox) {
    RunProgress p;
    p.step = step;
    p.mailbox = mailbox.row;
    p.name = mailbox.fileName;
    return p;
}

struct MessageInfo {
    int number = 0;                 // k, 1-based within the mailbox
    std::filesystem::path emlPath;  // <mailbox output folder>/Email-k.eml
    std::uint64_t offset = 0;       // where the message lies in its mailbox file
    std::uint64_t size = 0;
};

// A message that store() accepted but that is in no output after close() after all:
// the output could not be finished, or (a sink that writes behind the run) it
// refused the message after store() had returned.
struct UnkeptMessage {
    int row = -1;  // MailboxInfo::row
    int number = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string reason;  // why this message was refused; empty: the output was not finished
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
    // The file system's error of the last store() that failed to write, when it
    // was one (the run stops at a full disk or a folder it may not write).
    virtual std::error_code lastWriteError() const { return {}; }
    virtual void endMailbox(const MailboxInfo&) {}
    // After the last mailbox, also after a cancel: finishes every output so it is whole.
    virtual void close(RunSummary&) {}
    // After close(): the messages store() accepted that are not in the output after
    // all. The sink has reported the failure of its output (when it was not
    // finished); the run cuts each of these messages out of its mailbox again and
    // keeps it as its Email-k.eml.
    virtual std::vector<UnkeptMessage> takeUnkept() { return {}; }
};

// The content rule of an Email-k.eml file, applied in place: leading and trailing
// spaces (the space character only) are removed and CR LF is appended. The EML
// writer applies it to every message, the run to a message it keeps as its
// Email-k.eml beside another output.
void applyEmlContentRule(std::string& bytes);

}  // namespace tp::convert
