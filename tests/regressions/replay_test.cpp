// Each input kept under tests/regressions/<target>/ replayed through its fuzz entry
// point must give what it gave when it was kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "fuzz/targets.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

using Entry = std::string (*)(const std::uint8_t*, std::size_t);

struct Kept {
    const char* target;  // its folder and entry point
    const char* input;   // its file name
    const char* outcome;
};

// What each kept input gives. A new input gets its line here.
const Kept kKept[] = {
    {"mailbox", "hit-on-last-byte", "messages 0-17, leading 0"},
    {"mailbox", "hits-inside-lines-and-lone-cr", "messages 20-60, leading 20"},
    {"mailbox", "tab-and-nuls-only", "messages, leading 9"},
    {"mail_message", "bare-cr-in-field-name", "attachments 0"},
    {"mail_message", "body-is-a-message-after-a-bare-cr", "attachments 1"},
    {"mail_message", "body-is-a-message-with-an-attachment", "attachments 1"},
    {"mail_message", "body-is-a-message-inside-a-message", "attachments 2"},
    {"mail_message", "body-is-a-message-with-two-attachments", "attachments 2"},
    {"mail_message", "date-beyond-2262", "attachments 0"},
    {"mail_message", "empty-message", "attachments 0"},
    {"mail_message", "received-date-far-future", "attachments 0"},
    {"mail_message", "unterminated-multipart", "attachments 1"},
    {"pst_import", "bare-cr-and-nuls-in-header-block",
     "imported \"Re: MinuReceived: fsReceived: from ma’... (272 bytes)\", 1 attachments, 1 "
     "recipients"},
    {"pst_import", "empty-encoded-word", "imported \"=?utf-8?q?=\", 0 attachments, 0 recipients"},
    {"pst_import", "encoded-words-split-after-padding",
     "imported \"Grüße aus München\", 0 attachments, 1 recipients"},
    {"pst_import", "encoded-words-without-padding-or-language",
     "imported \"Привет мир\", 0 attachments, 2 recipients"},
    {"pst_import", "nul-in-received-field",
     "imported \"Fwd: Bus tiype: message/rfc822\", 0 attachments, 1 recipients"},
};

TEST(FuzzRegressions, EachKeptInputGivesItsOutcome) {
    const std::map<std::string, Entry> entries = {{"mailbox", tp::fuzz::mailbox},
                                                  {"mail_message", tp::fuzz::mailMessage},
                                                  {"pst_import", tp::fuzz::pstImport}};
    std::set<fs::path> listed;
    for (const Kept& k : kKept) {
        const fs::path file = fs::path(TP_REGRESSIONS) / k.target / k.input;
        SCOPED_TRACE(file.string());
        listed.insert(file);
        ASSERT_TRUE(fs::is_regular_file(file));
        const std::string bytes = tp::test::readBytes(file);
        EXPECT_EQ(
            entries.at(k.target)(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
            k.outcome);
    }
    // Every input in the folders is replayed.
    for (const auto& [target, entry] : entries) {
        for (const auto& e : fs::directory_iterator(fs::path(TP_REGRESSIONS) / target))
            EXPECT_TRUE(listed.count(e.path())) << e.path() << " has no line in kKept";
    }
}

}  // namespace
