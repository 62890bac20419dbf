// tessaport-convert from the outside: arguments, exit codes, and mailboxes of
// every odd kind given back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "run/run_helpers.h"

namespace tp::test {
namespace {

class CliTest : public ::testing::Test {
  protected:
    ScratchDir dir;
};

TEST_F(CliTest, HelpAndWrongUsage) {
    Result r = convert(dir.path(), {"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(has(r.out, "Usage: tessaport-convert --format eml|mbox|pst --output DIR"));
    // The help reads whole on an 80-column terminal: no line is wrapped by it.
    for (std::size_t at = 0, end; at < r.out.size(); at = end + 1) {
        end = std::min(r.out.find('\n', at), r.out.size());
        EXPECT_LT(end - at, 80u) << r.out.substr(at, end - at);
    }
    writeBytes(dir.path() / "a.imm", textMessage("x"));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--format", "eml", "a.imm"},
             {"--output", "o", "a.imm"},
             {"--format", "pdf", "--output", "o", "a.imm"},
             {"--format", "eml", "--output", "o"},
             {"--format", "eml", "--output", "o", "--verbose", "a.imm"},
             {"--format", "eml", "--format", "eml", "--output", "o", "a.imm"},
             {"--format", "eml", "--output", "o", "--attachments", "no-such-folder", "a.imm"},
             {"--format", "eml", "--output", "a.imm", "a.imm"},
             {"--format"}}) {
        r = convert(dir.path(), args);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_TRUE(has(r.err, "tessaport-convert: "));
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_FALSE(fs::exists(dir.path() / "o" / "Tessaport-report.txt"));
}

TEST_F(CliTest, BadMailboxesLoseNothingAndFailuresExitOne) {
    using namespace std::string_literals;
    const std::string lfOnly =
        "From: a@example.org\nSubject: lf one\nMIME-Version: 1.0\n\nx\n"
        "From: b@example.org\nSubject: lf two\nMIME-Version: 1.0\n\ny\n";
    const std::string crOnly = "From: a@example.org\rSubject: cr\rMIME-Version: 1.0\r\rbody\r";
    const std::string nuls = textMessage("nul", "bin\0ary\0"s) + textMessage("after nul");
    const std::string inBody =
        textMessage("quoted", "he wrote MIME-Version: 1.0 here") + textMessage("next");
    const std::string noEnd = "MIME-Version: 1.0" + std::string(100u << 20, 'a');
    const std::map<std::string, std::string> boxes = {
        {"lf.imm", lfOnly}, {"cr.imm", crOnly}, {"nul.imm", nuls},    {"body.imm", inBody},
        {"one.imm", "x"},   {"empty.imm", ""},  {"noend.imm", noEnd}, {"plain.imm", "no mail\r\n"}};
    std::vector<std::string> args = {"--format=eml", "--output", "out"};
    for (const auto& [name, bytes] : boxes) {
        writeBytes(dir.path() / name, bytes);
        args.push_back(name);
    }
    args.push_back("missing.imm");
    const Result r = convert(dir.path(), args);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(
        has(r.out, "Not all of your IncrediMail messages could be exported to (.eml) files."));
    EXPECT_TRUE(has(r.out, "Mailboxes:  8 of 9 read\n"));
    const fs::path report = dir.path() / "out" / "Tessaport-report.txt";
    EXPECT_TRUE(has(r.out, "Report:     " + report.string()));
    const std::string reportText = readBytes(report);

    // For every mailbox: skipped leading bytes + each message (without the writer's CR LF)
    // give back the file exactly.
    const std::regex leading(R"((\d+) bytes (before the first message of|of) (\S+))");
    std::map<std::string, std::uint64_t> skipped;
    for (auto it = std::sregex_iterator(reportText.begin(), reportText.end(), leading);
         it != std::sregex_iterator(); ++it) {
        skipped[(*it)[3]] = std::stoull((*it)[1]);
    }
    for (const auto& [name, bytes] : boxes) {
        const fs::path mailbox = dir.path() / name;
        const fs::path folder = dir.path() / "out" / mailbox.relative_path();
        std::string rebuilt = bytes.substr(0, skipped[mailbox.string()]);
        for (int k = 1; fs::exists(folder / ("Email-" + std::to_string(k) + ".eml")); ++k) {
            const std::string eml = readBytes(folder / ("Email-" + std::to_string(k) + ".eml"));
            ASSERT_GE(eml.size(), 2u);
            EXPECT_EQ(eml.substr(eml.size() - 2), "\r\n");
            rebuilt += eml.substr(0, eml.size() - 2);
        }
        EXPECT_TRUE(rebuilt == bytes) << name << ": " << rebuilt.size() << " of " << bytes.size();
    }
    const auto eml = [&](const char* box, const char* name) {
        return fs::exists(dir.path() / "out" / (dir.path() / box).relative_path() / name);
    };
    EXPECT_TRUE(eml("lf.imm", "Email-2.eml") && eml("body.imm", "Email-2.eml"));
    EXPECT_FALSE(eml("body.imm", "Email-3.eml"));
}

}  // namespace
}  // namespace tp::test
