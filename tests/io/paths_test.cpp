// Mailbox names, output folders and folder creation.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "io/io.h"
#include "io/paths.h"
#include "support/support.h"
#include "support/unprivileged.h"

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

namespace {
struct FailMakeDir : tp::io::FaultInjector {
    std::error_code before(tp::io::Op op, const fs::path&, std::uint64_t) override {
        return op == tp::io::Op::MakeDir ? std::make_error_code(std::errc::no_space_on_device)
                                         : std::error_code{};
    }
};
}  // namespace

TEST(Paths, MakeFolderPath) {
    tp::test::ScratchDir scratch;
    const fs::path base = scratch.path();
    EXPECT_TRUE(MakeFolderPath(base / "Out" / "Mail" / "Inbox.imm"));
    EXPECT_TRUE(fs::is_directory(base / "Out" / "Mail" / "Inbox.imm"));
    EXPECT_TRUE(MakeFolderPath(base / "Out" / "Mail" / "Inbox.imm/"));  // exists already
    std::ofstream(base / "file") << "x";
    EXPECT_FALSE(MakeFolderPath(base / "file" / "sub"));  // a file in the way
    EXPECT_FALSE(MakeFolderPath(""));
    FailMakeDir fail;
    tp::io::setFaultInjector(&fail);
    EXPECT_FALSE(MakeFolderPath(base / "new"));
    tp::io::setFaultInjector(nullptr);
    EXPECT_FALSE(fs::exists(base / "new"));
    // A read-only folder, as an ordinary user (root would write into it anyway).
    fs::create_directories(base / "ro");
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(base / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(tp::test::runUnprivileged([&] { return MakeFolderPath(base / "ro" / "x") ? 1 : 0; }),
              0);
    EXPECT_FALSE(fs::exists(base / "ro" / "x"));
    // ...while a folder it may write to is made as usual.
    fs::create_directories(base / "open");
    fs::permissions(base / "open", fs::perms::all);
    EXPECT_EQ(
        tp::test::runUnprivileged([&] { return MakeFolderPath(base / "open" / "x") ? 1 : 0; }), 1);
    EXPECT_TRUE(fs::is_directory(base / "open" / "x"));
}
