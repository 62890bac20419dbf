// tessaport-convert from the outside: arguments, exit codes, the summary, the
// output layout, and .eml files read back by Python's email package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include "run/run_helpers.h"

namespace tp::test {
namespace {

// What Python's email package reads in each file: one line per file, see read_eml.py.
std::vector<std::vector<std::string>> readWithPython(const std::vector<fs::path>& files) {
    std::string cmd = "python3 " + quote(TP_READ_EML);
    for (const auto& f : files) cmd += " " + quote(f.string());
    const std::string text = output(cmd);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> row;
        std::string field;
        std::istringstream fields(line);
        while (std::getline(fields, field, '\t')) row.push_back(field);
        while (row.size() < 6) row.emplace_back();
        rows.push_back(row);
    }
    return rows;
}

std::string withAttachment() {
    return "From: Ann <ann@example.org>\r\nTo: bob@example.net\r\n"
           "Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?=\r\nDate: Tue, 5 May 2009 08:00:00 +0200\r\n"
           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"mix-1\"\r\n\r\n"
           "This is a multi-part message in MIME format.\r\n\r\n"
           "--mix-1\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\nCaf=E9 tomorrow?\r\n\r\n"
           "--mix-1\r\nContent-Type: text/plain; name=\"notes.txt\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"notes.txt\"\r\n\r\n"
           "c29tZSBub3Rlcwo=\r\n\r\n--mix-1--\r\n\r\n";
}

std::string forwarded() {
    return "From: Carol <carol@example.com>\r\nTo: ann@example.org\r\nSubject: Fwd: Meeting\r\n"
           "Date: Wed, 6 May 2009 09:30:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"fwd-1\"\r\n\r\n"
           "--fwd-1\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nSee below.\r\n\r\n"
           "--fwd-1\r\nContent-Type: message/rfc822\r\n\r\n"
           "From: Dan <dan@example.com>\r\nTo: carol@example.com\r\nSubject: Meeting\r\n"
           "Date: Tue, 5 May 2009 17:00:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\nLet's meet at ten.\r\n\r\n"
           "--fwd-1--\r\n\r\n";
}

class CliTest : public ::testing::Test {
  protected:
    ScratchDir dir;
};

TEST_F(CliTest, HelpAndWrongUsage) {
    Result r = convert(dir.path(), {"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(has(r.out, "Usage: tessaport-convert --format eml|mbox|pst --output DIR"));
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

TEST_F(CliTest, EmlRunLaysOutEveryMailboxBelowTheOutputFolder) {
    const std::string inbox = textMessage("Plain") + withAttachment() + forwarded();
    writeBytes(dir.path() / "Mail" / "Inbox.imm", inbox);
    writeBytes(dir.path() / "Mail" / "Sent Items.imm", textMessage("=?UTF-8?B?w4TDpMO2?="));
    writeBytes(dir.path() / "Att" / "notes.txt", "the notes kept by IncrediMail\n");
    const Result r = convert(dir.path(), {"--format=eml", "--output", "out", "--attachments", "Att",
                                          "Mail/Inbox.imm", "Mail/Sent Items.imm"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "successfully exported to (.eml) files."));
    EXPECT_TRUE(has(r.out, "Mailboxes:  2 of 2 read\n"));
    EXPECT_TRUE(has(r.out, "Messages:   4\n"));
    EXPECT_TRUE(has(r.out, "Exported:   4 of 4 messages\n"));
    EXPECT_TRUE(has(r.out, "Not exported: 0 of 4 messages\n"));
    EXPECT_TRUE(has(r.out, "Output:     " + (dir.path() / "out").string() + "\n"));
    EXPECT_FALSE(has(r.out, "Report:"));

    const fs::path inboxOut =
        dir.path() / "out" / (dir.path() / "Mail" / "Inbox.imm").relative_path();
    const fs::path sentOut =
        dir.path() / "out" / (dir.path() / "Mail" / "Sent Items.imm").relative_path();
    const std::vector<fs::path> files = {inboxOut / "Email-1.eml", inboxOut / "Email-2.eml",
                                         inboxOut / "Email-3.eml", sentOut / "Email-1.eml"};
    EXPECT_FALSE(fs::exists(inboxOut / "Email-4.eml"));
    const auto rows = readWithPython(files);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][1], "Plain");
    EXPECT_EQ(rows[1][1], "Café au lait");
    EXPECT_EQ(rows[1][2], "multipart/mixed");
    EXPECT_EQ(rows[1][4], "notes.txt");
    EXPECT_EQ(rows[2][1], "Fwd: Meeting");  // the forwarded message stays inside it
    EXPECT_EQ(rows[2][2], "multipart/mixed");
    EXPECT_EQ(rows[3][1], "Ääö");
    for (const auto& row : rows) EXPECT_EQ(row[5], "0") << row[0];
    EXPECT_EQ(readBytes(files[2]), forwarded() + "\r\n");
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
    std::vector<std::string> args = {"--format", "eml", "--output", "out"};
    for (const auto& [name, bytes] : boxes) {
        writeBytes(dir.path() / name, bytes);
        args.push_back(name);
    }
    args.push_back("missing.imm");
    const Result r = convert(dir.path(), args);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    // A run that could not convert everything leads with what went wrong and
    // never speaks of success.
    EXPECT_TRUE(startsWith(r.out, "1 mailbox could not be converted.\n"));
    EXPECT_TRUE(
        has(r.out, "Not all of your IncrediMail messages could be exported to (.eml) files."));
    EXPECT_FALSE(has(r.out, "successfully"));
    EXPECT_TRUE(has(r.out, "Mailboxes:  8 of 9 read\n"));
    const fs::path report = dir.path() / "out" / "Tessaport-report.txt";
    EXPECT_TRUE(has(r.out, "Report:     " + report.string()));
    const std::string reportText = readBytes(report);
    EXPECT_TRUE(has(reportText, (dir.path() / "missing.imm").string() + ", open: "));

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

// With SOURCE_DATE_EPOCH set, the same mailboxes give the same store, byte for
// byte: its name, the times it records and its own key all follow the fixed clock.
TEST_F(CliTest, ReproducibleRunGivesTheSameStore) {
    ASSERT_TRUE(convert::defaultServices().makeSink(convert::Format::Pst));
    writeBytes(dir.path() / "In.imm", textMessage("a") + withAttachment() + forwarded());
    const auto storeOf = [&](const std::string& out) {
        const Result r = convert(dir.path(), {"--format", "pst", "--output", out, "In.imm"});
        EXPECT_EQ(r.code, 0) << r.err;
        std::vector<fs::path> stores;
        for (const auto& e : fs::directory_iterator(dir.path() / out))
            if (e.path().extension() == ".pst") stores.push_back(e.path());
        EXPECT_EQ(stores.size(), 1u);
        return stores.empty() ? fs::path() : stores.front();
    };
    ::setenv("SOURCE_DATE_EPOCH", "1262304000", 1);  // 2010-01-01
    const fs::path first = storeOf("o1"), second = storeOf("o2");
    ::unsetenv("SOURCE_DATE_EPOCH");
    const fs::path third = storeOf("o3");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(first.filename(), second.filename());
    EXPECT_TRUE(readBytes(first) == readBytes(second)) << "two runs at the same clock differ";
    ASSERT_FALSE(third.empty());
    EXPECT_FALSE(readBytes(first) == readBytes(third)) << "the clock is not what sets the store";
}

}  // namespace
}  // namespace tp::test
