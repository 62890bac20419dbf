// The large case: 100,000 small messages spread over 50 folders, read back by
// libpff and readpst (and pstcheck when built). Labelled slow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "pst_support.h"

using namespace pst_test;

TEST(PstStoreSlow, HundredThousandMessagesInFiftyFolders) {
    fs::path p = scratch("hundredk.pst");
    std::string err;
    auto s = Store::create(p, "Archive", err);
    ASSERT_TRUE(s) << err;
    std::vector<FolderId> folders;
    for (int i = 0; i < 50; ++i) {
        auto f = s->addFolder("Folder " + std::to_string(i), err);
        ASSERT_TRUE(f) << err;
        folders.push_back(*f);
    }
    for (int i = 0; i < 100000; ++i)
        ASSERT_TRUE(s->addMessage(
            folders[std::size_t(i % 50)],
            simpleMessage("Subject " + std::to_string(i), "Body of message " + std::to_string(i)),
            err))
            << err;
    ASSERT_TRUE(s->close(err)) << err;

    fs::path checker = fs::path(TP_BINARY_DIR) / "bin" / "pstcheck";
    if (fs::exists(checker)) {
        pst_test::Run c = run("'" + checker.string() + "' '" + p.string() + "'");
        EXPECT_EQ(c.status, 0) << c.out.substr(0, 4000);
    }
    pst_test::Run py =
        run("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/pst/pst_read.py' '" + p.string() + "' 97");
    ASSERT_EQ(py.status, 0) << py.out.substr(0, 2000);
    std::map<std::string, int> perFolder;
    std::size_t messages = 0;
    std::istringstream in(py.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("F\t/Top of Personal Folders/Folder ", 0) == 0) {
            auto tab = line.rfind('\t');
            perFolder[line.substr(2, tab - 2)] = std::stoi(line.substr(tab + 1));
        }
        if (line.rfind("M\t", 0) == 0) ++messages;
    }
    EXPECT_EQ(perFolder.size(), 50u);
    for (auto& [name, n] : perFolder) EXPECT_EQ(n, 2000) << name;
    EXPECT_EQ(messages, 50u * 21);  // every 97th of 2,000 per folder

    fs::path rp = scratch("readpst-hundredk");
    fs::create_directories(rp);
    pst_test::Run r = run("readpst -q -D -o '" + rp.string() + "' '" + p.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
    std::size_t fromLines = 0;
    for (const auto& e : fs::directory_iterator(rp)) {
        std::ifstream mbox(e.path());
        while (std::getline(mbox, line))
            if (line.rfind("From ", 0) == 0) ++fromLines;
    }
    EXPECT_EQ(fromLines, 100000u);
}
