// The attachment pass with a real attachments folder.
#include "convert/attachment_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mime_util.h"

using tp::convert::AttachmentPass;
using tp::convert::RunOptions;
using tp::testutil::crlf;
using tp::testutil::outline;
using tp::testutil::writeBytes;

namespace {

std::string part(const std::string& name) {
    return crlf("--b\nContent-Type: application/octet-stream; name=\"" + name +
                "\"\nContent-Disposition: attachment; filename=\"" + name + "\"\n\nc3R1Yg==\n");
}

std::string message(const std::vector<std::string>& attachmentNames) {
    std::string m = crlf(
        "From: ann@example.org\nSubject: files\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nSee the files.\n");
    for (const auto& n : attachmentNames) m += part(n);
    return m + crlf("--b--\n");
}

class AttachmentPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = dir.path() / "Attachments";
        std::filesystem::create_directories(folder / "sub");
        writeBytes(folder / "a.txt", "alpha");
        writeBytes(folder / "b.pdf", "%PDF-bravo");
        writeBytes(folder / "\xC3\xA9t\xC3\xA9.txt", "summer");
        writeBytes(folder / "sub" / "inner.txt", "inner");
        writeBytes(dir.path() / "secret.txt", "SECRET-OUTSIDE");
        options.attachments = true;
        options.attachmentFolder = folder.string();  // no final separator
    }
    std::vector<std::string> apply(std::string& bytes) {
        std::vector<std::string> problems;
        pass.apply(bytes, options, problems);
        return problems;
    }
    tp::testutil::TempDir dir;
    std::filesystem::path folder;
    RunOptions options;
    AttachmentPass pass;
};

}  // namespace

// Box clear: every attachment part goes, nothing is read, a message without
// attachments is not touched.
TEST_F(AttachmentPassTest, BoxClearStripsAttachments) {
    options.attachments = false;
    std::string bytes = message({"a.txt", "b.pdf"});
    EXPECT_TRUE(apply(bytes).empty());
    EXPECT_EQ(bytes, message({}));

    std::string plain = crlf("From: a@b\nSubject: x\n\nFrom the name of the attachment.\n");
    const std::string before = plain;
    EXPECT_TRUE(apply(plain).empty());
    EXPECT_EQ(plain, before);
}

// Box ticked: the files of the same names come back, in order, from a folder typed
// without its final separator; duplicates give the same file twice; names with
// separators and non-ASCII names are found below the folder.
TEST_F(AttachmentPassTest, FilesPresentAreAttachedAgain) {
    std::string bytes = message({"a.txt", "b.pdf", "a.txt", "\xC3\xA9t\xC3\xA9.txt",
                                 "sub/inner.txt", "sub\\\\inner.txt"});  // quoted: sub\inner.txt
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n"
              "  text/plain len=14\n"
              "  text/plain name=a.txt len=5\n"
              "  application/pdf name=b.pdf len=10\n"
              "  text/plain name=a.txt len=5\n"
              "  text/plain name=\xC3\xA9t\xC3\xA9.txt len=6\n"
              "  text/plain name=inner.txt len=5\n"
              "  text/plain name=inner.txt len=5\n");
    // The message's own text is untouched.
    EXPECT_EQ(bytes.substr(0, message({}).size() - 9),
              message({}).substr(0, message({}).size() - 9));

    // The same with the separator typed.
    options.attachmentFolder = folder.string() + "/";
    std::string again = message({"a.txt"});
    EXPECT_TRUE(apply(again).empty());
    EXPECT_EQ(outline(again),
              "multipart/mixed\n  text/plain len=14\n  text/plain name=a.txt len=5\n");
}

// Missing files and names that would leave the folder are recorded, one problem
// each; the message keeps what could be attached; nothing outside is ever read.
TEST_F(AttachmentPassTest, MissingAndEscapingNamesAreRecorded) {
    std::string bytes = message({"missing.doc", "../secret.txt", "/etc/hostname", "C:\\secret.txt",
                                 "\\\\server\\share\\x.txt", "sub/../../secret.txt", "b.pdf"});
    const auto problems = apply(bytes);
    ASSERT_EQ(problems.size(), 6u);
    EXPECT_NE(problems[0].find("missing.doc"), std::string::npos);
    EXPECT_NE(problems[0].find("not found"), std::string::npos);
    for (std::size_t i = 1; i < 6; ++i) EXPECT_NE(problems[i].find("not added"), std::string::npos);
    EXPECT_EQ(bytes.find("U0VDUkVULU9VVFNJREU"), std::string::npos);  // base64 of the secret
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n"
              "  text/plain len=14\n"
              "  application/pdf name=b.pdf len=10\n");

    std::string why;
    EXPECT_FALSE(tp::convert::attachmentFilePath(folder.string(), std::string("a\0b.txt", 7), why));
    EXPECT_NE(why.find("NUL"), std::string::npos);
    EXPECT_FALSE(tp::convert::attachmentFilePath(folder.string(), "", why));
    EXPECT_FALSE(tp::convert::attachmentFilePath(folder.string(), "./", why));
    EXPECT_FALSE(tp::convert::attachmentFilePath("", "a.txt", why));
    EXPECT_EQ(*tp::convert::attachmentFilePath("/att", "./x//y\\z.txt", why),
              std::filesystem::path("/att/x/y/z.txt"));
}

// A missing attachments folder, or a file where the folder should be: every
// attachment is recorded and the message is still exported without them.
TEST_F(AttachmentPassTest, MissingFolder) {
    for (const std::string& where :
         {(dir.path() / "nowhere").string(), (folder / "a.txt").string()}) {
        options.attachmentFolder = where;
        std::string bytes = message({"a.txt", "b.pdf"});
        const auto problems = apply(bytes);
        ASSERT_EQ(problems.size(), 2u);
        EXPECT_NE(problems[0].find("missing or unreadable"), std::string::npos);
        EXPECT_EQ(bytes, message({}));
    }
}

// An inline picture goes back into the part it came from: same place in the
// tree, same Content-ID, Content-Location and disposition, so the HTML's cid:
// link holds. Plain attachments are appended after the body as before.
TEST_F(AttachmentPassTest, InlinePicturesGoBackInPlace) {
    writeBytes(folder / "pic.png", std::string("\x89PNG\r\n\x1a\n-picture-", 17));
    std::string bytes = crlf(
        "From: ann@example.org\nSubject: picture\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: multipart/related; boundary=r\n\n"
        "--r\nContent-Type: text/html; charset=utf-8\n\n<img src=\"cid:pic@x\">\n"
        "--r\nContent-Type: image/png; name=\"pic.png\"\nContent-ID: <pic@x>\n"
        "Content-Location: pic.png\nContent-Disposition: inline; filename=\"pic.png\"\n"
        "Content-Transfer-Encoding: base64\n\nc3R1Yg==\n"
        "--r--\n"
        "--m\nContent-Type: application/pdf; name=\"b.pdf\"\n"
        "Content-Disposition: attachment; filename=\"b.pdf\"\nContent-Transfer-Encoding: base64\n\n"
        "c3R1Yg==\n--m--\n");
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n"
              "  multipart/related\n"
              "    text/html len=21\n"
              "    image/png name=pic.png len=17\n"
              "  application/pdf name=b.pdf len=10\n");
    const std::string picturePart = crlf(
        "--r\nContent-Type: image/png; name=\"pic.png\"\nContent-ID: <pic@x>\n"
        "Content-Location: pic.png\nContent-Disposition: inline; filename=\"pic.png\"\n"
        "Content-Transfer-Encoding: base64\n\niVBORw0KGgotcGljdHVyZS0=\n--r--\n");
    EXPECT_NE(bytes.find(picturePart), std::string::npos) << bytes;

    // Box clear: the picture goes like every attachment; a missing file leaves
    // its place empty and is reported.
    options.attachments = false;
    std::string cleared = bytes;
    apply(cleared);
    EXPECT_EQ(cleared.find("pic.png"), std::string::npos);
    options.attachments = true;
    std::filesystem::remove(folder / "pic.png");
    std::string missing = bytes;
    EXPECT_EQ(apply(missing).size(), 1u);
    EXPECT_EQ(outline(missing),
              "multipart/mixed\n"
              "  multipart/related\n"
              "    text/html len=21\n"
              "  application/pdf name=b.pdf len=10\n");
}

// A message file is attached as it is (7bit, 8bit or binary, as RFC 2046
// requires for message/rfc822), so readers open it as a message.
TEST_F(AttachmentPassTest, AttachedMessagesStayMessages) {
    const std::string inner = crlf(
        "From: inner@example.org\nSubject: forwarded\nMIME-Version: 1.0\n"
        "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
        "Gr\xC3\xBC\xC3\x9F"
        "e\n");
    writeBytes(folder / "fwd.eml", inner);
    std::string bytes = message({"fwd.eml"});
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n"
              "  text/plain len=14\n"
              "  message/rfc822 name=fwd.eml\n"
              "    text/plain len=7\n");
    EXPECT_NE(bytes.find(crlf("Content-Transfer-Encoding: 8bit\n\n") + inner), std::string::npos);
    EXPECT_EQ(bytes.find("base64"), std::string::npos);
}
