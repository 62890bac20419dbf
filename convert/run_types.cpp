#include "convert/run_types.h"

#include "convert/conversion_run.h"

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

std::string formatText(Format format) {
    switch (format) {
        case Format::Eml:
            return std::string(
                       "Your IncrediMail messages has been successfully exported to (.eml) "
                       "files.") +
                   kCrLf + asterisks() + kCrLf;
        case Format::Mbox:
            return std::string(
                       "Your IncrediMail messages has been successfully exported to "
                       "(.mbox) files.") +
                   kCrLf + asterisks() + kCrLf +
                   "MBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.";
        case Format::Pst:
            return std::string(
                       "Your IncrediMail messages has been successfully exported to "
                       "Outlook (.pst) file.") +
                   kCrLf + asterisks() + kCrLf +
                   "Start Outlook and open converted pst file by clicking File -> Open -> "
                   "Outlook Data File. And it all done !";
    }
    return {};
}

std::string plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The sentence that replaces "successfully" when something went wrong.
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
        n.text = "The conversion was stopped before its end after " +
                 plural(s.mailboxes, "mailbox", "mailboxes") + " and " +
                 plural(s.messages, "message", "messages") +
                 "; whatever came after that was not exported.";
        if (failed) n.text += kCrLf + failureLine(s) + ". " + reportLine(s);
        return n;
    }
    n.text = formatText(s.format);
    if (failed && s.format == Format::Pst && s.pstFile.empty()) {
        // No store was finished: there is no file to open in Outlook, so the box
        // must not say there is one.
        n.text = std::string(
                     "Your IncrediMail messages could not be exported to an Outlook (.pst) "
                     "file; no .pst file was kept.") +
                 kCrLf;
    }
    if (failed) {
        n.icon = NoticeIcon::Warning;
        if (n.text.size() < 2 || n.text.compare(n.text.size() - 2, 2, kCrLf) != 0) n.text += kCrLf;
        n.text += failureLine(s) + ". " + reportLine(s);
    } else {
        n.icon = NoticeIcon::Information;
        if (!s.notes.empty()) {
            if (n.text.size() < 2 || n.text.compare(n.text.size() - 2, 2, kCrLf) != 0)
                n.text += kCrLf;
            n.text += !s.reportFile.empty()
                          ? "Some bytes belong to no message and were not exported; the report " +
                                s.reportFile.string() + " says where."
                          : std::string(
                                "Some bytes belong to no message and were not exported; "
                                "the report file could not be written.");
        }
    }
    return n;
}

}  // namespace tp::convert
