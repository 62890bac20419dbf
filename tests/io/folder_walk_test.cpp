// The folder command's walk: breadth-first, in name order, never through a link
// to a folder, and an unlistable folder ends it visibly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/folder_walk.h"
#include "support/support.h"
#include "support/unprivileged.h"

namespace fs = std::filesystem;
using tp::app::FolderWalk;

namespace {

struct FolderWalkTest : ::testing::Test {
    tp::test::ScratchDir scratch;
    const fs::path root = scratch.path() / "Mail";
    const std::string r = root.string() + "/";  // root with its separator
    void touch(const fs::path& p) { tp::test::writeBytes(p, "x"); }
};

}  // namespace

TEST_F(FolderWalkTest, BreadthFirstInNameOrderWithoutFollowingFolderLinks) {
    fs::create_directories(root);
    FolderWalk walk;
    EXPECT_TRUE(walk.run((root / "nope").string()));  // nothing there: nothing found
    EXPECT_TRUE(walk.files().empty());

    touch(root / "a" / "a" / "a.imm");  // deep, but sorts first by name
    touch(root / "z.imm");
    touch(root / "b" / "m.imm");
    // A link back up the tree is neither followed nor listed; a link to a file is.
    fs::create_directory_symlink(root, root / "loop");
    fs::create_symlink(root / "z.imm", root / "link.imm");
    ASSERT_TRUE(walk.run(r));  // with the separator: no second one
    EXPECT_EQ(walk.files(), (std::vector<std::string>{r + "link.imm", r + "z.imm", r + "b/m.imm",
                                                      r + "a/a/a.imm"}));
}

TEST_F(FolderWalkTest, UnlistableFolderEndsTheWalkVisibly) {
    touch(root / "a.imm");
    touch(root / "X" / "b.imm");
    fs::permissions(root / "X", fs::perms::none);
    // Permissions do not bind root: the walk runs as an ordinary user.
    EXPECT_EQ(tp::test::runUnprivileged([&] {
                  FolderWalk walk;
                  if (walk.run(root.string())) return 1;                           // must fail
                  if (walk.error().find(r + "X/") == std::string::npos) return 2;  // naming it
                  return walk.files() == std::vector<std::string>{r + "a.imm"} ? 0 : 3;
              }),
              0);
}
