// The MBOX writer. Every .mbox produced here is read back with Python's mailbox
// module (check_mbox.py) and compared message for message with what was written.
#include "outputs/mbox_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mime_util.h"
#include "run/conversion_run.h"

using namespace tp::convert;
using tp::test::crlf;
using tp::test::has;

namespace {

struct Recorder : RunObserver {
    RunProgress last;  // the writer's last step
    void progress(const RunProgress& p) override { last = p; }
};

struct Written {
    std::string bytes;
    std::string from;  // expected separator after "From " (a regular expression)
};

// Checks `mbox` against `messages` with Python's mailbox module.
void expectReadBack(const std::filesystem::path& mbox, const std::vector<Written>& messages) {
    tp::test::ScratchDir expected;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        tp::test::writeBytes(expected.path() / (std::to_string(i + 1) + ".eml"), messages[i].bytes);
        tp::test::writeBytes(expected.path() / (std::to_string(i + 1) + ".from"), messages[i].from);
    }
    int status = 0;
    const std::string out = tp::test::output("python3 '" TP_MBOX_CHECK "' '" + mbox.string() +
                                                 "' '" + expected.path().string() + "' 2>&1",
                                             &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "ok " + std::to_string(messages.size()) + "\n");
}

MailboxInfo mailboxIn(const std::filesystem::path& folder, const std::string& name) {
    MailboxInfo m;
    m.path = "/mail/" + name + ".imm";
    m.fileName = name + ".imm";
    m.name = name;
    m.outputFolder = folder;
    return m;
}

}  // namespace

// "From " lines at every depth of quoting, lone CR and LF, no final line end, no
// sender or date; an existing .mbox is kept and the run writes "Sent (2).mbox".
// (Failed records: the fault runs and platform_check.cpp.)
TEST(MboxSink, RecordsReadBackMessageForMessage) {
    tp::test::ScratchDir dir;
    const auto inboxFolder = dir.path() / "Inbox.imm";
    const auto sentFolder = dir.path() / "Sent.imm";
    std::filesystem::create_directories(inboxFolder);
    std::filesystem::create_directories(sentFolder);

    const std::string earlier = crlf(
        "From someone@old Mon Jan 05 10:00:00 2004\n"
        "From: someone@old\nSubject: kept\n\nold body\n\n");
    tp::test::writeBytes(sentFolder / "Sent.mbox", earlier);

    const std::vector<Written> inbox = {
        {crlf("From: \"Ann E.\" <ann@example.org>\nDate: Tue, 3 Mar 2009 09:30:00 +0100\n"
              "Subject: quoting\n\nFrom the start\n>From once\n>>From twice\nFrom\n"
              "From: looks like a header\n"),
         "ann@example.org Tue Mar 03 08:30:00 2009"},
        {"Subject: no sender\r\nReceived: from a by b; Wed, 4 Mar 2009 23:59:59 -0200\r\n"
         "\r\nlone\rCR and lone\nFrom after LF\r\nno final line end",
         "MAILER-DAEMON Thu Mar 05 01:59:59 2009"},
        {crlf("From: J\xF6rg <j\xF6rg @example.de>\nSubject: nothing dated\n\nbody\n"),
         "j__rg@example.de \\w{3} \\w{3} \\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}"},
        {"", "MAILER-DAEMON \\w{3} \\w{3} \\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}"},
    };
    const std::vector<Written> sent = {
        {crlf("From: bob@example.com\nDate: Sun, 6 Dec 2026 04:57:45 +0000\n\nhello\n"),
         "bob@example.com Sun Dec 06 04:57:45 2026"},
        // Dates as some mailers write them (a 12-hour clock, a zone as "GMT+0200"
        // or "+02:00") are read as the PST import reads them.
        {crlf("From: bob@example.com\nDate: Tue, 3 Mar 2009 11:30:00 PM GMT+0200\n\nlate\n"),
         "bob@example.com Tue Mar 03 21:30:00 2009"},
        {crlf("Received: from a by b; Wed, 4 Mar 2009 1:05 am +02:00\nSubject: early\n\nx\n"),
         "MAILER-DAEMON Tue Mar 03 23:05:00 2009"},
    };

    MboxSink sink;
    Recorder observer;
    std::string error;
    // Each message stored; the step written counts what was written: quoting adds
    // three ">" to the first inbox message, none to the first sent one.
    const auto storeAll = [&](const MailboxInfo& info, const std::vector<Written>& messages,
                              std::uint64_t firstWritten) {
        sink.beginMailbox(info);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            MessageInfo m{static_cast<int>(i + 1), info.outputFolder / "x.eml"};
            ASSERT_TRUE(sink.store(info, m, messages[i].bytes, observer, error)) << error;
            if (i > 0) continue;
            EXPECT_EQ(observer.last.step, RunProgress::Step::MessageWritten);
            EXPECT_EQ(observer.last.written, firstWritten);
            EXPECT_EQ(observer.last.toWrite, messages[0].bytes.size());
        }
        sink.endMailbox(info);
    };
    storeAll(mailboxIn(inboxFolder, "Inbox"), inbox, 170);
    storeAll(mailboxIn(sentFolder, "Sent"), sent, sent[0].bytes.size());
    // A mailbox without messages leaves no .mbox.
    storeAll(mailboxIn(dir.path(), "Empty"), {}, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Empty.mbox"));
    RunSummary summary;
    sink.close(summary);
    EXPECT_TRUE(summary.failures.empty());

    expectReadBack(inboxFolder / "Inbox.mbox", inbox);
    // The quoted lines as they stand in the file.
    const std::string file = tp::test::readBytes(inboxFolder / "Inbox.mbox");
    EXPECT_TRUE(has(file,
                    "\r\n>From the start\r\n>>From once\r\n>>>From twice\r\nFrom\r\nFrom: looks "
                    "like a header\r\n\r\n"));
    EXPECT_TRUE(has(file, "lone\r\nCR and lone\n>From after LF\r\nno final line end\r\n\r\n"));

    // The earlier file is untouched; ours has a name of its own.
    EXPECT_EQ(tp::test::readBytes(sentFolder / "Sent.mbox"), earlier);
    expectReadBack(sentFolder / "Sent (2).mbox", sent);
}
