// tessaport-convert: converts IncrediMail mailbox files from the command line,
// with the same engine and the same output layout as the window's Convert.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "convert/conversion_run.h"
#include "convert/io.h"
#include "convert/paths.h"
#include "convert/run_types.h"
#include "tessaport/version.h"

namespace fs = std::filesystem;
using namespace tp::convert;

namespace {

constexpr const char* kProgram = "tessaport-convert";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: tessaport-convert --format eml|mbox|pst --output DIR [--attachments DIR] "
    "MAILBOX...\n";

const char* const kHelp =
    "Converts IncrediMail mailbox files (*.imm) into .eml files, .mbox files or one\n"
    "Outlook .pst file.\n"
    "\n"
    "  --format eml|mbox|pst  eml: one Email-k.eml file per message; mbox: one .mbox file\n"
    "                         per mailbox; pst: one .pst file with a folder per mailbox\n"
    "  --output DIR           the output folder (created when missing). Each mailbox gets\n"
    "                         its own folder below it: DIR followed by the mailbox's full\n"
    "                         path, e.g. DIR/home/ann/Mail/Inbox.imm/\n"
    "  --attachments DIR      the folder where IncrediMail kept the attachment files; the\n"
    "                         messages get their attachments back from it\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Progress goes to standard error (on a terminal, one line updated in place), the\n"
    "summary to standard output. When anything\n"
    "could not be converted, Tessaport-report.txt in the output folder lists it.\n"
    "Ctrl-C stops after the current message and finishes the outputs; a second\n"
    "Ctrl-C aborts at once (a .pst file not yet finished is removed).\n"
    "A mailbox file named twice (by any path) is converted once.\n"
    "\n"
    "Exit status: 0 every message found was exported (some perhaps with a remark\n"
    "in the report), 1 a message or mailbox could not be exported, no message was\n"
    "found, or the run was stopped, 2 wrong usage or an output format that is not\n"
    "available, 130 aborted by a second Ctrl-C.\n";

std::atomic<bool> gCancel{false};

constexpr int kExitAborted = 130;

extern "C" void onSignal(int /*sig*/) {
    if (gCancel.exchange(true)) {
        // The second time: stop at once. A store still being written is no store
        // at all; its unfinished file goes.
        tp::io::abandonUnfinished();
        static const char msg[] = "\ntessaport-convert: aborted\n";
        ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(kExitAborted);
    }
    static const char msg[] =
        "\ntessaport-convert: stopping after the current message (press again to abort)\n";
    ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
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

// Shows the run's labels on standard error. On a terminal: one line redrawn in
// place, "Mailbox 2 of 5 Inbox.imm  40% [=====>    ] 1200 messages  850 msg/s  0:03 left",
// the bar taking the width the terminal has left. Otherwise a plain line now and then.
class ConsoleProgress : public RunObserver {
  public:
    explicit ConsoleProgress(bool tty) : tty_(tty), start_(Clock::now()), last_(start_) {}

    void textChanged(Control c, const std::string& text) override {
        std::string& label = labels_[static_cast<std::size_t>(c)];
        if (c == Control::LblProgessCurrent && text != label) {
            // The messages of the mailbox before are done; the terminal line shows
            // the next mailbox as soon as its name is known.
            savedBefore_ += static_cast<std::size_t>(savedHere_);
            savedHere_ = 0;
            nextMailbox_ = true;
        }
        label = text;
        if (c == Control::LblProgress) {  // "Saving: ..." comes between the counts
            if (text.empty()) saved_ = 0;
            std::sscanf(text.c_str(), "Saved %d Email Messages", &saved_);
            savedHere_ = std::max(savedHere_, saved_);
        }
        const bool named = nextMailbox_ && c == Control::LblIMMFile;
        if (named) nextMailbox_ = false;
        show(tty_ && named);
    }
    void valueChanged(Control c, double value) override {
        if (c == Control::ProgressBar1) overall_ = value;
        show(false);
    }
    void notice(const tp::Notice& n) override {
        clearLine();
        const std::string& box = labels_[static_cast<std::size_t>(Control::LblIMMFile)];
        std::cerr << kProgram << ": " << (box.empty() ? "" : box + ": ") << oneLine(n.text) << "\n";
        show(true);
    }
    void finish() {
        show(true);
        if (tty_ && drawn_) std::cerr << "\n";
        drawn_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;

    const std::string& label(Control c) const { return labels_[static_cast<std::size_t>(c)]; }

    // "Mailbox 2 (of 5) Inbox.imm | Saved 17 of 120 messages", and the share of the
    // whole run done, from the run's own label texts.
    std::string status(double& percent) const {
        int mailbox = 0, rows = 0, found = -1;
        const int saved = saved_;
        std::sscanf(label(Control::LblProgessCurrent).c_str(), "Mailbox %d (of %d)", &mailbox,
                    &rows);
        std::sscanf(label(Control::LblEmlsFound).c_str(), "%d Messages", &found);
        std::string s = label(Control::LblProgessCurrent) + label(Control::LblIMMFile);
        double share = 0;
        if (found < 0) {
            if (!label(Control::LblHappening).empty()) s += " | " + label(Control::LblHappening);
        } else {
            s += " | " + std::to_string(saved) + " of " + std::to_string(found) + " messages";
            share = found > 0 ? static_cast<double>(saved) / found : 1.0;
        }
        percent = overall_;
        if (rows > 0 && mailbox > 0) percent = (mailbox - 1 + share) * 100.0 / rows;
        return s;
    }

    // The terminal line, at most `width` columns wide.
    std::string terminalLine(double percent, std::size_t width) const {
        int mailbox = 0, rows = 0;
        std::sscanf(label(Control::LblProgessCurrent).c_str(), "Mailbox %d (of %d)", &mailbox,
                    &rows);
        std::string where =
            rows > 0 ? "Mailbox " + std::to_string(mailbox) + " of " + std::to_string(rows) + " "
                     : printable(label(Control::LblProgessCurrent));
        std::string name = printable(label(Control::LblIMMFile));

        const int whole = std::clamp(static_cast<int>(percent), 0, 100);
        const long done = static_cast<long>(savedBefore_) + savedHere_;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        std::string rate = "- msg/s", left = "-:-- left";
        if (elapsed >= 0.2) rate = std::to_string(std::lround(done / elapsed)) + " msg/s";
        if (whole >= 100)
            left = "0:00 left";
        else if (percent >= 0.5 && elapsed >= 0.5)
            left = clockTime(elapsed * (100.0 - percent) / percent) + " left";
        const std::string pct = (whole < 10    ? "  "
                                 : whole < 100 ? " "
                                               : "") +
                                std::to_string(whole) + "%";
        const std::string tail = std::to_string(done) + (done == 1 ? " message" : " messages") +
                                 "  " + rate + "  " + left;

        // The bar takes what the texts leave; a long mailbox name gives way first.
        constexpr std::size_t kMinBar = 10, kMinName = 12;
        auto texts = [&] {  // all but the bar, with its brackets and spaces
            return columnsOf(where) + columnsOf(name) + 1 + pct.size() + 1 + 2 + 1 + tail.size();
        };
        if (const std::size_t nameColumns = columnsOf(name);
            texts() + kMinBar > width && nameColumns > kMinName + 3) {
            const std::size_t need = texts() + kMinBar - width + 3;  // and "..."
            const std::size_t keep = nameColumns > need + kMinName ? nameColumns - need : kMinName;
            name = firstColumns(name, keep) + "...";
        }
        std::string line = where + name + " " + pct;
        if (const std::size_t room = width > texts() ? width - texts() : 0; room >= kMinBar) {
            const std::size_t filled = room * static_cast<std::size_t>(whole) / 100;
            std::string bar(room, ' ');
            std::fill_n(bar.begin(), filled, '=');
            if (filled < room && filled > 0) bar[filled - 1] = '>';
            line += " [" + bar + "]";
        }
        line += " " + tail;
        return columnsOf(line) > width ? firstColumns(line, width) : line;
    }

    void clearLine() {
        if (tty_ && drawn_) std::cerr << "\r\033[K" << std::flush;
    }

    void show(bool force) {
        const auto now = Clock::now();
        const auto gap = tty_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(500);
        if (!force && now - last_ < gap) return;
        double percent = 0;
        const std::string s = status(percent);
        if (s.empty()) return;
        last_ = now;
        if (tty_) {
            winsize ws{};
            std::size_t columns = 80;
            if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) columns = ws.ws_col;
            // One column short of the edge: a full line would wrap on some terminals.
            std::cerr << "\r\033[K" << terminalLine(percent, columns - 1) << std::flush;
            drawn_ = true;
        } else if (s != lastPrinted_) {
            std::cerr << s << "\n";
            lastPrinted_ = s;
        }
    }

    bool tty_;
    bool drawn_ = false;
    std::string labels_[7];
    double overall_ = 0;
    int saved_ = 0;
    int savedHere_ = 0;            // messages of this mailbox
    std::size_t savedBefore_ = 0;  // and of the mailboxes before
    bool nextMailbox_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
    std::string lastPrinted_;
};

std::optional<Format> parseFormat(const std::string& s) {
    if (s == "eml") return Format::Eml;
    if (s == "mbox") return Format::Mbox;
    if (s == "pst") return Format::Pst;
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> formatArg, outputArg, attachmentsArg;
    std::vector<std::string> mailboxes;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
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
            std::cout << kProgram << " (Tessaport) " << TP_VERSION << "\n";
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
            value = argv[++i];
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
    // Every label change reaches the console as it happens (it keeps its own pace of
    // drawing): a coalesced "Saved k" would be lost at a mailbox's end, and with it
    // the count of messages done.
    services.eventsPerSecond = 0;
    if (!services.makeSink || !services.makeSink(*format)) {
        std::cerr << kProgram << ": the " << *formatArg
                  << " output is not available in this build yet; use --format eml\n";
        return kExitUsage;
    }

    std::error_code ec;
    RunOptions options;
    options.format = *format;
    options.outputFolder = fs::absolute(*outputArg, ec);
    if (ec) return usageError("the output folder " + *outputArg + " is not a usable path");
    if (fs::exists(options.outputFolder, ec) && !fs::is_directory(options.outputFolder, ec)) {
        return usageError("the output " + options.outputFolder.string() + " is not a folder");
    }
    if (!MakeFolderPath(options.outputFolder)) {
        std::cerr << kProgram << ": the output folder " << options.outputFolder.string()
                  << " could not be created\n";
        return kExitUsage;
    }
    if (attachmentsArg) {
        const fs::path folder = fs::absolute(*attachmentsArg, ec);
        if (ec || !fs::is_directory(folder, ec)) {
            return usageError("the attachments folder " + *attachmentsArg + " is not a folder");
        }
        options.attachments = true;
        options.attachmentFolder = folder.string();
    }
    // A mailbox file is converted once, however often and by whatever path it is
    // named: twice would give every message twice.
    std::vector<fs::path> real;
    for (const std::string& m : mailboxes) {
        fs::path abs = m.empty() ? fs::path() : fs::absolute(m, ec);
        const std::string path = ec ? m : abs.string();
        fs::path canonical = m.empty() ? fs::path() : fs::canonical(path, ec);
        if (ec) canonical = fs::path(path).lexically_normal();
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

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    ConsoleProgress progress(::isatty(STDERR_FILENO) == 1);
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
    std::cout << "Output:     " << options.outputFolder.string() << "\n";
    if (!s.pstFile.empty()) std::cout << "PST file:   " << s.pstFile.string() << "\n";
    if (!s.reportFile.empty()) std::cout << "Report:     " << s.reportFile.string() << "\n";
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
