#include "run/run_types.h"

#include "common/compiler_quirks.h"
#include "run/conversion_run.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

// Where the "Outlook Error" box sends the user: the manual's troubleshooting section.
#include "common/help_address.h"
#include "io/paths.h"
#include "io/system.h"

namespace tp::convert {

bool passingStep(RunProgress::Step step) {
    using Step = RunProgress::Step;
    return step == Step::Searching || step == Step::MessageStarted || step == Step::MessageWritten;
}

namespace {

constexpr const char* kClosingTitle = "Tessaport";
constexpr const char* kOutlookErrorTitle = "Outlook Error";
constexpr const char* kCrLf = "\r\n";

std::string asterisks() {
    return std::string(75, '*');
}

// Where the messages went, as the closing boxes name it.
std::string target(Format format) {
    switch (format) {
        case Format::Eml:
            return "(.eml) files";
        case Format::Mbox:
            return "(.mbox) files";
        case Format::Pst:
            return "Outlook (.pst) file";
    }
    return {};
}

// The line under the asterisks that tells what to do with the output.
std::string usageLine(Format format) {
    switch (format) {
        case Format::Eml:
            return {};
        case Format::Mbox:
            return "MBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.";
        case Format::Pst:
            return "Start Outlook and open converted pst file by clicking File -> Open -> Outlook "
                   "Data File. And it all done !";
    }
    return {};
}

// The format's closing box after `first`: the asterisks, and the usage line when
// there is an output to use.
std::string boxText(const std::string& first, Format format, bool usable) {
    std::string text = first + kCrLf + asterisks() + kCrLf;
    if (usable && format != Format::Eml) {
        text += usageLine(format);
    }
    return text;
}

std::string plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The name after the last separator (a backslash too, on Windows).
std::string fileNameOf(const std::string& path) {
    return FileNameOf(path);
}

// What the box leads with: one sentence for each kind of thing that went wrong
// or is worth knowing, then where the report is. Empty when there is nothing.
std::string leadLines(const RunSummary& s) {
    std::set<std::string> brokenMailboxes;
    std::string outputFailure;
    for (const Failure& f : s.failures) {
        if (f.message != 0) continue;
        if (!f.mailbox.empty())
            brokenMailboxes.insert(f.mailbox);
        else if (outputFailure.empty())
            outputFailure = f.reason;
    }
    std::vector<std::string> lines;
    if (!s.stopReason.empty())
        lines.push_back("The conversion stopped before its end: " + s.stopReason + ".");
    if (s.failedMessages > 0) {
        lines.push_back(std::to_string(s.failedMessages) + " of " +
                        plural(s.messages, "message", "messages") + " could not be exported.");
    }
    if (!brokenMailboxes.empty()) {
        lines.push_back(
            plural(static_cast<long long>(brokenMailboxes.size()), "mailbox", "mailboxes") +
            " could not be converted.");
    }
    if (!outputFailure.empty()) lines.push_back("The conversion failed: " + outputFailure + ".");
    if (s.keptAsEml > 0) {
        lines.push_back(plural(s.keptAsEml, "message was", "messages were") +
                        " kept as .eml files instead, in the mailboxes' folders below " +
                        io::utf8Of(s.outputFolder) + ".");
    }
    if (!s.emptyMailboxes.empty()) {
        std::string names;
        if (s.emptyMailboxes.size() <= 3) {
            for (const std::string& m : s.emptyMailboxes)
                names += (names.empty() ? "" : ", ") + fileNameOf(m);
        } else {
            names = std::to_string(s.emptyMailboxes.size()) + " mailboxes";
        }
        lines.push_back("No message was found in " + names + ".");
    }
    if (s.remarkedMessages > 0) {
        lines.push_back(std::to_string(s.remarkedMessages) + " of " +
                        plural(s.messages, "message", "messages") +
                        (s.remarkedMessages == 1 ? " was" : " were") + " exported with a remark.");
    }
    if (std::any_of(s.notes.begin(), s.notes.end(), [](const Note& x) { return x.bytesLeftOut; }))
        lines.push_back("Some bytes belong to no message and were not exported.");
    if (lines.empty() && s.notes.empty()) return {};
    std::string text;
    for (const std::string& l : lines) text += l + kCrLf;
    if (!s.reportFile.empty()) {
        text += "The report " + io::utf8Of(s.reportFile) + " says which and why.";
    } else {
        text += "The report file " + std::string(kReportFileName) +
                " could not be written; nothing was listed there.";
    }
    return text + kCrLf;
}

// The box's text without a line break at its end.
Notice trimmed(Notice n) {
    while (n.text.size() >= 2 && n.text.compare(n.text.size() - 2, 2, kCrLf) == 0)
        n.text.resize(n.text.size() - 2);
    return n;
}

// A cancelled run: what was exported of what was found, and what was left.
// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
std::string cancelledSentence(const RunSummary& s) {
    const int left = s.unreachedMessages;
    std::string text =
        "The conversion was stopped before its end: " + std::to_string(s.exportedMessages) +
        " of the " + plural(s.messages, "message", "messages") + " found in " +
        plural(s.mailboxes, "mailbox", "mailboxes") + (s.exportedMessages == 1 ? " was" : " were") +
        " exported, " + std::to_string(left) + (left == 1 ? " was" : " were") +
        " left unconverted.";
    const int notSearched =
        s.listedMailboxes - s.mailboxes - s.unreadMailboxes - s.repeatedMailboxes;
    if (notSearched > 0) {
        text += " " + plural(notSearched, "listed mailbox was", "listed mailboxes were") +
                " not searched.";
    }
    return text;
}
TP_GCC12_FALSE_RESTRICT_END

}  // namespace

std::size_t stoppedRunEnd(const std::vector<Failure>& failures, std::size_t i) {
    std::size_t last = i;
    if (i >= failures.size() || failures[i].step != kStopped || failures[i].message <= 0) return i;
    while (last + 1 < failures.size() && failures[last + 1].step == kStopped &&
           failures[last + 1].mailbox == failures[i].mailbox &&
           failures[last + 1].message == failures[last].message + 1)
        ++last;
    return last;
}

Notice closingNotice(const RunSummary& s) {
    Notice n;
    n.buttons = NoticeButtons::Ok;
    if (s.setupFailed) {
        n.title = kOutlookErrorTitle;
        n.icon = NoticeIcon::Information;
        n.text = std::string("Outlook Session Creation Error !") + kCrLf +
                 "Check if Outlook is installed and configured." + kCrLf +
                 "For more details visit this link : " +
                 app::fileAddress(io::utf8Of(app::helpFileFor(io::programFolder())),
                                  app::kTroubleshootingSection);
        // The real reason (a folder that may not be written, a full disk), with the
        // file it concerns, under the box's own words.
        for (const Failure& f : s.failures) {
            if (f.step == "setup" && !f.reason.empty()) {
                n.text += std::string(kCrLf) + "The reason: " + f.reason;
                break;
            }
        }
        return n;
    }
    n.title = kClosingTitle;
    const std::string lead = leadLines(s);
    if (s.cancelled) {
        n.icon = NoticeIcon::Warning;
        n.text = cancelledSentence(s);
        if (!lead.empty()) {
            n.text += kCrLf + lead;
        } else if (!s.reportFile.empty()) {
            n.text += std::string(kCrLf) + "The report " + io::utf8Of(s.reportFile) +
                      " lists what was left.";
        }
        return trimmed(std::move(n));
    }
    if (!s.incomplete()) {
        n.icon = NoticeIcon::Information;
        n.text = lead + boxText("Your IncrediMail messages has been successfully exported to " +
                                    target(s.format) + ".",
                                s.format, true);
        return n;
    }
    // The run did not do all it was asked: the sentence of success gives way to
    // one that says so, after what went wrong and where the report is.
    n.icon = NoticeIcon::Warning;
    n.text = lead;
    if (s.format == Format::Pst && s.pstFile.empty()) {
        // No store was finished: there is no file to open in Outlook, so the box
        // must not say there is one.
        n.text +=
            "Your IncrediMail messages could not be exported to an Outlook (.pst) file; no .pst "
            "file was kept.";
    } else if (s.exportedMessages == 0) {
        n.text +=
            boxText("Your IncrediMail messages could not be exported to " + target(s.format) + ".",
                    s.format, false);
    } else {
        n.text += boxText(
            "Not all of your IncrediMail messages could be exported to " + target(s.format) + ".",
            s.format, false);
        if (!s.pstFile.empty())
            n.text += "The messages exported are in " + io::utf8Of(s.pstFile) + ".";
    }
    return trimmed(std::move(n));
}

}  // namespace tp::convert
