// The breadth-first folder walk and its keyed lists.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/path_logger.h"

namespace fs = std::filesystem;
using tp::app::pathLogger;

namespace {

struct PathLoggerTest : ::testing::Test {
    fs::path root;
    std::string r;  // root with its separator
    void SetUp() override {
        root = fs::temp_directory_path() / ("tp-walk-" + std::to_string(::getpid())) / "Mail";
        fs::remove_all(root.parent_path());
        fs::create_directories(root);
        r = root.string() + "/";
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root / "X", fs::perms::owner_all, ec);
        fs::remove_all(root.parent_path());
    }
    void touch(const fs::path& p) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
    }
    // The example tree: a.imm, X/b.imm, Y/c.imm, Y/Z/d.imm.
    void exampleTree() {
        touch(root / "a.imm");
        touch(root / "X" / "b.imm");
        touch(root / "Y" / "c.imm");
        touch(root / "Y" / "Z" / "d.imm");
    }
};

}  // namespace

TEST_F(PathLoggerTest, ExampleTreeAllLists) {
    exampleTree();
    pathLogger pl;
    pl.PathLogInit();
    pl.fullFileNamesOnly = false;
    ASSERT_TRUE(pl.LogPath(root.string()));
    auto folders = pl.pathNames();
    ASSERT_EQ(folders->Count(), 4);
    EXPECT_EQ(folders->Item("K0"), r);
    EXPECT_EQ(folders->Item("K2"), r + "X/");
    EXPECT_EQ(folders->Item("K3"), r + "Y/");
    EXPECT_EQ(folders->Item("K4"), r + "Y/Z/");
    EXPECT_FALSE(folders->Contains("K1"));
    auto full = pl.fullFileNames();
    ASSERT_EQ(full->Count(), 4);
    EXPECT_EQ(full->values(), (std::vector<std::string>{r + "a.imm", r + "X/b.imm", r + "Y/c.imm",
                                                        r + "Y/Z/d.imm"}));
    EXPECT_EQ(full->Item("K4"), r + "Y/Z/d.imm");
    EXPECT_EQ(pl.pathPointers()->values(), (std::vector<std::int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(pl.fileNames()->values(),
              (std::vector<std::string>{"a.imm", "b.imm", "c.imm", "d.imm"}));
    EXPECT_EQ(pl.fileNames()->KeyAt(1), "K1");
    EXPECT_EQ(pl.Count(), 5);

    // A second walk needs PathLogInit in between.
    EXPECT_FALSE(pl.LogPath(root.string()));
    EXPECT_NE(pl.lastError().find("K0"), std::string::npos);
    // A list kept by the caller outlives Terminate.
    pl.Terminate();
    EXPECT_EQ(full->Count(), 4);
    EXPECT_EQ(pl.fullFileNames()->Count(), 0);
}

TEST_F(PathLoggerTest, BreadthFirstFullNamesOnly) {
    touch(root / "a" / "a" / "a.imm");  // deep, but sorts first by name
    touch(root / "z.imm");
    touch(root / "b" / "m.imm");
    pathLogger pl;
    pl.PathLogInit();
    ASSERT_TRUE(pl.LogPath(r));  // with the separator: same first folder
    EXPECT_EQ(pl.pathNames()->Item(1), r);
    EXPECT_EQ(pl.fullFileNames()->values(),
              (std::vector<std::string>{r + "z.imm", r + "b/m.imm", r + "a/a/a.imm"}));
    EXPECT_EQ(pl.fileNames()->Count(), 0);
    EXPECT_EQ(pl.pathPointers()->Count(), 0);
}

TEST_F(PathLoggerTest, MissingEmptyAndLinkedFolders) {
    pathLogger pl;
    pl.PathLogInit();
    EXPECT_TRUE(pl.LogPath((root / "nope").string()));
    EXPECT_EQ(pl.pathNames()->Count(), 0);
    EXPECT_EQ(pl.Count(), 0);

    ASSERT_TRUE(pl.LogPath(root.string()));  // empty folder
    EXPECT_EQ(pl.pathNames()->Count(), 1);
    EXPECT_EQ(pl.fullFileNames()->Count(), 0);
    EXPECT_EQ(pl.Count(), 1);

    // A link back up the tree is neither followed nor listed; a link to a file is.
    touch(root / "in.imm");
    fs::create_directory_symlink(root, root / "loop");
    fs::create_symlink(root / "in.imm", root / "link.imm");
    pl.PathLogInit();
    ASSERT_TRUE(pl.LogPath(root.string()));
    EXPECT_EQ(pl.pathNames()->Count(), 1);
    EXPECT_EQ(pl.fullFileNames()->values(),
              (std::vector<std::string>{r + "in.imm", r + "link.imm"}));
}

TEST_F(PathLoggerTest, UnlistableFolderEndsTheWalkVisibly) {
    touch(root / "a.imm");
    touch(root / "X" / "b.imm");
    fs::permissions(root / "X", fs::perms::none);
    // Permissions do not bind root: walk in a child that gives its rights up.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
        pathLogger pl;
        pl.PathLogInit();
        if (pl.LogPath(root.string())) ::_exit(1);                      // must report failure
        if (pl.lastError().find("X") == std::string::npos) ::_exit(2);  // naming the folder
        if (pl.fullFileNames()->values() != std::vector<std::string>{r + "a.imm"}) ::_exit(3);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
