// tessaport-convert on a terminal (a pseudo-terminal), in a log, Ctrl-C, --version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <regex>

#include "run/run_helpers.h"
#include "tessaport/version.h"

namespace tp::test {
namespace {

// Runs the converter with standard error on a raw pseudo-terminal `columns` wide;
// SIGINT once standard error has shown `interruptAfter`.
Result runOnTerminal(const fs::path& cwd, const std::vector<std::string>& args,
                     unsigned short columns, const std::string& interruptAfter = "") {
    std::vector<std::string> words{TP_CLI};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::string outFile = (cwd / ".stdout").string(), dir = cwd.string();

    winsize ws{};
    ws.ws_col = columns;
    ws.ws_row = 24;
    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, &raw, &ws);
    if (pid == 0) {
        const int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(dir.c_str()) != 0 || fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) _exit(126);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    Result r;
    if (pid < 0) return r;
    bool interrupted = interruptAfter.empty();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the program has ended
        r.err.append(buf, static_cast<std::size_t>(n));
        if (!interrupted && r.err.find(interruptAfter) != std::string::npos) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readBytes(cwd / ".stdout");
    fs::remove(cwd / ".stdout");
    return r;
}

std::size_t columnsOf(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

// The progress lines: what follows each "\r\033[K" up to the next (notices aside),
// without the newline that ends the last.
std::vector<std::string> drawnLines(const std::string& err) {
    static const std::string kRedraw = "\r\033[K";
    std::vector<std::string> lines;
    std::size_t at = err.find(kRedraw);
    while (at != std::string::npos) {
        const std::size_t from = at + kRedraw.size();
        const std::size_t next = err.find(kRedraw, from);
        std::string line =
            err.substr(from, next == std::string::npos ? std::string::npos : next - from);
        if (!line.empty() && line.rfind("tessaport-convert:", 0) != 0) {
            if (line.back() == '\n') line.pop_back();
            lines.push_back(line);
        }
        at = next;
    }
    return lines;
}

std::string mailboxOf(int messages, const std::string& tag) {
    std::string box;
    for (int i = 1; i <= messages; ++i) box += textMessage(tag + " " + std::to_string(i));
    return box;
}

class ConsoleTest : public ::testing::Test {
  protected:
    ScratchDir dir;
};

// A long name is shortened and an odd one (a newline, an escape sequence) made
// printable: the line is redrawn whole at every width.
TEST_F(ConsoleTest, TerminalShowsOneLineRedrawnInPlaceThatFitsTheWidth) {
    const std::string longName(70, 'L'), oddName = "new\nline\033[2J";
    writeBytes(dir.path() / "Inbox.imm", mailboxOf(40, "In"));
    writeBytes(dir.path() / "Sent.imm", mailboxOf(7, "Out"));
    writeBytes(dir.path() / (longName + ".imm"), mailboxOf(2, "Long"));
    writeBytes(dir.path() / (oddName + ".imm"), mailboxOf(3, "Odd"));
    // Wide: every text and a bar. 40 columns: no bar, the name shortened, the
    // numbers whole with their words. 30: whole fields only.
    const std::regex wide(
        R"(^Mailbox ([1-4]) of 4 \S.*? +([0-9]+)% \[[=> ]+\] ([0-9]+) messages? (-|[0-9]+) msg/s (-:--|[0-9:]+) left$)");
    const std::regex narrow(R"(^(.*?) +([0-9]+)% [0-9]+ msg (-|[0-9]+)/s (-:--|[0-9:]+) left$)");
    const std::regex tiny(
        R"(^() *([0-9]+)%( [0-9]+ msg( (-|[0-9]+)/s( (-:--|[0-9:]+) left)?)?)?$)");
    for (unsigned short columns : {120, 80, 40, 30}) {
        SCOPED_TRACE(columns);
        const std::string out = "out" + std::to_string(columns);
        const Result r = runOnTerminal(dir.path(),
                                       {"--format", "eml", "--output", out, "Inbox.imm", "Sent.imm",
                                        longName + ".imm", oddName + ".imm"},
                                       columns);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(has(r.out, "Messages:   52"));
        const std::vector<std::string> lines = drawnLines(r.err);
        ASSERT_GE(lines.size(), 4u) << r.err;  // at least one per mailbox
        EXPECT_EQ(r.err.back(), '\n') << "the last line is ended once the run is over";
        // Nothing but redraws and the closing newline: no line scrolls by.
        std::size_t newlines = 0;
        for (char c : r.err) newlines += c == '\n' ? 1 : 0;
        EXPECT_EQ(newlines, 1u) << r.err;

        const std::regex& shape = columns >= 80 ? wide : columns >= 40 ? narrow : tiny;
        int lastPercent = -1;
        bool sawMailbox[4] = {false, false, false, false}, shortened = false, odd = false;
        for (const std::string& line : lines) {
            SCOPED_TRACE(line);
            EXPECT_LE(columnsOf(line), columns - 1u);
            EXPECT_EQ(line.find('\033'), std::string::npos);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape));
            if (columns >= 80) {
                sawMailbox[std::stoi(m[1]) - 1] = true;
                // The bar takes the width the texts leave: the line fills the terminal.
                EXPECT_EQ(columnsOf(line), columns - 1u);
            }
            shortened = shortened || has(line, "LLL...");
            odd = odd || has(line, "new?line?[2J");
            const int percent = std::stoi(m[2]);
            EXPECT_GE(percent, lastPercent);
            lastPercent = percent;
        }
        EXPECT_EQ(lastPercent, 100);
        const std::string& last = lines.back();
        if (columns >= 40) {
            EXPECT_TRUE(has(last, " 52 m"));
            EXPECT_TRUE(has(last, "0:00 left"));
        }
        if (columns >= 80) {
            EXPECT_TRUE(sawMailbox[0] && sawMailbox[1] && sawMailbox[2] && sawMailbox[3]);
            EXPECT_EQ(last.find(' ', last.rfind('[')), last.rfind("] ") + 1);  // the bar is full
            EXPECT_TRUE(shortened && odd);
        }
    }
}

// The share and time left follow the bytes; never complete before the end.
TEST_F(ConsoleTest, ProgressIsWeighedByBytesAndNeverFullBeforeTheEnd) {
    writeBytes(dir.path() / "Small.imm", mailboxOf(3, "Small"));
    std::string big;
    for (int i = 1; i <= 4; ++i)
        big += textMessage("Big " + std::to_string(i), std::string(270000, 'x') + "\r\n");
    writeBytes(dir.path() / "Big.imm", big);

    const Result r = runOnTerminal(
        dir.path(), {"--format", "eml", "--output", "out", "Small.imm", "Big.imm"}, 100);
    EXPECT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> lines = drawnLines(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_FALSE(has(lines[i], "100%")) << lines[i];
        EXPECT_FALSE(has(lines[i], "0:00 left")) << lines[i];
    }
    EXPECT_TRUE(has(lines.back(), "100%"));

    // In a log: one line as each mailbox starts and as it ends, with the share of
    // the run by bytes (the first mailbox holds a hundredth of them); a mailbox
    // that cannot be read says so.
    const Result logged =
        runShell(dir.path(), std::string("'") + TP_CLI +
                                 "' --format mbox --output log Small.imm Missing.imm Big.imm");
    EXPECT_EQ(logged.code, 1) << logged.err;
    EXPECT_EQ(logged.err.find('\r'), std::string::npos);
    EXPECT_EQ(logged.err.find('\033'), std::string::npos);
    const std::regex smallDone(
        R"(\nMailbox 1 of 3 Small\.imm: done, 3 of 3 messages exported, ([0-9]+)% of the run\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(logged.err, m, smallDone)) << logged.err;
    EXPECT_LT(std::stoi(m[1]), 5);
    for (const char* line :
         {"Mailbox 1 of 3 Small.imm: started, ", "\nMailbox 2 of 3 Missing.imm: started, 0 bytes\n",
          "\nMailbox 2 of 3 Missing.imm: could not be read, ",
          "\nMailbox 3 of 3 Big.imm: started, 1.0 MB\n",
          "\nMailbox 3 of 3 Big.imm: done, 4 of 4 messages exported, 100% of "
          "the run\n"}) {
        EXPECT_TRUE(has(logged.err, line)) << line << "\n" << logged.err;
    }
}

TEST_F(ConsoleTest, CtrlCStopsAfterTheCurrentMessageAndSaysSo) {
    writeBytes(dir.path() / "Big.imm", mailboxOf(20000, "Many"));
    const Result r = runOnTerminal(dir.path(), {"--format", "mbox", "--output", "out", "Big.imm"},
                                   100, "Mailbox 1 of 1");
    EXPECT_EQ(r.code, 1) << r.err;
    // What was exported of the messages found and what was left, alike in the
    // summary, its leading words and the report.
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.out, m, std::regex(R"(Exported:   ([0-9]+) of 20000 messages\n)")))
        << r.out;
    const int written = std::stoi(m[1]);
    ASSERT_LT(written, 20000) << r.out;
    const std::string done = m[1], left = std::to_string(20000 - written);
    EXPECT_TRUE(startsWith(r.out, "The conversion was stopped before its end: " + done +
                                      " of the 20000 messages found in 1 mailbox " +
                                      (written == 1 ? "was" : "were") + " exported, " + left +
                                      " were left unconverted.\n"));
    EXPECT_TRUE(has(
        r.out, "Cancelled:  yes; " + left + " of 20000 messages found were left unconverted\n"));
    const std::string report = readBytes(dir.path() / "out" / "Tessaport-report.txt");
    EXPECT_TRUE(has(report, "Messages exported: " + done + "\r\n"));
    EXPECT_TRUE(has(report, "messages " + std::to_string(written + 1) + " to 20000 not converted"));
    EXPECT_TRUE(has(r.err, "\ntessaport-convert: stopping after the current message"));
    // The progress line is drawn again below the notice and ended.
    const std::size_t notice = r.err.find("stopping after the current message");
    EXPECT_NE(r.err.find("\r\033[KMailbox 1 of 1", notice), std::string::npos);
    EXPECT_EQ(r.err.back(), '\n');
    // The last line tells a stopped run, not a complete one.
    const std::string last = r.err.substr(r.err.rfind("\r\033[K"));
    EXPECT_FALSE(has(last, "100%"));
    EXPECT_TRUE(has(last, " stopped\n"));
}

TEST_F(ConsoleTest, EveryProgramPrintsItsVersionWithoutOpeningAWindow) {
    const std::string version = TP_VERSION;
    EXPECT_TRUE(std::regex_match(version, std::regex(R"([0-9]+\.[0-9]+\.[0-9]+)")));
    struct Program {
        const char* path;
        std::string line;
        bool licence = false;  // a second line names the licence
    };
    std::vector<Program> programs{
        {TP_CLI, "tessaport-convert (Tessaport) " + version + "\n", true}};
#ifdef TP_PSTCHECK
    programs.push_back({TP_PSTCHECK, "pstcheck (Tessaport) " + version + "\n", true});
#endif
#ifdef TP_MAIN_WINDOW
    programs.push_back({TP_MAIN_WINDOW, "tessaport " + version + "\n"});
#endif
#ifdef TP_FINDER_WINDOW
    programs.push_back({TP_FINDER_WINDOW, "tessaport-finder (Tessaport) " + version + "\n"});
#endif
    for (const Program& p : programs) {
        SCOPED_TRACE(p.path);
        // No display at all: a program that tried to open a window would fail.
        const Result r = runShell(dir.path(), std::string("env -u DISPLAY -u WAYLAND_DISPLAY ") +
                                                  "-u QT_QPA_PLATFORM '" + p.path + "' --version");
        EXPECT_EQ(r.code, 0) << r.err;
        // The first line exactly as it always was (scripts compare it).
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), p.line);
        if (p.licence)
            EXPECT_TRUE(startsWith(r.out.substr(p.line.size()),
                                   "License GPL-3.0-or-later: GNU GPL version 3 or later "
                                   "<https://gnu.org/licenses/gpl.html>\n"))
                << r.out;
        else
            EXPECT_EQ(r.out, p.line);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
}  // namespace tp::test
