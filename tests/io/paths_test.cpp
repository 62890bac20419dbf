// Mailbox names, output folders and folder creation.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "io/io.h"
#include "io/paths.h"
#include "support/support.h"

namespace fs = std::filesystem;
using namespace tp::convert;

TEST(Paths, FileNameAndMailboxName) {
    EXPECT_EQ(FileNameOf("/home/ann/Mail/Inbox.imm"), "Inbox.imm");
    EXPECT_EQ(FileNameOf("Inbox.imm"), "Inbox.imm");
    EXPECT_EQ(FileNameOf("/home/ann/"), "");
    EXPECT_EQ(MailboxNameOf("/m/  Inbox.imm  "), "Inbox");
    EXPECT_EQ(MailboxNameOf("/m/a.imm.b.imm"), "a.b");    // every occurrence
    EXPECT_EQ(MailboxNameOf("/m/Sent.IMM"), "Sent.IMM");  // exact case only
    EXPECT_EQ(MailboxNameOf("/m/x..immimm"), "x.imm");    // one pass, as text replace does
}

TEST(Paths, MailboxOutputFolderStaysInsideTheOutputFolder) {
    const fs::path out = "/tmp/out";
    EXPECT_EQ(mailboxOutputFolder(out, "/home/ann/Mail/Inbox.imm"),
              fs::path("/tmp/out/home/ann/Mail/Inbox.imm"));
    EXPECT_EQ(mailboxOutputFolder(out, "/a/../../etc/./x.imm"), fs::path("/tmp/out/etc/x.imm"));
    EXPECT_EQ(mailboxOutputFolder(out, ""), out);
    EXPECT_EQ(mailboxOutputFolder(out, "/"), out);
    // A relative mailbox path is taken from the current folder.
    const fs::path rel = mailboxOutputFolder(out, "Mail/x.imm");
    EXPECT_EQ(rel, out / fs::current_path().relative_path() / "Mail/x.imm");
}

TEST(Paths, MakeFolderPath) {
    tp::test::ScratchDir scratch;
    const fs::path base = scratch.path();
    EXPECT_TRUE(MakeFolderPath(base / "Out" / "Mail" / "Inbox.imm"));
    EXPECT_TRUE(fs::is_directory(base / "Out" / "Mail" / "Inbox.imm"));
    EXPECT_TRUE(MakeFolderPath(base / "Out" / "Mail" / "Inbox.imm/"));  // exists already
    std::ofstream(base / "file") << "x";
    // A file in the way fails as a read-only folder does: the folder is not there after.
    EXPECT_FALSE(MakeFolderPath(base / "file" / "sub"));
    EXPECT_FALSE(MakeFolderPath(""));
}
