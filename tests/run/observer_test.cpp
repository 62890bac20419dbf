// Coalescing of the run's events and the closing boxes.
#include <gtest/gtest.h>

#include <algorithm>

#include "io/system.h"
#include "run/coalescing_observer.h"
#include "run/run_helpers.h"

namespace tp::test {
namespace {

using convert::CoalescingObserver;
using convert::Format;
using convert::RunProgress;
using convert::RunSummary;
using Clock = CoalescingObserver::Clock;

RunProgress step(RunProgress::Step kind, int n) {
    RunProgress p;
    p.step = kind;
    p.found = p.message = p.exported = n;
    p.written = static_cast<std::uint64_t>(n);
    return p;
}

TEST(CoalescingObserver, ThinsOutPassingStepsAndKeepsTheRestInOrder) {
    using Step = RunProgress::Step;
    RecordingObserver target;
    Clock::time_point now{};
    CoalescingObserver c(target, 30, [&] { return now; });
    // Ten thousand hits of a search over one second of fake time.
    for (int i = 1; i <= 10000; ++i) {
        now += std::chrono::microseconds(100);
        c.progress(step(Step::Searching, i));
    }
    EXPECT_LE(target.steps.size(), 32u);
    EXPECT_GE(target.steps.size(), 20u);
    // Any other step comes after the latest passing one, never ahead of it.
    c.progress(step(Step::MessagesFound, 10000));
    EXPECT_EQ(target.trace({Step::Searching}).back(), "search 10000");
    EXPECT_EQ(target.trace().back(), "found 0");
    // Every message's own steps all pass; a passing one waiting for its turn goes
    // ahead of the step that follows it, and a notice waits for the steps before it.
    c.progress(step(Step::MessageStarted, 1));
    c.progress(step(Step::MessageWritten, 5));
    c.progress(step(Step::MessageWritten, 9));
    c.progress(step(Step::MessageDone, 1));
    c.progress(step(Step::MessageStarted, 2));
    c.notice(Notice{"File not found !", "x", NoticeIcon::Exclamation});
    const std::vector<std::string> last = target.trace();
    EXPECT_EQ(std::vector<std::string>(last.end() - 3, last.end()),
              (std::vector<std::string>{"written 9 of 0", "done 1 not saved", "saving 2: 0 of 0"}));
    ASSERT_EQ(target.notices.size(), 1u);
}

TEST(CoalescingObserver, ARealRunIsBoundedByTheRateAndEndsEachMailbox) {
    ScratchDir dir;
    std::string box;
    for (int i = 0; i < 300; ++i) box += textMessage("m" + std::to_string(i));
    writeBytes(dir.path() / "Many.imm", box);
    convert::RunOptions o;
    o.mailboxes = {(dir.path() / "Many.imm").string()};
    o.outputFolder = dir.path() / "out";
    RecordingObserver obs;
    const std::atomic<bool> cancel{false};
    const RunSummary s = convert::ConversionRun(o, obs).run(cancel);
    EXPECT_EQ(s.messages, 300);
    using Step = RunProgress::Step;
    // The search's hits are thinned out; its last one and the count are not.
    const std::vector<std::string> search = obs.trace({Step::Searching});
    EXPECT_LE(search.size(), 40u);
    ASSERT_FALSE(search.empty());
    EXPECT_EQ(search.back(), "search 300");
    EXPECT_EQ(obs.trace({Step::MessagesFound, Step::MailboxDone}),
              (std::vector<std::string>{"found 300", "end 1 saved 300"}));
    EXPECT_EQ(obs.trace({Step::MessageDone}).size(), 300u);
}

// The closing boxes of a store (the .eml and .mbox boxes, a failed, cancelled or
// unstarted run are checked through whole runs, in the window's tests too).
TEST(ClosingNotice, TheBoxesOfEachFormat) {
    const std::string stars(75, '*');
    RunSummary s;
    s.format = Format::Pst;
    Notice n = convert::closingNotice(s);
    EXPECT_EQ(n.title, "Tessaport");
    EXPECT_EQ(n.icon, NoticeIcon::Information);
    EXPECT_EQ(n.buttons, NoticeButtons::Ok);
    EXPECT_EQ(
        n.text,
        "Your IncrediMail messages has been successfully exported to Outlook (.pst) file.\r\n" +
            stars +
            "\r\nStart Outlook and open converted pst file by clicking File -> Open -> Outlook "
            "Data File. And it all done !");

    // Remarks are no failures: the box counts them, names the report, and says success.
    s.reportFile = "/out/Tessaport-report.txt";
    s.listedMailboxes = 1;
    s.messages = 120;
    s.exportedMessages = 120;
    s.remarkedMessages = 1;
    s.notes.push_back({"/m/Inbox.imm", "no date; its times were left empty", false, 4});
    n = convert::closingNotice(s);
    EXPECT_EQ(n.icon, NoticeIcon::Information);
    EXPECT_TRUE(startsWith(n.text,
                           "1 of 120 messages was exported with a remark.\r\nThe report "
                           "/out/Tessaport-report.txt says which and why.\r\nYour IncrediMail "
                           "messages has been successfully exported to Outlook (.pst) file."));
    EXPECT_FALSE(has(n.text, "Some bytes"));
    s.notes.push_back(
        {"/m/Inbox.imm", "12 bytes before the first message were not exported", true});
    EXPECT_TRUE(has(convert::closingNotice(s).text, "Some bytes belong to no message"));
    s.notes.clear();
    s.remarkedMessages = 0;

    // A store that could not be finished: no "successfully", no file to open.
    s.exportedMessages = 117;
    s.failedMessages = 3;
    s.failures.push_back({"/m/Inbox.imm", 7, "write", "No space left on device"});
    n = convert::closingNotice(s);
    EXPECT_EQ(n.icon, NoticeIcon::Warning);
    EXPECT_FALSE(has(n.text, "successfully"));
    EXPECT_FALSE(has(n.text, "Start Outlook"));
    EXPECT_TRUE(has(n.text, "3 of 120 messages could not be exported"));
    // A finished store holds those that did not fail: named, without "it all done".
    s.pstFile = "/out/IncrediMail6.12.26 4.7.05.pst";
    n = convert::closingNotice(s);
    EXPECT_TRUE(
        has(n.text,
            "Not all of your IncrediMail messages could be exported to Outlook (.pst) file.\r\n"));
    EXPECT_FALSE(has(n.text, "Start Outlook"));
    EXPECT_TRUE(has(n.text, "The messages exported are in /out/IncrediMail6.12.26 4.7.05.pst."));
}

// The "Outlook Error" box sends the user to the manual of the program that runs,
// wherever it was started from: never to a help.html in the current folder.
TEST(ClosingNoticeTest, SupportAddressNamesTheRunningProgramsManual) {
    ScratchDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    RunSummary setup;
    setup.format = Format::Pst;
    setup.setupFailed = true;
    const std::string text = convert::closingNotice(setup).text;
    fs::current_path(before);
    EXPECT_FALSE(has(text, dir.path().string()));
    const fs::path program = tp::io::programFolder();
    // file:///usr/... here, file:///C:/... on Windows.
    const bool beside =
        text.find("link : file://") != std::string::npos &&
        text.find(program.generic_string() + "/help.html#troubleshooting") != std::string::npos;
    const bool installed =
        text.find("link : file:///usr/share/doc/tessaport/help.html#troubleshooting") !=
        std::string::npos;
    EXPECT_TRUE(beside || installed) << text;
}

}  // namespace
}  // namespace tp::test
