// The write seam: its reasons, and no write through a link (the rest: platform_check.cpp).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "io/io.h"
#include "support/support.h"

namespace fs = std::filesystem;

namespace {

using tp::test::readBytes;

struct IoTest : ::testing::Test {
    tp::test::ScratchDir scratch;
    const fs::path dir = scratch.path();
    void TearDown() override { tp::io::setFaultInjector(nullptr); }
};

}  // namespace

// No write through a link or into a file's other names (a replaced file replaces them).
TEST_F(IoTest, WritesStayInsideTheOutputFolder) {
    using tp::io::Refusal;
    const fs::path out = dir / "out", outside = dir / "outside";
    fs::create_directories(out / "real");
    fs::create_directories(outside);
    const fs::path victim = outside / "victim";
    std::ofstream(victim) << "keep";

    // (A link on the way to a mailbox's folder: through a whole run, run_test.cpp.)
    tp::io::Folder f;
    EXPECT_EQ(f.open(out, out / "real" / "deeper" / ".." / ".." / ".." / "outside", true),
              Refusal::OutsideTheRoot);

    // The output folder itself may be reached through a link: it is the user's choice.
    fs::create_directory_symlink(out, dir / "chosen");
    ASSERT_FALSE(f.open(dir / "chosen/", dir / "chosen" / "real" / "new", true));
    EXPECT_TRUE(fs::is_directory(out / "real" / "new"));
    ASSERT_FALSE(f.open(out, out / "real", false));

    // A link or a second name in a file's place is replaced (through a whole run:
    // run_test.cpp), in the plain form too.
    fs::create_symlink(victim, out / "real" / "Email-1.eml");
    ASSERT_FALSE(tp::io::writeFile(out / "real" / "Email-1.eml", "again"));
    EXPECT_EQ(readBytes(victim), "keep");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out / "real" / "Email-1.eml")));

    // A FIFO or a folder in a file's place fails at once and stays.
    ASSERT_EQ(::mkfifo((out / "real" / "Email-3.eml").c_str(), 0644), 0);
    fs::create_directories(out / "real" / "Email-4.eml");
    EXPECT_TRUE(f.writeFile("Email-3.eml", "three"));
    EXPECT_TRUE(f.writeFile("Email-4.eml", "four"));
    EXPECT_TRUE(fs::is_fifo(out / "real" / "Email-3.eml"));

    // Appending: a link or a file with other names is refused, never followed.
    fs::create_symlink(victim, out / "real" / "Inbox.mbox");
    ASSERT_EQ(::link(victim.c_str(), (out / "real" / "Sent.mbox").c_str()), 0);
    tp::io::AppendFile mbox;
    EXPECT_EQ(mbox.open(f, "Inbox.mbox"), Refusal::LinkInTheWay);
    EXPECT_EQ(mbox.open(f, "Sent.mbox"), Refusal::OtherNames);
    EXPECT_EQ(mbox.open(out / "real" / "Inbox.mbox"), Refusal::LinkInTheWay);
    EXPECT_FALSE(mbox.isOpen());
    EXPECT_EQ(readBytes(victim), "keep");

    // Removing takes the link away, not what it names.
    EXPECT_FALSE(f.removeFile("Inbox.mbox"));
    EXPECT_TRUE(fs::exists(victim));
}
