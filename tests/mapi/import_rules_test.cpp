// Rules of the import that show only in what Outlook does with the item: whom a
// reply goes to, which messages form one conversation, the paperclip, and the
// S/MIME forms of older mail programs. Each through a whole run into a store,
// read back with libpff (tests/mapi/pst_items.py).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mapi/import.h"
#include "mapi/mail_samples.h"
#include "mapi/pst_run.h"

namespace tp::convert {
namespace {

using test::prop;

// One PST run over `mailbox`; the messages as libpff reads them, in order.
std::vector<QJsonObject> importedItems(const std::string& mailbox) {
    test::ScratchDir dir;
    test::writeBytes(dir.path() / "Rules.imm", mailbox);
    const RunSummary summary =
        test::runPst({(dir.path() / "Rules.imm").string()}, dir.path() / "out");
    for (const auto& f : summary.failures) ADD_FAILURE() << f.step << ": " << f.reason;
    return test::storedItems(summary.pstFile);
}

std::string mail(const std::string& fields,
                 const std::string& rest = "Content-Type: text/plain\r\n\r\nText.\r\n") {
    return "From: Ann <ann@example.org>\r\nTo: bob@example.net\r\n" + fields +
           "MIME-Version: 1.0\r\n" + rest + "\r\n";
}

// One run over a mailbox of the cases below; each is then checked on its items.
//  0-2: a Reply-To that names nobody (an empty group, or nothing readable) gives the
//       item no reply entries, so Outlook replies to the sender; a real one does.
//  3-7: root, reply, reply to the reply (by References) and one more reply (by
//       In-Reply-To alone), each on its own day, share the 22 bytes Outlook groups a
//       conversation by; an unrelated message does not.
//  8:   a picture of the HTML and a real file keep the paperclip: the flag says it
//       has attachments, the picture alone is hidden, and the item does not say
//       "no attachments to show".
//  9-11: the spellings of signed and encrypted mail of older mail programs are
//       stored as Outlook stores S/MIME.
TEST(ImportRules, WhatOutlookDoesWithTheItem) {
    auto dated = [](int day, const std::string& fields) {
        return mail("Subject: plans\r\nDate: " + std::to_string(day) +
                    " May 2009 10:00:00 +0000\r\n" + fields);
    };
    const std::string paperclip =
        mail("Subject: both\r\n",
             "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
             "--m\r\nContent-Type: multipart/related; boundary=r\r\n\r\n"
             "--r\r\nContent-Type: text/html\r\n\r\n<img src=\"cid:pic@x\">\r\n"
             "--r\r\nContent-Type: image/png; name=pic.png\r\nContent-ID: <pic@x>\r\n"
             "Content-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n--r--\r\n"
             "--m\r\nContent-Type: application/pdf; name=a.pdf\r\n"
             "Content-Disposition: attachment; filename=a.pdf\r\n\r\n%PDF\r\n--m--\r\n");
    const std::string body = "Content-Type: text/plain\r\n\r\nSigned words.";
    std::string signedOld = test::signedMessage(body, body);
    for (std::size_t at = signedOld.find("application/pkcs7-signature"); at != std::string::npos;
         at = signedOld.find("application/pkcs7-signature", at))
        signedOld.replace(at, 27, "application/x-pkcs7-signature");
    const auto items = importedItems(
        mail("Subject: group\r\nReply-To: undisclosed-recipients:;\r\n") +
        mail("Subject: unreadable\r\nReply-To: (nobody)\r\n") +
        mail("Subject: list\r\nReply-To: List <list@example.org>\r\n") +
        dated(1, "Message-ID: <root@t>\r\n") +
        dated(2, "Message-ID: <r1@t>\r\nIn-Reply-To: <root@t>\r\nReferences: <root@t>\r\n") +
        dated(3, "Message-ID: <r2@t>\r\nIn-Reply-To: <r1@t>\r\nReferences: <root@t> <r1@t>\r\n") +
        dated(4, "Message-ID: <r3@t>\r\nIn-Reply-To: <r2@t>\r\n") +
        dated(1, "Message-ID: <other@t>\r\n") + paperclip +
        mail(
            "Subject: x-pkcs7-mime\r\n",
            "Content-Type: application/x-pkcs7-mime; smime-type=enveloped-data; "
            "name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=smime.p7m\r\n\r\nMIAGCSqGSIb3DQEHA6CA\r\n") +
        mail("Subject: p7m file\r\n",
             "Content-Type: application/octet-stream; name=message.p7m\r\n"
             "Content-Transfer-Encoding: base64\r\n"
             "Content-Disposition: attachment; "
             "filename=message.p7m\r\n\r\nMIAGCSqGSIb3DQEHA6CA\r\n") +
        signedOld + "\r\n");
    ASSERT_EQ(items.size(), 12u);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(prop(items[i], "0037"));
        EXPECT_EQ(prop(items[i], "004f"), "<missing>");
        EXPECT_EQ(prop(items[i], "0050"), "<missing>");
    }
    EXPECT_NE(prop(items[2], "004f"), "<missing>");
    EXPECT_EQ(prop(items[2], "0050"), "List");

    // "binary " and the 22 bytes in hex.
    const std::string root = prop(items[3], "0071").substr(0, 51);
    ASSERT_EQ(root.size(), 51u);
    for (int i = 4; i < 7; ++i) EXPECT_EQ(prop(items[i], "0071").substr(0, 51), root) << i;
    EXPECT_NE(prop(items[7], "0071").substr(0, 51), root);

    EXPECT_EQ(std::stoi(prop(items[8], "0e07")) & 0x10, 0x10);  // MSGFLAG_HASATTACH
    ASSERT_EQ(items[8]["attachments"].toArray().size(), 2);
    EXPECT_EQ(prop(test::attachment(items[8], 0), "7ffe"), "true");
    EXPECT_EQ(prop(test::attachment(items[8], 1), "7ffe"), "false");
    // The named property libpff does not show, on the item itself.
    pst::Message item;
    std::string error;
    ASSERT_TRUE(importMessage(paperclip, item, error, ImportOptions{fileTimeFromUnix(0)}));
    for (const pst::Property& p : item.props.all())
        EXPECT_FALSE(p.named && p.named->guid == kSmartNoAttach.guid &&
                     p.named->id == kSmartNoAttach.id && std::get<bool>(p.value));

    EXPECT_EQ(prop(items[9], "001a"), "IPM.Note.SMIME");
    EXPECT_EQ(prop(items[10], "001a"), "IPM.Note.SMIME");
    EXPECT_EQ(prop(items[11], "001a"), "IPM.Note.SMIME.MultipartSigned");
    for (int i = 9; i < 12; ++i) EXPECT_EQ(items[i]["attachments"].toArray().size(), 1);
}

}  // namespace
}  // namespace tp::convert
