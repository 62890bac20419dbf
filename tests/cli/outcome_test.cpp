// What a whole run of tessaport-convert leaves and says.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "run/run_helpers.h"

namespace tp::test {
namespace {

// Each message of an .mbox file as Python's mailbox module reads it: subject and
// the number of NUL bytes in its body, one line each.
std::string readMbox(const fs::path& mbox) {
    return output(
        "python3 -c 'import mailbox,sys\nfor m in mailbox.mbox(sys.argv[1]): "
        "print(m[\"Subject\"], m.get_payload(decode=True).count(b\"\\0\"))' " +
        quote(mbox.string()));
}

// The folders of a store that hold messages, as libpff reads them (pst_read.py).
std::string readStoreFolders(const fs::path& pst) {
    return output("/usr/bin/python3 " + quote(TP_SOURCE_DIR "/tests/pst/pst_read.py") + " " +
                  quote(pst.string()) +
                  " 0 | grep -v '\t0$' | sed 's#^F\t/Top of Personal Folders/##'");
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    return files;
}

class OutcomeTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    fs::path out() const { return dir.path() / "out"; }
    fs::path folderOf(const fs::path& mailbox) const {
        return out() / (dir.path() / mailbox).relative_path();
    }
};

// Every message counted once (whole, remarked, not exported), alike in summary and
// report; a remark names mailbox, message and subject; NUL bytes are kept.
TEST_F(OutcomeTest, OneCountForEveryMessageAndAReportThatSaysWhere) {
    using namespace std::string_literals;
    const std::string damaged = "before" + std::string(4096, '\0') + "after";
    const std::string box = textMessage("first") + textMessage("Damaged one", damaged) +
                            textMessage("third", "a few\0\0\0 NULs are no damage"s);
    writeBytes(dir.path() / "Mail" / "Inbox.imm", box);
    const Result r = convert(
        dir.path(), {"--format", "mbox", "--output", "out", "Mail/Inbox.imm", "Mail/Gone.imm"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Mailboxes:  1 of 2 read\n"));
    EXPECT_TRUE(has(r.out, "Exported:   3 of 3 messages (2 whole, 1 with a remark)\n"));
    EXPECT_TRUE(has(r.out, "Not exported: 0 of 3 messages; 1 problem outside messages\n"));
    // The box leads with what went wrong and where the report is.
    EXPECT_TRUE(startsWith(r.out,
                           "1 mailbox could not be converted.\n1 of 3 messages was exported with a "
                           "remark.\nThe report "));
    EXPECT_FALSE(has(r.out, "successfully"));

    const fs::path inbox = dir.path() / "Mail" / "Inbox.imm";
    EXPECT_EQ(readMbox(folderOf("Mail/Inbox.imm") / "Inbox.mbox"),
              "first 0\nDamaged one 4096\nthird 3\n");
    const std::string report = readBytes(out() / "Tessaport-report.txt");
    EXPECT_TRUE(has(report, "Mailboxes: 1 of 2 read\r\n"));
    EXPECT_TRUE(has(report, "  whole: 2\r\n  with a remark: 1\r\nMessages not exported: 0\r\n"));
    const std::size_t at = box.find("before") + std::string("before").size();
    EXPECT_TRUE(
        has(report, inbox.string() +
                        ", message 2 \"Damaged one\": a damaged area: 4096 NUL bytes at byte " +
                        std::to_string(at) + " of the mailbox"));
    EXPECT_FALSE(has(report, "Email-"));
    EXPECT_TRUE(has(report, (dir.path() / "Mail" / "Gone.imm").string() + ", open: "));
}

// A file without mail is named as such, and a run that found nothing is no success.
TEST_F(OutcomeTest, AFileWithoutMailIsNamedAndNotCalledASuccess) {
    writeBytes(dir.path() / "ls.imm",
               "\x7f" + std::string("ELF\2\1\1", 6) + std::string(4096, '\xE8'));
    writeBytes(dir.path() / "empty.imm", "");
    Result r = convert(dir.path(), {"--format", "eml", "--output", "out", "ls.imm", "empty.imm"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_FALSE(has(r.out, "successfully"));
    EXPECT_TRUE(startsWith(r.out, "No message was found in ls.imm, empty.imm.\n"));
    EXPECT_TRUE(has(r.out, "No message: " + (dir.path() / "ls.imm").string() + "\n"));
    EXPECT_TRUE(has(r.out, "No message: " + (dir.path() / "empty.imm").string() + "\n"));
    const std::string report = readBytes(out() / "Tessaport-report.txt");
    EXPECT_TRUE(has(report, "Mailboxes in which no message was found:\r\n" +
                                (dir.path() / "ls.imm").string() + "\r\n" +
                                (dir.path() / "empty.imm").string() + "\r\n"));

    // Beside a mailbox with mail, an empty one is named, and the run succeeds.
    writeBytes(dir.path() / "Inbox.imm", textMessage("hello"));
    r = convert(dir.path(), {"--format", "eml", "--output", "out2", "Inbox.imm", "empty.imm"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(startsWith(r.out, "No message was found in empty.imm.\nThe report "));
    EXPECT_TRUE(has(r.out, "successfully exported"));
}

// Mailboxes of one name keep folders of their own in the store ("INBOX (2)", reported).
TEST_F(OutcomeTest, MailboxesOfOneNameKeepTheirOwnFoldersInTheStore) {
    ASSERT_TRUE(convert::defaultServices().makeSink(convert::Format::Pst));
    writeBytes(dir.path() / "Mail" / "Inbox.imm", textMessage("a") + textMessage("b"));
    writeBytes(dir.path() / "Mail" / "Inbox" / "Work.imm", textMessage("w"));
    writeBytes(dir.path() / "Other" / "Inbox.imm", textMessage("c"));
    writeBytes(dir.path() / "Other" / "INBOX.imm", textMessage("d"));
    const Result r =
        convert(dir.path(), {"--format", "pst", "--output", "out", "Mail/Inbox/Work.imm",
                             "Mail/Inbox.imm", "Other/Inbox.imm", "Other/INBOX.imm"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    fs::path store;
    for (const fs::path& f : filesIn(out()))
        if (f.extension() == ".pst") store = out() / f;
    ASSERT_FALSE(store.empty());
    EXPECT_EQ(readStoreFolders(store),
              "Mail/Inbox\t2\nMail/Inbox/Work\t1\nOther/Inbox\t1\nOther/INBOX (2)\t1\n");
#ifdef TP_PSTCHECK
    const std::string check = quote(TP_PSTCHECK) + " --shape " + quote(store.string());
    EXPECT_EQ(std::system((check + " >/dev/null 2>&1").c_str()), 0) << check;
#endif
    const std::string report = readBytes(out() / "Tessaport-report.txt");
    EXPECT_TRUE(has(report, "the folder of " + (dir.path() / "Other" / "INBOX.imm").string() +
                                " in the store is named \"Other > INBOX (2)\""));
}

// A second run into the same folder adds nothing to the first run's files, and
// keeps its report; a mailbox named twice is converted once.
TEST_F(OutcomeTest, ConvertingTwiceKeepsEachRunApart) {
    writeBytes(dir.path() / "In.imm", textMessage("one") + textMessage("two"));
    fs::create_symlink(dir.path() / "In.imm", dir.path() / "Link.imm");
    const std::vector<std::string> args = {"--format", "mbox",     "--output", "out",
                                           "In.imm",   "./In.imm", "Link.imm", "Missing.imm"};
    const Result first = convert(dir.path(), args);
    EXPECT_EQ(first.code, 1);
    EXPECT_TRUE(has(first.err, "./In.imm is listed already (as " +
                                   (dir.path() / "In.imm").string() + "); it is converted once"));
    EXPECT_TRUE(has(first.err, "Link.imm is listed already"));
    EXPECT_TRUE(has(first.out, "Exported:   2 of 2 messages\n"));
    const Result second = convert(dir.path(), args);
    EXPECT_EQ(second.code, 1);
    EXPECT_TRUE(has(second.out, "Exported:   2 of 2 messages\n"));

    const fs::path folder = folderOf("In.imm");
    EXPECT_EQ(filesIn(folder), (std::vector<fs::path>{"In (2).mbox", "In.mbox"}));
    EXPECT_EQ(readMbox(folder / "In.mbox"), "one 0\ntwo 0\n");
    EXPECT_EQ(readMbox(folder / "In (2).mbox"), "one 0\ntwo 0\n");
    EXPECT_TRUE(has(first.out, "Report:     " + (out() / "Tessaport-report.txt").string()));
    EXPECT_TRUE(has(second.out, "Report:     " + (out() / "Tessaport-report (2).txt").string()));
    EXPECT_TRUE(fs::is_regular_file(out() / "Tessaport-report.txt"));
}

// A run cut short never leaves a file cut short. An abort (a second Ctrl-C) while
// a message is written leaves each .eml and .mbox record whole and a store either
// whole or gone; a killed run leaves its store as its .unfinished file only.
TEST_F(OutcomeTest, ARunCutShortLeavesNoFileCutShort) {
    ASSERT_TRUE(convert::defaultServices().makeSink(convert::Format::Pst));
    // Large messages, so that the abort is likely to come while one is written.
    std::vector<std::string> messages;
    std::string box;
    for (int i = 0; i < 24; ++i) {
        messages.push_back(textMessage("big" + std::to_string(i),
                                       std::string(3u << 20, static_cast<char>('a' + i))));
        box += messages.back();
    }
    const fs::path mailbox = dir.path() / "Big.imm";
    writeBytes(mailbox, box);
    for (const std::string how : {"eml", "mbox", "pst", "pst killed"}) {
        const std::string format = how.substr(0, how.find(' '));
        const bool killed = how != format;
        for (int attempt = 0; attempt < (format == "pst" ? 1 : 3); ++attempt) {
            const fs::path o = dir.path() / (how + std::to_string(attempt));
            const fs::path folder = o / mailbox.relative_path();
            const pid_t pid =
                startConvert({"--format", format, "--output", o.string(), mailbox.string()});
            ASSERT_GT(pid, 0);
            // Messages are being written once the second .eml, the .mbox or the
            // mailbox's folder beside the store is there.
            const fs::path sign = format == "eml"    ? folder / "Email-2.eml"
                                  : format == "mbox" ? folder / "Big.mbox"
                                                     : folder;
            ASSERT_TRUE(waitUntil([&] { return fs::exists(sign); })) << sign;
            if (killed) {
                ::kill(pid, SIGKILL);
            } else {
                ::kill(pid, SIGINT);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ::kill(pid, SIGINT);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            const std::vector<fs::path> files = filesIn(o);
            if (killed) {
                ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it could be killed";
                for (const fs::path& f : files) EXPECT_NE(f.extension(), ".pst") << f;
                EXPECT_EQ(
                    std::count_if(files.begin(), files.end(),
                                  [](const fs::path& f) { return f.extension() == ".unfinished"; }),
                    1);
            } else if (format == "pst") {
                // Aborted (130), or finished before the second Ctrl-C came (1).
                ASSERT_TRUE(WIFEXITED(status));
                EXPECT_TRUE(WEXITSTATUS(status) == 130 || WEXITSTATUS(status) == 1)
                    << WEXITSTATUS(status);
                for (const fs::path& f : files) {
                    EXPECT_NE(f.extension(), ".unfinished") << f;
#ifdef TP_PSTCHECK
                    if (f.extension() == ".pst") {
                        const std::string cmd =
                            quote(TP_PSTCHECK) + " " + quote((o / f).string()) + " >/dev/null 2>&1";
                        EXPECT_EQ(std::system(cmd.c_str()), 0) << f << " is no whole store";
                    }
#endif
                }
            } else if (format == "eml") {
                for (int k = 1; k <= 24; ++k) {
                    const fs::path eml = folder / ("Email-" + std::to_string(k) + ".eml");
                    if (fs::exists(eml)) {
                        EXPECT_TRUE(readBytes(eml) ==
                                    messages[static_cast<std::size_t>(k - 1)] + "\r\n")
                            << eml << " is not whole (" << fs::file_size(eml) << " bytes)";
                    }
                }
            } else if (fs::exists(sign)) {
                // Every record read back holds its whole body.
                const std::string lengths = output(
                    "python3 -c 'import mailbox,sys\nfor m in mailbox.mbox(sys.argv[1]): "
                    "print(len(m.get_payload().strip()))' " +
                    quote(sign.string()));
                std::istringstream lines(lengths);
                for (std::string line; std::getline(lines, line);)
                    EXPECT_EQ(line, std::to_string(3u << 20)) << "a record cut short";
            }
            fs::remove_all(o);
        }
    }
}

}  // namespace
}  // namespace tp::test
