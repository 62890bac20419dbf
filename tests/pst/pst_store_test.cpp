// Stores written by our writer, read back by independent readers: libpff
// (pffinfo, pffexport, python3-pypff), libpst (readpst) and our own pstcheck.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "io/fault.h"
#include "pst_support.h"

using namespace pst_test;

namespace {

using tp::test::readBytes;

std::string sha1Prefix(const std::string& data) {
    fs::path tmp = scratch("sha-input");
    std::ofstream(tmp, std::ios::binary) << data;
    Run r = run("sha1sum '" + tmp.string() + "'");
    return r.out.substr(0, 12);
}

std::string base64(const std::string& in) {
    return run("printf %s " + tp::test::quote(in) + " | base64 -w0").out;
}

// The lines of a reader's output that complain, with readpst's summary of a
// folder that skipped an item.
std::string readerIssues(const std::string& out) {
    static const std::regex complaint("error|warning|unable|corrupt|[1-9][0-9]* items skipped",
                                      std::regex::icase);
    std::istringstream in(out);
    std::string issues;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, complaint)) issues += line + "\n";
    return issues;
}

// Every reader opens the store without complaint. Returns pypff's listing.
// pst-extractor's recipient lines go to `recipients` when it is given.
std::vector<std::string> readAll(const fs::path& pst, bool exportAll = true,
                                 std::vector<std::string>* recipients = nullptr) {
    // A reader's output, which must say nothing of a fault (`scan`: a listing of
    // the store's own words may).
    auto read = [&](const std::string& reader, bool scan = true) {
        Run r = run(reader + " '" + pst.string() + "'");
        EXPECT_EQ(r.status, 0) << reader << "\n" << r.out.substr(0, 4000);
        EXPECT_EQ(scan ? readerIssues(r.out) : "", "") << reader;
        return r.out;
    };
    read("pffinfo");
    const fs::path rp = scratch("readpst-out");
    fs::create_directories(rp);
    read("readpst -D -j 0 -o '" + rp.string() + "'");
    if (exportAll) read("pffexport -q -m all -t '" + scratch("pffexport-out").string() + "'");
    read("'" TP_BINARY_DIR "/bin/pstcheck' --shape", false);
    std::vector<std::string> lines;
    std::istringstream in(
        read("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/pst/pst_read.py'", false));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    // pst-extractor reads every folder, message, recipient and attachment alike.
    std::vector<std::string> extracted;
    Run x = extractorRead(pst, extracted, recipients);
    EXPECT_EQ(x.status, 0) << x.out.substr(0, 4000);
    EXPECT_EQ(extractorDiffers(extracted, lines), "");
    return lines;
}

// A store of `folders`, each with its messages, written and closed.
void writeStore(const fs::path& p,
                const std::vector<std::pair<std::string, std::vector<Message>>>& folders,
                const std::string& name = "Test Store") {
    std::string err;
    auto s = Store::create(p, name, err);
    ASSERT_TRUE(s) << err;
    for (const auto& [folder, messages] : folders) {
        auto f = s->addFolder(folder, err);
        ASSERT_TRUE(f) << err;
        for (const Message& m : messages) ASSERT_TRUE(s->addMessage(*f, m, err)) << err;
    }
    ASSERT_TRUE(s->close(err)) << err;
}

// What the last readAll's readpst wrote for `folder`, and where its pffexport put
// the first message of `folder`.
std::string readpstMbox(const std::string& folder) {
    return readBytes(tp::test::programScratch() / "readpst-out" / (folder + ".mbox"));
}
fs::path exportedMessage(const std::string& folder) {
    return tp::test::programScratch() / "pffexport-out.export" / "Top of Personal Folders" /
           folder / "Message00001";
}

// The line of `lines` (pypff's listing) that holds `part`, or "".
std::string lineWith(const std::vector<std::string>& lines, const std::string& part) {
    for (const auto& l : lines)
        if (l.find(part) != std::string::npos) return l;
    return "";
}

}  // namespace

TEST(PstStore, CreateNeverOverwritesAndUnclosedStoreIsNotValid) {
    fs::path p = scratch("exists.pst");
    tp::test::writeBytes(p, "precious");
    std::string err;
    EXPECT_FALSE(Store::create(p, "X", err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(readBytes(p), "precious");

    // A run cut short: messages written, close() never called.
    fs::path cut = scratch("cut.pst");
    {
        auto s = Store::create(cut, "Cut", err);
        ASSERT_TRUE(s) << err;
        auto f = s->addFolder("Inbox", err);
        ASSERT_TRUE(f) << err;
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(s->addMessage(*f, simpleMessage("m", "b"), err)) << err;
    }
    EXPECT_NE(readBytes(cut).substr(0, 4), "!BDN");
    EXPECT_NE(run("pffinfo '" + cut.string() + "'").status, 0);
}

// One store of every kind of message, read back by every reader: recipients,
// a file, an attached message, an empty file (zero bytes to every reader, not
// one without data: its data is a heap item of length zero, never HID 0) and
// names in Chinese, Greek and emoji. Empty strings are left out rather than
// stored as references to nothing (pstcheck --shape).
TEST(PstStore, MessagesOfEveryKindRoundTripThroughEveryReader) {
    fs::path p = scratch("kinds.pst");
    std::string err;
    auto s = Store::create(p, "Αρχείο 邮件", err);
    ASSERT_TRUE(s) << err;
    auto inbox = s->addFolder("Inbox", err);
    ASSERT_TRUE(inbox) << err;
    EXPECT_EQ(s->findFolder("Inbox"), inbox);
    EXPECT_EQ(s->findFolder("\\\\Αρχείο 邮件\\Inbox"), inbox);
    EXPECT_FALSE(s->findFolder("Nope"));
    std::string body = "First line\r\nSecond line with more words\r\n";
    Message m = simpleMessage("Quarterly report", body, 3);
    m.props.set(0x0E03001F, std::string());  // an empty DisplayCc from the mail
    Binary bytes(5000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 31 + 7);
    m.attachments.push_back(fileAttachment("report.pdf", bytes));
    Attachment fwd;
    fwd.props.set(kDisplayName, std::string("Forwarded note"));
    fwd.embedded = std::make_shared<Message>(simpleMessage("Forwarded note", "inner body"));
    m.attachments.push_back(fwd);
    ASSERT_TRUE(s->addMessage(*inbox, m, err)) << err;
    Message files = simpleMessage("Empty file", "see the files");
    files.attachments.push_back(fileAttachment("empty.txt", {}));
    files.attachments.push_back(fileAttachment("one.txt", Binary(1, 'x')));
    auto filesFolder = s->addFolder("Files", err);
    ASSERT_TRUE(filesFolder && s->addMessage(*filesFolder, files, err)) << err;
    const std::vector<std::string> names = {"收件箱", "Εισερχόμενα", "Post 📬 box"};
    for (const auto& n : names) {
        auto f = s->addFolder(n, err);
        ASSERT_TRUE(f &&
                    s->addMessage(*f, simpleMessage(n + " ✓ 主题 Θέμα 🎉", "κείμενο 正文 😀"), err))
            << err;
    }
    ASSERT_TRUE(s->close(err)) << err;
    EXPECT_FALSE(s->addMessage(*inbox, m, err));

    std::vector<std::string> recipients;
    const auto lines = readAll(p, true, &recipients);
    // pst-extractor: a recipient with its type, name and address.
    EXPECT_NE(std::find(recipients.begin(), recipients.end(),
                        "R\t/Top of Personal Folders/Inbox\tQuarterly report\t2\tRecipient "
                        "1\tr1@example.org"),
              recipients.end());
    const std::string msg = lineWith(lines, "M\t/Top of Personal Folders/Inbox\t");
    EXPECT_NE(msg.find("\tQuarterly report\t" + sha1Prefix(body) + "\t2\t"), std::string::npos)
        << msg;
    EXPECT_NE(msg.find("5000:" + sha1Prefix(std::string(bytes.begin(), bytes.end()))),
              std::string::npos)
        << msg;

    const std::string empty = lineWith(lines, "\tEmpty file\t");
    EXPECT_NE(empty.find("\t2\t0:" + sha1Prefix("") + " 1:" + sha1Prefix("x")), std::string::npos)
        << empty;
    const fs::path ex = exportedMessage("Files") / "Attachments" / "1_empty.txt";
    EXPECT_TRUE(fs::is_regular_file(ex) && fs::file_size(ex) == 0u);
    // readpst reads the message and its other file; it leaves out an attachment
    // without bytes, whichever way they are stored.
    EXPECT_NE(readpstMbox("Files").find("filename=\"one.txt\""), std::string::npos);

    // libpff's Python binding mangles characters outside the BMP, so the names are
    // checked through readpst, which writes one file per folder and the subject as
    // an RFC 2047 word.
    for (const auto& n : names) {
        const std::string text = readpstMbox(n);
        EXPECT_NE(text.find("Subject: =?utf-8?B?" + base64(n + " ✓ 主题 Θέμα 🎉") + "?="),
                  std::string::npos)
            << n << "\n"
            << text.substr(0, 400);
    }
}

// Sizes past one block of each structure: a 20 MB attachment (a data tree),
// 3000 recipients, 400 attachments (more subnodes than one SLBLOCK holds).
TEST(PstStore, LargeAttachmentAndThreeThousandRecipients) {
    fs::path p = scratch("big.pst");
    Message m = simpleMessage("Big one", "see attached", 3000);
    Binary data(20u << 20);
    std::uint32_t x = 12345;
    for (auto& b : data) b = std::uint8_t((x = x * 1103515245 + 12345) >> 16);
    m.attachments.push_back(fileAttachment("video.bin", data));
    Message many = simpleMessage("Many parts", "x");
    for (int i = 0; i < 400; ++i)
        many.attachments.push_back(
            fileAttachment("part" + std::to_string(i) + ".txt", Binary(100, std::uint8_t(i))));
    writeStore(p, {{"Big", {m, many}}});
    EXPECT_LT(fs::file_size(p), std::uintmax_t(data.size()) * 13 / 10);

    std::vector<std::string> recipients;
    auto lines = readAll(p, true, &recipients);
    std::set<std::string> bigOnes;
    for (const auto& r : recipients)
        if (r.find("\tBig one\t") != std::string::npos) bigOnes.insert(r);
    EXPECT_EQ(bigOnes.size(), 3000u);
    EXPECT_NE(lineWith(lines, std::to_string(data.size()) + ":" +
                                  sha1Prefix(std::string(data.begin(), data.end()))),
              "");
    const std::string manyLine = lineWith(lines, "\tMany parts\t");
    EXPECT_NE(manyLine.find("\t400\t"), std::string::npos);
    EXPECT_NE(manyLine.find("100:" + sha1Prefix(std::string(100, char(399 % 256)))),
              std::string::npos);
}

// 10,000 messages: a contents table and trees of several levels. pffexport is
// left out here: it takes minutes over that many messages.
TEST(PstStore, EmptyFolderNextToTenThousandMessages) {
    fs::path p = scratch("tenk.pst");
    std::vector<Message> messages;
    for (int i = 0; i < 10000; ++i)
        messages.push_back(
            simpleMessage("Message " + std::to_string(i), "body " + std::to_string(i)));
    writeStore(p, {{"Empty", {}}, {"Full", messages}});
    auto lines = readAll(p, false);
    std::set<std::string> subjects;
    for (const auto& l : lines)
        if (l.rfind("M\t/Top of Personal Folders/Full\t", 0) == 0)
            subjects.insert(l.substr(0, l.find('\t', 32)));
    EXPECT_EQ(subjects.size(), 10000u);
}

namespace {

// What the store file held at each flush that followed a write (the close
// arrives as a flush too, right after the last one).
struct SyncRecorder : tp::io::FaultInjector {
    std::vector<std::string> flushed;
    bool wrote = false;
    SyncRecorder() { tp::io::setFaultInjector(this); }
    ~SyncRecorder() override { tp::io::setFaultInjector(nullptr); }
    std::error_code before(tp::io::Op op, const fs::path& path, std::uint64_t) override {
        if (op == tp::io::Op::Write) wrote = true;
        if (op == tp::io::Op::Flush && wrote) {
            flushed.push_back(readBytes(path));
            wrote = false;
        }
        return {};
    }
};

}  // namespace

// A store cut short by a crash or a power cut never carries a header: the whole
// store reaches the disk first, then the header, then that reaches the disk too.
TEST(PstStore, HeaderReachesTheDiskOnlyAfterEverythingElse) {
    fs::path p = scratch("order.pst");
    Message m = simpleMessage("Message", std::string(3000, 'b'));
    m.attachments.push_back(fileAttachment("a.bin", Binary(20000, 'a')));
    SyncRecorder recorder;
    writeStore(p, {{"Inbox", std::vector<Message>(40, m)}});
    const std::string final = readBytes(p);
    const auto& flushed = recorder.flushed;
    ASSERT_GE(flushed.size(), 2u);
    EXPECT_TRUE(flushed.back() == final);
    // At the flush before, everything but the header was on disk, and no header.
    const std::string& early = flushed[flushed.size() - 2];
    EXPECT_EQ(early.substr(0, 0x4200), std::string(0x4200, '\0'));
    EXPECT_TRUE(early.compare(0x4200, std::string::npos, final, 0x4200, std::string::npos) == 0);
}

// The same messages at the same fixed clock give the same bytes: no time, key or
// byte of padding may come from anywhere else.
TEST(PstStore, SameInputAtTheSameClockGivesTheSameBytes) {
    std::vector<Message> messages;
    for (int i = 0; i < 300; ++i) {
        Message m = simpleMessage(i % 7 ? "Subject " + std::to_string(i) : "", "body", i % 4);
        if (i % 5 == 0) m.attachments.push_back(fileAttachment("empty.txt", {}));
        if (i % 11 == 0) {
            Attachment fwd;
            fwd.embedded = std::make_shared<Message>(simpleMessage("inner", "inner body"));
            m.attachments.push_back(fwd);
        }
        messages.push_back(m);
    }
    auto write = [&](const fs::path& p) {
        writeStore(p, {{"Inbox", messages}}, "Reproducible");
        return readBytes(p);
    };
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    std::string a = write(scratch("same-a.pst"));
    std::string b = write(scratch("same-b.pst"));
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_TRUE(a == b);
    // A third store without the fixed clock gets a key of its own.
    std::string c = write(scratch("same-c.pst"));
    EXPECT_FALSE(a == c);
}

// A message with more properties than one BTH leaf holds (447) keeps its heap's
// root first. readpst and pst-extractor read no property context of two BTH
// levels (whoever wrote it), so this one is read with libpff and pstcheck.
TEST(PstStore, MessageWithSixHundredProperties) {
    fs::path p = scratch("wide.pst");
    Message m = simpleMessage("Six hundred", "many values");
    for (std::uint16_t i = 0; i < 600; ++i)
        m.props.set(makeTag(std::uint16_t(0x6000 + i), i % 2 ? PropType::Int32 : PropType::String),
                    i % 2 ? PropData(std::int32_t(i)) : PropData("value " + std::to_string(i)));
    writeStore(p, {{"Wide", {m}}});
    pst_test::Run check =
        run("'" TP_BINARY_DIR "/bin/pstcheck' --shape --dump '" + p.string() + "'");
    EXPECT_EQ(check.status, 0) << check.out.substr(0, 2000);
    EXPECT_NE(check.out.find("0x62570003 = 599"), std::string::npos);
    EXPECT_NE(check.out.find("0x6256001F = \"value 598\""), std::string::npos);
    pst_test::Run py =
        run("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/pst/pst_read.py' '" + p.string() + "'");
    EXPECT_EQ(py.status, 0) << py.out;
    EXPECT_NE(
        py.out.find("M\t/Top of Personal Folders/Wide\tSix hundred\t" + sha1Prefix("many values")),
        std::string::npos)
        << py.out;
}
