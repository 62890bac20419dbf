// The attachment pass with a real attachments folder.
#include "run/attachment_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mime_util.h"

using tp::convert::AttachmentPass;
using tp::convert::RunOptions;
using tp::test::crlf;
using tp::test::outline;
using tp::test::writeBytes;

namespace {

// An attachment part as the mailbox keeps it when the file was stored beside it:
// its header and no content; or, given `body`, one that holds its content.
std::string part(const std::string& name, const std::string& body = "") {
    return crlf("--b\nContent-Type: application/octet-stream; name=\"" + name +
                "\"\nContent-Disposition: attachment; filename=\"" + name + "\"\n\n" + body);
}

std::string message(const std::vector<std::string>& parts) {
    std::string m = crlf(
        "From: ann@example.org\nSubject: files\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nSee the files.\n");
    for (const auto& p : parts) m += p;
    return m + crlf("--b--\n");
}

std::string message(std::initializer_list<const char*> emptyParts) {
    std::vector<std::string> parts;
    for (const char* n : emptyParts) parts.push_back(part(n));
    return message(parts);
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
        remarks = pass.takeRemarks();
        return problems;
    }
    tp::test::ScratchDir dir;
    std::filesystem::path folder;
    RunOptions options;
    AttachmentPass pass;
    std::vector<std::string> remarks;
};

}  // namespace

// Box ticked: the files of the same names come back, in order, from a folder typed
// without its final separator; duplicates give the same file twice; names with
// separators and non-ASCII names are found below the folder.
TEST_F(AttachmentPassTest, FilesPresentAreAttachedAgain) {
    std::string bytes = message({"a.txt", "b.pdf", "a.txt", "\xC3\xA9t\xC3\xA9.txt",
                                 "sub/inner.txt", "sub\\\\inner.txt"});  // quoted: sub\inner.txt
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_TRUE(remarks.empty());
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n  text/plain len=14\n  text/plain name=a.txt len=5\n"
              "  application/pdf name=b.pdf len=10\n  text/plain name=a.txt len=5\n"
              "  text/plain name=\xC3\xA9t\xC3\xA9.txt len=6\n  text/plain name=inner.txt len=5\n"
              "  text/plain name=inner.txt len=5\n");

    // The same with the separator typed.
    options.attachmentFolder = folder.string() + "/";
    std::string again = message({"a.txt"});
    EXPECT_TRUE(apply(again).empty());
    EXPECT_EQ(outline(again),
              "multipart/mixed\n  text/plain len=14\n  text/plain name=a.txt len=5\n");
}

// Each name that must not be looked up is refused by the check meant for it, with
// its own reason (a later check would refuse some of them too, and would hide a
// broken earlier one); a file the folder lacks is named so; nothing outside the
// folder is ever read. These are remarks: the message itself is whole.
TEST_F(AttachmentPassTest, EachRefusedNameIsNamedWithItsReason) {
    std::string bytes = message({"missing.doc", "../secret.txt", "sub/../a.txt", "/etc/hostname",
                                 "C:\\secret.txt", "sub", "b.pdf"});
    EXPECT_TRUE(apply(bytes).empty());
    const std::string lead = " could not be put back: ";
    EXPECT_EQ(remarks,
              (std::vector<std::string>{
                  "attachment \"missing.doc\"" + lead + "not in the attachments folder",
                  "attachment \"../secret.txt\"" + lead +
                      "the attachment name leads out of the attachments folder",
                  "attachment \"sub/../a.txt\"" + lead +
                      "the attachment name leads out of the attachments folder",
                  "attachment \"/etc/hostname\"" + lead + "the attachment name is an absolute path",
                  "attachment \"C:secret.txt\"" + lead + "the attachment name starts with a drive",
                  "attachment \"sub\"" + lead + "in the attachments folder it is no file",
              }));
    EXPECT_EQ(bytes.find("U0VDUkVULU9VVFNJREU"), std::string::npos);  // base64 of the secret
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n  text/plain len=14\n"
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
// attachment without content is a failure of the run; the message is still
// exported, and parts holding their content keep it.
TEST_F(AttachmentPassTest, MissingFolder) {
    for (const std::string& where :
         {(dir.path() / "nowhere").string(), (folder / "a.txt").string()}) {
        options.attachmentFolder = where;
        std::string bytes = message({part("a.txt"), part("b.pdf"), part("c.bin", crlf("Yw==\n"))});
        const auto problems = apply(bytes);
        ASSERT_EQ(problems.size(), 2u);
        EXPECT_NE(problems[0].find("missing or unreadable"), std::string::npos);
        EXPECT_EQ(bytes, message({part("c.bin", crlf("Yw==\n"))}));
    }
}

namespace {
// A picture of the HTML body, with `body` as its content (empty: as the mailbox
// keeps it when the file lay beside it).
std::string picture(const std::string& name, const std::string& id, const std::string& body) {
    return crlf("--r\nContent-Type: image/png; name=\"" + name + "\"\nContent-ID: <" + id +
                ">\nContent-Disposition: inline; filename=\"" + name +
                "\"\nContent-Transfer-Encoding: base64\n\n" + body);
}
// A message with (given `pdf`) a plain attachment without content and, after it
// in the HTML body's multipart/related, two pictures around one always held.
std::string pictures(const std::string& one, const std::string& two, bool pdf) {
    std::string m = crlf(
        "From: ann@example.org\nSubject: pictures\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=m\n\n--m\nContent-Type: text/plain\n\nSee.\n");
    if (pdf)
        m += crlf(
            "--m\nContent-Type: application/pdf; name=\"att1.pdf\"\n"
            "Content-Disposition: attachment; filename=\"att1.pdf\"\n"
            "Content-Transfer-Encoding: base64\n\n");
    m += crlf(
        "--m\nContent-Type: multipart/related; boundary=r\n\n--r\nContent-Type: text/html\n\n"
        "<img src=\"cid:p1\"><img src=\"cid:k\"><img src=\"cid:p2\">\n");
    m += picture("pic1.png", "p1", one);
    m += crlf(
        "--r\nContent-Type: image/gif; name=\"kept.gif\"\nContent-ID: <k>\n"
        "Content-Transfer-Encoding: base64\n\nR0lGODlh\n");
    m += picture("pic2.png", "p2", two);
    return m + crlf("--r--\n--m--\n");
}
}  // namespace

// Every picture without content goes back into the place it came from (same
// header, so the HTML's cid: links hold), also after a plain attachment removed
// before them; the picture held in the message stays; every other byte is as it
// was; the plain attachment is appended after the body.
TEST_F(AttachmentPassTest, InlinePicturesGoBackInPlace) {
    writeBytes(folder / "pic1.png", "PIC-one");
    writeBytes(folder / "pic2.png", "PIC-two!");
    writeBytes(folder / "att1.pdf", "%PDF-att1");
    std::string bytes = pictures("", "", true);
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_TRUE(remarks.empty());
    std::string expected = pictures("UElDLW9uZQ==\n", "UElDLXR3byE=\n", false);
    expected.insert(expected.size() - 7,
                    crlf("--m\nContent-Type: application/pdf; name=\"att1.pdf\"\n"
                         "Content-Disposition: attachment; filename=\"att1.pdf\"\n"
                         "Content-Transfer-Encoding: base64\n\nJVBERi1hdHQx\n"));
    EXPECT_EQ(bytes, expected);
}

// A part without content whose header holds a message header line (the mailbox
// may be cut at such a line): the message is kept whole and the report says why;
// a failure only when files were to be attached.
TEST_F(AttachmentPassTest, APartWithAMessageHeaderLineIsKept) {
    const std::string held =
        message({crlf("--b\nContent-Type: message/rfc822; name=\"a.txt\"\nMIME-Version: 1.0\n\n")});
    for (bool withFolder : {false, true}) {
        options.attachments = withFolder;
        std::string bytes = held;
        const auto problems = apply(bytes);
        EXPECT_EQ(bytes, held);
        EXPECT_EQ(problems.size() + remarks.size(), 1u);
        EXPECT_EQ(problems.size(), withFolder ? 1u : 0u);
    }
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
              "multipart/mixed\n  text/plain len=14\n  message/rfc822 name=fwd.eml\n"
              "    text/plain len=7\n");
    EXPECT_NE(bytes.find(crlf("Content-Transfer-Encoding: 8bit\n\n") + inner), std::string::npos);
    EXPECT_EQ(bytes.find("base64"), std::string::npos);
}

// A symbolic link that leads out of the attachments folder is never followed (a
// message naming it cannot make the run read what lies outside); one that stays
// inside is an attachment like any other file. (A linked folder: run_test.)
TEST_F(AttachmentPassTest, LinksOutOfTheFolderAreNotFollowed) {
    std::filesystem::create_symlink(dir.path() / "secret.txt", folder / "away.txt");
    std::filesystem::create_symlink(folder / "a.txt", folder / "same.txt");
    std::string bytes = message({"away.txt", "same.txt"});
    EXPECT_TRUE(apply(bytes).empty());
    const std::string why =
        " could not be put back: a symbolic link leads it out of the attachments folder";
    EXPECT_EQ(remarks, std::vector<std::string>{"attachment \"away.txt\"" + why});
    EXPECT_EQ(bytes.find("U0VDUkVULU9VVFNJREU"), std::string::npos);  // base64 of the secret
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n  text/plain len=14\n  text/plain name=same.txt len=5\n");
}

// A message whose whole body is a forwarded message: the files of the forwarded
// message's attachments come back too, as they do for a message forwarded inside
// a mixed one. Its header and its text stay as they were.
TEST_F(AttachmentPassTest, FilesOfAMessageThatIsTheBodyComeBack) {
    const std::string forwarded = crlf(
        "From: ann@example.org\nSubject: Fwd: files\nMIME-Version: 1.0\n"
        "Content-Type: message/rfc822\n\n"
        "From: bob@example.org\nSubject: files\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nSee the files.\n");
    std::string bytes = forwarded + part("a.txt") + crlf("--b--\n");
    EXPECT_EQ(apply(bytes), std::vector<std::string>{});
    EXPECT_TRUE(remarks.empty());
    EXPECT_EQ(outline(bytes),
              "multipart/mixed\n  message/rfc822\n    multipart/mixed\n      text/plain len=14\n"
              "  text/plain name=a.txt len=5\n");
    EXPECT_NE(bytes.find(forwarded.substr(forwarded.find("\r\n\r\n") + 4)), std::string::npos);
}
