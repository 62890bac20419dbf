// Coalescing of the run's events and the closing boxes.
#include <gtest/gtest.h>

#include "convert/coalescing_observer.h"
#include "run/run_helpers.h"

namespace tp::test {
namespace {

using convert::CoalescingObserver;
using convert::Control;
using convert::Format;
using convert::RunSummary;
using Clock = CoalescingObserver::Clock;

TEST(CoalescingObserver, ForwardsAtMostTheRateAndAlwaysTheFinalValues) {
    RecordingObserver target;
    Clock::time_point now{};
    CoalescingObserver c(target, 30, [&] { return now; });
    // Ten thousand changes over one second of fake time.
    for (int i = 1; i <= 10000; ++i) {
        now += std::chrono::microseconds(100);
        c.textChanged(Control::LblProgress, "Saved " + std::to_string(i) + " Email Messages");
        c.valueChanged(Control::ProgressBar2, i % 101);
    }
    EXPECT_LE(target.events.size(), 32u);
    EXPECT_GE(target.events.size(), 20u);
    c.flush();
    EXPECT_EQ(target.texts[Control::LblProgress], "Saved 10000 Email Messages");
    EXPECT_EQ(target.values[Control::ProgressBar2], 10000 % 101);

    // A notice comes after every change made before it, never ahead of one.
    c.textChanged(Control::LblHappening, "Found 7 message(s)");
    c.notice(Notice{"File not found !", "x", NoticeIcon::Exclamation});
    ASSERT_GE(target.events.size(), 1u);
    EXPECT_EQ(target.events.back().text, "Found 7 message(s)");
    ASSERT_EQ(target.notices.size(), 1u);

    // Without a rate every change passes, repeated values included.
    RecordingObserver all;
    CoalescingObserver passthrough(all, 0);
    passthrough.textChanged(Control::LblEmlsFound, "");
    passthrough.textChanged(Control::LblEmlsFound, "");
    EXPECT_EQ(all.events.size(), 2u);
}

TEST(CoalescingObserver, ARealRunDeliversItsFinalLabels) {
    ScratchDir dir;
    std::string box;
    for (int i = 0; i < 300; ++i) box += textMessage("m" + std::to_string(i));
    writeBytes(dir.path() / "Many.imm", box);
    convert::RunOptions o;
    o.mailboxes = {(dir.path() / "Many.imm").string()};
    o.outputFolder = dir.path() / "out";
    RecordingObserver obs;
    const std::atomic<bool> cancel{false};
    const auto start = Clock::now();
    const RunSummary s = convert::ConversionRun(o, obs).run(cancel);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(s.messages, 300);
    EXPECT_EQ(obs.texts[Control::LblProgress], "Saved 300 Email Messages");
    EXPECT_EQ(obs.texts[Control::LblEmlsFound], "300 Messages");
    EXPECT_EQ(obs.texts[Control::LblHappening], "Found 300 message(s)");
    EXPECT_EQ(obs.values[Control::ProgressBar1], 100.0);
    // Bounded by the rate, whatever the run's speed (ranges and flushes add a few).
    EXPECT_LE(static_cast<double>(obs.events.size()), 30.0 * seconds + 20.0);
}

TEST(ClosingNotice, TheBoxesOfEachFormat) {
    const std::string stars(75, '*');
    RunSummary s;
    s.format = Format::Eml;
    Notice n = convert::closingNotice(s);
    EXPECT_EQ(n.title, "Tessaport");
    EXPECT_EQ(n.icon, NoticeIcon::Information);
    EXPECT_EQ(n.buttons, NoticeButtons::Ok);
    EXPECT_EQ(n.text,
              "Your IncrediMail messages has been successfully exported to (.eml) files.\r\n" +
                  stars + "\r\n");
    s.format = Format::Mbox;
    EXPECT_EQ(convert::closingNotice(s).text,
              "Your IncrediMail messages has been successfully exported to (.mbox) files.\r\n" +
                  stars +
                  "\r\nMBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.");
    s.format = Format::Pst;
    EXPECT_EQ(
        convert::closingNotice(s).text,
        "Your IncrediMail messages has been successfully exported to Outlook (.pst) file.\r\n" +
            stars +
            "\r\nStart Outlook and open converted pst file by clicking File -> Open -> Outlook "
            "Data File. And it all done !");

    // Failures: the same text, the warning icon, and one line with the count and the report.
    s.messages = 120;
    s.failedMessages = 3;
    s.failures.push_back({"/m/Inbox.imm", 7, "write", "No space left on device"});
    s.reportFile = "/out/Tessaport-report.txt";
    n = convert::closingNotice(s);
    EXPECT_EQ(n.icon, NoticeIcon::Warning);
    EXPECT_EQ(n.text.rfind("Your IncrediMail messages", 0), 0u);
    EXPECT_EQ(n.text.substr(n.text.rfind("\r\n") + 2),
              "3 of 120 messages could not be converted. The report /out/Tessaport-report.txt "
              "lists them.");

    // A store that could not be finished: no "successfully", no file to open.
    s.format = Format::Pst;
    s.pstFile.clear();
    n = convert::closingNotice(s);
    EXPECT_EQ(n.icon, NoticeIcon::Warning);
    EXPECT_EQ(n.text.find("successfully"), std::string::npos) << n.text;
    EXPECT_EQ(n.text.find("Start Outlook"), std::string::npos) << n.text;
    EXPECT_NE(n.text.find("3 of 120 messages could not be converted"), std::string::npos);
    s.pstFile = "/out/IncrediMail6.12.26 4.7.05.pst";
    EXPECT_EQ(convert::closingNotice(s).text.rfind(
                  "Your IncrediMail messages has been successfully exported to Outlook", 0),
              0u);

    RunSummary setup;
    setup.format = Format::Pst;
    setup.setupFailed = true;
    n = convert::closingNotice(setup);
    EXPECT_EQ(n.title, "Outlook Error");
    EXPECT_EQ(n.icon, NoticeIcon::Information);
    EXPECT_EQ(n.text.rfind("Outlook Session Creation Error !\r\nCheck if Outlook is installed and "
                           "configured.\r\nFor more details visit this link : ",
                           0),
              0u);
    EXPECT_STREQ(convert::controlName(Control::LblProgessCurrent), "LblProgessCurrent");
    EXPECT_STREQ(convert::controlName(Control::ProgressBar2), "ProgressBar2");
}

}  // namespace
}  // namespace tp::test
