// MailMessage on realistic and on malformed messages. Structure after a change is
// checked with Python's email package; everything that was not an attachment
// must come out byte for byte.
#include "convert/mail_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mail/mime_util.h"

using tp::convert::MailMessage;
using tp::testutil::crlf;
using tp::testutil::outline;

namespace {

const std::string kTop = crlf(
    "Return-Path: <ann@example.org>\n"
    "Received: from mx.example.org by mail.example.com; Tue, 3 Mar 2009 10:11:12 +0100\n"
    "From: \"Ann Example\" <ann@example.org>\n"
    "To: bob@example.com\n"
    "Subject: Holiday pictures\n"
    "Date: Tue, 3 Mar 2009 09:30:00 +0100\n"
    "MIME-Version: 1.0\n"
    "X-Mailer: IncrediMail (5200592)\n");

const std::string kAlternative = crlf(
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=\"iso-8859-1\"\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Hello Bob, the pictures =E9t=E9.\n"
    "--inner\n"
    "Content-Type: text/html; charset=\"iso-8859-1\"\n"
    "\n"
    "<html><body><a name=\"top\">Hello</a></body></html>\n"
    "--inner--\n"
    "\n");

const std::string kPdf = crlf(
    "--outer\n"
    "Content-Type: application/pdf; name=\"plan.pdf\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"plan.pdf\"\n"
    "\n"
    "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFI+PgpzdHJlYW0K\n");

const std::string kImage = crlf(
    "--outer\n"
    "Content-Type: image/jpeg;\n"
    "\tname*=UTF-8''%C3%A9t%C3%A9.jpg\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQEBAgGBgUGCQgKCgkICQkK\n");

std::string mixed(const std::vector<std::string>& parts) {
    std::string m = kTop + crlf(
                               "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
                               "This is a multi-part message in MIME format.\n");
    for (const auto& p : parts) m += p;
    return m + crlf("--outer--\n\nepilogue\n");
}

struct Loaded {
    MailMessage m;
    explicit Loaded(const std::string& bytes) { m.LoadFromBytes(bytes); }
};

std::vector<std::string> names(const MailMessage& m) {
    std::vector<std::string> out;
    for (int i = 0; i < m.AttachmentCount(); ++i) out.push_back(m.AttachmentName(i));
    return out;
}

}  // namespace

// Messages without attachment parts come out exactly as they went in, whatever
// is asked of them, and saving writes those same bytes.
TEST(MailMessage, MessagesWithoutAttachmentsStayByteIdentical) {
    const std::vector<std::string> messages = {
        kTop + crlf("Content-Type: text/plain\n\nFrom here on, a plain body.\n"),
        mixed({kAlternative}),
        // "name" and "attachment" in the text but no attachment part.
        kTop + crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: "
                    "text/plain\n\nSee the attachment, my name is Ann.\n--b--\n"),
        std::string("From: a@b\nSubject: LF only\n\nbody\n"),
        std::string("From: a@b\rSubject: lone CR\r\rbody\r"),
        kTop,                                  // headers only
        std::string(),                         // nothing at all
        std::string("\r\n\r\nno header\r\n"),  // body only
        kTop + crlf("Content-Type: text/plain; name=\"readme.txt\"\n\nthe body itself\n"),
    };
    tp::testutil::TempDir dir;
    for (const auto& original : messages) {
        MailMessage m;
        ASSERT_TRUE(m.LoadFromBytes(original));
        EXPECT_EQ(m.AttachmentCount(), 0) << original;
        m.RemoveAllAttachments();
        EXPECT_FALSE(m.changed());
        EXPECT_EQ(m.bytes(), original);
        ASSERT_TRUE(m.SaveToFile(dir.path() / "out.eml"));
        EXPECT_EQ(tp::testutil::readBytes(dir.path() / "out.eml"), original);
        MailMessage again;
        ASSERT_TRUE(again.LoadFromFile(dir.path() / "out.eml"));
        EXPECT_EQ(again.bytes(), original);
    }
}

// Removing attachments from a realistic mixed message cuts exactly their parts:
// the rest (headers, preamble, the alternative body, epilogue) is byte-identical.
TEST(MailMessage, RemovingAttachmentsCutsOnlyTheirParts) {
    const std::string original = mixed({kAlternative, kPdf, kImage});
    Loaded l(original);
    EXPECT_EQ(names(l.m), (std::vector<std::string>{"plan.pdf", "\xC3\xA9t\xC3\xA9.jpg"}));
    EXPECT_EQ(l.m.AttachmentName(2), "");
    EXPECT_EQ(l.m.AttachmentName(-1), "");
    l.m.RemoveAllAttachments();
    EXPECT_TRUE(l.m.changed());
    EXPECT_EQ(l.m.AttachmentCount(), 0);
    EXPECT_EQ(l.m.bytes(), mixed({kAlternative}));
    EXPECT_EQ(outline(l.m.bytes()),
              "multipart/mixed\n"
              "  multipart/alternative\n"
              "    text/plain len=28\n"
              "    text/html len=49\n");

    // An attachment between two kept parts, and one inside a nested multipart.
    const std::string nested = crlf(
        "--outer\n"
        "Content-Type: multipart/mixed; boundary=\"deep\"\n"
        "\n"
        "--deep\n"
        "Content-Type: text/plain\n"
        "\n"
        "kept\n"
        "--deep\n"
        "Content-Type: application/zip\n"
        "Content-Disposition: attachment; filename=a.zip\n"
        "\n"
        "UEsDBAo=\n"
        "--deep--\n");
    const std::string keptNested = crlf(
        "--outer\n"
        "Content-Type: multipart/mixed; boundary=\"deep\"\n"
        "\n"
        "--deep\n"
        "Content-Type: text/plain\n"
        "\n"
        "kept\n"
        "--deep--\n");
    Loaded two(mixed({kAlternative, kPdf, nested, kImage}));
    EXPECT_EQ(names(two.m),
              (std::vector<std::string>{"plan.pdf", "a.zip", "\xC3\xA9t\xC3\xA9.jpg"}));
    two.m.RemoveAllAttachments();
    EXPECT_EQ(two.m.bytes(), mixed({kAlternative, keptNested}));
}

// Related inline images and attachments inside nested multiparts; a multipart
// left with nothing but attachments goes as a whole.
TEST(MailMessage, RelatedImagesAndEmptiedMultiparts) {
    const std::string related = crlf(
        "--outer\n"
        "Content-Type: multipart/related; type=\"text/html\"; boundary=\"rel\"\n"
        "\n"
        "--rel\n"
        "Content-Type: text/html; charset=us-ascii\n"
        "\n"
        "<img src=\"cid:logo@x\">\n"
        "--rel\n"
        "Content-Type: image/png; name=\"logo.png\"\n"
        "Content-ID: <logo@x>\n"
        "Content-Disposition: inline; filename=\"logo.png\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "iVBORw0KGgo=\n"
        "--rel--\n");
    const std::string onlyAttachments = crlf(
        "--outer\n"
        "Content-Type: multipart/mixed; boundary=\"bag\"\n"
        "\n"
        "--bag\n"
        "Content-Type: application/octet-stream; name=\"a.bin\"\n"
        "\n"
        "AAAA\n"
        "--bag\n"
        "Content-Type: application/octet-stream; name=\"b.bin\"\n"
        "\n"
        "BBBB\n"
        "--bag--\n");
    Loaded l(mixed({related, onlyAttachments}));
    EXPECT_EQ(names(l.m), (std::vector<std::string>{"logo.png", "a.bin", "b.bin"}));
    l.m.RemoveAllAttachments();
    EXPECT_EQ(outline(l.m.bytes()),
              "multipart/mixed\n"
              "  multipart/related\n"
              "    text/html len=22\n");
    const std::string expectedRelated =
        related.substr(0, related.find("--rel\r\nContent-Type: image"));
    EXPECT_EQ(l.m.bytes(), mixed({expectedRelated + "--rel--\r\n"}));
}

// Which parts count: names from either header, encoded names, text bodies that
// carry a name, attached messages.
TEST(MailMessage, AttachmentNamesAndWhatCounts) {
    const std::string encodedNames = crlf(
        "--outer\n"
        "Content-Type: application/pdf\n"
        "Content-Disposition: attachment;\n"
        " filename*0*=UTF-8''%E2%82%AC%20rapport%20;\n"
        " filename*1*=annuel.pdf\n"
        "\n"
        "JVBE\n"
        "--outer\n"
        "Content-Type: application/msword; name=\"=?ISO-8859-1?Q?R=E9sum=E9=2Edoc?=\"\n"
        "\n"
        "0M8R\n"
        "--outer\n"
        "Content-Type: application/octet-stream; name=\"Gr\xFC\xDF"
        "e.txt\"\n"
        "\n"
        "AAAA\n"
        "--outer\n"
        "Content-Type: text/plain\n"
        "Content-Disposition: attachment\n"
        "\n"
        "an attached text without a name\n"
        "--outer\n"
        "Content-Type: message/rfc822\n"
        "Content-Disposition: attachment; filename=\"forwarded.eml\"\n"
        "\n"
        "From: c@d\n"
        "Subject: inner\n"
        "\n"
        "inner body\n");
    const std::string firstText = crlf(
        "--outer\n"
        "Content-Type: text/plain; name=\"message.txt\"\n"
        "\n"
        "This is the body although it has a name.\n");
    Loaded l(mixed({firstText, encodedNames}));
    EXPECT_EQ(names(l.m), (std::vector<std::string>{"\xE2\x82\xAC rapport annuel.pdf",
                                                    "R\xC3\xA9sum\xC3\xA9.doc",
                                                    "Gr\xC3\xBC\xC3\x9F"
                                                    "e.txt",
                                                    "", "forwarded.eml"}));
    l.m.RemoveAllAttachments();
    EXPECT_EQ(l.m.bytes(), mixed({firstText}));

    // A forwarded message shown inline is content, not an attachment; the
    // attachments inside it count, and its header stays even when nothing else does.
    const std::string forwardHead = crlf(
        "--outer\n"
        "Content-Type: message/rfc822\n"
        "\n"
        "From: c@d\n"
        "MIME-Version: 1.0\n");
    const std::string forwardBody = crlf(
        "Content-Type: multipart/mixed; boundary=\"fwd\"\n"
        "\n"
        "--fwd\n"
        "Content-Type: text/plain\n"
        "\n"
        "inner\n");
    const std::string innerPdf = crlf(
        "--fwd\n"
        "Content-Disposition: attachment; filename=\"inner.pdf\"\n"
        "\n"
        "JVBE\n");
    const std::string forwardEnd = crlf("--fwd--\n");
    Loaded f(mixed({kAlternative, forwardHead + forwardBody + innerPdf + forwardEnd}));
    EXPECT_EQ(names(f.m), std::vector<std::string>{"inner.pdf"});
    f.m.RemoveAllAttachments();
    EXPECT_EQ(f.m.bytes(), mixed({kAlternative, forwardHead + forwardBody + forwardEnd}));

    Loaded bare(mixed(
        {kAlternative, forwardHead + crlf("Content-Type: application/pdf; name=a.pdf\n\nJVBE\n")}));
    EXPECT_EQ(names(bare.m), std::vector<std::string>{"a.pdf"});
    bare.m.RemoveAllAttachments();
    EXPECT_EQ(bare.m.bytes(), mixed({kAlternative, forwardHead + "\r\n\r\n"}));
}

// A message that is nothing but an attachment keeps its header (without the
// content fields) and loses its body.
TEST(MailMessage, MessageThatIsOneAttachment) {
    const std::string original =
        kTop + crlf(
                   "Content-Type: application/pdf; name=\"scan.pdf\"\n"
                   "Content-Transfer-Encoding: base64\n"
                   "Content-Disposition: attachment; filename=\"scan.pdf\"\n"
                   "\n"
                   "JVBERi0xLjQK\n");
    Loaded l(original);
    EXPECT_EQ(names(l.m), std::vector<std::string>{"scan.pdf"});
    l.m.RemoveAllAttachments();
    EXPECT_EQ(l.m.bytes(), kTop + "\r\n");
}

// Adding files: a single-part message turns into multipart/mixed around its
// untouched body; a mixed message gains parts before its close delimiter.
TEST(MailMessage, AttachFile) {
    tp::testutil::TempDir dir;
    const std::string pdf = "%PDF-1.4\n" + std::string(300, '\xAB') + "end";
    tp::testutil::writeBytes(dir.path() / "plan.pdf", pdf);
    const std::string longName =
        "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC - a rather long file name, for folding purposes.txt";
    tp::testutil::writeBytes(dir.path() / longName, "");

    const std::string body = crlf(
        "Content-Type: text/plain; charset=utf-8\n"
        "Content-Transfer-Encoding: 8bit\n"
        "\n"
        "Caf\xC3\xA9 at noon.\n");
    MailMessage single;
    single.LoadFromBytes(kTop + body);
    EXPECT_EQ(single.AttachFile(dir.path() / "plan.pdf"), "");
    EXPECT_EQ(single.AttachFile(dir.path() / longName), "");
    EXPECT_EQ(single.AttachFile(dir.path() / "plan.pdf"), "");  // twice is twice
    EXPECT_NE(single.AttachFile(dir.path() / "missing.pdf"), "");
    EXPECT_NE(single.AttachFile(dir.path()), "");  // a folder is no file
    EXPECT_TRUE(single.changed());
    const std::string out = single.bytes();
    EXPECT_EQ(outline(out),
              "multipart/mixed\n"
              "  text/plain len=15\n"
              "  application/pdf name=plan.pdf len=312\n"
              "  text/plain name=" +
                  longName +
                  " len=0\n"
                  "  application/pdf name=plan.pdf len=312\n");
    // The original header fields and the body's bytes are all still there.
    EXPECT_EQ(out.substr(0, kTop.size()), kTop);
    EXPECT_NE(out.find(body.substr(0, body.find("\r\n\r\n"))), std::string::npos);
    EXPECT_NE(out.find("\r\n\r\nCaf\xC3\xA9 at noon.\r\n"), std::string::npos);
    tp::testutil::writeBytes(dir.path() / "out.eml", out);
    const auto p = tp::testutil::run(
        "python3 -c \"import email,sys,email.policy; m=email.message_from_binary_file("
        "open(sys.argv[1],'rb'), policy=email.policy.default); "
        "sys.stdout.buffer.write(list(m.iter_attachments())[0].get_content())\" '" +
        (dir.path() / "out.eml").string() + "'");
    EXPECT_EQ(p, pdf);

    MailMessage many;
    const std::string original = mixed({kAlternative, kPdf});
    many.LoadFromBytes(original);
    many.RemoveAllAttachments();
    ASSERT_EQ(many.AttachFile(dir.path() / "plan.pdf"), "");
    const std::string withFile = many.bytes();
    const std::string head = mixed({kAlternative});
    const std::size_t close = head.find("--outer--");
    EXPECT_EQ(withFile.substr(0, close), head.substr(0, close));
    EXPECT_EQ(withFile.substr(withFile.size() - (head.size() - close)), head.substr(close));
    EXPECT_EQ(outline(withFile),
              "multipart/mixed\n"
              "  multipart/alternative\n"
              "    text/plain len=28\n"
              "    text/html len=49\n"
              "  application/pdf name=plan.pdf len=312\n");
}

TEST(MailMessage, SenderAndDates) {
    using namespace std::chrono;
    Loaded l(kTop + crlf("\nbody\n"));
    EXPECT_EQ(l.m.Sender(), "ann@example.org");
    ASSERT_TRUE(l.m.MessageDate());
    EXPECT_EQ(duration_cast<seconds>(l.m.MessageDate()->time_since_epoch()).count(), 1236069000);
    ASSERT_TRUE(l.m.FirstReceivedDate());
    EXPECT_EQ(duration_cast<seconds>(l.m.FirstReceivedDate()->time_since_epoch()).count(),
              1236071472);

    Loaded group(crlf("From: Friends: Carl <carl@x.org>, dee@y.org;\nDate: yesterday-ish\n\nb\n"));
    EXPECT_EQ(group.m.Sender(), "carl@x.org");
    EXPECT_FALSE(group.m.MessageDate());
    EXPECT_FALSE(group.m.FirstReceivedDate());

    Loaded none(crlf("Subject: no sender\n\nFrom: not a header\n"));
    EXPECT_EQ(none.m.Sender(), "");
    EXPECT_FALSE(none.m.MessageDate());
}

// Broken input: no crash, no hang, nothing lost.
TEST(MailMessage, MalformedInput) {
    // Unterminated multipart: the attachment runs to the end of the message.
    const std::string unterminated =
        kTop + crlf("Content-Type: multipart/mixed; boundary=outer\n\n") + kAlternative + kPdf;
    Loaded u(unterminated);
    EXPECT_EQ(names(u.m), std::vector<std::string>{"plan.pdf"});
    u.m.RemoveAllAttachments();
    EXPECT_EQ(u.m.bytes(),
              kTop + crlf("Content-Type: multipart/mixed; boundary=outer\n\n") + kAlternative);

    // A multipart without a boundary parameter, or whose boundary never occurs:
    // nothing is found, nothing changes.
    for (const std::string& bytes :
         {kTop + crlf("Content-Type: multipart/mixed\n\n") + kPdf,
          kTop + crlf("Content-Type: multipart/mixed; boundary=nowhere\n\n") + kPdf}) {
        Loaded l(bytes);
        EXPECT_EQ(l.m.AttachmentCount(), 0);
        l.m.RemoveAllAttachments();
        EXPECT_EQ(l.m.bytes(), bytes);
    }

    // The boundary text inside a header value and inside a part's header.
    const std::string inHeader = kTop +
                                 crlf(
                                     "Subject: --outer\n"
                                     "Content-Type: multipart/mixed; boundary=outer\n\n"
                                     "--outer\n"
                                     "Content-Type: text/plain\n"
                                     "X-Note: --outer\n"
                                     "\n"
                                     "text\n") +
                                 kPdf + crlf("--outer--\n");
    Loaded h(inHeader);
    EXPECT_EQ(names(h.m), std::vector<std::string>{"plan.pdf"});
    h.m.RemoveAllAttachments();
    EXPECT_EQ(outline(h.m.bytes()), "multipart/mixed\n  text/plain len=4\n");

    // Nesting 10,000 deep with an attachment at the bottom.
    std::string deep = kTop + "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
    std::string tail;
    for (int i = 0; i < 10000; ++i) {
        const std::string b = "b" + std::to_string(i);
        deep += "--" + b + "\r\n";
        if (i + 1 < 10000)
            deep +=
                "Content-Type: multipart/mixed; boundary=b" + std::to_string(i + 1) + "\r\n\r\n";
        tail = "--" + b + "--\r\n" + tail;
    }
    deep += crlf("Content-Disposition: attachment; filename=deep.bin\n\nAAAA\n") + tail;
    Loaded d(deep);
    EXPECT_LE(d.m.AttachmentCount(), 1);
    d.m.RemoveAllAttachments();
    EXPECT_FALSE(d.m.bytes().empty());

    // A broken base64 attachment is still an attachment and goes whole.
    Loaded b(mixed({kAlternative, crlf("--outer\nContent-Type: application/pdf; name=x.pdf\n"
                                       "Content-Transfer-Encoding: base64\n\n"
                                       "%%%% not base64 at all ====\n")}));
    EXPECT_EQ(names(b.m), std::vector<std::string>{"x.pdf"});
    b.m.RemoveAllAttachments();
    EXPECT_EQ(b.m.bytes(), mixed({kAlternative}));

    // 8-bit bytes in headers: kept as they are; names come out as valid UTF-8.
    const std::string eightBit = crlf(
                                     "From: J\xF6rg <j\xF6rg@example.de>\nSubject: Gr\xFC\xDF"
                                     "e\n") +
                                 crlf("Content-Type: text/plain\n\nHallo\n");
    Loaded e(eightBit);
    EXPECT_EQ(e.m.AttachmentCount(), 0);
    EXPECT_EQ(e.m.bytes(), eightBit);
    EXPECT_EQ(e.m.Sender(), "j\xC3\xB6rg@example.de");

    // A header of 1 MB.
    const std::string huge = "X-Huge: " + std::string(1 << 20, 'x') + "\r\n" +
                             crlf("Content-Type: text/plain; name=big.txt\n\n") + "body\r\n";
    Loaded g(huge);
    EXPECT_EQ(g.m.AttachmentCount(), 0);  // a named text body is the body
    g.m.RemoveAllAttachments();
    EXPECT_EQ(g.m.bytes(), huge);

    // Headers only, without the empty line, gaining a file.
    tp::testutil::TempDir dir;
    tp::testutil::writeBytes(dir.path() / "a.txt", "abc");
    const std::string headersOnly =
        "From: a@b\r\nSubject: only\r\nContent-Type: multipart/mixed; "
        "boundary=zz";
    MailMessage o;
    o.LoadFromBytes(headersOnly);
    EXPECT_EQ(o.AttachmentCount(), 0);
    ASSERT_EQ(o.AttachFile(dir.path() / "a.txt"), "");
    EXPECT_EQ(outline(o.bytes()), "multipart/mixed\n  text/plain name=a.txt len=3\n");
    EXPECT_EQ(o.bytes().substr(0, headersOnly.size()), headersOnly);
}
