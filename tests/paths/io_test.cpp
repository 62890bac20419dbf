// The write seam: whole files or nothing, append records cut back on failure.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "convert/io.h"

namespace fs = std::filesystem;
using tp::io::Op;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fails the n-th call of one operation (1-based) and records every call.
struct Injector : tp::io::FaultInjector {
    Op failOp;
    int failAt;
    int seen = 0;
    std::vector<Op> calls;
    Injector(Op op, int at) : failOp(op), failAt(at) {}
    std::error_code before(Op op, const fs::path&, std::uint64_t) override {
        calls.push_back(op);
        if (op == failOp && ++seen == failAt)
            return std::make_error_code(std::errc::no_space_on_device);
        return {};
    }
};

struct IoTest : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tp-io-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        tp::io::setFaultInjector(nullptr);
        fs::remove_all(dir);
    }
};

}  // namespace

TEST_F(IoTest, WriteFileIsWholeOrAbsent) {
    const fs::path p = dir / "Email-1.eml";
    ASSERT_FALSE(tp::io::writeFile(p, "hello"));
    EXPECT_EQ(slurp(p), "hello");

    fs::remove(p);
    const std::string big(3u << 20, 'x');  // written in several pieces
    for (const Op op : {Op::Create, Op::Write, Op::Flush}) {
        Injector inj(op, op == Op::Write ? 2 : 1);
        tp::io::setFaultInjector(&inj);
        const auto ec = tp::io::writeFile(p, big);
        tp::io::setFaultInjector(nullptr);
        EXPECT_EQ(ec, std::errc::no_space_on_device);
        EXPECT_FALSE(fs::exists(p)) << "a partial file stayed behind";
    }
    EXPECT_TRUE(tp::io::writeFile(dir / "no" / "such" / "folder.eml", "x"));
    EXPECT_FALSE(tp::io::describe(std::make_error_code(std::errc::no_space_on_device)).empty());
}

TEST_F(IoTest, AppendFileEndsOnARecordBoundary) {
    const fs::path p = dir / "Inbox.mbox";
    tp::io::AppendFile f;
    ASSERT_FALSE(f.open(p));
    ASSERT_FALSE(f.appendRecord("first\r\n"));
    // A large record that fails after its first piece is cut away again.
    Injector inj(Op::Write, 2);
    tp::io::setFaultInjector(&inj);
    EXPECT_TRUE(f.appendRecord(std::string(3u << 20, 'y')));
    tp::io::setFaultInjector(nullptr);
    EXPECT_EQ(fs::file_size(p), 7u);
    ASSERT_FALSE(f.appendRecord("second\r\n"));
    Injector refuse(Op::Append, 1);
    tp::io::setFaultInjector(&refuse);
    EXPECT_TRUE(f.appendRecord("third\r\n"));
    tp::io::setFaultInjector(nullptr);
    ASSERT_FALSE(f.close());
    EXPECT_EQ(slurp(p), "first\r\nsecond\r\n");
    EXPECT_TRUE(f.appendRecord("closed"));

    // Removing asks first, and reports a file that is not there.
    Injector any(Op::Flush, 99);
    tp::io::setFaultInjector(&any);
    EXPECT_FALSE(tp::io::removeFile(p));
    EXPECT_TRUE(tp::io::removeFile(p));
    tp::io::setFaultInjector(nullptr);
    EXPECT_EQ(any.calls, (std::vector<Op>{Op::Remove, Op::Remove}));
}
