// The large case: 100,000 small messages spread over 50 folders, read back by
// readpst and pstcheck. Labelled slow.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

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

    pst_test::Run c = run("'" TP_BINARY_DIR "/bin/pstcheck' --shape '" + p.string() + "'");
    EXPECT_EQ(c.status, 0) << c.out.substr(0, 4000);
    // libpff builds its item tree in time quadratic in the item count (minutes
    // here, whoever wrote the store), so this size is read with readpst and pstcheck;
    // libpff reads the 10,000-message store in pst_store_test.
    // readpst runs in one process (-j 0): its default forked jobs, one per folder,
    // now and then drop a message of a store it reads whole in one process.
    fs::path rp = scratch("readpst-hundredk");
    fs::create_directories(rp);
    pst_test::Run r = run("readpst -q -D -j 0 -o '" + rp.string() + "' '" + p.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
    std::set<std::string> subjects;
    for (int i = 0; i < 50; ++i) {
        std::ifstream mbox(rp / ("Folder " + std::to_string(i) + ".mbox"));
        std::size_t messages = 0;
        for (std::string line; std::getline(mbox, line);) {
            messages += line.rfind("From ", 0) == 0;
            if (line.rfind("Subject: Subject ", 0) == 0) subjects.insert(line);
        }
        EXPECT_EQ(messages, 2000u) << i;
    }
    EXPECT_EQ(subjects.size(), 100000u);
}
