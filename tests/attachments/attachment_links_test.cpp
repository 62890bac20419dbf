// Symbolic links in the attachments folder: a link that leads out of the folder
// is never followed (a message naming it cannot make the run read what lies
// outside); a link that stays inside is an attachment like any other file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mail/mime_util.h"
#include "run/attachment_pass.h"

namespace {

namespace fs = std::filesystem;
using tp::test::crlf;

std::string withAttachments(const std::vector<std::string>& names) {
    std::string m = crlf(
        "From: ann@example.org\nSubject: files\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nSee the files.\n");
    for (const std::string& n : names)
        m += crlf("--b\nContent-Type: application/octet-stream; name=\"" + n +
                  "\"\nContent-Disposition: attachment; filename=\"" + n + "\"\n\n");
    return m + crlf("--b--\n");
}

TEST(AttachmentLinks, LinksOutOfTheFolderAreNotFollowed) {
    tp::test::ScratchDir dir;
    const fs::path folder = dir.path() / "Attachments";
    fs::create_directories(folder / "sub");
    tp::test::writeBytes(dir.path() / "secret.txt", "SECRET-OUTSIDE");
    tp::test::writeBytes(folder / "a.txt", "alpha");
    fs::create_symlink(dir.path() / "secret.txt", folder / "away.txt");
    fs::create_directory_symlink(dir.path(), folder / "sub" / "up");
    fs::create_symlink(folder / "a.txt", folder / "same.txt");

    tp::convert::RunOptions options;
    options.attachments = true;
    options.attachmentFolder = folder.string();
    std::string bytes = withAttachments({"away.txt", "sub/up/secret.txt", "same.txt"});
    std::vector<std::string> problems;
    tp::convert::AttachmentPass pass;
    pass.apply(bytes, options, problems);

    EXPECT_TRUE(problems.empty());
    const std::string why =
        " could not be put back: a symbolic link leads it out of the "
        "attachments folder";
    EXPECT_EQ(pass.takeRemarks(),
              (std::vector<std::string>{"attachment \"away.txt\"" + why,
                                        "attachment \"sub/up/secret.txt\"" + why}));
    EXPECT_EQ(bytes.find("U0VDUkVULU9VVFNJREU"), std::string::npos);  // base64 of the secret
    EXPECT_EQ(tp::test::outline(bytes),
              "multipart/mixed\n  text/plain len=14\n"
              "  text/plain name=same.txt len=5\n");
}

}  // namespace
