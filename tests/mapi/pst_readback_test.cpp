// Whole PST runs over generated mailboxes, read back with pypff (libpff) and
// pst-extractor, and checked with pstcheck (errors and Outlook's shape). readpst
// reads the writer's stores (tests/pst) and those of the fault runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mapi/import_support.h"
#include "mapi/mail_samples.h"
#include "mapi/pst_run.h"
#include "outputs/pst_sink.h"

namespace tp::convert {
namespace {

namespace fs = std::filesystem;

using Scratch = tp::test::ScratchDir;
using namespace tp::test;

std::string plainMessage(const std::string& subject, const std::string& body) {
    return "From: Ann Example <ann@example.org>\r\nTo: Bob <bob@example.net>, "
           "carol@example.com\r\nCc: Dave <dave@example.com>\r\nSubject: " +
           subject +
           "\r\nDate: Mon, 4 May 2009 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n" +
           body + "\r\n\r\n";
}

std::string attachmentMessage(const std::string& payload) {
    return "From: Zoe <zoe@example.org>\r\nTo: ann@example.org\r\nSubject: With a file\r\n"
           "Date: Tue, 5 May 2009 11:30:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n--XX\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\nSee the file.\r\n--XX\r\n"
           "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
           "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           base64(payload) + "\r\n--XX--\r\n\r\n";
}

// pstcheck, and pst-extractor, which reads every folder, message, recipient and
// attachment, and fails on any exception and on a folder whose messages it cannot
// all read.
void expectChecked(const fs::path& pst) {
    for (const std::string& reader :
         {quote(TP_BINARY_DIR "/bin/pstcheck") + " --shape ",
          "timeout 600 node " + quote(TP_SOURCE_DIR "/tests/pstx/walk.js") + " "}) {
        int rc = -1;
        const std::string out = output(reader + quote(pst.string()) + " 2>&1", &rc);
        EXPECT_EQ(rc, 0) << out.substr(0, 4000);
    }
}

// A run over `mailboxes` (below `s`) into s/out, every failure a test failure,
// and its store checked by pstcheck and pst-extractor.
RunSummary convertChecked(const Scratch& s, std::vector<std::string> mailboxes,
                          const fs::path& files = {}) {
    for (std::string& m : mailboxes) m = (s.path() / m).string();
    RunSummary summary = runPst(mailboxes, s.path() / "out", false, files);
    for (const auto& f : summary.failures) ADD_FAILURE() << f.step << ": " << f.reason;
    EXPECT_TRUE(fs::exists(summary.pstFile));
    if (fs::exists(summary.pstFile)) expectChecked(summary.pstFile);
    return summary;
}

// The messages of a mailbox in its folder, read, a paperclip only on the one with a
// file, whose bytes come back. (The folder tree of many mailboxes: outcome_test.)
TEST(PstReadback, AMailboxBecomesAFolderOfItsMessages) {
    Scratch s;
    std::string payload;
    for (int i = 0; i < 3000; ++i) payload += char((i * 7 + 3) & 0xFF);
    writeBytes(s.path() / "in/Inbox.imm",
               plainMessage("First note", "Body one.") + attachmentMessage(payload));
    RunSummary summary = convertChecked(s, {"in/Inbox.imm"});
    const auto items = storedItems(summary.pstFile);
    ASSERT_EQ(items.size(), 2u);
    for (const QJsonObject& item : items) EXPECT_TRUE(has(str(item["folder"]), "/Inbox"));
    EXPECT_EQ(prop(items[0], "0037"), "First note");
    EXPECT_TRUE(has(str(items[0]["body"]), "Body one."));
    EXPECT_EQ(prop(items[0], "0e07"), "1");  // read
    EXPECT_EQ(prop(items[1], "0037"), "With a file");
    EXPECT_EQ(prop(items[1], "0e07"), "17");  // read, has attachments
    EXPECT_EQ(str(attachment(items[1], 0)["hex"]), hex(payload));
}

TEST(PstReadback, StoreIsNeverOverwrittenAndAlwaysFinished) {
    Scratch s;
    const auto fixed = std::chrono::system_clock::now();
    const std::string stamp = pstTimeStamp(fixed);
    const fs::path taken = s.path() / ("IncrediMail" + stamp + ".pst");
    writeBytes(taken, "keep me");

    // A second store in the same second gets its own name; a message that cannot be
    // read adds no item and says why.
    PstSink sink([fixed] { return fixed; });
    RunOptions options;
    options.format = Format::Pst;
    options.outputFolder = s.path();
    std::string error;
    ASSERT_TRUE(sink.open(options, error)) << error;
    EXPECT_EQ(sink.path().filename().string(), "IncrediMail" + stamp + " (2).pst");
    MailboxInfo mailbox;
    mailbox.name = "Inbox";
    sink.beginMailbox(mailbox);
    sink.beginMailbox(mailbox);
    NullObserver observer;
    EXPECT_TRUE(
        sink.store(mailbox, MessageInfo{1, {}}, plainMessage("Kept", "Body."), observer, error))
        << error;
    error.clear();
    EXPECT_FALSE(sink.store(mailbox, MessageInfo{2, {}}, "", observer, error));
    EXPECT_FALSE(error.empty());
    RunSummary summary;
    sink.close(summary);
    EXPECT_TRUE(summary.failures.empty());
    EXPECT_EQ(readBytes(taken), "keep me");
    expectChecked(sink.path());
    const auto items = storedItems(sink.path());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(prop(items[0], "0037"), "Kept");

    // A cancelled run still leaves a whole store.
    writeBytes(s.path() / "in/Inbox.imm", plainMessage("Never", "x"));
    fs::create_directories(s.path() / "cancel");
    RunSummary cancelled =
        runPst({(s.path() / "in/Inbox.imm").string()}, s.path() / "cancel", true);
    EXPECT_TRUE(cancelled.cancelled);
    ASSERT_TRUE(fs::exists(cancelled.pstFile));
    expectChecked(cancelled.pstFile);
}

// Undated, signed and Outlook-made mail through a whole run with the
// attachments folder, read back with pypff.
TEST(PstReadback, WhatTheUserSeesIsWhatTheMessageSays) {
    Scratch s;
    const std::string date = "Date: Mon, 4 May 2009 10:00:00 +0000\r\n";
    std::string mailbox;
    // 1. An inline picture, a file and an attached message, all in the folder (the
    // mailbox holds their headers only).
    mailbox += "From: r@example.org\r\nSubject: rich\r\n" + date +
               "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=M\r\n\r\n"
               "--M\r\nContent-Type: multipart/related; boundary=R\r\n\r\n"
               "--R\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
               "<p>Look <img src=\"cid:pic@r\"></p>\r\n--R\r\nContent-Type: image/png; "
               "name=pic.png\r\nContent-ID: <pic@r>\r\nContent-Disposition: inline; "
               "filename=pic.png\r\nContent-Transfer-Encoding: base64\r\n\r\n--R--\r\n--M\r\n"
               "Content-Type: application/pdf; name=b.pdf\r\nContent-Disposition: attachment; "
               "filename=b.pdf\r\n\r\n--M\r\nContent-Type: message/rfc822; name=fwd.eml\r\n"
               "Content-Disposition: attachment; filename=fwd.eml\r\n\r\n--M--\r\n\r\n";
    // 2. No date at all.
    mailbox += "From: a@example.com\r\nSubject: undated\r\nMIME-Version: 1.0\r\n\r\nwhen?\r\n\r\n";
    // 3. Signed, its signature held (the file of its name in the folder, which
    // would break the signature, is not used); 4. winmail.dat in the folder.
    const std::string content = "Content-Type: text/plain\r\n\r\nSigned words.";
    const std::string signedMail = test::signedMessage(content, content);
    mailbox += signedMail + "\r\n";
    mailbox += "From: o@example.org\r\nSubject: tnef\r\n" + date +
               "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=T\r\n\r\n"
               "--T\r\nContent-Type: application/ms-tnef; name=winmail.dat\r\n"
               "Content-Disposition: attachment; filename=winmail.dat\r\n\r\n--T--\r\n\r\n";
    writeBytes(s.path() / "in/Shapes.imm", mailbox);

    const std::string picture = "\x89PNG\r\n\x1a\n-the-picture-";
    writeBytes(s.path() / "files/pic.png", picture);
    writeBytes(s.path() / "files/b.pdf", "%PDF-1.4 file");
    writeBytes(
        s.path() / "files/fwd.eml",
        "From: inner@example.org\r\nSubject: Forwarded inner\r\n" + date + "\r\nInner text.\r\n");
    writeBytes(s.path() / "files/smime.p7s", "another message's signature");
    writeBytes(s.path() / "files/winmail.dat",
               test::tnefStream("Body from Outlook.", {{"report.pdf", "%PDF-1.4 report"}}));

    RunSummary summary = convertChecked(s, {"in/Shapes.imm"}, s.path() / "files");
    ASSERT_TRUE(fs::exists(summary.pstFile));
    bool noted = false;
    for (const Note& n : summary.notes)
        noted = noted || n.text.find("no date") != std::string::npos;
    EXPECT_TRUE(noted);

    const auto items = storedItems(summary.pstFile);
    ASSERT_EQ(items.size(), 4u);
    // 1: the picture is back with its Content-ID, hidden; the message is a message.
    ASSERT_EQ(items[0]["attachments"].toArray().size(), 3);
    const QJsonObject pic = attachment(items[0], 0);
    EXPECT_EQ(prop(pic, "3712"), "pic@r");
    EXPECT_EQ(prop(pic, "7ffe"), "true");
    EXPECT_EQ(pic["size"].toInt(), int(picture.size()));
    EXPECT_EQ(prop(attachment(items[0], 1), "3707"), "b.pdf");
    EXPECT_EQ(prop(attachment(items[0], 2), "3705"), "5");  // an embedded message
    EXPECT_EQ(prop(items[1], "0e06"), "<missing>");         // 2
    EXPECT_EQ(prop(items[1], "0039"), "<missing>");
    EXPECT_EQ(prop(items[2], "001a"), "IPM.Note.SMIME.MultipartSigned");  // 3
    EXPECT_EQ(str(items[2]["body"]), "Signed words.");
    ASSERT_EQ(items[2]["attachments"].toArray().size(), 1);
    EXPECT_EQ(prop(attachment(items[2], 0), "370e"), "multipart/signed");
    EXPECT_EQ(str(items[3]["body"]), "Body from Outlook.");  // 4
    ASSERT_EQ(items[3]["attachments"].toArray().size(), 1);
    EXPECT_EQ(prop(attachment(items[3], 0), "3707"), "report.pdf");
}

// Mail programs split a long name or subject into several encoded words, each
// padded on its own. Every word reaches the store, in every field that shows
// text, and a character split between two words is read whole.
TEST(PstReadback, NamesWrittenAsSeveralEncodedWordsStayWhole) {
    Scratch s;
    const std::string date = "Date: Mon, 4 May 2009 10:00:00 +0000\r\nMIME-Version: 1.0\r\n";
    std::string mailbox =
        "From: =?utf-8?B?SsO8cmdlbiA=?= =?utf-8?B?V2Vpw58=?= <j@example.de>\r\n"
        "To: =?utf-8?B?QW5uYSA=?= =?utf-8?B?TcO8bGxlcg==?= <a@example.de>\r\n"
        "Cc: \"=?UTF-8?B?w4lsaQ==?= =?utf-8?B?c2U=?=\" <e@example.fr>, bob@example.org\r\n"
        "Reply-To: =?iso-8859-1?B?SvxyZ2Vu?= =?iso-8859-1?Q?_Wei=DF?= <j@example.de>\r\n"
        "Subject: =?utf-8?B?R3LDvMOfZSA=?=\r\n =?utf-8?B?YXVzIE3DvG5jaGVu?=\r\n" +
        date + "\r\nHallo\r\n\r\n";
    // Japanese as mailers of the time wrote it: ISO-2022-JP, one word per line.
    const std::string japanese = "日本語の件名です";
    const std::string jis = encodeAs(japanese, "ISO-2022-JP");
    mailbox += "From: x@example.jp\r\nSubject: =?ISO-2022-JP?B?" + base64(jis.substr(0, 7)) +
               "?=\r\n =?ISO-2022-JP?B?" + base64(jis.substr(7)) + "?=\r\n" + date +
               "\r\nbody\r\n\r\n";
    writeBytes(s.path() / "in/Names.imm", mailbox);
    const auto items = storedItems(convertChecked(s, {"in/Names.imm"}).pstFile);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(prop(items[0], "0037"), "Grüße aus München");
    EXPECT_EQ(prop(items[0], "0042"), "Jürgen Weiß");  // From
    EXPECT_EQ(prop(items[0], "0e04"), "Anna Müller");
    EXPECT_EQ(prop(items[0], "0e03"), "Élise; bob@example.org");
    EXPECT_EQ(prop(items[0], "0050"), "Jürgen Weiß");  // Reply-To
    EXPECT_EQ(prop(items[1], "0037"), japanese);
}

// A reproducible run takes its clock from SOURCE_DATE_EPOCH: the store is named
// by that moment (in UTC, whatever the machine's zone) and its messages record it
// as their creation and change times.
TEST(PstReadback, ReproducibleRunRecordsTheFixedMoment) {
    Scratch s;
    writeBytes(s.path() / "in/Inbox.imm", plainMessage("Fixed", "Body."));
    const char* zone = std::getenv("TZ");
    const std::string oldZone = zone ? zone : "";
    ::setenv("TZ", "JST-9", 1);  // nine hours ahead of UTC
    ::tzset();
    ::setenv("SOURCE_DATE_EPOCH", "1267416425", 1);  // 2010-03-01 04:07:05 UTC
    RunSummary summary = convertChecked(s, {"in/Inbox.imm"});
    ::unsetenv("SOURCE_DATE_EPOCH");
    if (zone)
        ::setenv("TZ", oldZone.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(summary.pstFile.filename().string(), "IncrediMail1.3.10 4.7.05.pst");
    ASSERT_TRUE(fs::exists(summary.pstFile));
    const auto items = storedItems(summary.pstFile);
    ASSERT_EQ(items.size(), 1u);
    // FILETIME: 100 ns steps since 1601.
    const std::string moment =
        "time " + std::to_string((1267416425ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(prop(items[0], "3007"), moment);  // created
    EXPECT_EQ(prop(items[0], "3008"), moment);  // last changed
}

}  // namespace
}  // namespace tp::convert
