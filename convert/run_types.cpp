#include "convert/run_types.h"

#include "common/compiler_quirks.h"
#include "convert/conversion_run.h"

#include <algorithm>
#include <set>
#include <string>

// Where the "Outlook Error" box sends the user: the manual's troubleshooting section.
#include "common/help_links.h"

namespace tp::convert {

const char* controlName(Control c) {
    switch (c) {
        case Control::LblProgessCurrent:
            return "LblProgessCurrent";
        case Control::LblIMMFile:
            return "LblIMMFile";
        case Control::LblHappening:
            return "LblHappening";
        case Control::LblEmlsFound:
            return "LblEmlsFound";
        case Control::LblProgress:
            return "LblProgress";
        case Control::ProgressBar1:
            return "ProgressBar1";
        case Control::ProgressBar2:
            return "ProgressBar2";
    }
    return "?";
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

// What went wrong: the count of messages and mailboxes that could not be converted.
std::string failureLine(const RunSummary& s) {
    std::set<std::string> brokenMailboxes;
    for (const Failure& f : s.failures) {
        if (f.message == 0 && !f.mailbox.empty()) brokenMailboxes.insert(f.mailbox);
    }
    std::string line;
    if (s.failedMessages > 0) {
        line = std::to_string(s.failedMessages) + " of " +
               plural(s.messages, "message", "messages") + " could not be converted";
    }
    if (!brokenMailboxes.empty()) {
        if (!line.empty()) line += ", and ";
        line += plural(static_cast<long long>(brokenMailboxes.size()), "mailbox", "mailboxes") +
                " could not be converted";
    }
    if (line.empty() && !s.failures.empty())
        line = "The conversion failed: " + s.failures[0].reason;
    return line;
}

std::string reportLine(const RunSummary& s) {
    if (!s.reportFile.empty()) return "The report " + s.reportFile.string() + " lists them.";
    return "The report file " + std::string(kReportFileName) +
           " could not be written; nothing was listed there.";
}

void endLine(std::string& text) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, kCrLf) != 0) text += kCrLf;
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
    const int notSearched = s.listedMailboxes - s.mailboxes;
    if (notSearched > 0) {
        text += " " + plural(notSearched, "listed mailbox was", "listed mailboxes were") +
                " not searched.";
    }
    return text;
}
TP_GCC12_FALSE_RESTRICT_END

}  // namespace

Notice closingNotice(const RunSummary& s) {
    Notice n;
    n.buttons = NoticeButtons::Ok;
    if (s.setupFailed) {
        n.title = kOutlookErrorTitle;
        n.icon = NoticeIcon::Information;
        n.text = std::string("Outlook Session Creation Error !") + kCrLf +
                 "Check if Outlook is installed and configured." + kCrLf +
                 "For more details visit this link : " + app::supportAddress();
        return n;
    }
    n.title = kClosingTitle;
    const bool failed = !s.failures.empty() || s.failedMessages > 0;
    if (s.cancelled) {
        n.icon = NoticeIcon::Warning;
        n.text = cancelledSentence(s);
        if (failed) {
            n.text += kCrLf + failureLine(s) + ". " + reportLine(s);
        } else if (!s.reportFile.empty()) {
            n.text += std::string(kCrLf) + "The report " + s.reportFile.string() +
                      " lists what was left.";
        }
        return n;
    }
    if (!failed) {
        n.icon = NoticeIcon::Information;
        n.text = boxText(
            "Your IncrediMail messages has been successfully exported to " + target(s.format) + ".",
            s.format, true);
        if (!s.notes.empty()) {
            endLine(n.text);
            const bool bytesLeftOut = std::any_of(s.notes.begin(), s.notes.end(),
                                                  [](const Note& x) { return x.bytesLeftOut; });
            const std::string what = bytesLeftOut
                                         ? "Some bytes belong to no message and were not exported"
                                         : "Some messages carry a remark";
            n.text += !s.reportFile.empty()
                          ? what + "; the report " + s.reportFile.string() + " says where."
                          : what + "; the report file could not be written.";
        }
        return n;
    }
    // Something failed: the sentence of success gives way to one that says so.
    n.icon = NoticeIcon::Warning;
    if (s.format == Format::Pst && s.pstFile.empty()) {
        // No store was finished: there is no file to open in Outlook, so the box
        // must not say there is one.
        n.text = std::string(
                     "Your IncrediMail messages could not be exported to an Outlook (.pst) "
                     "file; no .pst file was kept.") +
                 kCrLf;
    } else if (s.exportedMessages == 0) {
        n.text =
            boxText("Your IncrediMail messages could not be exported to " + target(s.format) + ".",
                    s.format, false);
    } else {
        n.text = boxText(
            "Not all of your IncrediMail messages could be exported to " + target(s.format) + ".",
            s.format, true);
    }
    endLine(n.text);
    n.text += failureLine(s) + ". " + reportLine(s);
    return n;
}

}  // namespace tp::convert
