// What a reader sees of everyday, international and malformed mail: text in the
// right characters, nobody dropped, no text invisible. Checked on the item the
// import produces (both header readers), and read back from a store.
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "mapi/import.h"
#include "mapi/import_support.h"
#include "mapi/item_compare.h"
#include "mapi/mail_samples.h"
#include "support/support.h"

namespace tp::convert {
namespace {

using test::base64;
using test::signedMessage;
using test::tnefStream;

using test::encodeAs;
using test::import;
using test::kNow;
using test::num;
using test::text;

std::string html(const pst::PropertySet& p) {
    const pst::Property* prop = p.find(tag::PidTagHtml);
    if (!prop) return "<missing>";
    const auto& b = std::get<pst::Binary>(prop->value);
    return std::string(b.begin(), b.end());
}

// Raw 8-bit header text and bodies in no declared charset come out in the
// charset they were written in: UTF-8 first, then what the message declares
// elsewhere, then what the detector makes of them, windows-1252 last.
TEST(ImportFidelity, UndeclaredTextIsReadInItsOwnCharset) {
    struct Case {
        const char* charset;
        const char* subject;
        const char* name;
        const char* body;
    };
    const Case cases[] = {
        {"windows-1251", "Отчёт за март", "Иван Петров",
         "Добрый день! Высылаю отчёт за март, посмотрите, пожалуйста, до пятницы."},
        {"GB2312", "手机短信息服务", "王小明",
         "你好，这是我们上个月的销售报告，请查收并回复。谢谢！"},
        {"ISO-8859-7", "Καλημέρα σας", "Νίκος Παπαδόπουλος",
         "Σας στέλνω την αναφορά του μήνα. Παρακαλώ επιβεβαιώστε ότι την λάβατε."},
        {"UTF-8", "Grüße aus Köln", "Jürgen Groß", "Schöne Grüße und bis bald, Jürgen"},
        {"windows-1252", "Café crème", "Jérôme Lefèvre", "Voilà le résumé de la réunion."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        const std::string raw = "From: " + encodeAs(c.name, c.charset) +
                                " <sender@example.com>\r\nTo: ann@example.org\r\nSubject: " +
                                encodeAs(c.subject, c.charset) + "\r\nMIME-Version: 1.0\r\n\r\n" +
                                encodeAs(c.body, c.charset) + "\r\n";
        pst::Message m = import(raw);
        EXPECT_EQ(text(m.props, tag::PidTagSubject), c.subject);
        EXPECT_EQ(text(m.props, tag::PidTagSenderName), c.name);
        EXPECT_EQ(text(m.props, tag::PidTagBody), std::string(c.body) + "\r\n");
        EXPECT_NE(text(m.props, tag::PidTagTransportMessageHeaders).find(c.subject),
                  std::string::npos);
    }

    // A charset the message declares for another part reads the raw subject.
    const std::string koi8 = encodeAs("Привет", "KOI8-R");
    pst::Message declared =
        import("Subject: " + koi8 +
               "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
               "--b\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\n" +
               koi8 + "\r\n--b--\r\n");
    EXPECT_EQ(text(declared.props, tag::PidTagSubject), "Привет");

    // HTML labelled US-ASCII that holds 8-bit text: read by guess, stored as UTF-8.
    const std::string page =
        "<html><body><p>Добрый день! Высылаю отчёт за март, посмотрите, "
        "пожалуйста.</p></body></html>";
    pst::Message labelled = import(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n" +
        encodeAs(page, "windows-1251") + "\r\n");
    EXPECT_EQ(html(labelled.props), page + "\r\n");
    EXPECT_EQ(num(labelled.props, tag::PidTagInternetCodepage), 65001);

    // Declared charsets are taken at their word.
    pst::Message latin =
        import("Subject: x\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\nna\xefve\r\n");
    EXPECT_EQ(text(latin.props, tag::PidTagBody), "naïve\r\n");
    EXPECT_EQ(num(latin.props, tag::PidTagInternetCodepage), 28591);
}

// Every address of a message stays a recipient, the sender stays the sender,
// even where the address itself cannot be read.
TEST(ImportFidelity, NobodyDisappears) {
    const std::string raw =
        "From: M\xFCller <m\xFCller@example.de>\r\n"
        "To: <Undisclosed Recipients@example.com>, <C:`Bulk Mail`>, bob@example.org\r\n"
        "Cc: undisclosed-recipients:;\r\n"
        "Subject: s\r\n\r\nbody\r\n";
    pst::Message m = import(raw);
    EXPECT_EQ(text(m.props, tag::PidTagSenderName), "Müller");
    EXPECT_EQ(text(m.props, tag::PidTagSenderEmailAddress), "müller@example.de");
    EXPECT_EQ(text(m.props, tag::PidTagSenderSmtpAddress), "müller@example.de");
    EXPECT_EQ(text(m.props, tag::PidTagSentRepresentingEmailAddress), "müller@example.de");
    ASSERT_NE(m.props.find(tag::PidTagSenderEntryId), nullptr);

    ASSERT_EQ(m.recipients.size(), 3u);
    EXPECT_EQ(text(m.recipients[0], tag::PidTagEmailAddress), "Undisclosed Recipients@example.com");
    EXPECT_EQ(text(m.recipients[0], tag::PidTagDisplayName), "Undisclosed Recipients@example.com");
    EXPECT_EQ(text(m.recipients[1], tag::PidTagEmailAddress), "C:`Bulk Mail`");
    EXPECT_EQ(text(m.recipients[2], tag::PidTagEmailAddress), "bob@example.org");
    for (const auto& r : m.recipients) EXPECT_EQ(num(r, tag::PidTagRecipientType), kRecipTo);
    EXPECT_EQ(text(m.props, tag::PidTagDisplayTo),
              "Undisclosed Recipients@example.com; C:`Bulk Mail`; bob@example.org");
    // An empty group is no one to write to, but the line shows it as written.
    EXPECT_EQ(text(m.props, tag::PidTagDisplayCc), "undisclosed-recipients:;");

    // A From that is only a group leaves the sender empty rather than inventing one.
    pst::Message group = import("From: list:;\r\nSubject: s\r\n\r\nbody\r\n");
    EXPECT_EQ(group.props.find(tag::PidTagSenderName), nullptr);
}

std::string shell(const std::string& command) {
    int rc = -1;
    std::string out = tp::test::output(command + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << out;
    return out;
}

// Every text a user can see in an item: bodies, HTML, attached files and the
// same of attached messages.
void visibleText(const pst::Message& m, std::string& out) {
    out += text(m.props, tag::PidTagBody) + "\n" + html(m.props) + "\n";
    for (const auto& a : m.attachments) {
        out.append(a.data.begin(), a.data.end());
        out += "\n";
        if (a.embedded) visibleText(*a.embedded, out);
    }
}

// Messages whose structure is broken in the ways old mail is: every word of
// every text part that a lenient parser (Python's email package) finds must be
// visible somewhere in the item.
TEST(ImportFidelity, NothingInvisible) {
    const std::string cases[] = {
        // The boundary parameter matches no delimiter line.
        "From: a@example.com\r\nSubject: boundary mismatch\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"=Multipart Boundary 0731021742\"\r\n\r\n"
        "--= Multipart Boundary 0731021742\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
        "Lorem mismatched boundary wording visible\r\n--= Multipart Boundary 0731021742\r\n"
        "Content-Type: text/html\r\n\r\n<html><body>Hypertext wording shown</body></html>\r\n"
        "--= Multipart Boundary 0731021742--\r\n",
        // Parts without the empty line after their header lines.
        "From: a@example.com\r\nSubject: no blank\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"bb\"\r\n\r\n--bb\r\nContent-Type: text/plain\r\n"
        "First paragraph without separator\r\nsecond line here\r\n--bb\r\n"
        "Content-Type: text/plain; name=notes.txt\r\n"
        "Content-Disposition: attachment; filename=notes.txt\r\nAttached notes "
        "content\r\n--bb--\r\n",
        // "text" without a subtype, alone and inside a multipart.
        "From: a@example.com\r\nSubject: text only\r\nMIME-Version: 1.0\r\nContent-Type: text\r\n"
        "\r\n"
        "Bare text type wording\r\n",
        "From: a@example.com\r\nSubject: mp\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"cc\"\r\n\r\n--cc\r\n"
        "Content-Type: text; charset=us-ascii\r\n\r\nInner bare text wording\r\n--cc--\r\n",
        // Text under a base64 label, as a file and as the body; base64 with a tail.
        "From: a@example.com\r\nSubject: bad b64\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"dd\"\r\n\r\n--dd\r\nContent-Type: text/plain\r\n"
        "\r\nSee attachment\r\n--dd\r\nContent-Type: text/plain; name=report.txt\r\n"
        "Content-Disposition: attachment; filename=report.txt\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n"
        "This is not base64 at all, just words typed plainly!\r\n--dd--\r\n",
        "From: a@example.com\r\nSubject: b64 body\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "Plainly written sentence, never encoded.\r\n",
        "From: a@example.com\r\nSubject: b64 tail\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "SGVsbG8gd29ybGQgZnJvbSBiYXNlNjQ=\r\n--\r\nMailing list footer appended\r\n",
        // Unterminated multipart, and one cut off in a part's header.
        "From: a@example.com\r\nSubject: open\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"ee\"\r\n\r\nPreamble words here\r\n--ee\r\n"
        "Content-Type: text/plain\r\n\r\nNever closed multipart text\r\n",
        "From: a@example.com\r\nSubject: cut\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"ff\"\r\n\r\n--ff\r\n"
        "Content-Type: text/plain\r\n\r\nBefore truncation words\r\n--ff\r\nContent-Type: text/pl",
        // A multipart without a boundary parameter.
        "From: a@example.com\r\nSubject: no boundary\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed\r\n\r\n--x\r\nContent-Type: text/plain\r\n\r\n"
        "Boundaryless multipart wording\r\n--x--\r\n",
        // An attached message whose own part misses its empty line.
        "From: a@example.com\r\nSubject: outer\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"gg\"\r\n\r\n--gg\r\nContent-Type: text/plain\r\n"
        "\r\nOuter words\r\n--gg\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n"
        "Content-Type: multipart/mixed; boundary=\"hh\"\r\n\r\n--hh\r\nContent-Type: text/plain\r\n"
        "Forwarded inner wording\r\n--hh--\r\n--gg--\r\n",
    };
    const tp::test::ScratchDir dir;
    const std::filesystem::path file = dir.path() / "message.eml";
    for (const std::string& raw : cases) {
        SCOPED_TRACE(raw.substr(0, 120));
        std::ofstream(file, std::ios::binary).write(raw.data(), std::streamsize(raw.size()));
        const std::string words =
            shell("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/mapi/text_parts.py' '" +
                  file.string() + "'");
        std::string visible;
        visibleText(import(raw), visible);
        std::istringstream list(words);
        int checked = 0;
        for (std::string word; list >> word; ++checked)
            EXPECT_NE(visible.find(word), std::string::npos) << word << " in\n" << visible;
        EXPECT_GT(checked, raw.find("b64 body") == std::string::npos ? 0 : -1);
    }
    // Python reads that text as base64 garbage; here it stays readable.
    EXPECT_EQ(text(import(cases[5]).props, tag::PidTagBody),
              "Plainly written sentence, never encoded.\r\n");
}

std::optional<std::uint64_t> timeOf(const pst::PropertySet& p, std::uint32_t tag) {
    const pst::Property* prop = p.find(tag);
    if (!prop) return std::nullopt;
    return std::get<pst::FileTime>(prop->value).ticks;
}

const pst::Property* named(const pst::PropertySet& p, const pst::NamedProp& name) {
    for (const pst::Property& q : p.all())
        if (q.named && q.named->guid == name.guid && q.named->id == name.id) return &q;
    return nullptr;
}

// The date forms old mail carries, each with the moment it means.
TEST(ImportFidelity, DatesAsMailWritesThem) {
    struct Case {
        const char* date;
        std::int64_t unix;
    };
    const Case cases[] = {
        {"Mon, 4 May 2009 10:00:00 +0000", 1241431200},
        {"10 Mar 09 11:30 PM EST", 1236745800},           // 12-hour clock: 23:30 -0500
        {"10 Mar 09 11:30PM EST", 1236745800},            // glued to the minutes
        {"Tue, 10 Mar 2009 12:15 AM +0000", 1236644100},  // 12 AM is 00
        {"Tue, 10 Mar 2009 12:15 p.m. +0000", 1236687300},
        {"Fri, 01 Mar 2002 10:00:00 UTC-05:00", 1014994800},  // 15:00 UTC
        {"Fri, 01 Mar 2002 10:00:00 GMT+2", 1014969600},
        {"1 Mar 2002 10:00:00 GMT", 1014976800},
        {"Fri, 1 Mar 2002 10:00 +0000", 1014976800},  // no seconds
        {"Fri, 01 Mar 2002 10:00:00 +0100 (CET)", 1014973200},
        {"Fri,  1 Mar 2002 10:00:00 -0000", 1014976800},
        {"1 Mar 02 10:00:00 +0000", 1014976800},  // two-digit year
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        pst::Message m = import(std::string("Date: ") + c.date + "\r\nSubject: d\r\n\r\nbody\r\n");
        EXPECT_EQ(timeOf(m.props, tag::PidTagClientSubmitTime), fileTimeFromUnix(c.unix).ticks);
        EXPECT_EQ(timeOf(m.props, tag::PidTagMessageDeliveryTime), fileTimeFromUnix(c.unix).ticks);
    }

    // (The first Received as the delivery time, Date as the submit time:
    // pst_import_test.)
    // No date at all: no time is invented, and the message says so.
    const std::string undated = "Subject: when?\r\nFrom: a@example.com\r\n\r\nbody\r\n";
    pst::Message none = import(undated);
    EXPECT_FALSE(timeOf(none.props, tag::PidTagMessageDeliveryTime));
    EXPECT_FALSE(timeOf(none.props, tag::PidTagClientSubmitTime));
    EXPECT_FALSE(timeOf(none.props, tag::PidTagCreationTime));
    EXPECT_FALSE(timeOf(none.props, tag::PidTagLastModificationTime));
    for (bool whole : {false, true}) {
        ParsedMessage parsed;
        std::string error;
        ASSERT_TRUE(parseMessage(undated, parsed, error, ImportOptions{kNow, whole}));
        EXPECT_TRUE(parsed.undated());
        ASSERT_TRUE(parseMessage("Date: " + std::string(cases[1].date) + "\r\n\r\nx", parsed, error,
                                 ImportOptions{kNow, whole}));
        EXPECT_FALSE(parsed.undated());
        // A Received field's time dates a message without a Date field.
        ASSERT_TRUE(parseMessage(
            "Received: from a by b; " + std::string(cases[1].date) + "\r\nSubject: when\r\n\r\nx",
            parsed, error, ImportOptions{kNow, whole}));
        EXPECT_FALSE(parsed.undated());
    }

    // A conversation is dated by its first message's Date field; by the message's
    // delivery (the newest Received) only when it has none.
    for (const bool dated : {true, false}) {
        ThreadBook book;
        ImportOptions options{kNow};
        options.threads = &book;
        ParsedMessage parsed;
        std::string error;
        ASSERT_TRUE(parseMessage("Received: from a by b; " + std::string(cases[1].date) + "\r\n" +
                                     (dated ? "Date: " + std::string(cases[0].date) + "\r\n" : "") +
                                     "Message-ID: <first@example.org>\r\n\r\nx",
                                 parsed, error, options));
        pst::Message item;
        fillMessage(parsed, item);
        const pst::Property* index = item.props.find(tag::PidTagConversationIndex);
        ASSERT_NE(index, nullptr);
        EXPECT_EQ(
            std::get<pst::Binary>(index->value),
            conversationIndex(fileTimeFromUnix(cases[dated ? 0 : 1].unix), "first@example.org"));
    }
}

// Importance and priority from every field mail programs write them in
// ([MS-OXCMAIL] 2.2.3.2.5), the first present winning.
TEST(ImportFidelity, ImportanceAndPriority) {
    struct Case {
        const char* fields;
        std::int32_t importance;  // 0 low, 1 normal, 2 high
        std::int32_t priority;    // -1 non-urgent, 0 normal, 1 urgent
    };
    const Case cases[] = {
        {"", 1, 0},
        {"Importance: high\r\n", 2, 0},
        {"Importance: Low\r\n", 0, 0},
        {"Importance: normal\r\nX-Priority: 1\r\n", 1, 1},
        {"Priority: urgent\r\n", 2, 1},
        {"Priority: non-urgent\r\n", 0, -1},
        {"Priority: normal\r\nX-Priority: 5\r\n", 1, 0},
        {"X-Priority: 1 (Highest)\r\n", 2, 1},
        {"X-Priority: 2 (High)\r\n", 2, 1},
        {"X-Priority: 3 (Normal)\r\n", 1, 0},
        {"X-Priority: 4 (Low)\r\n", 0, -1},
        {"X-Priority: 5 (Lowest)\r\n", 0, -1},
        {"X-Priority: 9\r\n", 1, 0},
        {"X-MSMail-Priority: High\r\n", 2, 0},
        {"X-MSMail-Priority: Low\r\n", 0, 0},
        {"X-Priority: 5\r\nX-MSMail-Priority: High\r\n", 0, -1},
        {"Importance: high\r\nPriority: non-urgent\r\n", 2, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        pst::Message m = import(std::string(c.fields) + "Subject: p\r\n\r\nbody\r\n");
        EXPECT_EQ(num(m.props, tag::PidTagImportance), c.importance);
        EXPECT_EQ(num(m.props, tag::PidTagPriority), c.priority);
    }
}

// Replies go where Reply-To says, conversations follow the thread, a message
// whose only attachments are pictures of its HTML shows no paperclip, and an
// HTML-only message has a plain text too.
TEST(ImportFidelity, RepliesThreadsPicturesAndPlainText) {
    pst::Message m = import(
        "From: Ann <ann@example.org>\r\n"
        "Reply-To: List <list@example.org>, Bob <bob@example.net>\r\nSubject: Re: plans\r\n"
        "References: <root@example.org>\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/related; boundary=r\r\n\r\n--r\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n"
        "<html><head><title>T</title><style>p{color:red}</style></head><body>"
        "<p>Hello&nbsp;<b>Bob</b> &amp; team,</p><p>caf&eacute; &#8364;5<br>bye</p>"
        "<script>alert(1)</script><img src=\"cid:pic@x\"></body></html>\r\n"
        "--r\r\nContent-Type: image/png; name=pic.png\r\nContent-ID: <pic@x>\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n--r--\r\n");
    EXPECT_EQ(text(m.props, tag::PidTagReplyRecipientNames), "List; Bob");
    const pst::Property* entries = m.props.find(tag::PidTagReplyRecipientEntries);
    ASSERT_NE(entries, nullptr);
    const auto& flat = std::get<pst::Binary>(entries->value);
    const pst::Binary list = oneOffEntryId("List", "SMTP", "list@example.org");
    const pst::Binary bob = oneOffEntryId("Bob", "SMTP", "bob@example.net");
    // Count, size, then each entry: its size, its bytes, padding to 4 bytes.
    pst::Binary expected = {2, 0, 0, 0, 0, 0, 0, 0};
    for (const pst::Binary* e : {&list, &bob}) {
        expected.push_back(std::uint8_t(e->size()));
        expected.insert(expected.end(), {0, 0, 0});
        expected.insert(expected.end(), e->begin(), e->end());
        while (expected.size() % 4) expected.push_back(0);
    }
    expected[4] = std::uint8_t(expected.size() - 8);
    EXPECT_EQ(flat, expected);

    const pst::Property* tracking = named(m.props, kConversationIndexTracking);
    ASSERT_NE(tracking, nullptr);
    EXPECT_TRUE(std::get<bool>(tracking->value));
    const pst::Property* noAttach = named(m.props, kSmartNoAttach);
    ASSERT_NE(noAttach, nullptr);
    EXPECT_TRUE(std::get<bool>(noAttach->value));

    EXPECT_EQ(text(m.props, tag::PidTagBody), "Hello Bob & team,\r\n\r\ncafé €5\r\nbye");
    // (A real file keeps the paperclip: import_rules_test.)
}

// Signed mail is stored as Outlook stores it while its signature holds, as an
// ordinary message once it does not; encrypted mail keeps its one attachment.
TEST(ImportFidelity, SignedAndEncryptedMail) {
    const std::string content = "Content-Type: text/plain; charset=us-ascii\r\n\r\nSigned words.";
    const std::string raw = signedMessage(content, content);
    // How a whole signed message is stored (its class, body and signed entity) is
    // checked on whole runs: pst_readback_test, and attachment_run_test, which
    // verifies the real signature on the entity the store holds.

    // The content no longer what was signed (the attachment pass took a part
    // out): an ordinary message, content and signature file visible.
    pst::Message changed = import(signedMessage(content, content + " (and a file)"));
    EXPECT_EQ(text(changed.props, tag::PidTagMessageClass), "IPM.Note");
    EXPECT_EQ(text(changed.props, tag::PidTagBody), "Signed words.");
    // The signature taken away: ordinary too.
    std::string stripped = raw;
    stripped.erase(
        stripped.find("--sig\r\nContent-Type: application/pkcs7-signature"),
        stripped.find("--sig--") - stripped.find("--sig\r\nContent-Type: application/pkcs7"));
    EXPECT_EQ(text(import(stripped).props, tag::PidTagMessageClass), "IPM.Note");

    pst::Message opaque = import(
        "Subject: sealed\r\nMIME-Version: 1.0\r\nContent-Type: application/pkcs7-mime; "
        "smime-type=enveloped-data\r\nContent-Transfer-Encoding: base64\r\n\r\nMIAGCSqGSIb3\r\n");
    EXPECT_EQ(text(opaque.props, tag::PidTagMessageClass), "IPM.Note.SMIME");
    ASSERT_EQ(opaque.attachments.size(), 1u);
    EXPECT_EQ(text(opaque.attachments[0].props, tag::PidTagAttachLongFilename), "smime.p7m");
    EXPECT_EQ(text(opaque.attachments[0].props, tag::PidTagAttachMimeTag),
              "application/pkcs7-mime");
}

// winmail.dat is unpacked into the item: its files become the item's, its body
// the item's body when the message has none.
TEST(ImportFidelity, WinmailDatIsUnpacked) {
    const std::string tnef = tnefStream(
        "Body from Outlook.", {{"report.pdf", "%PDF-1.4 report"}, {"notes.txt", "some notes"}});
    pst::Message m = import(
        "From: o@example.org\r\nSubject: tnef\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=t\r\n\r\n--t\r\n"
        "Content-Type: application/ms-tnef; name=\"winmail.dat\"\r\n"
        "Content-Disposition: attachment; filename=\"winmail.dat\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        base64(tnef) + "\r\n--t--\r\n");
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(std::string(m.attachments[0].data.begin(), m.attachments[0].data.end()),
              "%PDF-1.4 report");
    EXPECT_EQ(text(m.attachments[1].props, tag::PidTagAttachLongFilename), "notes.txt");
    EXPECT_EQ(num(m.props, tag::PidTagMessageFlags) & kMsgFlagHasAttach, kMsgFlagHasAttach);

    // A winmail.dat that is no TNEF stays the file it is.
    pst::Message broken = import(
        "Subject: t\r\nContent-Type: multipart/mixed; boundary=t\r\n\r\n--t\r\n"
        "Content-Type: text/plain\r\n\r\nhi\r\n--t\r\nContent-Type: application/ms-tnef; "
        "name=winmail.dat\r\n\r\nnot tnef at all\r\n--t--\r\n");
    ASSERT_EQ(broken.attachments.size(), 1u);
    EXPECT_EQ(text(broken.attachments[0].props, tag::PidTagAttachLongFilename), "winmail.dat");
    EXPECT_EQ(text(broken.props, tag::PidTagBody), "hi");
}

}  // namespace
}  // namespace tp::convert
