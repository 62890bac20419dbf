// A search that stops early at a failed read has not seen the rest of the file,
// so the lines it listed for the message finder are not all of them: the finder
// then looks at the file itself, and the messages without a "MIME-Version: 1.0"
// line that lie past the failure still come out one by one.
#include <gtest/gtest.h>

#include <string>

#include "io/io.h"
#include "run/run_helpers.h"

namespace tp::test {
namespace {

constexpr std::uint64_t kChunk = 256u << 10;  // where the search's second read begins

// Fails the first read of the search past its first chunk.
struct FailSecondRead : io::FaultInjector {
    fs::path victim;
    int hits = 0;
    std::error_code before(io::Op, const fs::path&, std::uint64_t) override { return {}; }
    std::error_code beforeRead(const fs::path& path, std::uint64_t offset,
                               std::uint64_t&) override {
        if (hits > 0 || path != victim || offset < kChunk) return {};
        ++hits;
        return std::make_error_code(std::errc::io_error);
    }
};

TEST(EarlyStop, MessagesWithoutTheLinePastAFailedReadStillComeOutAlone) {
    ScratchDir dir;
    const fs::path box = dir.path() / "Inbox.imm", out = dir.path() / "out";
    std::string bytes;
    int messages = 0;
    for (; bytes.size() < kChunk + 100000; ++messages) {
        const std::string n = std::to_string(messages + 1);
        if (bytes.size() < kChunk / 2) {
            bytes += textMessage("with the line " + n, std::string(20000, 'a'));
        } else {  // plain RFC 822 mail
            bytes +=
                "Received: from a.example by b.example; Mon, 4 May 2009 10:00:00 +0200\r\n"
                "From: ann@example.org\r\nDate: Mon, 4 May 2009 10:00:00 +0200\r\n"
                "Message-ID: <" +
                n + "@example.org>\r\nSubject: plain " + n + "\r\n\r\n" + std::string(20000, 'b') +
                "\r\n\r\n";
        }
    }
    writeBytes(box, bytes);
    fs::create_directories(out);
    convert::RunOptions options;
    options.mailboxes = {box.string()};
    options.format = convert::Format::Eml;
    options.outputFolder = out;
    FailSecondRead fault;
    fault.victim = box;
    io::setFaultInjector(&fault);
    RecordingObserver observer;
    std::atomic<bool> cancel{false};
    const convert::RunSummary s =
        convert::ConversionRun(options, observer, convert::defaultServices()).run(cancel);
    io::setFaultInjector(nullptr);
    ASSERT_EQ(fault.hits, 1);
    bool scanFailed = false;
    for (const convert::Failure& f : s.failures) scanFailed |= f.step == "scan";
    EXPECT_TRUE(scanFailed) << "the search that stopped went unreported";
    EXPECT_EQ(s.messages, messages) << "messages past the failed read were taken for one";
}

}  // namespace
}  // namespace tp::test
