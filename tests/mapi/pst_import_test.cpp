// The RFC 822 to mail item mapping, checked on the produced item itself.
#include <gtest/gtest.h>

#include <string>

#include "mail/mime_util.h"
#include "mapi/import.h"
#include "mapi/import_support.h"
#include "mapi/mail_samples.h"

namespace tp::convert {
namespace {

using test::encodeAs;
using test::get;
using test::import;
using test::kNow;
using test::num;
using test::text;

using test::base64;
using test::crlf;

// (The names shown, the subject and the flags are read back from whole runs in
// pst_readback_test too.)
TEST(PstImport, HeadersBecomeEnvelopeProperties) {
    const std::string raw = crlf(
        "Received: from b.example by mx.example; Tue, 3 Mar 2009 10:00:05 +0100\n"
        "Received: from a.example by b.example; Tue, 3 Mar 2009 09:59:00 +0100\n"
        "From: \"Ann Smith\" <ann@example.com>\nTo: Bob <bob@example.org>, carol@example.net\n"
        "Cc: Dave <dave@example.com>\nBcc: eve@example.com\nReply-To: Ann Home <ann@home.example>\n"
        "Subject: Re: Lunch plans\nDate: Tue, 3 Mar 2009 09:58:00 +0100\n"
        "Message-ID: <abc.123@example.com>\nX-Priority: 1\nSensitivity: Private\n"
        "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
        "See you at noon.\n");
    pst::Message m = import(raw);
    const auto& p = m.props;
    EXPECT_EQ(text(p, tag::PidTagMessageClass), "IPM.Note");
    EXPECT_EQ(text(p, tag::PidTagSubjectPrefix), "Re: ");
    EXPECT_EQ(text(p, tag::PidTagNormalizedSubject), "Lunch plans");
    EXPECT_EQ(text(p, tag::PidTagSenderEmailAddress), "ann@example.com");
    EXPECT_EQ(text(p, tag::PidTagSenderAddressType), "SMTP");
    EXPECT_EQ(text(p, tag::PidTagSentRepresentingSmtpAddress), "ann@example.com");
    EXPECT_EQ(get<pst::Binary>(p, tag::PidTagSenderEntryId),
              oneOffEntryId("Ann Smith", "SMTP", "ann@example.com"));
    auto key = get<pst::Binary>(p, tag::PidTagSenderSearchKey);
    EXPECT_EQ(std::string(key.begin(), key.end()), std::string("SMTP:ANN@EXAMPLE.COM\0", 21));
    EXPECT_EQ(text(p, tag::PidTagDisplayTo), "Bob; carol@example.net");
    EXPECT_EQ(text(p, tag::PidTagDisplayBcc), "eve@example.com");
    ASSERT_EQ(m.recipients.size(), 4u);
    EXPECT_EQ(num(m.recipients[0], tag::PidTagRecipientType), kRecipTo);
    EXPECT_EQ(text(m.recipients[1], tag::PidTagEmailAddress), "carol@example.net");
    EXPECT_EQ(num(m.recipients[2], tag::PidTagRecipientType), kRecipCc);
    EXPECT_EQ(num(m.recipients[3], tag::PidTagRecipientType), kRecipBcc);
    EXPECT_EQ(text(m.recipients[0], tag::PidTagDisplayName), "Bob");
    // Date is the submit time; the newest Received line the delivery time.
    EXPECT_EQ(get<pst::FileTime>(p, tag::PidTagClientSubmitTime).ticks,
              fileTimeFromUnix(1236070680).ticks);
    EXPECT_EQ(get<pst::FileTime>(p, tag::PidTagMessageDeliveryTime).ticks,
              fileTimeFromUnix(1236070805).ticks);
    EXPECT_EQ(get<pst::FileTime>(p, tag::PidTagCreationTime).ticks, kNow.ticks);
    EXPECT_EQ(text(p, tag::PidTagInternetMessageId), "<abc.123@example.com>");
    EXPECT_EQ(num(p, tag::PidTagSensitivity), 2);
    EXPECT_EQ(num(p, tag::PidTagMessageSize), std::int32_t(raw.size()));
    // The header block exactly as it came, without the empty line.
    EXPECT_EQ(text(p, tag::PidTagTransportMessageHeaders), raw.substr(0, raw.find("\r\n\r\n") + 2));
    EXPECT_EQ(text(p, tag::PidTagBody), "See you at noon.\r\n");
}

TEST(PstImport, CharsetsInBodiesAndEncodedWords) {
    struct Case {
        const char* charset;
        const char* sample;  // UTF-8
        int codePage;
    };
    const Case cases[] = {
        {"UTF-8", "Grüße – 你好 – שלום", 65001},
        {"ISO-8859-1", "Café crème à Noël", 28591},
        {"ISO-8859-2", "Zażółć gęślą jaźń", 28592},
        {"ISO-8859-15", "Prix: 20 € net", 28605},
        {"windows-1250", "Příliš žluťoučký kůň", 1250},
        {"windows-1251", "Съешь же ещё этих булок", 1251},
        {"windows-1252", "„Quote“ – naïve", 1252},
        {"windows-1255", "שלום עולם", 1255},
        {"KOI8-R", "Привет, мир", 20866},
        {"GB2312", "你好，世界", 936},
        {"GBK", "镕基", 936},
        {"Big5", "繁體中文測試", 950},
        {"Shift_JIS", "日本語のテキスト", 932},
        {"ISO-2022-JP", "こんにちは世界", 50220},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.charset);
        const std::string charset = c.charset, word = base64(encodeAs(c.sample, c.charset));
        pst::Message m =
            import("From: =?" + charset + "?B?" + word + "?= <x@example.com>\r\n" + "Subject: =?" +
                   charset + "?B?" + word +
                   "?=\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"" + charset +
                   "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + word + "\r\n");
        EXPECT_EQ(text(m.props, tag::PidTagSubject), c.sample);
        EXPECT_EQ(text(m.props, tag::PidTagSenderName), c.sample);
        EXPECT_EQ(text(m.props, tag::PidTagBody), c.sample);
        EXPECT_EQ(num(m.props, tag::PidTagInternetCodepage), c.codePage);
    }
}

TEST(PstImport, UndeclaredAndBrokenText) {
    // A body whose bytes do not fit its declared charset keeps every readable character.
    EXPECT_EQ(toUtf8("ok \xFF end", "utf-8"), "ok \xEF\xBF\xBD end");
    EXPECT_EQ(toUtf8(std::string("a\0b", 3), ""), "ab");  // readers stop at a NUL

    // A Thread-Index is taken only when it is a header and whole child blocks.
    const std::string good(27, '\x01'), bad(24, '\x01');
    auto index = [&](const std::string& value) {
        return get<pst::Binary>(
            import("Thread-Index: " + base64(value) + "\r\nSubject: x\r\n\r\nx\r\n").props,
            tag::PidTagConversationIndex);
    };
    EXPECT_EQ(index(good), pst::Binary(good.begin(), good.end()));
    EXPECT_EQ(index(bad).size(), 22u);
    EXPECT_EQ(toUtf8("plain", "x-unknown-charset"), "plain");
    EXPECT_EQ(codePageOfCharset("x-unknown-charset"), 0);
    EXPECT_EQ(codePageOfCharset(" \"Windows-1251\" "), 1251);

    std::string error;
    pst::Message empty;
    EXPECT_FALSE(importMessage("", empty, error, ImportOptions{kNow}));
    EXPECT_FALSE(error.empty());
}

TEST(PstImport, BodiesAttachmentsAndAttachedMessages) {
    const std::string pdf("%PDF-1.4\x00\x01\x02\xFF binary", 20);
    const std::string raw = crlf(
        "From: ann@example.com\nTo: bob@example.org\nSubject: Photos\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"M\"\n\n--M\n"
        "Content-Type: multipart/alternative; boundary=\"A\"\n\n--A\n"
        "Content-Type: text/plain; charset=windows-1251\nContent-Transfer-Encoding: 8bit\n\n"
        "\xCF\xF0\xE8\xE2\xE5\xF2\n--A\nContent-Type: multipart/related; boundary=\"R\"\n\n--R\n"
        "Content-Type: text/html; charset=windows-1251\n\n"
        "<p>\xCF\xF0\xE8\xE2\xE5\xF2 <img src=\"cid:pic1@x\"></p>\n--R\nContent-Type: image/png\n"
        "Content-ID: <pic1@x>\nContent-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--R--\n--A--\n"
        "--M\nContent-Type: application/pdf; name=\"Annual report 2009.pdf\"\n"
        "Content-Disposition: attachment; filename=\"Annual report 2009.pdf\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" +
        base64(pdf) +
        "\n--M\nContent-Type: message/rfc822\n\nFrom: carol@example.net\nSubject: Inner note\n"
        "Content-Type: text/plain\n\nInner body\n"
        "--M--\n");
    pst::Message m = import(raw);
    // The line end before a boundary belongs to the boundary.
    EXPECT_EQ(text(m.props, tag::PidTagBody), "Привет");
    auto html = get<pst::Binary>(m.props, tag::PidTagHtml);
    EXPECT_EQ(std::string(html.begin(), html.end()),
              "<p>\xCF\xF0\xE8\xE2\xE5\xF2 <img src=\"cid:pic1@x\"></p>");  // as sent
    EXPECT_EQ(num(m.props, tag::PidTagInternetCodepage), 1251);

    ASSERT_EQ(m.attachments.size(), 3u);
    const auto& image = m.attachments[0].props;
    EXPECT_EQ(text(image, tag::PidTagAttachMimeTag), "image/png");
    EXPECT_EQ(m.attachments[0].data.size(), 8u);

    const auto& file = m.attachments[1];
    EXPECT_EQ(num(file.props, tag::PidTagAttachMethod), kAttachByValue);
    EXPECT_EQ(text(file.props, tag::PidTagAttachFilename), "ANNUAL~1.PDF");
    EXPECT_EQ(text(file.props, tag::PidTagAttachExtension), ".pdf");
    EXPECT_EQ(text(file.props, tag::PidTagAttachMimeTag), "application/pdf");
    EXPECT_EQ(std::string(file.data.begin(), file.data.end()), pdf);

    const auto& attached = m.attachments[2];
    EXPECT_EQ(text(attached.props, tag::PidTagDisplayName), "Inner note");
    ASSERT_TRUE(attached.embedded);
    EXPECT_EQ(text(attached.embedded->props, tag::PidTagSubject), "Inner note");
    EXPECT_EQ(text(attached.embedded->props, tag::PidTagSenderEmailAddress), "carol@example.net");
    EXPECT_EQ(text(attached.embedded->props, tag::PidTagBody), "Inner body");
    EXPECT_EQ(num(attached.embedded->props, tag::PidTagMessageFlags), kMsgFlagRead);
}

TEST(PstImport, DeeplyNestedMessagesEndAsFiles) {
    std::string msg = "Subject: level 10\r\n\r\ninnermost text\r\n";
    for (int level = 9; level >= 0; --level)
        msg = "Subject: level " + std::to_string(level) +
              "\r\nMIME-Version: 1.0\r\nContent-Type: message/rfc822\r\n\r\n" + msg;
    pst::Message m = import(msg);
    const pst::Message* at = &m;
    int depth = 0;
    while (!at->attachments.empty() && at->attachments[0].embedded) {
        at = at->attachments[0].embedded.get();
        ++depth;
    }
    EXPECT_EQ(depth, 6);
    ASSERT_EQ(at->attachments.size(), 1u);
    const auto& kept = at->attachments[0];
    EXPECT_EQ(num(kept.props, tag::PidTagAttachMethod), kAttachByValue);
    EXPECT_EQ(text(kept.props, tag::PidTagAttachExtension), ".eml");
    const std::string data(kept.data.begin(), kept.data.end());
    EXPECT_NE(data.find("innermost text"), std::string::npos);
}

TEST(PstImport, SmallRules) {
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(splitSubject("RE: Hi"), P("RE: ", "Hi"));
    EXPECT_EQ(splitSubject("Fwd:   Hi"), P("Fwd: ", "Hi"));
    EXPECT_EQ(splitSubject("AW:Hi"), P("AW: ", "Hi"));
    EXPECT_EQ(splitSubject("Réf: x"), P("Réf: ", "x"));
    EXPECT_EQ(splitSubject("Note: x"), P("", "Note: x"));  // four letters
    EXPECT_EQ(splitSubject("10: x"), P("", "10: x"));
    EXPECT_EQ(splitSubject(""), P("", ""));

    EXPECT_EQ(shortFileName("README"), "README");
    EXPECT_EQ(shortFileName("photo.jpeg"), "PHOTO~1.JPE");
    EXPECT_EQ(shortFileName("a.txt"), "A.TXT");
    EXPECT_EQ(shortFileName("a.txt", 2), "A~2.TXT");
    EXPECT_EQ(shortFileName("Привет.doc"), "ATTACH~1.DOC");

    auto eid = oneOffEntryId("Ann", "SMTP", "a@x");
    ASSERT_EQ(eid.size(), 4u + 16 + 4 + 8 + 10 + 8);
    EXPECT_EQ(eid[4], 0x81);
    EXPECT_EQ(eid[22], 0x01);
    EXPECT_EQ(eid[23], 0x80);
    EXPECT_EQ(eid[24], 'A');
    EXPECT_EQ(eid[25], 0);
}

// Header blocks as they come in old mailboxes: folded, repeated and 8-bit fields,
// bare LF or CRLF, odd spacing, a block without a body, and lines that are no
// field at all (left to GMime). Each is imported both ways and compared.
TEST(PstImport, HeaderReaderAgreesWithGMime) {
    const std::string cases[] = {
        "Subject: =?utf-8?B?w6TDtsO8?=\r\n =?iso-8859-1?Q?_=E9t=E9?= tail\r\n"
        "From: \"Doe, J.\" <j@x.org>\r\nTo: a@x.org,\r\n\tB <b@x.org>\r\n"
        "Date: Tue, 1 Dec 2026 10:00:00 +0100\r\n\r\nbody\r\n",
        "Subject: first\nSubject: second\nDate: Tue, 1 Dec 2026 10:00:00 +0100\n"
        "Date: not a date\nTo: a@x.org\nTo: b@x.org\nCc: team: c@x.org, d@x.org;\n\nbody\n",
        "Subject: caf\xe9 cr\xe8me\r\nFrom: J\xfcrgen <j@x.org>\r\n"
        "Message-Id: <id@x.org> (comment)\r\nReceived: from a by b; "
        "Mon, 30 Nov 2026 08:00:00 -0500\r\n\r\n",
        "Subject : spaced name\r\nX-Priority: 1 (Highest)\r\nImportance: low\r\n"
        "Content-Type: text/plain;\r\n charset=\"koi8-r\"\r\n"
        "Content-Transfer-Encoding: 8bit\r\n\r\n\xf0\xd2\xc9\xd7\xc5\xd4\r\n",
        "Subject: no blank line, no body",
        "Subject: s\r\nthis line is no field\r\nFrom: late@x.org\r\n\r\nbody\r\n",
        " leading fold\r\nSubject: s\r\n\r\nbody\r\n",
        "From xyz Mon Jan  1 00:00:00 2026\nSubject: mbox line\n\nbody\n",
        // Address lists: plain forms, and the forms left to GMime.
        "From: Mr. J. Doe <j.doe@x.org>\r\nTo: <a@x.org>,\r\n\tb$c@x.org, \"Doe, J.\" <d@x.org>\r\n"
        "Cc: \"  spaced  \" <s@x.org>, x@xn--bcher-kva.example, , \"A\tB\" <t@x.org>\r\n"
        "Bcc: undisclosed-recipients:;, harley@x.org (Robert Harley), <@route:r@x.org>\r\n"
        "Reply-To: Name\t<n@x.org>, \"q\\\"uote\" <q@x.org>, trailing.dot.@x.org\r\n\r\nb\r\n",
        "To: Ann Miller (Postfix) with ESMTP\r\n\tfor <a@x.org>\r\nCc: x (c)\r\n (d) "
        "<y@x.org>\r\n\r\n",
        std::string("Subject: nul\0inside\r\nFrom: bare\rcr@x.org\r\n\r\nb\r\n", 45),
        // One-part bodies: the forms read here, and those left to GMime.
        "Content-Type: text/plain; charset=windows-1252; format=flowed\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9 =\r\nsoft\r\n",
        "Content-Type: TEXT/HTML;\r\n\tcharset=\"utf-8\";\r\nContent-Transfer-Encoding: BASE64\r\n"
        "\r\nPGI+aMOpPC9iPg==\r\n",
        "Content-Type: text/plain; name=\"note.txt\"\r\n\r\nan attachment by name\r\n",
        "Content-Type: text/plain; charset*=utf-8''%C3%A9\r\n\r\ncontinued parameter\r\n",
        "Content-Type: text/plain (comment); charset=us-ascii\r\n\r\ncomment\r\n",
        "Content-Type: text/plain\r\nContent-Type: text/html\r\n\r\ntwice\r\n",
        "Content-Type: text/plain\r\nContent-Transfer-Encoding: x-uuencode\r\n\r\nbegin\r\n",
        "Content-Type: text/plain\r\nContent-Disposition: inline\r\n\r\ndisposition\r\n",
        "Content-Type: application/octet-stream\r\n\r\nbinary\r\n",
        "Subject: m\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"b1\"\r\n"
        "\r\npre\r\n--b1\r\nContent-Type: text/plain\r\n\r\nhi\r\n--b1\r\n"
        "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nFrom: i@x.org\r\n\r\ninner body\r\n"
        "--b1\r\nContent-Type: application/pdf; name*=utf-8''r%C3%A9.pdf\r\n"
        "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "JVBERi0=\r\n--b1--\r\n",
    };
    int read = 0;
    for (const std::string& text : cases) {
        pst::Message ours, gmimes;
        std::string error;
        const bool ok = importMessage(text, ours, error, ImportOptions{kNow});
        EXPECT_EQ(ok, importMessage(text, gmimes, error, ImportOptions{kNow, true})) << text;
        EXPECT_EQ(test::dump(ours), test::dump(gmimes)) << text;
        read += ok;
    }
    EXPECT_GE(read, 8);
}

}  // namespace
}  // namespace tp::convert
