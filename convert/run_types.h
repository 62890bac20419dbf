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

// The main window's controls that a run writes to.
enum class Control {
    LblProgessCurrent,
    LblIMMFile,
    LblHappening,
    LblEmlsFound,
    LblProgress,
    ProgressBar1,
    ProgressBar2,
};
const char* controlName(Control c);

// A snapshot of the run's inputs, taken when it starts: changing a control
// during a run changes nothing in it.
struct RunOptions {
    std::vector<std::string> mailboxes;  // one path per row of the mailbox list
    Format format = Format::Eml;
    bool attachments = false;      // "I have Attachments folder..." ticked
    std::string attachmentFolder;  // as typed; joined with names as a path
    std::filesystem::path outputFolder;
};

struct Failure {
    std::string mailbox;  // the mailbox path as listed
    int message = 0;      // message number k, 0 for a failure of the mailbox itself
    std::string step;     // "scan", "extract", "write", "attachments", "mbox", "pst", ...
    std::string reason;
};

struct Note {
    std::string mailbox;
    std::string text;
    bool bytesLeftOut = false;  // some bytes of the mailbox belong to no message
};

struct RunSummary {
    Format format = Format::Eml;
    int listedMailboxes = 0;    // mailboxes in the list
    int mailboxes = 0;          // mailboxes processed
    int messages = 0;           // messages found
    int exportedMessages = 0;   // messages in the chosen output (some perhaps incomplete)
    int failedMessages = 0;     // messages not (completely) converted
    int unreachedMessages = 0;  // messages found that a cancel left unconverted
    std::vector<Failure> failures;
    std::vector<Note> notes;  // things worth knowing that are not failures
    bool cancelled = false;
    bool setupFailed = false;          // PST set-up failed: nothing converted
    std::filesystem::path reportFile;  // set when a report was written
    std::filesystem::path pstFile;     // PST runs: the store written
};

// Where a run is, as numbers (the command line draws its progress from these; the
// labels carry the same facts as the window's texts). Sent in this order per
// mailbox: MailboxStarted, MessagesFound (when the file could be read), one
// MessageDone per message converted or not, MailboxDone.
struct RunProgress {
    enum class Step { RunStarted, MailboxStarted, MessagesFound, MessageDone, MailboxDone };
    Step step = Step::RunStarted;
    int mailbox = 0;                 // row, from 0
    int mailboxes = 0;               // rows in the run
    std::uint64_t runBytes = 0;      // the sizes of all the mailbox files, taken at the start
    std::string name;                // the mailbox's file name
    std::uint64_t mailboxBytes = 0;  // its size when the run started (0 when unreadable)
    int messages = 0;                // messages found in it (from MessagesFound on)
    int message = 0;                 // MessageDone: its number k
    int exported = 0;                // messages of this mailbox in the output so far
    std::uint64_t bytesDone = 0;     // bytes of the mailbox behind the last message done
};

// Everything a run shows, as exact texts. The engine coalesces rapid changes
// (about 30 a second reach the observer) and always delivers each control's
// final value.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void textChanged(Control, const std::string& text) = 0;
    virtual void valueChanged(Control, double value) = 0;
    virtual void rangeChanged(Control, int /*min*/, int /*max*/) {}
    // A message box raised during the run (the scanner's notices). The run does
    // not wait for it.
    virtual void notice(const Notice&) {}
    // Where the run is, as numbers; never coalesced.
    virtual void progress(const RunProgress&) {}
};

// The box that ends a run: the format's closing box when nothing failed;
// otherwise, with a warning icon, a sentence saying that the messages could not
// (all) be exported in place of the word "successfully", and a line naming the
// failures and the report file. A cancelled run says how many of the messages
// found were exported and how many were left. Set-up failures give the
// "Outlook Error" box.
Notice closingNotice(const RunSummary&);

}  // namespace tp::convert
