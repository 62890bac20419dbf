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
