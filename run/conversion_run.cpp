#include "run/conversion_run.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "finder/scanner.h"
#include "io/file.h"
#include "io/io.h"
#include "io/paths.h"
#include "io/system.h"
#include "mail/mail_message.h"
#include "mailbox/boundaries.h"
#include "run/coalescing_observer.h"

namespace tp::convert {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSearchText = "MIME-Version: 1.0";
// A buffer that once held a huge message is given back rather than kept for the rest.
constexpr std::size_t kKeepBufferBytes = 64u << 20;
// A run of this many NUL bytes or more inside a message is taken for a damaged
// area (disk damage, an interrupted write) and named in the report.
constexpr std::size_t kDamagedRun = 512;

std::string trimSpaces(std::string_view s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    const auto e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

const char* formatName(Format f) {
    switch (f) {
        case Format::Eml:
            return "eml";
        case Format::Mbox:
            return "mbox";
        case Format::Pst:
            return "pst";
    }
    return "?";
}

// The search's hits go out as the run's Searching steps, its message box (a
// mailbox that cannot be searched) as the run's notice, and the bytes it reads to
// the list of lines the message finder looks at.
class ScanRelay : public SearchLines {
  public:
    explicit ScanRelay(RunObserver& out) : out_(out) {}
    void startMailbox() { reset(); }
    void notice(const Notice& n) override { out_.notice(n); }
    void hit(std::uint64_t /*offset*/, int found, int percent) override {
        searching.found = found;
        searching.searchedPercent = percent;
        out_.progress(searching);
    }
    RunProgress searching;  // the mailbox being searched

  private:
    RunObserver& out_;
};

std::string describeException(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    } catch (...) {
        return "unexpected error";
    }
}

// Who a mailbox file was when the run opened it. A message is cut out of it again
// (when its output could not be finished) only while it is still the same file.
struct MailboxStamp {
    bool known = false;
    io::FileIdentity identity;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;

    static MailboxStamp of(const std::string& path) {
        MailboxStamp stamp;
        io::FileStatus st;
        if (io::statusOf(io::pathFromUtf8(path), st)) return stamp;
        stamp.known = true;
        stamp.identity = st.identity;
        stamp.size = st.size;
        stamp.modifiedNs = st.modifiedNs;
        return stamp;
    }
    bool sameAs(const MailboxStamp& o) const {
        return known && o.known && identity == o.identity && size == o.size &&
               modifiedNs == o.modifiedNs;
    }
};

// A mailbox file's size as the run starts, for progress by bytes; 0 when it
// cannot be read or is no file.
std::uint64_t sizeAtStart(const std::string& path) {
    io::FileStatus st;
    if (path.empty() || io::statusOf(io::pathFromUtf8(path), st) || !st.regular) return 0;
    return st.size;
}

// The subject of a message held in memory, for the report; empty when it has none.
std::string subjectOf(std::string_view bytes) {
    MailMessage header;
    if (!header.LoadFromBytes(MailMessage::HeaderBlock(bytes))) return {};
    return header.Subject();
}

// Where each run of kDamagedRun or more NUL bytes lies in `bytes`: offset, length.
std::vector<std::pair<std::uint64_t, std::uint64_t>> nulRuns(std::string_view bytes) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    std::size_t i = bytes.find('\0');
    while (i != std::string_view::npos) {
        std::size_t end = bytes.find_first_not_of('\0', i);
        if (end == std::string_view::npos) end = bytes.size();
        if (end - i >= kDamagedRun) runs.emplace_back(i, end - i);
        i = bytes.find('\0', end);
    }
    return runs;
}

}  // namespace

struct ConversionRun::Impl {
    RunOptions options;
    RunObserver& observer;
    RunServices services;

    // Per run.
    RunSummary summary;
    CoalescingObserver* out = nullptr;
    MessageSink* sink = nullptr;
    AttachmentStep* attachments = nullptr;
    std::string buffer;                // the message being converted; one at a time
    std::vector<MailboxStamp> stamps;  // per row, taken when its file was opened
    int savedInMailbox = 0;            // messages of the current mailbox in the output
    std::vector<std::string> left;     // what a cancel left unconverted, for the report

    Impl(RunOptions o, RunObserver& obs, RunServices s)
        : options(std::move(o)), observer(obs), services(std::move(s)) {}

    void fail(const std::string& mailbox, int message, std::string step, std::string reason,
              std::string subject = {}) {
        summary.failures.push_back(
            Failure{mailbox, message, std::move(step), std::move(reason), std::move(subject)});
    }
    // A remark on message k of the mailbox: it is exported, and the report says
    // what is special about it (counted once among the messages with a remark).
    void remark(const MailboxInfo& info, int k, std::string text, std::string subject = {}) {
        summary.notes.push_back(Note{info.path, std::move(text), false, k, std::move(subject)});
    }

    std::vector<int> repeatedRows();
    void countRemarks();

    void convertMailbox(int i, int rows, ScanRelay& relay, const std::atomic<bool>& cancel);
    MailboxInfo mailboxInfo(int row) const;
    // Whether the message is in the output.
    bool convertMessage(const MailboxInfo& info, const MailboxFile& file, const MessageRange& range,
                        int k);
    void noteLeft(const MailboxInfo& info, int from, int to);
    std::string readMessage(const MailboxFile& file, const MessageRange& range);
    std::vector<std::string> attachmentPass(std::vector<std::string>* remarks = nullptr);
    void keepUnkept(const std::vector<UnkeptMessage>& unkept);
    void writeReport();
};

ConversionRun::ConversionRun(RunOptions options, RunObserver& observer, RunServices services)
    : d_(std::make_unique<Impl>(std::move(options), observer, std::move(services))) {}

ConversionRun::~ConversionRun() = default;

RunSummary ConversionRun::run(const std::atomic<bool>& cancel) {
    Impl& d = *d_;
    d.summary = RunSummary{};
    d.summary.format = d.options.format;
    d.summary.listedMailboxes = static_cast<int>(d.options.mailboxes.size());
    d.summary.outputFolder = d.options.outputFolder;
    CoalescingObserver out(d.observer, d.services.eventsPerSecond);
    d.out = &out;

    std::unique_ptr<MessageSink> sink;
    if (d.services.makeSink) sink = d.services.makeSink(d.options.format);
    if (!sink) {
        d.summary.setupFailed = d.options.format == Format::Pst;
        d.fail("", 0, "setup",
               std::string("the run was given no writer for the ") + formatName(d.options.format) +
                   " output");
        out.flush();
        return std::move(d.summary);
    }
    d.sink = sink.get();

    std::string error;
    bool opened = false;
    try {
        opened = sink->open(d.options, error);
    } catch (...) {
        error = describeException(std::current_exception());
    }
    if (!opened) {
        d.summary.setupFailed = true;
        d.fail("", 0, "setup", error.empty() ? "the output could not be set up" : error);
        try {
            sink->close(d.summary);
        } catch (...) {
        }
        out.flush();
        return std::move(d.summary);
    }

    std::unique_ptr<AttachmentStep> attachments;
    if (d.services.makeAttachmentStep) attachments = d.services.makeAttachmentStep();
    d.attachments = attachments.get();

    ScanRelay relay(out);

    const int rows = static_cast<int>(d.options.mailboxes.size());
    d.stamps.assign(static_cast<std::size_t>(rows), MailboxStamp{});
    const std::vector<int> firstRow = d.repeatedRows();
    RunProgress begun;
    begun.mailboxes = rows;
    for (int i = 0; i < rows; ++i) {
        if (firstRow[static_cast<std::size_t>(i)] == i)
            begun.runBytes += sizeAtStart(d.mailboxInfo(i).path);
    }
    out.progress(begun);
    for (int i = 0; i < rows; ++i) {
        if (firstRow[static_cast<std::size_t>(i)] != i) {
            // The same mailbox file twice would give each message twice (or write
            // over the first pass's files): it is converted once.
            const MailboxInfo first = d.mailboxInfo(firstRow[static_cast<std::size_t>(i)]);
            ++d.summary.repeatedMailboxes;
            d.summary.notes.push_back(
                Note{d.mailboxInfo(i).path, d.mailboxInfo(i).path + " is listed again (as " +
                                                first.path + "); it was converted once"});
            continue;
        }
        if (!d.summary.cancelled && cancel.load()) d.summary.cancelled = true;
        if (d.summary.cancelled) {
            d.left.push_back(d.mailboxInfo(i).path + ": not searched");
            continue;
        }
        relay.startMailbox();
        d.convertMailbox(i, rows, relay, cancel);
    }

    // Every output is finished, also after a cancel or failures. Messages that
    // went into an output that could not be finished are kept as their .eml files
    // (after a cancel too: they were converted once and must not be lost).
    std::vector<UnkeptMessage> unkept;
    try {
        sink->close(d.summary);
    } catch (...) {
        d.fail("", 0, "close", describeException(std::current_exception()));
    }
    try {
        unkept = sink->takeUnkept();
    } catch (...) {
        d.fail("", 0, "close", describeException(std::current_exception()));
    }
    d.keepUnkept(unkept);
    d.countRemarks();
    out.flush();
    // An earlier run's report in this folder is kept: this run's gets a free name.
    if (!d.summary.failures.empty() || !d.summary.notes.empty() || d.summary.cancelled ||
        !d.summary.emptyMailboxes.empty() || d.summary.incomplete()) {
        d.writeReport();
    }
    d.out = nullptr;
    d.sink = nullptr;
    d.attachments = nullptr;
    d.buffer = std::string();
    d.stamps = {};
    d.left = {};
    return std::move(d.summary);
}

void ConversionRun::Impl::convertMailbox(int i, int rows, ScanRelay& relay,
                                         const std::atomic<bool>& cancel) {
    // The mailbox output folder, held open while the mailbox's files are written.
    io::Folder folder;
    MailboxInfo info = mailboxInfo(i);
    info.folder = &folder;
    savedInMailbox = 0;

    // After a stop nothing more is written: the mailbox is only searched, so that
    // its messages are counted and named.
    const bool writing = summary.stopReason.empty();
    try {
        if (writing) sink->beginMailbox(info);
    } catch (...) {
        fail(info.path, 0, "folder", describeException(std::current_exception()));
    }
    RunProgress where;
    where.step = RunProgress::Step::MailboxStarted;
    where.mailbox = i;
    where.mailboxes = rows;
    where.name = info.fileName;
    where.mailboxBytes = sizeAtStart(info.path);
    out->progress(where);
    relay.searching = where;
    relay.searching.step = RunProgress::Step::Searching;

    finder::SearchResult search;
    try {
        search = finder::findAll(info.path, kSearchText, &relay);
    } catch (...) {
        fail(info.path, 0, "scan", describeException(std::current_exception()));
    }
    // A read error or a file that shrank ends the search early (search.error): the
    // messages past that point were never found, so the mailbox is not complete. A
    // file that could not be opened at all is recorded below, when the run opens it.

    auto finishMailbox = [&] {
        try {
            sink->endMailbox(info);
        } catch (...) {
            fail(info.path, 0, "close", describeException(std::current_exception()));
        }
        where.step = RunProgress::Step::MailboxDone;
        where.exported = savedInMailbox;
        out->progress(where);
    };

    // A mailbox that cannot be read is recorded; it leaves no folder behind.
    MailboxFile file;
    std::string openError;
    std::error_code ec;
    if (info.path.empty()) {
        openError = "no mailbox file is named (the row is empty)";
    } else if (fs::is_directory(io::pathFromUtf8(info.path), ec)) {
        openError = "this is a folder, not a mailbox file";
    } else if ((ec = file.open(io::pathFromUtf8(info.path)))) {
        openError = io::describe(ec);
    }
    if (!openError.empty()) {
        ++summary.unreadMailboxes;
        fail(info.path, 0, "open", openError);
        finishMailbox();
        return;
    }
    ++summary.mailboxes;
    MailboxStamp stamp = MailboxStamp::of(info.path);
    if (stamp.size != file.size()) stamp.known = false;
    stamps[static_cast<std::size_t>(i)] = stamp;

    if (!search.error.empty()) fail(info.path, 0, "scan", search.error);

    if (writing && (ec = folder.open(options.outputFolder, info.outputFolder, true))) {
        fail(info.path, 0, "folder",
             "the folder " + io::utf8Of(info.outputFolder) +
                 " could not be created: " + io::describe(ec));
    }

    Partition part;
    try {
        // The lines listed while the search read the file serve when it read all of
        // it; otherwise the finder lists them itself.
        if (const std::optional<LineStarts> starts = relay.take(search, file.size())) {
            part = findMessages(file, search.offsets, &*starts);
        } else {
            part = findMessages(file, search.offsets);
        }
    } catch (...) {
        fail(info.path, 0, "extract", describeException(std::current_exception()));
    }
    if (part.error) {
        fail(info.path, 0, "extract",
             "reading the mailbox to find its messages failed: " + io::describe(part.error));
    }
    const int n = static_cast<int>(part.messages.size());
    summary.messages += n;
    if (n == 0) summary.emptyMailboxes.push_back(info.path);
    if (part.leadingHasContent) {
        if (n > 0) {
            summary.notes.push_back(Note{info.path,
                                         std::to_string(part.leadingBytes) +
                                             " bytes before the first message of " + info.path +
                                             " were not exported",
                                         true});
        } else {
            summary.notes.push_back(Note{info.path,
                                         std::to_string(part.leadingBytes) + " bytes of " +
                                             info.path +
                                             " hold no message (no header block of a message "
                                             "was found) and were not exported",
                                         true});
        }
    }
    // Where the finder could not be sure whether a header block began a message,
    // the report says what it decided and where, so that the user can look.
    for (const BoundaryDoubt& d : part.doubts) {
        const auto after = std::upper_bound(
            part.messages.begin(), part.messages.end(), d.offset,
            [](std::uint64_t off, const MessageRange& m) { return off < m.begin; });
        const int k = static_cast<int>(after - part.messages.begin());
        if (k == 0) continue;
        remark(info, k, "the header block at byte " + std::to_string(d.offset) + " was " + d.why);
    }
    // The scanner counted its hits; a hit inside a message (a forwarded one) is no
    // message of its own: this is the count of messages.
    where.step = RunProgress::Step::MessagesFound;
    where.messages = n;
    out->progress(where);

    for (int k = 1; k <= n; ++k) {
        if (!summary.stopReason.empty()) {
            // Each message after the stop is found and named, and not exported (the
            // report and the command line show them as one range).
            fail(info.path, k, kStopped, "not exported: the run had stopped");
            ++summary.failedMessages;
            continue;
        }
        if (cancel.load()) {
            summary.cancelled = true;
            summary.unreachedMessages += n - k + 1;
            noteLeft(info, k, n);
            break;
        }
        where.stored =
            convertMessage(info, file, part.messages[static_cast<std::size_t>(k - 1)], k);
        where.step = RunProgress::Step::MessageDone;
        where.message = k;
        where.exported = savedInMailbox;
        where.bytesDone = part.messages[static_cast<std::size_t>(k - 1)].end;
        out->progress(where);
    }
    file.close();
    finishMailbox();
}

MailboxInfo ConversionRun::Impl::mailboxInfo(int row) const {
    MailboxInfo info;
    info.row = row;
    info.path = trimSpaces(options.mailboxes[static_cast<std::size_t>(row)]);
    info.fileName = FileNameOf(info.path);
    info.name = MailboxNameOf(info.path);
    if (!info.path.empty())
        info.outputFolder = mailboxOutputFolder(options.outputFolder, info.path);
    return info;
}

// Cuts the message out of its mailbox into `buffer`; the reason when it cannot.
std::string ConversionRun::Impl::readMessage(const MailboxFile& file, const MessageRange& range) {
    if (buffer.capacity() > kKeepBufferBytes && range.size() < kKeepBufferBytes) {
        buffer = std::string();
    }
    buffer.reserve(static_cast<std::size_t>(range.size()) + 2);
    if (std::error_code ec = file.read(range.begin, range.size(), buffer)) return io::describe(ec);
    if (buffer.size() != range.size()) {
        return "the mailbox file ended early (read " + std::to_string(buffer.size()) + " of " +
               std::to_string(range.size()) + " bytes); it changed during the run";
    }
    return {};
}

// The attachment pass over `buffer`; what it could not handle, and (into
// `remarks`, when given) what the report should say though nothing failed.
std::vector<std::string> ConversionRun::Impl::attachmentPass(std::vector<std::string>* remarks) {
    std::vector<std::string> problems;
    if (attachments == nullptr) return problems;
    try {
        attachments->apply(buffer, options, problems);
    } catch (...) {
        problems.push_back(describeException(std::current_exception()));
    }
    std::vector<std::string> said = attachments->takeRemarks();
    if (remarks) *remarks = std::move(said);
    return problems;
}

bool ConversionRun::Impl::convertMessage(const MailboxInfo& info, const MailboxFile& file,
                                         const MessageRange& range, int k) {
    const std::string number = std::to_string(k);
    MessageInfo message;
    message.number = k;
    message.emlPath = info.outputFolder / ("Email-" + number + ".eml");
    message.offset = range.begin;
    message.size = range.size();

    if (std::string why = readMessage(file, range); !why.empty()) {
        fail(info.path, k, "read", std::move(why));
        ++summary.failedMessages;
        return false;
    }
    RunProgress saving = stepOf(RunProgress::Step::MessageStarted, info);
    saving.message = k;
    saving.messageBytes = range.size();
    saving.mailboxBytes = file.size();
    out->progress(saving);
    // Only a message with a remark or a failure is asked for its subject.
    std::string subject;
    bool subjectRead = false;
    auto subjectNow = [&]() -> const std::string& {
        if (!subjectRead) subject = subjectOf(buffer);
        subjectRead = true;
        return subject;
    };
    // The bytes stay as they are; the report says where they look damaged.
    for (const auto& [at, length] : nulRuns(buffer)) {
        remark(info, k,
               "a damaged area: " + std::to_string(length) + " NUL bytes at byte " +
                   std::to_string(range.begin + at) + " of the mailbox (kept as they are)",
               subjectNow());
    }
    applyEmlContentRule(buffer);

    std::vector<std::string> remarks;
    std::vector<std::string> problems = attachmentPass(&remarks);
    // The message is exported all the same: an attachment that could not be put
    // back is a remark on it.
    for (std::string& p : problems) remark(info, k, "attachments: " + std::move(p), subjectNow());
    for (std::string& r : remarks) remark(info, k, std::move(r), subjectNow());

    std::string error;
    bool stored = false;
    try {
        stored = sink->store(info, message, buffer, *out, error);
    } catch (...) {
        error = describeException(std::current_exception());
    }
    if (!stored) {
        if (error.empty()) error = "the message could not be stored";
        std::error_code writeError;
        try {
            writeError = sink->lastWriteError();
        } catch (...) {
        }
        if (options.format == Format::Eml) {
            fail(info.path, k, "write", error, subjectNow());
        } else {
            // The message is not lost: it stays beside the output as its .eml file.
            const std::error_code ec =
                info.folder ? info.folder->writeFile(io::utf8Of(message.emlPath.filename()), buffer)
                            : io::writeFile(message.emlPath, buffer);
            writeError = ec;
            if (ec) {
                error += "; it could not be kept as " + io::utf8Of(message.emlPath) +
                         " either: " + io::describe(ec);
            } else {
                ++summary.keptAsEml;
                error += "; the message was kept as " + io::utf8Of(message.emlPath);
            }
            fail(info.path, k, formatName(options.format), error, subjectNow());
        }
        ++summary.failedMessages;
        // Out of space, or not allowed to write: every later write would fail the
        // same way, so the run stops here rather than fail each message in turn.
        if (io::outOfRoomOrRights(writeError)) {
            summary.stopReason = io::describe(writeError) + " (writing " +
                                 io::utf8Of(message.emlPath.parent_path()) + ")";
        }
    } else {
        ++summary.exportedMessages;
        ++savedInMailbox;
    }
    return stored;
}

// Messages `from` to `to` of the mailbox were left when the run was stopped.
void ConversionRun::Impl::noteLeft(const MailboxInfo& info, int from, int to) {
    const std::string first = std::to_string(from), last = std::to_string(to);
    left.push_back(info.path + ": " +
                   (from == to ? "message " + first : "messages " + first + " to " + last) +
                   " not converted");
}

// The messages of an output that could not be finished: each is cut out of its
// mailbox again, goes through the same attachment pass, and is kept as its
// Email-k.eml, with the same bytes an EML run writes. Each counts as not
// converted; one that cannot be kept either is reported lost.
void ConversionRun::Impl::keepUnkept(const std::vector<UnkeptMessage>& unkept) {
    const std::string output = formatName(options.format);
    const int rows = static_cast<int>(options.mailboxes.size());
    MailboxFile file;
    MailboxInfo info;
    io::Folder folder;
    std::string mailboxError;  // why the current mailbox cannot be read again
    int openRow = -2;
    for (const UnkeptMessage& m : unkept) {
        const int k = m.number;
        if (m.row != openRow) {
            openRow = m.row;
            file.close();
            folder.close();
            info = MailboxInfo{};
            mailboxError.clear();
            if (m.row < 0 || m.row >= rows) {
                mailboxError = "its mailbox is not known to the run";
            } else {
                info = mailboxInfo(m.row);
                const MailboxStamp& then = stamps[static_cast<std::size_t>(m.row)];
                std::error_code ec = file.open(io::pathFromUtf8(info.path));
                if (ec) {
                    mailboxError = "its mailbox cannot be read again: " + io::describe(ec);
                } else if (!then.sameAs(MailboxStamp::of(info.path)) || file.size() != then.size) {
                    mailboxError = "its mailbox changed during the run";
                } else if ((ec = folder.open(options.outputFolder, info.outputFolder, true))) {
                    mailboxError = "the folder " + io::utf8Of(info.outputFolder) +
                                   " could not be created: " + io::describe(ec);
                }
            }
        }
        const std::string emlName = "Email-" + std::to_string(k) + ".eml";
        const std::string eml = io::utf8Of(info.outputFolder / emlName);
        const std::string said =
            m.reason.empty() ? "it was stored, but the " + output + " output could not be finished"
                             : m.reason;
        std::string error = mailboxError;
        std::string subject;
        if (error.empty()) error = readMessage(file, MessageRange{m.offset, m.offset + m.size});
        if (error.empty()) {
            subject = subjectOf(buffer);
            applyEmlContentRule(buffer);
            // What the pass could not do was remarked the first time.
            attachmentPass();
            if (std::error_code ec = folder.writeFile(emlName, buffer))
                error = io::describe(ec);
            else
                ++summary.keptAsEml;
        }
        fail(info.path, k, output,
             error.empty() ? said + "; the message was kept as " + eml
                           : said + ", and it could not be kept as " + eml + " either: " + error,
             std::move(subject));
        ++summary.failedMessages;
        --summary.exportedMessages;  // store() had taken it
    }
}

// For each row, the first row that names the same mailbox file (the file
// itself, whatever links or spellings lead to it); the row itself when none does.
std::vector<int> ConversionRun::Impl::repeatedRows() {
    const int rows = static_cast<int>(options.mailboxes.size());
    std::vector<int> first(static_cast<std::size_t>(rows));
    std::map<io::FileIdentity, int> files;
    std::map<std::string, int> names;  // mailboxes that cannot be looked at: by their path
    for (int i = 0; i < rows; ++i) {
        const std::string path = mailboxInfo(i).path;
        io::FileStatus st;
        int& seen = (!path.empty() && !io::statusOf(io::pathFromUtf8(path), st) && st.regular)
                        ? files.emplace(st.identity, i).first->second
                        : names.emplace(path, i).first->second;
        first[static_cast<std::size_t>(i)] = path.empty() ? i : seen;
    }
    return first;
}

// Every message with a remark counts once among the messages exported with a
// remark; a message that was not exported after all counts only there.
void ConversionRun::Impl::countRemarks() {
    std::set<std::pair<std::string, int>> failed, remarked;
    for (const Failure& f : summary.failures)
        if (f.message > 0) failed.insert({f.mailbox, f.message});
    for (const Note& n : summary.notes) {
        if (n.message > 0 && !failed.count({n.mailbox, n.message}))
            remarked.insert({n.mailbox, n.message});
    }
    summary.remarkedMessages = static_cast<int>(remarked.size());
}

void ConversionRun::Impl::writeReport() {
    const std::string crlf = "\r\n";
    std::string text = "Tessaport conversion report" + crlf;
    if (const std::string when = io::localTimeNow(); !when.empty())
        text += "Written: " + when + crlf;
    const RunSummary& s = summary;
    text += std::string("Format: ") + formatName(s.format) + crlf;
    text += "Output folder: " + io::utf8Of(options.outputFolder) + crlf;
    if (!s.pstFile.empty()) text += "Store: " + io::utf8Of(s.pstFile) + crlf;
    text += "Mailboxes: " + std::to_string(s.mailboxes) + " of " +
            std::to_string(options.mailboxes.size()) + " read" + crlf;
    text += "Messages found: " + std::to_string(s.messages) + crlf;
    text += "Messages exported: " + std::to_string(s.exportedMessages) + crlf;
    text += "  whole: " + std::to_string(s.wholeMessages()) + crlf;
    text += "  with a remark: " + std::to_string(s.remarkedMessages) + crlf;
    text +=
        "Messages not exported: " + std::to_string(s.failedMessages + s.unreachedMessages) + crlf;
    if (s.cancelled) {
        text +=
            "Messages found and left unconverted: " + std::to_string(s.unreachedMessages) + crlf;
        text += "The run was cancelled before its end." + crlf;
    }

    // A message is named by its mailbox, number and subject, and by its file
    // only when that file is there to be opened.
    auto messageName = [&](const std::string& mailbox, int k, const std::string& subject) {
        std::string name = ", message " + std::to_string(k);
        if (!subject.empty()) name += " \"" + subject + "\"";
        if (!mailbox.empty()) {
            const std::string eml = "Email-" + std::to_string(k) + ".eml";
            const fs::path file = mailboxOutputFolder(options.outputFolder, mailbox) / eml;
            std::error_code ec;
            if (fs::is_regular_file(fs::symlink_status(file, ec))) name += " (" + eml + ")";
        }
        return name;
    };
    auto mailboxName = [](const std::string& m) {
        return m.empty() ? std::string("(no mailbox)") : m;
    };

    if (!s.emptyMailboxes.empty()) {
        text += crlf + "Mailboxes in which no message was found:" + crlf;
        for (const std::string& m : s.emptyMailboxes) text += m + crlf;
    }
    if (!s.failures.empty()) {
        text += crlf + "Not exported or failed (mailbox, message, step: reason):" + crlf;
        for (std::size_t i = 0; i < s.failures.size(); ++i) {
            const Failure& f = s.failures[i];
            text += mailboxName(f.mailbox);
            // The messages after a stop: one line for each run of them.
            const std::size_t last = stoppedRunEnd(s.failures, i);
            if (last > i) {
                text += ", messages " + std::to_string(f.message) + " to " +
                        std::to_string(s.failures[last].message);
                i = last;
            } else if (f.message > 0) {
                text += messageName(f.mailbox, f.message, f.subject);
            }
            text += ", " + f.step + ": " + f.reason + crlf;
        }
    }
    const bool anyRemark =
        std::any_of(s.notes.begin(), s.notes.end(), [](const Note& n) { return n.message > 0; });
    if (anyRemark) {
        text += crlf + "Exported with a remark (mailbox, message: remark):" + crlf;
        for (const Note& n : s.notes) {
            if (n.message > 0)
                text += mailboxName(n.mailbox) + messageName(n.mailbox, n.message, n.subject) +
                        ": " + n.text + crlf;
        }
    }
    if (!left.empty()) {
        text += crlf + "Left unconverted when the run was stopped:" + crlf;
        for (const std::string& l : left) text += l + crlf;
    }
    if (std::any_of(s.notes.begin(), s.notes.end(), [](const Note& n) { return n.message == 0; })) {
        text += crlf + "Notes:" + crlf;
        for (const Note& n : s.notes)
            if (n.message == 0) text += n.text + crlf;
    }
    // A report of an earlier run into this folder is kept: this one takes the
    // first free name.
    io::Folder root;
    if (root.open(options.outputFolder, options.outputFolder, false)) return;
    const std::string stem = fs::path(kReportFileName).stem().string();
    const std::string extension = fs::path(kReportFileName).extension().string();
    for (int n = 1; n < 1000; ++n) {
        const std::string name = n == 1 ? std::string(kReportFileName)
                                        : stem + " (" + std::to_string(n) + ")" + extension;
        const std::error_code ec = root.createFile(name, text);
        if (!ec) {
            summary.reportFile = options.outputFolder / io::pathFromUtf8(name);
            return;
        }
        if (ec != std::errc::file_exists) return;
    }
}

void applyEmlContentRule(std::string& bytes) {
    const auto first = bytes.find_first_not_of(' ');
    if (first == std::string::npos) {
        bytes.clear();
    } else {
        bytes.erase(bytes.find_last_not_of(' ') + 1);
        bytes.erase(0, first);
    }
    bytes += "\r\n";
}

}  // namespace tp::convert
