#include "outputs/mbox_sink.h"

#include <cstdio>
#include <cstring>

#include "io/paths.h"
#include "mail/date.h"
#include "mail/mail_message.h"

namespace tp::convert {

std::string mboxDate(std::chrono::system_clock::time_point when) {
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const CivilTime c =
        civilTimeOf(std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count());
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %02u %02u:%02u:%02u %04d", days[c.weekday % 7],
                  months[(c.month + 11) % 12], c.day, c.hour, c.minute, c.second, c.year);
    return buf;
}

namespace {

// The separator's sender field is one ASCII word: blanks, control characters and
// non-ASCII bytes would split it or make it unreadable, so they become "_".
std::string senderField(const std::string& sender) {
    if (sender.empty()) return "MAILER-DAEMON";
    std::string out = sender;
    for (char& c : out)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '_';
    return out;
}

// A line that reads "From " after any number of ">" gets one more ">".
bool needsQuote(const char* p, const char* end) {
    while (p < end && *p == '>') ++p;
    return end - p >= 5 && std::memcmp(p, "From ", 5) == 0;
}

// Appends the lines of `text`, each ended with CR LF. Lines end at CR LF or at a
// lone CR; a lone LF stays inside its line, but what follows it is quoted like a
// line start too, since most readers split lines there.
void appendLines(std::string& out, std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', end - p));
        const char* lineEnd = cr ? cr : end;
        // [p, lineEnd) is one line; lone LFs inside start quoted segments.
        const char* seg = p;
        while (seg < lineEnd) {
            if (needsQuote(seg, lineEnd)) out += '>';
            const char* lf = static_cast<const char*>(std::memchr(seg, '\n', lineEnd - seg));
            const char* segEnd = lf ? lf + 1 : lineEnd;
            out.append(seg, segEnd - seg);
            seg = segEnd;
        }
        out += "\r\n";
        if (!cr) break;
        p = (cr + 1 < end && cr[1] == '\n') ? cr + 2 : cr + 1;
    }
}

}  // namespace

std::string mboxRecord(std::string_view message, std::chrono::system_clock::time_point fallback,
                       std::size_t* textLength) {
    MailMessage header;
    header.LoadFromBytes(MailMessage::HeaderBlock(message));
    auto date = header.MessageDate();
    if (!date) date = header.FirstReceivedDate();
    const std::string separator =
        "From " + senderField(header.Sender()) + " " + mboxDate(date.value_or(fallback)) + "\r\n";

    std::string record;
    record.reserve(separator.size() + message.size() + message.size() / 32 + 8);
    record += separator;
    appendLines(record, message);
    if (textLength) *textLength = record.size() - separator.size();
    record += "\r\n";
    return record;
}

void MboxSink::beginMailbox(const MailboxInfo& mailbox) {
    closeFile();
    path_.clear();
    created_ = false;
    mailboxPath_ = mailbox.path;
}

// Creates the mailbox's .mbox file under the first free name: "<name>.mbox", else
// "<name> (2).mbox", ... An earlier run's file is never added to.
std::error_code MboxSink::create(const MailboxInfo& mailbox) {
    std::error_code ec;
    for (int n = 1; n < 10000; ++n) {
        const std::string name =
            mailbox.name + (n == 1 ? std::string() : " (" + std::to_string(n) + ")") + ".mbox";
        path_ = mailbox.outputFolder / io::pathFromUtf8(name);
        ec = mailbox.folder ? file_.open(*mailbox.folder, name, true) : file_.open(path_, true);
        if (ec != std::errc::file_exists) {
            created_ = !ec;
            return ec;
        }
    }
    return ec;
}

bool MboxSink::store(const MailboxInfo& mailbox, const MessageInfo& /*message*/,
                     std::string_view bytes, RunObserver& observer, std::string& error) {
    if (mailbox.path != mailboxPath_) beginMailbox(mailbox);
    std::size_t textLength = 0;
    const std::string record = mboxRecord(bytes, std::chrono::system_clock::now(), &textLength);

    RunProgress written = stepOf(RunProgress::Step::MessageWritten, mailbox);
    written.written = textLength;
    written.toWrite = bytes.size();
    observer.progress(written);

    // The file is created by the first message that reaches it, so a mailbox
    // without messages leaves no .mbox behind.
    if (!file_.isOpen()) {
        // Made once per mailbox; should it have been closed since, it is reopened.
        const std::error_code ec =
            !created_ ? create(mailbox)
                      : (mailbox.folder ? file_.open(*mailbox.folder, io::utf8Of(path_.filename()))
                                        : file_.open(path_));
        if (ec) {
            error = "cannot open " + io::utf8Of(path_) + ": " + io::describe(ec);
            return false;
        }
    }
    if (std::error_code ec = file_.appendRecord(record)) {
        error = "cannot append to " + io::utf8Of(path_) + ": " + io::describe(ec);
        return false;
    }
    return true;
}

void MboxSink::closeFile() {
    if (!file_.isOpen()) return;
    if (std::error_code ec = file_.close(); ec && closeError_.empty()) {
        closeError_ = "cannot finish " + io::utf8Of(path_) + ": " + io::describe(ec);
        closeMailbox_ = mailboxPath_;
    }
}

void MboxSink::endMailbox(const MailboxInfo& /*mailbox*/) {
    closeFile();
}

void MboxSink::close(RunSummary& summary) {
    closeFile();
    if (!closeError_.empty()) {
        summary.failures.push_back(Failure{closeMailbox_, 0, "mbox", closeError_});
        closeError_.clear();
    }
}

std::unique_ptr<MessageSink> makeMboxSink() {
    return std::make_unique<MboxSink>();
}

}  // namespace tp::convert
