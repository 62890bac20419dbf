// What a reader sees of everyday, international and malformed mail: text in the
// right characters, nobody dropped, no text invisible. Checked on the item the
// import produces (both header readers), and read back from a store.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/pst_import.h"
#include "pstimport/item_compare.h"

namespace tp::convert {
namespace {

const pst::FileTime kNow = fileTimeFromUnix(1796000000);

pst::Message import(const std::string& text) {
    pst::Message m, whole;
    std::string error;
    EXPECT_TRUE(importMessage(text, m, error, ImportOptions{kNow})) << error;
    EXPECT_TRUE(importMessage(text, whole, error, ImportOptions{kNow, true})) << error;
    EXPECT_EQ(test::differenceOf(m, whole), "") << text.substr(0, 300);
    return m;
}

const pst::Property* find(const pst::PropertySet& p, std::uint32_t tag) {
    return p.find(tag);
}
std::string text(const pst::PropertySet& p, std::uint32_t tag) {
    const pst::Property* prop = p.find(tag);
    return prop ? std::get<std::string>(prop->value) : "<missing>";
}
std::int32_t num(const pst::PropertySet& p, std::uint32_t tag) {
    const pst::Property* prop = p.find(tag);
    return prop ? std::get<std::int32_t>(prop->value) : -999;
}
std::string html(const pst::PropertySet& p) {
    const pst::Property* prop = p.find(tag::Html);
    if (!prop) return "<missing>";
    const auto& b = std::get<pst::Binary>(prop->value);
    return std::string(b.begin(), b.end());
}

std::string encodeAs(const std::string& utf8, const char* charset) {
    gsize written = 0;
    gchar* out =
        g_convert(utf8.data(), gssize(utf8.size()), charset, "UTF-8", nullptr, &written, nullptr);
    EXPECT_NE(out, nullptr) << charset;
    std::string s(out ? out : "", written);
    g_free(out);
    return s;
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
                                " <sender@example.com>\r\n"
                                "To: ann@example.org\r\n"
                                "Subject: " +
                                encodeAs(c.subject, c.charset) +
                                "\r\n"
                                "MIME-Version: 1.0\r\n\r\n" +
                                encodeAs(c.body, c.charset) + "\r\n";
        pst::Message m = import(raw);
        EXPECT_EQ(text(m.props, tag::Subject), c.subject);
        EXPECT_EQ(text(m.props, tag::SenderName), c.name);
        EXPECT_EQ(text(m.props, tag::SentRepresentingName), c.name);
        EXPECT_EQ(text(m.props, tag::Body), std::string(c.body) + "\r\n");
        EXPECT_NE(text(m.props, tag::TransportMessageHeaders).find(c.subject), std::string::npos);
    }

    // A charset the message declares for another part reads the raw subject.
    const std::string koi8 = encodeAs("Привет", "KOI8-R");
    pst::Message declared =
        import("Subject: " + koi8 +
               "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
               "--b\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\n" +
               koi8 + "\r\n--b--\r\n");
    EXPECT_EQ(text(declared.props, tag::Subject), "Привет");

    // HTML labelled US-ASCII that holds 8-bit text: read by guess, stored as UTF-8.
    const std::string page =
        "<html><body><p>Добрый день! Высылаю отчёт за март, посмотрите, "
        "пожалуйста.</p></body></html>";
    pst::Message labelled = import(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n" +
        encodeAs(page, "windows-1251") + "\r\n");
    EXPECT_EQ(html(labelled.props), page + "\r\n");
    EXPECT_EQ(num(labelled.props, tag::InternetCodepage), 65001);

    // Declared charsets are taken at their word.
    pst::Message latin =
        import("Subject: x\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\nna\xefve\r\n");
    EXPECT_EQ(text(latin.props, tag::Body), "naïve\r\n");
    EXPECT_EQ(num(latin.props, tag::InternetCodepage), 28591);
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
    EXPECT_EQ(text(m.props, tag::SenderName), "Müller");
    EXPECT_EQ(text(m.props, tag::SenderEmailAddress), "müller@example.de");
    EXPECT_EQ(text(m.props, tag::SentRepresentingName), "Müller");
    EXPECT_EQ(text(m.props, tag::SentRepresentingEmailAddress), "müller@example.de");
    EXPECT_EQ(text(m.props, tag::SenderSmtpAddress), "müller@example.de");
    ASSERT_NE(find(m.props, tag::SenderEntryId), nullptr);

    ASSERT_EQ(m.recipients.size(), 3u);
    EXPECT_EQ(text(m.recipients[0], tag::EmailAddress), "Undisclosed Recipients@example.com");
    EXPECT_EQ(text(m.recipients[0], tag::DisplayName), "Undisclosed Recipients@example.com");
    EXPECT_EQ(text(m.recipients[1], tag::EmailAddress), "C:`Bulk Mail`");
    EXPECT_EQ(text(m.recipients[2], tag::EmailAddress), "bob@example.org");
    for (const auto& r : m.recipients) EXPECT_EQ(num(r, tag::RecipientType), kRecipTo);
    EXPECT_EQ(text(m.props, tag::DisplayTo),
              "Undisclosed Recipients@example.com; C:`Bulk Mail`; bob@example.org");
    // An empty group is no one to write to, but the line shows it as written.
    EXPECT_EQ(text(m.props, tag::DisplayCc), "undisclosed-recipients:;");

    // A From that is only a group leaves the sender empty rather than inventing one.
    pst::Message group = import("From: list:;\r\nSubject: s\r\n\r\nbody\r\n");
    EXPECT_EQ(find(group.props, tag::SenderName), nullptr);
}

}  // namespace
}  // namespace tp::convert
