// Runs over mailboxes whose reads fail, come back short or find the file shrunk. A
// search that stopped early must be said (a "scan" failure, the report, the warning
// box), never passed off as a complete mailbox.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "faults/fault_support.h"

namespace tp::test {
namespace {

using convert::Format;
using convert::RunSummary;

constexpr std::uint64_t kChunk = 256u << 10;  // where the search's second read begins
constexpr int kBig = 20;                      // messages of the large mailbox

// A message of about 20 KB.
std::string bigMessage(int k) {
    std::string body = "Message " + std::to_string(k) + ".";
    for (int i = 0; i < 300; ++i)
        body += "\r\nline " + std::to_string(k * 1000 + i) + " " + std::string(56, 'a' + k % 26);
    return textMessage("big " + std::to_string(k), body);
}

struct Mailboxes {
    ScratchDir dir;
    fs::path big, small;
    std::vector<std::string> bigMessages, smallMessages;
    Mailboxes() {
        big = dir.path() / "in" / "Inbox.imm";
        small = dir.path() / "in" / "Sent.imm";
        for (int k = 1; k <= kBig; ++k) bigMessages.push_back(bigMessage(k));
        smallMessages = {textMessage("one"), textMessage("two"), textMessage("three")};
        restore();
    }
    // Writes both mailboxes afresh (a run may have cut one short).
    void restore() const {
        for (const auto& [path, messages] : {std::pair{big, bigMessages}, {small, smallMessages}}) {
            std::string bytes;
            for (const std::string& m : messages) bytes += m;
            writeBytes(path, bytes);
        }
    }
    convert::RunOptions options(const fs::path& out) const {
        convert::RunOptions o;
        o.mailboxes = {big.string(), small.string()};
        o.format = Format::Eml;
        o.outputFolder = out;
        return o;
    }
};

// The reads of the mailboxes, counted; one of them (or, for the "every read"
// mode, each in turn) goes wrong.
class ReadFault : public io::FaultInjector {
  public:
    enum Mode { Fail, Short, Shrink };
    ReadFault(Mode mode, fs::path victim) : mode_(mode), victim_(std::move(victim)) {}
    // Only the n-th read of any mailbox goes wrong (the modes Fail and Short).
    void onlyRead(int n) { only_ = n; }

    std::error_code before(io::Op, const fs::path&, std::uint64_t) override { return {}; }
    std::error_code beforeRead(const fs::path& path, std::uint64_t offset,
                               std::uint64_t& length) override {
        ++reads_;
        const bool chosen =
            only_ > 0 ? reads_ == only_ : (hits_ == 0 && path == victim_ && offset >= kChunk);
        if (!chosen) return {};
        ++hits_;
        hitPath_ = path;
        switch (mode_) {
            case Fail:
                return std::make_error_code(std::errc::io_error);
            case Short:
                length = 0;
                return {};
            case Shrink:
                // The file read loses its second half (for the search: all but 40000
                // bytes past the first read).
                fs::resize_file(path, only_ > 0 ? fs::file_size(path) / 2 : kChunk + 40000);
                return {};
        }
        return {};
    }
    int hits() const { return hits_; }
    const fs::path& hitPath() const { return hitPath_; }

  private:
    Mode mode_;
    fs::path victim_;
    fs::path hitPath_;
    int only_ = 0;
    int reads_ = 0;
    int hits_ = 0;
};

RunSummary runWith(ReadFault& fault, const convert::RunOptions& options) {
    InjectorScope scope(&fault);
    return runOnce(options);
}

// What a run with a failed mailbox read must show: the failure, the report, the
// warning box; and the other mailbox whole.
void expectReported(const Mailboxes& mb, const RunSummary& s, const fs::path& out,
                    const fs::path& mailbox) {
    EXPECT_TRUE(named(s, mailbox.string())) << "a failed read of " << mailbox << " went unreported";
    ASSERT_FALSE(s.reportFile.empty()) << "no report was written";
    EXPECT_TRUE(fs::exists(s.reportFile));
    EXPECT_NE(readBytes(s.reportFile).find(mailbox.string()), std::string::npos);
    const Notice closing = convert::closingNotice(s);
    EXPECT_EQ(closing.icon, NoticeIcon::Warning);
    EXPECT_NE(closing.text.find("could not be "), std::string::npos) << closing.text;
    if (mailbox != mb.small) {
        EXPECT_FALSE(named(s, mb.small.string()));
        for (int k = 1; k <= 3; ++k)
            EXPECT_TRUE(
                fs::exists(mailboxFolder(out, mb.small) / ("Email-" + std::to_string(k) + ".eml")));
    }
}

// A read of the search goes wrong: the run records a "scan" failure that says where
// the search stopped, writes the report, warns, and the messages before are whole.
TEST(ReadFaults, SearchThatStopsEarlyIsReported) {
    struct Case {
        const char* what;
        ReadFault::Mode mode;
        const char* where;  // the offset the failure names
    };
    for (const Case c : {Case{"failing read", ReadFault::Fail, "at byte 262144"},
                         Case{"short read", ReadFault::Short, "ended at byte 262144"},
                         Case{"file shrinks", ReadFault::Shrink, "ended at byte 302144"}}) {
        SCOPED_TRACE(c.what);
        Mailboxes mb;
        const fs::path out = mb.dir.path() / "out";
        fs::create_directories(out);
        ReadFault fault(c.mode, mb.big);
        const RunSummary s = runWith(fault, mb.options(out));
        SCOPED_TRACE(describeFailures(s));
        ASSERT_EQ(fault.hits(), 1);

        std::string scanFailure;
        for (const convert::Failure& f : s.failures)
            if (f.mailbox == mb.big.string() && f.message == 0 && f.step == "scan")
                scanFailure = f.reason;
        ASSERT_FALSE(scanFailure.empty()) << "the search stopped early without a word";
        EXPECT_NE(scanFailure.find(c.where), std::string::npos) << scanFailure;
        expectReported(mb, s, out, mb.big);
        EXPECT_NE(readBytes(s.reportFile).find("scan"), std::string::npos);

        // Found: the messages whose "MIME-Version: 1.0" line lies in the part that
        // was searched; all but the last of them whole.
        const fs::path folder = mailboxFolder(out, mb.big);
        std::uint64_t at = 0;
        int found = 0;
        for (const std::string& m : mb.bigMessages) {
            if (at + m.find("MIME-Version: 1.0") + 17 <= kChunk) ++found;
            at += m.size();
        }
        ASSERT_GT(found, 1);
        ASSERT_LT(found, kBig);
        EXPECT_EQ(s.messages, found + 3);
        for (int k = 1; k < found; ++k) {
            EXPECT_TRUE(readBytes(folder / ("Email-" + std::to_string(k) + ".eml")) ==
                        mb.bigMessages[k - 1] + "\r\n")
                << k << " is not whole";
        }
        EXPECT_FALSE(fs::exists(folder / ("Email-" + std::to_string(found + 1) + ".eml")));
    }
}

// Every read of a run goes wrong once, one run per read: each run names the mailbox,
// writes the report, counts no message twice, and what it calls converted is whole.
TEST(ReadFaults, EveryReadOfARunFailsOnce) {
    Mailboxes mb;
    int runs = 0;
    std::set<std::string> steps;
    for (const ReadFault::Mode mode : {ReadFault::Fail, ReadFault::Short, ReadFault::Shrink}) {
        for (int n = 1; n < 1000; ++n) {
            const fs::path out = mb.dir.path() / ("out" + std::to_string(n));
            fs::create_directories(out);
            mb.restore();
            ReadFault fault(mode, mb.big);
            fault.onlyRead(n);
            const RunSummary s = runWith(fault, mb.options(out));
            if (fault.hits() == 0) {
                fs::remove_all(out);
                break;
            }
            ++runs;
            SCOPED_TRACE(std::string(mode == ReadFault::Fail    ? "failing read "
                                     : mode == ReadFault::Short ? "short read "
                                                                : "file halved at read ") +
                         std::to_string(n) + "\n" + describeFailures(s));
            const fs::path mailbox = fault.hitPath();
            expectReported(mb, s, out, mailbox);
            std::set<int> failed;
            bool mailboxFailed = false;
            for (const convert::Failure& f : s.failures) {
                steps.insert(f.step);
                if (f.mailbox != mailbox.string()) continue;
                if (f.message > 0) failed.insert(f.message);
                mailboxFailed |= f.message == 0;
            }
            EXPECT_EQ(s.failedMessages, static_cast<int>(failed.size()));
            // A message file that is not the message is accounted for: its own
            // failure, or one of its mailbox.
            const auto& want = mailbox == mb.big ? mb.bigMessages : mb.smallMessages;
            for (std::size_t k = 1; k <= want.size(); ++k) {
                const fs::path mine =
                    mailboxFolder(out, mailbox) / ("Email-" + std::to_string(k) + ".eml");
                if (failed.count(static_cast<int>(k)) > 0) {
                    EXPECT_FALSE(fs::exists(mine)) << mine << " was written but reported failed";
                } else if (!mailboxFailed) {
                    EXPECT_TRUE(readBytes(mine) == want[k - 1] + "\r\n") << mine << " differs";
                }
            }
            fs::remove_all(out);
        }
    }
    EXPECT_GT(runs, 60);
    // The search, the look for where messages begin and the cuts all failed once.
    EXPECT_TRUE(steps.count("scan") && steps.count("extract") && steps.count("read"))
        << "steps seen: " << steps.size();
}

// A search stopped by a failed read has not seen the rest of the file, so the
// lines it listed for the message finder are not all of them: the finder then
// reads the file itself, and plain RFC 822 messages (no "MIME-Version: 1.0"
// line) past the failure still come out one by one, not as one.
TEST(ReadFaults, PlainMessagesPastAFailedSearchStillComeOutAlone) {
    Mailboxes mb;
    std::string bytes;
    int messages = 0;
    for (; bytes.size() < kChunk + 100000; ++messages) {
        const std::string n = std::to_string(messages + 1);
        if (bytes.size() < kChunk / 2) {
            bytes += textMessage("with the line " + n, std::string(20000, 'a'));
        } else {
            bytes +=
                "Received: from a.example by b.example; Mon, 4 May 2009 10:00:00 +0200\r\n"
                "From: ann@example.org\r\nDate: Mon, 4 May 2009 10:00:00 +0200\r\n"
                "Message-ID: <" +
                n + "@example.org>\r\nSubject: plain " + n + "\r\n\r\n" + std::string(20000, 'b') +
                "\r\n\r\n";
        }
    }
    writeBytes(mb.big, bytes);
    const fs::path out = mb.dir.path() / "out";
    fs::create_directories(out);
    ReadFault fault(ReadFault::Fail, mb.big);
    const RunSummary s = runWith(fault, mb.options(out));
    ASSERT_EQ(fault.hits(), 1);
    expectReported(mb, s, out, mb.big);
    EXPECT_EQ(s.messages, messages + 3) << "messages past the failed read were taken for one";
}

}  // namespace
}  // namespace tp::test
