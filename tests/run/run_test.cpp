// The conversion run over real mailbox files, with the EML writer and with stand-in
// sinks where a format's own writer is not the subject.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "io/io.h"
#include "io/paths.h"
#include "run/message_sink.h"
#include "run/run_helpers.h"
#include "support/unprivileged.h"

namespace tp::test {
namespace {

using convert::ConversionRun;
using convert::Format;
using convert::RunOptions;
using convert::RunProgress;
using convert::RunServices;
using convert::RunSummary;

RunServices everyEvent() {
    RunServices s = convert::defaultServices();
    s.eventsPerSecond = 0;
    return s;
}

fs::path emlOf(const RunOptions& o, const fs::path& mailbox, int k) {
    return convert::mailboxOutputFolder(o.outputFolder, mailbox.string()) /
           ("Email-" + std::to_string(k) + ".eml");
}

class RunTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    RecordingObserver obs;  // the steps of the latest run
    RunSummary convertAll(const RunOptions& options, RunServices services = everyEvent(),
                          const std::atomic<bool>* cancel = nullptr) {
        static const std::atomic<bool> never{false};
        obs.steps.clear();
        obs.notices.clear();
        ConversionRun run(options, obs, std::move(services));
        return run.run(cancel ? *cancel : never);
    }
    fs::path out() const { return dir.path() / "out"; }
    fs::path box(const std::string& name, const std::string& bytes) {
        writeBytes(dir.path() / name, bytes);
        return dir.path() / name;
    }
    RunOptions options(std::vector<fs::path> mailboxes, Format format = Format::Eml) {
        RunOptions o;
        for (auto& m : mailboxes) o.mailboxes.push_back(m.string());
        o.format = format;
        o.outputFolder = out();
        fs::create_directories(o.outputFolder);
        return o;
    }
};

TEST_F(RunTest, TwoMailboxesGiveEveryMessageWholeWithTheLabelsOfTheRun) {
    const std::vector<std::string> a = {textMessage("First"),
                                        textMessage("Second", "Line\r\n\r\nMore"),
                                        textMessage("=?UTF-8?B?R3LDvMOfZQ==?=")};
    const std::vector<std::string> b = {textMessage("Only one")};
    const fs::path ma = dir.path() / "Mail" / "Inbox.imm", mb = dir.path() / "Mail" / "Sent.imm";
    writeBytes(ma, a[0] + a[1] + a[2]);
    writeBytes(mb, b[0]);
    RunOptions o = options({ma, mb});
    const RunSummary s = convertAll(o);

    EXPECT_EQ(s.mailboxes, 2);
    EXPECT_EQ(s.messages, 4);
    EXPECT_EQ(s.failedMessages, 0);
    EXPECT_TRUE(s.failures.empty() && s.notes.empty() && s.reportFile.empty());
    EXPECT_FALSE(fs::exists(out() / convert::kReportFileName));

    // Byte for byte: each message's range plus the writer's CR LF.
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(readBytes(emlOf(o, ma, k)), a[k - 1] + "\r\n") << k;
    EXPECT_EQ(readBytes(emlOf(o, mb, 1)), b[0] + "\r\n");
    EXPECT_FALSE(fs::exists(emlOf(o, ma, 4)));

    // Each hit of the search, the count found, each message with its size, saved or not.
    const std::string ta = std::to_string(fs::file_size(ma));
    const std::string total = std::to_string(fs::file_size(ma) + fs::file_size(mb));
    EXPECT_EQ(
        obs.trace(),
        (std::vector<std::string>{
            "run 2 " + total, "mailbox 1/2 Inbox.imm", "search 1", "search 2", "search 3",
            "found 3", "saving 1: " + std::to_string(a[0].size()) + " of " + ta, "done 1 saved 1",
            "saving 2: " + std::to_string(a[1].size()) + " of " + ta, "done 2 saved 2",
            "saving 3: " + std::to_string(a[2].size()) + " of " + ta, "done 3 saved 3",
            "end 1 saved 3", "mailbox 2/2 Sent.imm", "search 1", "found 1",
            "saving 1: " + std::to_string(b[0].size()) + " of " + std::to_string(fs::file_size(mb)),
            "done 1 saved 1", "end 2 saved 1"}));
}

// A mailbox file that the list names twice (by a link, or the same path again)
// is converted once: its messages are not written twice, nor counted twice.
TEST_F(RunTest, AMailboxListedTwiceIsConvertedOnce) {
    const fs::path m = dir.path() / "Inbox.imm", link = dir.path() / "Link.imm";
    writeBytes(m, textMessage("a") + textMessage("b"));
    fs::create_symlink(m, link);
    RunOptions o = options({m, link, m}, Format::Mbox);
    const RunSummary s = convertAll(o);
    EXPECT_EQ(s.messages, 2);
    EXPECT_EQ(s.exportedMessages, 2);
    EXPECT_EQ(s.repeatedMailboxes, 2);
    EXPECT_TRUE(s.failures.empty());
    const std::string mbox =
        readBytes(convert::mailboxOutputFolder(out(), m.string()) / "Inbox.mbox");
    EXPECT_EQ(mbox.find("Subject: a"), mbox.rfind("Subject: a"));
    EXPECT_FALSE(fs::exists(convert::mailboxOutputFolder(out(), link.string())));
    ASSERT_FALSE(s.reportFile.empty());
    EXPECT_NE(readBytes(s.reportFile).find(link.string() + " is listed again (as " + m.string()),
              std::string::npos);
}

TEST_F(RunTest, UnreadableMailboxesAreRecordedAndTheRestIsConverted) {
    const fs::path good = dir.path() / "good.imm", missing = dir.path() / "missing.imm";
    const fs::path folder = dir.path() / "folder.imm", empty = dir.path() / "empty.imm";
    const fs::path noHit = dir.path() / "nohit.imm";
    writeBytes(good, textMessage("Kept"));
    fs::create_directories(folder);
    writeBytes(empty, "");
    writeBytes(noHit, "Subject: old mail without a MIME line\r\n\r\nText\r\n");
    RunOptions o = options({missing, good, "", folder, empty, noHit});
    const RunSummary s = convertAll(o);

    EXPECT_EQ(s.mailboxes, 3);  // read: good, empty, nohit
    EXPECT_EQ(s.unreadMailboxes, 3);
    EXPECT_EQ(s.emptyMailboxes, (std::vector<std::string>{empty.string(), noHit.string()}));
    EXPECT_EQ(s.messages, 1);
    EXPECT_EQ(s.failedMessages, 0);
    EXPECT_EQ(readBytes(emlOf(o, good, 1)), textMessage("Kept") + "\r\n");

    std::vector<std::string> failed;
    for (const auto& f : s.failures) {
        EXPECT_EQ(f.message, 0);
        EXPECT_EQ(f.step, "open");
        EXPECT_FALSE(f.reason.empty());
        failed.push_back(f.mailbox);
    }
    EXPECT_EQ(failed, (std::vector<std::string>{missing.string(), "", folder.string()}));
    EXPECT_FALSE(fs::exists(convert::mailboxOutputFolder(out(), missing.string())));
    // A mailbox without hits still gets its folder and "0 Messages", and its bytes a note.
    EXPECT_TRUE(fs::is_directory(convert::mailboxOutputFolder(out(), noHit.string())));
    ASSERT_EQ(s.notes.size(), 1u);
    EXPECT_TRUE(has(s.notes[0].text, noHit.string()));
    // Every listed mailbox ends; only those read were searched.
    EXPECT_EQ(obs.trace({RunProgress::Step::MessagesFound, RunProgress::Step::MailboxDone}),
              (std::vector<std::string>{"end 1 saved 0", "found 1", "end 2 saved 1",
                                        "end 3 saved 0", "end 4 saved 0", "found 0",
                                        "end 5 saved 0", "found 0", "end 6 saved 0"}));

    // The scanner's size box reaches the observer once, though it complains at each step.
    EXPECT_EQ(std::count_if(obs.notices.begin(), obs.notices.end(),
                            [](const Notice& n) { return n.text.rfind("File size is ", 0) == 0; }),
              1);

    EXPECT_EQ(s.reportFile, out() / convert::kReportFileName);
    EXPECT_TRUE(has(convert::closingNotice(s).text, "2 mailboxes could not be converted"));
}

TEST_F(RunTest, LeadingBytesAreNotedAndTrimmingFollowsTheWriter) {
    const std::string junk("IncrediMail leftovers\r\n\0\0\r\n", 27);
    const std::string first = textMessage("One");
    const std::string last = textMessage("Two", "Ends with spaces   ");
    const fs::path m = box("Box.imm", junk + first + last.substr(0, last.size() - 4) + "   ");
    RunOptions o = options({m});
    const RunSummary s = convertAll(o);
    ASSERT_EQ(s.messages, 2);
    EXPECT_EQ(readBytes(emlOf(o, m, 1)), first + "\r\n");
    // Trailing spaces go; the writer's CR LF follows the last byte kept.
    EXPECT_EQ(readBytes(emlOf(o, m, 2)),
              last.substr(0, last.size() - std::string("   \r\n\r\n").size()) + "\r\n");
    ASSERT_EQ(s.notes.size(), 1u);
    EXPECT_EQ(s.notes[0].text, std::to_string(junk.size()) + " bytes before the first message of " +
                                   m.string() + " were not exported");
    EXPECT_TRUE(s.failures.empty());
    EXPECT_TRUE(has(convert::closingNotice(s).text, s.reportFile.string()));
}

// Fails every file operation below `root`, as a read-only folder would.
struct FailBelow : io::FaultInjector {
    explicit FailBelow(fs::path r) : root(std::move(r)) { io::setFaultInjector(this); }
    ~FailBelow() override { io::setFaultInjector(nullptr); }
    std::error_code before(io::Op, const fs::path& p, std::uint64_t) override {
        if (p.string().rfind(root.string(), 0) != 0) return {};
        return std::make_error_code(std::errc::read_only_file_system);
    }
    fs::path root;
};

// An unwritable folder or full disk stops the run at the first failed write,
// reported once for the rest; never called a success.
TEST_F(RunTest, AnUnwritableOutputFolderStopsTheRunAtTheFirstWrite) {
    const fs::path m = dir.path() / "Inbox.imm", later = dir.path() / "Sent.imm";
    writeBytes(m, textMessage("a") + textMessage("b") + textMessage("c"));
    writeBytes(later, textMessage("d"));
    RunOptions o = options({m, later});
    RunSummary s;
    {
        FailBelow fail(out());
        s = convertAll(o);
    }
    EXPECT_EQ(s.messages, 4);  // the later mailbox is searched, not written
    EXPECT_EQ(s.failedMessages, 4);
    EXPECT_EQ(s.exportedMessages, 0);
    EXPECT_TRUE(has(s.stopReason, "Read-only file system"));
    std::vector<std::string> lines;
    for (const auto& f : s.failures)
        if (f.step != "folder")
            lines.push_back(f.mailbox + " " + std::to_string(f.message) + " " + f.step);
    EXPECT_EQ(lines,
              (std::vector<std::string>{m.string() + " 1 write", m.string() + " 2 stopped",
                                        m.string() + " 3 stopped", later.string() + " 1 stopped"}));
    EXPECT_TRUE(s.reportFile.empty());  // the report could not be written either
    for (const RunProgress& p : obs.steps) EXPECT_FALSE(p.stored) << said(p);
    const Notice closing = convert::closingNotice(s);
    EXPECT_FALSE(has(closing.text, "successfully"));
    EXPECT_TRUE(startsWith(
        closing.text, "The conversion stopped before its end: Read-only file system (writing "));
    EXPECT_TRUE(has(closing.text, "4 of 4 messages could not be exported.\r\n"));
    EXPECT_TRUE(
        has(closing.text, "Your IncrediMail messages could not be exported to (.eml) files."));
    EXPECT_TRUE(has(closing.text, "could not be written"));

    // An empty list converts nothing and says so.
    const Notice empty = convert::closingNotice(convertAll(options({""})));
    EXPECT_EQ(empty.icon, NoticeIcon::Warning);
    EXPECT_FALSE(has(empty.text, "successfully"));

    // A real read-only folder, written to by an ordinary user (root writes anyway).
    const fs::path ro = dir.path() / "ro";
    fs::create_directories(ro);
    const auto readable = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir.path(), readable | fs::perms::owner_write);
    fs::permissions(ro, readable);
    o.outputFolder = ro;
    const int outcome = runUnprivileged([&] {
        const RunSummary s2 = convertAll(o);
        const bool claimed = has(convert::closingNotice(s2).text, "successfully");
        return s2.failedMessages * 10 + s2.exportedMessages + (claimed ? 5 : 0);
    });
    EXPECT_EQ(outcome, 40);  // four messages failed, none exported, no success claimed
    EXPECT_TRUE(fs::is_empty(ro));
    fs::permissions(ro, fs::perms::owner_all);
}

// A stand-in for the MBOX and PST writers: fails the messages it is told to.
class FlakySink : public convert::MessageSink {
  public:
    explicit FlakySink(std::vector<int> failing, int* closes)
        : failing_(std::move(failing)), closes_(closes) {}
    bool store(const convert::MailboxInfo&, const convert::MessageInfo& m, std::string_view bytes,
               convert::RunObserver&, std::string& error) override {
        if (std::find(failing_.begin(), failing_.end(), m.number) != failing_.end()) {
            error = "disk full";
            return false;
        }
        stored.emplace_back(bytes);
        return true;
    }
    void close(RunSummary&) override { ++*closes_; }
    std::vector<std::string> stored;

  private:
    std::vector<int> failing_;
    int* closes_;
};

TEST_F(RunTest, AMessageTheFormatCouldNotStoreIsKeptAsItsEmlAndRecorded) {
    const fs::path m = dir.path() / "Inbox.imm";
    const std::string a = textMessage("a"), b = textMessage("b"), c = textMessage("c");
    writeBytes(m, a + b + c);
    RunOptions o = options({m}, Format::Mbox);
    int closes = 0;
    RunServices services = everyEvent();
    services.makeSink = [&](Format) {
        return std::make_unique<FlakySink>(std::vector<int>{2}, &closes);
    };
    const RunSummary s = convertAll(o, services);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(s.failedMessages, 1);
    ASSERT_EQ(s.failures.size(), 1u);
    EXPECT_EQ(s.failures[0].message, 2);
    EXPECT_EQ(s.failures[0].step, "mbox");
    EXPECT_TRUE(has(s.failures[0].reason, "disk full"));
    EXPECT_TRUE(has(s.failures[0].reason, "kept as"));
    EXPECT_EQ(readBytes(emlOf(o, m, 2)), b + "\r\n");
    EXPECT_FALSE(fs::exists(emlOf(o, m, 1)));
    EXPECT_EQ(s.exportedMessages, 2);
    // "Saved" counts the messages in the output, after they are there.
    EXPECT_EQ(obs.trace({RunProgress::Step::MessageDone}),
              (std::vector<std::string>{"done 1 saved 1", "done 2 not saved", "done 3 saved 2"}));
    const Notice closing = convert::closingNotice(s);
    EXPECT_TRUE(startsWith(closing.text, "1 of 3 messages could not be exported.\r\n"));
    EXPECT_TRUE(has(closing.text,
                    "Not all of your IncrediMail messages could be exported to (.mbox) files."));
    EXPECT_FALSE(has(closing.text, "successfully"));
    // The usage line belongs to a success only.
    EXPECT_FALSE(has(closing.text, "MBOX files are supported"));

    // When even the .eml cannot be kept, the reason says so.
    FailBelow fail(convert::mailboxOutputFolder(out(), m.string()) / "Email-2.eml");
    const RunSummary s2 = convertAll(o, services);
    ASSERT_EQ(s2.failures.size(), 2u);
    EXPECT_TRUE(has(s2.failures[0].reason, "could not be kept"));
    // Nothing more can be written there: the run stops.
    EXPECT_EQ(s2.failures[1].step, "stopped");
}

TEST_F(RunTest, CancelStopsBetweenMessagesAndStillClosesTheOutput) {
    const fs::path m1 = dir.path() / "One.imm", m2 = dir.path() / "Two.imm";
    writeBytes(m1, textMessage("a") + textMessage("b") + textMessage("c"));
    writeBytes(m2, textMessage("d"));
    RunOptions o = options({m1, m2}, Format::Pst);
    int closes = 0;
    RunServices services = everyEvent();
    services.makeSink = [&](Format) {
        return std::make_unique<FlakySink>(std::vector<int>{}, &closes);
    };
    std::atomic<bool> cancel{false};
    obs.onStep = [&](const RunProgress& p) {
        if (p.step == RunProgress::Step::MessageDone && p.exported == 2) cancel = true;
    };
    const RunSummary s = convertAll(o, services, &cancel);
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(s.mailboxes, 1);
    EXPECT_EQ(obs.trace({RunProgress::Step::MessageDone}).back(), "done 2 saved 2");
    // What was exported of what was found, and what was left, everywhere.
    EXPECT_EQ(s.failedMessages, 0);
    EXPECT_EQ(convert::closingNotice(s).text,
              "The conversion was stopped before its end: 2 of the 3 messages found in 1 mailbox "
              "were exported, 1 was left unconverted. 1 listed mailbox was not searched.\r\n"
              "The report " +
                  (out() / convert::kReportFileName).string() + " lists what was left.");
    ASSERT_EQ(s.reportFile, out() / convert::kReportFileName);
    const std::string report = readBytes(s.reportFile);
    for (const std::string& line :
         {std::string("Messages found: 3\r\n"), std::string("Messages exported: 2\r\n"),
          std::string("Messages found and left unconverted: 1\r\n"),
          m1.string() + ": message 3 not converted\r\n", m2.string() + ": not searched\r\n"})
        EXPECT_TRUE(has(report, line)) << line << report;
}

// Links in the output tree never lead a write out of it: a replaced file replaces
// the link, an appended file or a folder is refused and recorded; nothing is lost.
TEST_F(RunTest, LinksInTheOutputTreeAreNeverWrittenThrough) {
    const fs::path m = dir.path() / "Mail" / "Inbox.imm";
    const std::string a = textMessage("a"), b = textMessage("b");
    writeBytes(m, a + b);
    const fs::path outside = dir.path() / "outside", victim = outside / "victim.txt";
    writeBytes(victim, "keep");
    const fs::path folder = convert::mailboxOutputFolder(out(), m.string());
    fs::create_directories(folder);
    fs::create_symlink(victim, folder / "Email-1.eml");
    fs::create_hard_link(victim, folder / "Email-2.eml");
    fs::create_symlink(victim, out() / convert::kReportFileName);
    RunOptions o = options({m, dir.path() / "missing.imm"});  // the missing one is reported
    RunSummary s = convertAll(o);
    EXPECT_EQ(readBytes(victim), "keep");
    EXPECT_EQ(s.exportedMessages, 2);
    EXPECT_EQ(s.failedMessages, 0);
    for (int k : {1, 2}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(emlOf(o, m, k))));
        EXPECT_EQ(readBytes(emlOf(o, m, k)), (k == 1 ? a : b) + "\r\n");
    }
    // The link is nobody's report: it stays as it is, and the report takes the next name.
    ASSERT_EQ(s.reportFile, out() / "Tessaport-report (2).txt");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(s.reportFile)));
    EXPECT_TRUE(fs::is_symlink(out() / convert::kReportFileName));
    EXPECT_TRUE(has(readBytes(s.reportFile), "missing.imm, open: "));

    // The .mbox a link stands in for is not appended to, nor replaced: the
    // messages go into a file of the next free name.
    fs::remove(emlOf(o, m, 1));
    fs::remove(emlOf(o, m, 2));
    fs::create_symlink(victim, folder / "Inbox.mbox");
    s = convertAll(options({m}, Format::Mbox));
    EXPECT_EQ(readBytes(victim), "keep");
    EXPECT_EQ(s.exportedMessages, 2);
    EXPECT_EQ(s.failedMessages, 0);
    EXPECT_TRUE(s.failures.empty());
    EXPECT_TRUE(fs::is_symlink(folder / "Inbox.mbox"));
    EXPECT_TRUE(has(readBytes(folder / "Inbox (2).mbox"), "Subject: b"));

    // A link where a folder on the way to the mailbox output folder belongs.
    fs::remove_all(out());
    fs::create_directories(out());
    fs::create_directory_symlink(outside, out() / *m.relative_path().begin());
    s = convertAll(options({m}));
    EXPECT_EQ(s.failedMessages, 2);
    bool folderRefused = false;
    for (const auto& f : s.failures)
        folderRefused |= f.step == "folder" && f.reason.find("symbolic link") != std::string::npos;
    EXPECT_TRUE(folderRefused);
    int inOutside = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(outside)) ++inOutside;
    EXPECT_EQ(inOutside, 1);  // the victim alone
}

TEST_F(RunTest, MessagesPastFourGigabytesAreFound) {
    const fs::path m = dir.path() / "Huge.imm";
    const std::uint64_t at = (std::uint64_t{4} << 30) + 12345;
    const std::string a = textMessage("beyond 4 GB"), b = textMessage("last");
    {
        const int fd = ::open(m.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string tail = "\r\n\r\n" + a + b;
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(tail.size()));
        ::close(fd);
    }
    RunOptions o = options({m});
    const RunSummary s = convertAll(o);
    ASSERT_EQ(s.messages, 2);
    EXPECT_EQ(readBytes(emlOf(o, m, 1)), a + "\r\n");
    EXPECT_EQ(readBytes(emlOf(o, m, 2)), b + "\r\n");
    EXPECT_TRUE(s.notes.empty());  // the NULs before them hold nothing worth noting
    EXPECT_EQ(obs.trace({RunProgress::Step::MessageStarted})[0],
              "saving 1: " + std::to_string(a.size()) + " of " +
                  std::to_string(at + 4 + a.size() + b.size()));
}

}  // namespace
}  // namespace tp::test
