// tessaport-convert: converts IncrediMail mailbox files from the command line,
// with the same engine and the same output layout as the window's Convert.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "io/io.h"
#include "io/paths.h"
#include "io/system.h"
#include "run/conversion_run.h"
#include "run/run_types.h"
#include "tessaport/version.h"

namespace fs = std::filesystem;
using namespace tp::convert;

namespace {

constexpr const char* kProgram = "tessaport-convert";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: tessaport-convert --format eml|mbox|pst --output DIR\n"
    "                         [--attachments DIR] MAILBOX...\n";

const char* const kHelp =
    "Converts IncrediMail mailbox files (*.imm) into .eml files, .mbox files or one\n"
    "Outlook .pst file.\n"
    "\n"
    "  --format eml|mbox|pst  eml: one Email-k.eml file per message;\n"
    "                         mbox: one .mbox file per mailbox;\n"
    "                         pst: one .pst file with a folder per mailbox\n"
    "  --output DIR           the output folder (created when missing). Each mailbox\n"
    "                         gets its own folder below it: DIR followed by the\n"
    "                         mailbox's full path, e.g. DIR/home/ann/Mail/Inbox.imm/\n"
    "  --attachments DIR      the folder where IncrediMail kept the attachment\n"
    "                         files; the messages get their attachments back from it\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Progress goes to standard error (on a terminal, one line updated in place), the\n"
    "summary to standard output. When anything could not be converted,\n"
    "Tessaport-report.txt in the output folder lists it.\n"
    "Ctrl-C stops after the current message and finishes the outputs; a second\n"
    "Ctrl-C aborts at once (a .pst file not yet finished is removed).\n"
    "A mailbox file named twice (by any path) is converted once.\n"
    "\n"
    "Exit status: 0 every message found was exported (some perhaps with a remark\n"
    "in the report), 1 a message or mailbox could not be exported, no message was\n"
    "found, or the run was stopped, 2 wrong usage or an output format that is not\n"
    "available, 130 aborted by a second Ctrl-C.\n";

const char* const kLicence =
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

std::atomic<bool> gCancel{false};

constexpr int kExitAborted = 130;

// On Ctrl-C or a request to terminate (inside a signal handler on POSIX).
void onInterrupt() {
    if (gCancel.exchange(true)) {
        // The second time: stop at once. A store still being written is no store
        // at all; its unfinished file goes.
        tp::io::abandonUnfinished();
        static const char msg[] = "\ntessaport-convert: aborted\n";
        tp::io::writeErrorRaw(msg, sizeof msg - 1);
        tp::io::exitNow(kExitAborted);
    }
    static const char msg[] =
        "\ntessaport-convert: stopping after the current message (press again to abort)\n";
    tp::io::writeErrorRaw(msg, sizeof msg - 1);
}

int usageError(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\n"
              << kUsage << "Try '" << kProgram << " --help' for more.\n";
    return kExitUsage;
}

std::string oneLine(std::string text) {
    // Notices carry CR LF line ends; the terminal wants plain lines.
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i] == '\r' ? '\n' : text[i];
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// Columns a UTF-8 text takes on a terminal (one a character; wide characters are
// rare in mailbox names and counted as one).
std::size_t columnsOf(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

// The first `columns` characters of a UTF-8 text, never splitting a character.
std::string firstColumns(const std::string& s, std::size_t columns) {
    std::size_t n = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n++ == columns) break;
    }
    return s.substr(0, i);
}

// A name as one terminal line: control characters (a newline in a file name, an
// escape sequence) would break the line being redrawn.
std::string printable(std::string s) {
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return s;
}

// "0:42", "12:05", "1:02:03".
std::string clockTime(double seconds) {
    const long t = std::lround(std::max(0.0, seconds));
    char buf[32];
    if (t >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
    return buf;
}

// "1.2 MB", "340 KB", "12 bytes".
std::string sizeText(std::uint64_t bytes) {
    char buf[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(buf, sizeof buf, "%.0f KB", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

// A name in at most `columns` columns: whole, or its start and "...".
std::string shortName(const std::string& name, std::size_t columns) {
    if (columnsOf(name) <= columns) return name;
    if (columns < 4) return {};
    return firstColumns(name, columns - 3) + "...";
}

// Shows where the run is on standard error, from the run's progress numbers. The
// share done is weighed by bytes (the mailbox sizes are known at the start), and
// the time left comes from the bytes done a second. On a terminal: one line
// redrawn in place,
// "Mailbox 2 of 5 Inbox.imm  40% [=====>    ] 1200 messages 850 msg/s 0:03 left",
// the bar taking the width the texts leave; on a narrow terminal the bar goes
// first, then the name is shortened, then the texts take their short forms, and
// a number is never cut. Otherwise (a log): one line when a mailbox starts, one
// when it ends, and one every few seconds in between.
class ConsoleProgress : public RunObserver {
  public:
    explicit ConsoleProgress(bool tty) : tty_(tty), start_(Clock::now()), last_(start_) {}

    void progress(const RunProgress& p) override {
        using Step = RunProgress::Step;
        switch (p.step) {
            case Step::RunStarted:
                runBytes_ = p.runBytes;
                mailboxes_ = p.mailboxes;
                return;
            case Step::MailboxStarted:
                at_ = p;
                at_.messages = -1;  // not known yet
                started_ = true;
                if (tty_)
                    draw(true);
                else
                    print(where() + ": started, " + sizeText(p.mailboxBytes));
                return;
            case Step::Searching:
            case Step::MessageStarted:
            case Step::MessageWritten:
                return;  // the line moves with the messages done
            case Step::MessagesFound:
                at_.messages = p.messages;
                draw(false);
                return;
            case Step::MessageDone:
                at_.message = p.message;
                at_.exported = p.exported;
                at_.bytesDone = std::min(p.bytesDone, at_.mailboxBytes);
                ++messagesDone_;
                draw(false);
                return;
            case Step::MailboxDone: {
                at_.exported = p.exported;
                // A mailbox stopped part-way (Ctrl-C) counts with the bytes done.
                const bool whole = at_.messages < 0 || at_.message >= at_.messages;
                bytesBefore_ += whole ? at_.mailboxBytes : at_.bytesDone;
                cutShort_ = cutShort_ || !whole;
                at_.bytesDone = 0;
                ++mailboxesDone_;
                if (tty_) return;  // the next mailbox's line follows
                std::string line = where() + ": ";
                if (at_.messages < 0)
                    line += "could not be read";
                else
                    line += "done, " + std::to_string(at_.exported) + " of " +
                            std::to_string(at_.messages) + " messages exported";
                print(line + ", " + std::to_string(wholePercent()) + "% of the run");
                return;
            }
        }
    }
    void notice(const tp::Notice& n) override {
        clearLine();
        std::cerr << kProgram << ": " << (at_.name.empty() ? "" : printable(at_.name) + ": ")
                  << oneLine(n.text) << "\n";
        if (tty_) draw(true);
    }
    void finish() {
        finished_ = true;
        if (tty_) {
            draw(true);
            if (drawn_) std::cerr << "\n";
            drawn_ = false;
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    // "Mailbox 2 of 5 Inbox.imm"
    std::string where() const {
        return "Mailbox " + std::to_string(at_.mailbox + 1) + " of " +
               std::to_string(at_.mailboxes) + " " + printable(at_.name);
    }

    std::uint64_t bytesDone() const { return bytesBefore_ + at_.bytesDone; }

    // The share of the run done, 0 to 100; 100 only once every mailbox is done whole.
    int wholePercent() const {
        if (!cutShort_ && mailboxes_ > 0 && mailboxesDone_ >= mailboxes_) return 100;
        double share;
        if (runBytes_ > 0)
            share = static_cast<double>(bytesDone()) / static_cast<double>(runBytes_);
        else
            share = mailboxes_ > 0 ? static_cast<double>(mailboxesDone_) / mailboxes_ : 0.0;
        return std::clamp(static_cast<int>(share * 100.0), 0, 99);
    }

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    // "0:03 left" from the bytes done a second; "-:-- left" until that is known;
    // "stopped" for a run that ended before its end (Ctrl-C).
    std::string timeLeft() const {
        if (wholePercent() >= 100) return "0:00 left";
        if (finished_) return "stopped";
        const double seconds = elapsed();
        const std::uint64_t done = bytesDone();
        if (seconds < 0.5 || done == 0 || runBytes_ == 0) return "-:-- left";
        const double perSecond = static_cast<double>(done) / seconds;
        const double rest = static_cast<double>(runBytes_ > done ? runBytes_ - done : 0);
        // Rounded up: "0:00 left" is for a run that is over.
        return clockTime(std::max(1.0, std::ceil(rest / perSecond))) + " left";
    }

    std::string rate() const {
        const double seconds = elapsed();
        if (seconds < 0.2) return "-";
        return std::to_string(std::lround(static_cast<double>(messagesDone_) / seconds));
    }

    // The terminal line, at most `width` columns wide.
    std::string terminalLine(std::size_t width) const {
        const int whole = wholePercent();
        const std::string pct = (whole < 10    ? "  "
                                 : whole < 100 ? " "
                                               : "") +
                                std::to_string(whole) + "%";
        const std::string count = std::to_string(messagesDone_);
        const std::string r = rate(), left = timeLeft();
        const std::string tail =
            count + (messagesDone_ == 1 ? " message " : " messages ") + r + " msg/s " + left;
        const std::string shortTail = count + " msg " + r + "/s " + left;
        const std::string name = printable(at_.name);
        const std::string full = "Mailbox " + std::to_string(at_.mailbox + 1) + " of " +
                                 std::to_string(at_.mailboxes) + " ";
        const std::string brief =
            std::to_string(at_.mailbox + 1) + "/" + std::to_string(at_.mailboxes) + " ";

        // Room for the name in a line of the other texts; 0 when there is none.
        auto roomFor = [&](std::size_t others) { return width > others ? width - others : 0; };
        constexpr std::size_t kMinBar = 6, kMinName = 12;

        // With the bar: a long name gives way to it, down to kMinName.
        {
            const std::size_t others = full.size() + 1 + pct.size() + 2 + kMinBar + 2 + tail.size();
            const std::size_t room = roomFor(others);
            const std::size_t nameColumns = std::min(columnsOf(name), std::max(room, kMinName));
            if (room >= nameColumns) {
                const std::string shown = shortName(name, nameColumns);
                const std::size_t barColumns = kMinBar + room - columnsOf(shown);
                const auto filled = barColumns * static_cast<std::size_t>(whole) / 100;
                std::string bar(barColumns, ' ');
                std::fill_n(bar.begin(), filled, '=');
                if (filled < barColumns && filled > 0) bar[filled - 1] = '>';
                return full + shown + " " + pct + " [" + bar + "] " + tail;
            }
        }
        // Without the bar, then the short texts: the name shortened as far as each allows.
        struct Form {
            const std::string& lead;
            const std::string& tail;
            std::size_t minName;
        };
        const std::string none;
        for (const Form& f :
             {Form{full, tail, kMinName}, Form{brief, shortTail, 8}, Form{none, shortTail, 5}}) {
            const std::size_t room = roomFor(f.lead.size() + 1 + pct.size() + 1 + f.tail.size());
            const std::string shown = shortName(name, room);
            if (shown == name || columnsOf(shown) >= f.minName)
                return f.lead + shown + " " + pct + " " + f.tail;
        }
        // Very narrow: whole fields only, the least needed left out first.
        std::string line = pct;
        for (const std::string& field : {count + " msg", r + "/s", left}) {
            if (line.size() + 1 + field.size() > width) break;
            line += " " + field;
        }
        return line.size() <= width ? line : std::string();
    }

    void clearLine() {
        if (tty_ && drawn_) std::cerr << "\r\033[K" << std::flush;
    }

    void print(const std::string& line) {
        std::cerr << line << "\n" << std::flush;
        last_ = Clock::now();
    }

    void draw(bool force) {
        if (!started_) return;
        const auto now = Clock::now();
        if (!tty_) {
            // In a log, a line every few seconds between a mailbox's start and end.
            if (now - last_ < std::chrono::seconds(5) || at_.messages < 0) return;
            print(where() + ": " + std::to_string(at_.message) + " of " +
                  std::to_string(at_.messages) + " messages, " + std::to_string(wholePercent()) +
                  "% of the run, " + timeLeft());
            return;
        }
        if (!force && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::size_t columns = tp::io::errorColumns();
        if (columns == 0) columns = 80;
        // One column short of the edge: a full line would wrap on some terminals.
        std::cerr << "\r\033[K" << terminalLine(columns - 1) << std::flush;
        drawn_ = true;
    }

    bool tty_;
    bool drawn_ = false;
    bool started_ = false;
    bool finished_ = false;
    std::uint64_t runBytes_ = 0;
    int mailboxes_ = 0;
    RunProgress at_;                 // the mailbox being converted
    std::uint64_t bytesBefore_ = 0;  // the sizes of the mailboxes done
    int mailboxesDone_ = 0;
    bool cutShort_ = false;  // a mailbox was left part-way
    long messagesDone_ = 0;  // messages converted or not, all mailboxes
    Clock::time_point start_;
    Clock::time_point last_;
};

std::optional<Format> parseFormat(const std::string& s) {
    if (s == "eml") return Format::Eml;
    if (s == "mbox") return Format::Mbox;
    if (s == "pst") return Format::Pst;
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // UTF-8 from here on, whatever the system's code page.
    const std::vector<std::string> args = tp::io::programArguments(argc, argv);
    argc = static_cast<int>(args.size());
    std::optional<std::string> formatArg, outputArg, attachmentsArg;
    std::vector<std::string> mailboxes;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = args[static_cast<std::size_t>(i)];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            mailboxes.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage << "\n" << kHelp;
            return kExitOk;
        }
        if (arg == "--version") {
            std::cout << kProgram << " (Tessaport) " << TP_VERSION << "\n" << kLicence;
            return kExitOk;
        }
        std::string name = arg, value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        std::optional<std::string>* slot = nullptr;
        if (name == "--format") slot = &formatArg;
        if (name == "--output") slot = &outputArg;
        if (name == "--attachments") slot = &attachmentsArg;
        if (slot == nullptr) return usageError("unknown option " + arg);
        if (!hasValue) {
            if (i + 1 >= argc) return usageError(name + " needs a value");
            value = args[static_cast<std::size_t>(++i)];
        }
        if (slot->has_value()) return usageError(name + " is given twice");
        *slot = value;
    }

    if (!formatArg) return usageError("--format is missing");
    const std::optional<Format> format = parseFormat(*formatArg);
    if (!format) return usageError("unknown format '" + *formatArg + "' (eml, mbox or pst)");
    if (!outputArg || outputArg->empty()) return usageError("--output is missing");
    if (mailboxes.empty()) return usageError("no mailbox file given");

    RunServices services = defaultServices();
    // The console draws from the run's progress numbers, which are never thinned
    // out, and keeps its own pace of drawing; the labels need no thinning either.
    services.eventsPerSecond = 0;

    std::error_code ec;
    RunOptions options;
    options.format = *format;
    options.outputFolder = fs::absolute(tp::io::pathFromUtf8(*outputArg), ec);
    if (ec) return usageError("the output folder " + *outputArg + " is not a usable path");
    if (fs::exists(options.outputFolder, ec) && !fs::is_directory(options.outputFolder, ec)) {
        return usageError("the output " + tp::io::utf8Of(options.outputFolder) +
                          " is not a folder");
    }
    if (!MakeFolderPath(options.outputFolder)) {
        std::cerr << kProgram << ": the output folder " << tp::io::utf8Of(options.outputFolder)
                  << " could not be created\n";
        return kExitUsage;
    }
    if (attachmentsArg) {
        const fs::path folder = fs::absolute(tp::io::pathFromUtf8(*attachmentsArg), ec);
        if (ec || !fs::is_directory(folder, ec)) {
            return usageError("the attachments folder " + *attachmentsArg + " is not a folder");
        }
        options.attachments = true;
        options.attachmentFolder = tp::io::utf8Of(folder);
    }
    // A mailbox file is converted once, however often and by whatever path it is
    // named: twice would give every message twice.
    std::vector<fs::path> real;
    for (const std::string& m : mailboxes) {
        fs::path abs = m.empty() ? fs::path() : fs::absolute(tp::io::pathFromUtf8(m), ec);
        const std::string path = ec ? m : tp::io::utf8Of(abs);
        fs::path canonical = m.empty() ? fs::path() : fs::canonical(tp::io::pathFromUtf8(path), ec);
        if (ec) canonical = tp::io::pathFromUtf8(path).lexically_normal();
        const auto seen = std::find(real.begin(), real.end(), canonical);
        if (!m.empty() && seen != real.end()) {
            std::cerr << kProgram << ": " << m << " is listed already (as "
                      << options.mailboxes[static_cast<std::size_t>(seen - real.begin())]
                      << "); it is converted once\n";
            continue;
        }
        real.push_back(canonical);
        options.mailboxes.push_back(path);
    }

    tp::io::onInterrupt(onInterrupt);

    ConsoleProgress progress(tp::io::errorIsTerminal());
    ConversionRun run(options, progress, std::move(services));
    const RunSummary s = run.run(gCancel);
    progress.finish();

    const tp::Notice closing = closingNotice(s);
    std::cout << oneLine(closing.text) << "\n\n";
    std::cout << "Format:     " << *formatArg << "\n";
    std::cout << "Mailboxes:  " << s.mailboxes << " of " << options.mailboxes.size() << " read\n";
    std::cout << "Messages:   " << s.messages << "\n";
    // Each message counts once: exported whole, exported with a remark, not exported.
    std::cout << "Exported:   " << s.exportedMessages << " of " << s.messages << " messages";
    if (s.remarkedMessages > 0)
        std::cout << " (" << s.wholeMessages() << " whole, " << s.remarkedMessages
                  << " with a remark)";
    std::cout << "\n";
    std::cout << "Not exported: " << s.failedMessages + s.unreachedMessages << " of " << s.messages
              << " messages";
    std::size_t other = 0;
    for (const Failure& f : s.failures) other += f.message == 0 ? 1 : 0;
    if (other > 0)
        std::cout << "; " << other << (other == 1 ? " problem" : " problems")
                  << " outside messages";
    std::cout << "\n";
    for (const std::string& m : s.emptyMailboxes) std::cout << "No message: " << m << "\n";
    if (s.cancelled) {
        std::cout << "Cancelled:  yes; " << s.unreachedMessages << " of " << s.messages
                  << " messages found were left unconverted\n";
    }
    std::cout << "Output:     " << tp::io::utf8Of(options.outputFolder) << "\n";
    if (!s.pstFile.empty()) std::cout << "PST file:   " << tp::io::utf8Of(s.pstFile) << "\n";
    if (!s.reportFile.empty()) std::cout << "Report:     " << tp::io::utf8Of(s.reportFile) << "\n";
    std::cout << std::flush;

    // Without a report file (or before the run could start) the reasons go here.
    if (s.reportFile.empty()) {
        for (std::size_t i = 0; i < s.failures.size(); ++i) {
            const Failure& f = s.failures[i];
            // The messages after a stop: one line for each run of them.
            const std::size_t last = stoppedRunEnd(s.failures, i);
            const std::string which = last > i ? "messages " + std::to_string(f.message) + " to " +
                                                     std::to_string(s.failures[last].message) + ": "
                                      : f.message > 0
                                          ? "message " + std::to_string(f.message) + ": "
                                          : std::string();
            i = last;
            std::cerr << kProgram << ": " << (f.mailbox.empty() ? "" : f.mailbox + ": ") << which
                      << f.step << ": " << f.reason << "\n";
        }
        for (const Note& n : s.notes) std::cerr << kProgram << ": note: " << n.text << "\n";
    }

    return s.incomplete() ? kExitFailed : kExitOk;
}
