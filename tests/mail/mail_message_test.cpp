// MailMessage on realistic and on malformed messages. Structure after a change is
// checked with Python's email package; everything that is not an attachment must
// come out byte for byte.
#include "mail/mail_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mime_util.h"

using tp::convert::MailMessage;
using tp::test::crlf;
using tp::test::outline;
using Names = std::vector<std::string>;

namespace {

const std::string kTop =
    crlf(R"(Received: from mx.example.org by mail.example.com; Tue, 3 Mar 2009 10:11:12 +0100
From: "Ann Example" <ann@example.org>
Subject: Holiday pictures
Date: Tue, 3 Mar 2009 09:30:00 +0100
MIME-Version: 1.0
)");

// A body part: the delimiter line of `boundary`, the header fields and the body
// with its line end. A multipart's own parts follow its header directly.
std::string part(const std::string& boundary, const std::string& fields,
                 const std::string& body = "") {
    return crlf("--" + boundary + "\n" + fields + "\n\n" + body + (body.empty() ? "" : "\n"));
}

const std::string kAlternative =
    part("outer", "Content-Type: multipart/alternative; boundary=\"inner\"") +
    part("inner",
         "Content-Type: text/plain; charset=\"iso-8859-1\"\n"
         "Content-Transfer-Encoding: quoted-printable",
         "Hello Bob, the pictures =E9t=E9.") +
    part("inner", "Content-Type: text/html; charset=\"iso-8859-1\"",
         "<html><body><a name=\"top\">Hello</a></body></html>") +
    crlf("--inner--\n\n");

const std::string kPdf = part("outer",
                              "Content-Type: application/pdf; name=\"plan.pdf\"\n"
                              "Content-Transfer-Encoding: base64\n"
                              "Content-Disposition: attachment; filename=\"plan.pdf\"",
                              "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFI+PgpzdHJlYW0K");

std::string mixed(const std::vector<std::string>& parts) {
    std::string m = kTop + crlf(
                               "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
                               "This is a multi-part message in MIME format.\n");
    for (const auto& p : parts) m += p;
    return m + crlf("--outer--\n\nepilogue\n");
}

Names names(const std::string& bytes) {
    MailMessage m;
    m.LoadFromBytes(bytes);
    Names out;
    for (int i = 0; i < m.AttachmentCount(); ++i) out.push_back(m.AttachmentName(i));
    return out;
}

std::string stripped(const std::string& bytes) {
    MailMessage m;
    m.LoadFromBytes(bytes);
    m.RemoveAllAttachments();
    EXPECT_EQ(m.AttachmentCount(), 0);
    return m.bytes();
}

}  // namespace

// Messages without attachment parts come out exactly as they went in.
TEST(MailMessage, MessagesWithoutAttachmentsStayByteIdentical) {
    const std::vector<std::string> messages = {
        mixed({kAlternative}),
        kTop + crlf("Content-Type: text/plain; name=\"readme.txt\"\n\nSee the attachment.\n"),
        kTop + crlf("Content-Type: message/rfc822\n\nFrom: c@d\nSubject: inline\n\nhi\n"),
        "From: a@b\nSubject: LF only\n\nbody\n",
        "From: a@b\rSubject: lone CR\r\rbody\r",
        kTop,
        "",
    };
    for (const auto& original : messages) {
        MailMessage m;
        m.LoadFromBytes(original);
        EXPECT_EQ(m.AttachmentCount(), 0) << original;
        m.RemoveAllAttachments();
        EXPECT_FALSE(m.changed());
        EXPECT_EQ(m.bytes(), original);
    }
}

// Removing attachments cuts exactly their parts, at any depth; everything else stays
// byte-identical.
TEST(MailMessage, RemovingAttachmentsCutsOnlyTheirParts) {
    const std::string relatedKept =
        part("outer", "Content-Type: multipart/related; boundary=\"rel\"") +
        part("rel", "Content-Type: text/html", "<img src=\"cid:logo@x\">");
    const std::string relatedImage = part("rel",
                                          "Content-Type: image/png; name=\"logo.png\"\n"
                                          "Content-ID: <logo@x>\n"
                                          "Content-Disposition: inline; filename=\"logo.png\"",
                                          "iVBORw0KGgo=");
    const std::string bag =
        part("outer", "Content-Type: multipart/mixed; boundary=\"bag\"") +
        part("bag", "Content-Type: application/octet-stream; name=\"a.bin\"", "AAAA") +
        part("bag", "Content-Type: application/octet-stream; name=\"b.bin\"", "BBBB") +
        "--bag--\r\n";
    const std::string forwardKept =
        part("outer", "Content-Type: message/rfc822") +
        crlf("From: c@d\nContent-Type: multipart/mixed; boundary=\"fwd\"\n\n") +
        part("fwd", "Content-Type: text/plain", "inner");
    const std::string forwardPdf =
        part("fwd", "Content-Disposition: attachment; filename=\"inner.pdf\"", "JVBE");
    const std::string withAll =
        mixed({kAlternative, kPdf, relatedKept + relatedImage + "--rel--\r\n", bag,
               forwardKept + forwardPdf + "--fwd--\r\n"});
    EXPECT_EQ(names(withAll), (Names{"plan.pdf", "logo.png", "a.bin", "b.bin", "inner.pdf"}));
    const std::string out = stripped(withAll);
    EXPECT_EQ(out, mixed({kAlternative, relatedKept + "--rel--\r\n", forwardKept + "--fwd--\r\n"}));
    EXPECT_EQ(outline(out),
              "multipart/mixed\n"
              "  multipart/alternative\n"
              "    text/plain len=28\n"
              "    text/html len=49\n"
              "  multipart/related\n"
              "    text/html len=22\n"
              "  message/rfc822\n"
              "    multipart/mixed\n"
              "      text/plain len=5\n");

    // A message that is nothing but an attachment keeps its header without the
    // content fields.
    EXPECT_EQ(stripped(kTop + crlf("Content-Type: application/pdf; name=\"scan.pdf\"\n"
                                   "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n")),
              kTop + "\r\n");
}

// What counts and how names read: either header, RFC 2231 continuations, RFC 2047
// words, raw 8-bit text; a body text with a name is still the body.
TEST(MailMessage, AttachmentNames) {
    const std::string parts =
        part("outer", "Content-Type: text/plain; name=\"message.txt\"",
             "This is the body although it has a name.") +
        part("outer",
             "Content-Type: application/pdf\nContent-Disposition: attachment;\n"
             " filename*0*=UTF-8''%E2%82%AC%20rapport%20;\n filename*1*=annuel.pdf",
             "JVBE") +
        part("outer",
             "Content-Type: application/msword; name=\"=?ISO-8859-1?Q?R=E9sum=E9=2Edoc?=\"",
             "0M8R") +
        part("outer",
             "Content-Type: application/octet-stream; name=\"Gr\xFC\xDF"
             "e.txt\"",
             "AAAA") +
        part("outer", "Content-Type: text/plain\nContent-Disposition: attachment",
             "an attached text without a name");
    EXPECT_EQ(names(mixed({parts})),
              (Names{"\xE2\x82\xAC rapport annuel.pdf", "R\xC3\xA9sum\xC3\xA9.doc",
                     "Gr\xC3\xBC\xC3\x9F"
                     "e.txt",
                     ""}));
}

// Adding files: a single-part message becomes multipart/mixed around its untouched
// header and body. (A mixed message gains parts before its close delimiter: the
// attachment pass tests check that byte for byte.)
TEST(MailMessage, AttachFile) {
    tp::test::ScratchDir dir;
    const std::string pdf = "%PDF-1.4\n" + std::string(300, '\xAB');
    tp::test::writeBytes(dir.path() / "plan.pdf", pdf);
    const std::string longName = "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC - a long name, to be folded.txt";
    tp::test::writeBytes(dir.path() / longName, "");

    const std::string body = crlf("Content-Type: text/plain; charset=utf-8\n\nCaf\xC3\xA9.\n");
    MailMessage single;
    single.LoadFromBytes(kTop + body);
    EXPECT_EQ(single.AttachFile(dir.path() / "plan.pdf"), "");
    EXPECT_EQ(single.AttachFile(dir.path() / longName), "");
    const std::string out = single.bytes();
    EXPECT_EQ(out.substr(0, kTop.size()), kTop);
    EXPECT_NE(out.find("\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nCaf\xC3\xA9.\r\n\r\n--"),
              std::string::npos);
    EXPECT_EQ(outline(out),
              "multipart/mixed\n"
              "  text/plain len=7\n"
              "  application/pdf name=plan.pdf len=309\n"
              "  text/plain name=" +
                  longName + " len=0\n");
    // A header alone, its last field without a line end and no MIME-Version:
    // every field keeps a line of its own.
    MailMessage bare;
    bare.LoadFromBytes("From: a@example.org\r\nSubject: only a header");
    EXPECT_EQ(bare.AttachFile(dir.path() / "plan.pdf"), "");
    EXPECT_TRUE(tp::test::startsWith(
        bare.bytes(), "From: a@example.org\r\nSubject: only a header\r\nMIME-Version: 1.0\r\n"));
    tp::test::writeBytes(dir.path() / "out.eml", out);
    EXPECT_EQ(tp::test::output("python3 -c \"import email,sys; m=email.message_from_binary_file("
                               "open(sys.argv[1],'rb')); sys.stdout.buffer.write("
                               "m.get_payload()[1].get_payload(decode=True))\" '" +
                               (dir.path() / "out.eml").string() + "'"),
              pdf);
}

// The sender and dates of the "From " line of an .mbox (the MBOX tests check the
// everyday forms on the lines themselves): a date beyond the clock is no date, a
// group's first address is the sender.
TEST(MailMessage, SenderAndDates) {
    MailMessage m;
    m.LoadFromBytes(crlf("Date: Fri, 31 Dec 9999 23:59:59 +0000\n\nb\n"));
    EXPECT_FALSE(m.MessageDate());
    m.LoadFromBytes(crlf("From: Friends: Carl <carl@x.org>, d@y.org;\nDate: soon\n\nb\n"));
    EXPECT_EQ(m.Sender(), "carl@x.org");
}

// Broken input: no crash, no hang, nothing lost.
TEST(MailMessage, MalformedInput) {
    const std::string mixedType = crlf("Content-Type: multipart/mixed; boundary=outer\n\n");
    // Unterminated: the attachment runs to the end of the message.
    EXPECT_EQ(stripped(kTop + mixedType + kAlternative + kPdf), kTop + mixedType + kAlternative);

    // No boundary parameter, or a boundary that never occurs: nothing changes.
    for (const std::string& bytes :
         {kTop + crlf("Content-Type: multipart/mixed\n\n") + kPdf,
          kTop + crlf("Content-Type: multipart/mixed; boundary=nowhere\n\n") + kPdf})
        EXPECT_EQ(stripped(bytes), bytes);

    // The boundary inside header values.
    const std::string inHeader = kTop + crlf("Subject: --outer\n") + mixedType +
                                 crlf("--outer\nX-Note: --outer\n\ntext\n") + kPdf +
                                 crlf("--outer--\n");
    EXPECT_EQ(outline(stripped(inHeader)), "multipart/mixed\n  text/plain len=4\n");

    // Nesting 10,000 deep.
    std::string deep = kTop + "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
    std::string tail;
    for (int i = 0; i < 10000; ++i) {
        deep += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                std::to_string(i + 1) + "\r\n\r\n";
        tail = "--b" + std::to_string(i) + "--\r\n" + tail;
    }
    deep += crlf("--b10000\nContent-Disposition: attachment; filename=d.bin\n\nAAAA\n") + tail;
    EXPECT_LE(names(deep).size(), 1u);
    EXPECT_FALSE(stripped(deep).empty());

    // A header of 1 MB.
    const std::string huge = "X-Huge: " + std::string(1 << 20, 'x') + "\r\n" +
                             crlf("Content-Type: application/zip; name=big.zip\n\nUEsD\n");
    EXPECT_EQ(stripped(huge), huge.substr(0, huge.find("Content-Type")) + "\r\n");

    // Headers only, without the empty line, gaining a file.
    tp::test::ScratchDir dir;
    tp::test::writeBytes(dir.path() / "a.txt", "abc");
    const std::string headersOnly = "From: a@b\r\nContent-Type: multipart/mixed; boundary=zz";
    MailMessage o;
    o.LoadFromBytes(headersOnly);
    ASSERT_EQ(o.AttachFile(dir.path() / "a.txt"), "");
    EXPECT_EQ(outline(o.bytes()), "multipart/mixed\n  text/plain name=a.txt len=3\n");
    EXPECT_EQ(o.bytes().substr(0, headersOnly.size()), headersOnly);
}

// Text that the sender marked as an attachment is one, also where the message's
// body would stand (the message itself, or the first part of a mixed message).
TEST(MailMessage, TextMarkedAsAttachmentWhereTheBodyWouldBe) {
    const std::string text = crlf(
        "Content-Type: text/plain\nContent-Disposition: attachment; filename=\"log.txt\"\n\nthe "
        "log\n");
    for (const std::string& message : {kTop + text, mixed({"--outer\r\n" + text})}) {
        EXPECT_EQ(names(message), Names{"log.txt"});
        EXPECT_EQ(stripped(message).find("the log"), std::string::npos);
    }
}

// A message whose body is itself a message (one forwarded or bounced as it is):
// that message's attachments are the message's own, as they are for a message
// inside a mixed one. They count, they go, and a file added afterwards is then the
// only attachment.
TEST(MailMessage, AttachmentsOfAMessageThatIsTheBody) {
    const std::string top = kTop + crlf("Content-Type: message/rfc822\n\n");
    const std::string forwardedText =
        crlf("From: c@d\nSubject: the plan\nContent-Type: multipart/mixed; boundary=\"fwd\"\n\n") +
        part("fwd", "Content-Type: text/plain", "see the plan");
    const std::string forwardedPdf =
        part("fwd", "Content-Disposition: attachment; filename=\"inner.pdf\"", "JVBE");
    const std::string message = top + forwardedText + forwardedPdf + "--fwd--\r\n";
    EXPECT_EQ(names(message), Names{"inner.pdf"});
    EXPECT_TRUE(MailMessage::MayHaveAttachments(message));
    const std::string out = stripped(message);
    EXPECT_EQ(out, top + forwardedText + "--fwd--\r\n");

    tp::test::ScratchDir dir;
    tp::test::writeBytes(dir.path() / "notes.txt", "an attached file\r\n");
    MailMessage m;
    m.LoadFromBytes(out);
    ASSERT_EQ(m.AttachFile(dir.path() / "notes.txt"), "");
    EXPECT_EQ(names(m.bytes()), Names{"notes.txt"});
    EXPECT_EQ(outline(m.bytes()),
              "multipart/mixed\n"
              "  message/rfc822\n"
              "    multipart/mixed\n"
              "      text/plain len=12\n"
              "  text/plain name=notes.txt len=18\n");

    // The forwarded message is nothing but an attached file: its header stays.
    const std::string forwardedHeader = crlf("From: c@d\nSubject: minutes\n");
    EXPECT_EQ(stripped(top + forwardedHeader +
                       crlf("Content-Type: text/plain\n"
                            "Content-Disposition: attachment; filename=\"minutes.txt\"\n\n"
                            "the minutes\n")),
              top + forwardedHeader + "\r\n");
}
