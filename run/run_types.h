#pragma once
// What a conversion run is given, what it reports while it works, and what it
// returns. Shared by the engine, the main window and the command line.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/notice.h"

namespace tp::convert {

enum class Format { Eml, Mbox, Pst };

// A snapshot of the run's inputs, taken when it starts: changing a control
// during a run changes nothing in it.
struct RunOptions {
    std::vector<std::string> mailboxes;  // one path per row of the mailbox list
    Format format = Format::Eml;
    bool attachments = false;      // "I have Attachments folder..." ticked
    std::string attachmentFolder;  // as typed; joined with names as a path
    std::filesystem::path outputFolder;
};

// Something of the run that went wrong. With a message number, that message is
// not in the chosen output (it may have been kept beside it as its .eml file).
struct Failure {
    std::string mailbox;  // the mailbox path as listed
    int message = 0;      // message number k, 0 for a failure of the mailbox itself
    std::string step;     // "scan", "extract", "write", "attachments", "mbox", "pst", ...
    std::string reason;
    std::string subject{};  // the message's subject, when it could be read
};

// Something worth knowing that is no failure. With a message number it is a
// remark on that message: the message is exported, and the report says what is
// special about it. A step inside the run adds one with remark(info, k, text)
// (conversion_run.cpp), a writer by pushing a Note with `message` set into
// RunSummary::notes at close(); the counts and the report follow from the notes.
struct Note {
    std::string mailbox;
    std::string text;
    bool bytesLeftOut = false;  // some bytes of the mailbox belong to no message
    int message = 0;            // k: a remark on message k; 0: a note on the mailbox
    std::string subject{};      // the message's subject, when known
};

// The step of the messages that a run stopped by a failed write did not export.
inline constexpr const char* kStopped = "stopped";

// Where the run of "stopped" failures that begins at `i` ends (the last index of
// the same mailbox with consecutive numbers); `i` itself when none follows.
std::size_t stoppedRunEnd(const std::vector<Failure>& failures, std::size_t i);

// Every message found is counted once: exported whole, exported with a remark,
// or not exported (failed, or left by a cancel).
struct RunSummary {
    Format format = Format::Eml;
    int listedMailboxes = 0;    // mailboxes in the list
    int mailboxes = 0;          // mailboxes read
    int unreadMailboxes = 0;    // mailboxes that could not be opened
    int repeatedMailboxes = 0;  // rows naming a mailbox listed above them: converted once
    std::vector<std::string> emptyMailboxes;  // read, and no message found in them
    int messages = 0;                         // messages found
    int exportedMessages = 0;   // messages in the chosen output, whole or with a remark
    int remarkedMessages = 0;   // of those, the ones with a remark in the report
    int failedMessages = 0;     // messages not exported
    int unreachedMessages = 0;  // messages found that a cancel left unconverted
    // Of the messages not exported, those kept as their Email-k.eml beside the
    // chosen output (in their mailbox output folders).
    int keptAsEml = 0;
    // Why the run stopped before its end by itself: a write failed for want of
    // space or of the right to write, and every later one would have failed too.
    std::string stopReason;
    std::filesystem::path outputFolder;
    std::vector<Failure> failures;
    std::vector<Note> notes;  // things worth knowing that are not failures
    bool cancelled = false;
    bool setupFailed = false;          // PST set-up failed: nothing converted
    std::filesystem::path reportFile;  // set when a report was written
    std::filesystem::path pstFile;     // PST runs: the store written

    int wholeMessages() const { return exportedMessages - remarkedMessages; }
    // Whether the run did not do all it was asked: a message or a mailbox not
    // exported, a cancel, or nothing exported from a list that named mailboxes.
    bool incomplete() const {
        return setupFailed || cancelled || !stopReason.empty() || !failures.empty() ||
               failedMessages > 0 || (listedMailboxes > 0 && exportedMessages == 0);
    }
};

// Where a run is, in the run's own terms: counts, sizes and shares, no sentences.
// The main window turns these into its labels and bars; the command line draws its
// progress line from them. Sent in this order: RunStarted; per mailbox
// MailboxStarted, Searching (per message the search finds, when the file could be
// read), MessagesFound (when it could be read), then per message MessageStarted
// (once its bytes are read), MessageWritten (from writers that report how far
// they got), MessageDone (for every message, converted or not), and MailboxDone.
struct RunProgress {
    enum class Step {
        RunStarted,
        MailboxStarted,
        Searching,
        MessagesFound,
        MessageStarted,
        MessageWritten,
        MessageDone,
        MailboxDone,
    };
    Step step = Step::RunStarted;
    int mailbox = 0;                 // row, from 0
    int mailboxes = 0;               // rows in the run
    std::uint64_t runBytes = 0;      // the sizes of all the mailbox files, taken at the start
    std::string name;                // the mailbox's file name
    std::uint64_t mailboxBytes = 0;  // its size when the run started (0 when unreadable);
                                     // MessageStarted: its size as the run reads it
    int found = 0;                   // Searching: occurrences found so far
    int searchedPercent = 0;         // Searching: where the last one lies, 0..100 of the file
    int messages = 0;                // messages found in it (from MessagesFound on)
    int message = 0;                 // MessageStarted, MessageDone: its number k
    std::uint64_t messageBytes = 0;  // MessageStarted: the message's size
    std::uint64_t written = 0;       // MessageWritten: bytes of the message written
    std::uint64_t toWrite = 0;       // MessageWritten: bytes of the message in all
    bool stored = false;             // MessageDone: the message is in the output
    int exported = 0;                // messages of this mailbox in the output so far
    std::uint64_t bytesDone = 0;     // bytes of the mailbox behind the last message done
};

// Whether a step only shows how far a search or a write has got: a later step of
// the same kind says all it said, so a busy run may leave some out.
bool passingStep(RunProgress::Step);

// What a run tells while it works. The engine thins out passing steps (about 30 a
// second reach the observer) and delivers every other step, and each kind's
// latest passing step, in order.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    // Where the run is.
    virtual void progress(const RunProgress&) {}
    // A message box raised during the run (the scanner's notices). The run does
    // not wait for it.
    virtual void notice(const Notice&) {}
};

// The box that ends a run. It leads with what went wrong or is worth knowing
// (messages not exported, mailboxes not read or without messages, remarks) and
// where the report is; then the format's closing sentence: "successfully" only
// when the run did all it was asked, otherwise a sentence saying that the
// messages could not (all) be exported. The format's usage line (open the store
// in Outlook...) follows only a success. A cancelled run says how many of the
// messages found were exported and how many were left. Set-up failures give the
// "Outlook Error" box.
Notice closingNotice(const RunSummary&);

}  // namespace tp::convert
