// Stores written by our writer, read back by independent readers: libpff
// (pffinfo, pffexport, python3-pypff), libpst (readpst) and our own pstcheck.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
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

std::string readerIssues(const std::string& out) {
    std::istringstream in(out);
    std::string line, issues;
    while (std::getline(in, line)) {
        std::string low = line;
        for (auto& c : low) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (low.find("error") != std::string::npos || low.find("warning") != std::string::npos ||
            low.find("unable") != std::string::npos || low.find("corrupt") != std::string::npos)
            issues += line + "\n";
    }
    return issues;
}

// Every reader opens the store without complaint. Returns pypff's listing.
// pst-extractor's recipient lines go to `recipients` when it is given.
std::vector<std::string> readAll(const fs::path& pst, bool exportAll = true,
                                 std::vector<std::string>* recipients = nullptr) {
    std::vector<std::string> lines;
    Run info = run("pffinfo '" + pst.string() + "'");
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_EQ(readerIssues(info.out), "");
    fs::path rp = scratch("readpst-out");
    fs::create_directories(rp);
    Run r = run("readpst -D -j 0 -o '" + rp.string() + "' '" + pst.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readerIssues(r.out), "");
    // "... - N items done, M items skipped." per folder: nothing may be skipped.
    std::istringstream summary(r.out);
    for (std::string line; std::getline(summary, line);) {
        if (line.find("items skipped") != std::string::npos) {
            EXPECT_NE(line.find(", 0 items skipped"), std::string::npos) << line;
        }
    }
    if (exportAll) {
        fs::path ex = scratch("pffexport-out");
        Run e = run("pffexport -q -m all -t '" + ex.string() + "' '" + pst.string() + "'");
        EXPECT_EQ(e.status, 0) << e.out;
        EXPECT_EQ(readerIssues(e.out), "");
    }
    fs::path checker = fs::path(TP_BINARY_DIR) / "bin" / "pstcheck";
    if (fs::exists(checker)) {
        Run c = run("'" + checker.string() + "' --shape '" + pst.string() + "'");
        EXPECT_EQ(c.status, 0) << c.out.substr(0, 4000);
    }
    Run py =
        run("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/pst/pst_read.py' '" + pst.string() + "'");
    EXPECT_EQ(py.status, 0) << py.out.substr(0, 4000);
    std::istringstream in(py.out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    // pst-extractor reads every folder, message, recipient and attachment alike.
    std::vector<std::string> extracted;
    Run x = extractorRead(pst, extracted, recipients);
    EXPECT_EQ(x.status, 0) << x.out.substr(0, 4000);
    EXPECT_EQ(extractorDiffers(extracted, lines), "");
    return lines;
}

// The lines of an mbox file that start "From ".
std::size_t mboxMessages(const std::string& text) {
    std::size_t n = text.rfind("From ", 0) == 0;
    for (std::size_t at = 0; (at = text.find("\nFrom ", at)) != std::string::npos; ++at) ++n;
    return n;
}

std::map<std::string, int> folderCounts(const std::vector<std::string>& lines) {
    std::map<std::string, int> m;
    for (const auto& l : lines)
        if (l.rfind("F\t", 0) == 0) {
            auto tab = l.rfind('\t');
            m[l.substr(2, tab - 2)] = std::stoi(l.substr(tab + 1));
        }
    return m;
}

std::unique_ptr<Store> newStore(const fs::path& p, const std::string& name = "Test Store") {
    std::string err;
    auto s = Store::create(p, name, err);
    EXPECT_TRUE(s) << err;
    return s;
}

// A store of `folders`, each with its messages, written and closed.
void writeStore(const fs::path& p,
                const std::vector<std::pair<std::string, std::vector<Message>>>& folders,
                const std::string& name = "Test Store") {
    auto s = newStore(p, name);
    ASSERT_TRUE(s);
    std::string err;
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

TEST(PstStore, EmptyStoreHasTheMinimumHierarchy) {
    fs::path p = scratch("empty.pst");
    writeStore(p, {});
    auto counts = folderCounts(readAll(p));
    EXPECT_TRUE(counts.count("/Top of Personal Folders"));
    EXPECT_TRUE(counts.count("/Top of Personal Folders/Deleted Items"));
    EXPECT_TRUE(counts.count("/Search Root"));
    EXPECT_EQ(fs::file_size(p) % 512, 0u);
}

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
        auto s = newStore(cut);
        auto f = s->addFolder("Inbox", err);
        ASSERT_TRUE(f);
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(s->addMessage(*f, simpleMessage("m", "b"), err)) << err;
    }
    EXPECT_NE(readBytes(cut).substr(0, 4), "!BDN");
    EXPECT_NE(run("pffinfo '" + cut.string() + "'").status, 0);
}

TEST(PstStore, OneMessageRoundTripsThroughEveryReader) {
    fs::path p = scratch("one.pst");
    auto s = newStore(p, "My Mail");
    std::string err;
    auto inbox = s->addFolder("Inbox", err);
    ASSERT_TRUE(inbox) << err;
    EXPECT_EQ(s->findFolder("Inbox"), inbox);
    EXPECT_EQ(s->findFolder("\\\\My Mail\\Inbox"), inbox);
    EXPECT_FALSE(s->findFolder("Nope"));
    std::string body = "First line\r\nSecond line with more words\r\n";
    Message m = simpleMessage("Quarterly report", body, 3);
    Binary bytes(5000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 31 + 7);
    m.attachments.push_back(fileAttachment("report.pdf", bytes));
    Attachment fwd;
    fwd.props.set(kDisplayName, std::string("Forwarded note"));
    fwd.embedded = std::make_shared<Message>(simpleMessage("Forwarded note", "inner body"));
    m.attachments.push_back(fwd);
    ASSERT_TRUE(s->addMessage(*inbox, m, err)) << err;
    ASSERT_TRUE(s->close(err)) << err;
    EXPECT_FALSE(s->addMessage(*inbox, m, err));

    std::vector<std::string> extracted;
    const std::string msg =
        lineWith(readAll(p, true, &extracted), "M\t/Top of Personal Folders/Inbox\t");
    // pst-extractor: the three recipients with their types, names and addresses.
    EXPECT_EQ(extracted.size(), 3u);  // the embedded message is not opened
    EXPECT_NE(std::find(extracted.begin(), extracted.end(),
                        "R\t/Top of Personal Folders/Inbox\tQuarterly report\t2\tRecipient "
                        "1\tr1@example.org"),
              extracted.end());
    EXPECT_NE(msg.find("\tQuarterly report\t" + sha1Prefix(body) + "\t2\t"), std::string::npos)
        << msg;
    EXPECT_NE(msg.find("5000:" + sha1Prefix(std::string(bytes.begin(), bytes.end()))),
              std::string::npos)
        << msg;
    // readpst: the message, its three recipients and the attachment bytes.
    const std::string text = readpstMbox("Inbox");
    EXPECT_NE(text.find("Subject: Quarterly report"), std::string::npos);
    EXPECT_NE(text.find("Second line with more words"), std::string::npos);
    EXPECT_NE(text.find("Recipient 2"), std::string::npos);
}

TEST(PstStore, NamesInChineseGreekAndEmoji) {
    fs::path p = scratch("unicode.pst");
    const std::vector<std::string> names = {"收件箱", "Εισερχόμενα", "Post 📬 box"};
    std::vector<std::pair<std::string, std::vector<Message>>> folders;
    for (const auto& n : names)
        folders.push_back({n, {simpleMessage(n + " ✓ 主题 Θέμα 🎉", "κείμενο 正文 😀")}});
    // An 8-bit body in UTF-8 (code page 65001) keeps text at one byte a character.
    const Message plain = simpleMessage("Eight-bit body", "");
    Message e;
    for (const auto& prop : plain.props.all())
        if (prop.tag != kBody) e.props.set(prop.tag, prop.value);
    e.props.set(makeTag(0x1000, PropType::String8), std::string("Text κείμενο 正文 😀 end"));
    e.props.set(0x3FFD0003, std::int32_t(65001));
    e.props.set(0x3FDE0003, std::int32_t(65001));
    folders.push_back({"Eight", {e}});
    writeStore(p, folders, "Αρχείο 邮件");
    auto lines = readAll(p);
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
    EXPECT_EQ(folderCounts(lines)["/Top of Personal Folders/Εισερχόμενα"], 1);
    const std::string text = readpstMbox("Eight");
    EXPECT_NE(text.find("Text κείμενο 正文 😀 end"), std::string::npos) << text.substr(0, 600);
    EXPECT_NE(lineWith(lines, "\tEight-bit body\t" + sha1Prefix("Text κείμενο 正文 😀 end")), "");
}

TEST(PstStore, LargeAttachmentAndThreeThousandRecipients) {
    fs::path p = scratch("big.pst");
    Message m = simpleMessage("Big one", "see attached", 3000);
    Binary data(20u << 20);
    std::uint32_t x = 12345;
    for (auto& b : data) b = std::uint8_t((x = x * 1103515245 + 12345) >> 16);
    m.attachments.push_back(fileAttachment("video.bin", data));
    // 400 attachments: more subnodes than one SLBLOCK holds.
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

TEST(PstStore, EmptyFolderNextToTenThousandMessages) {
    fs::path p = scratch("tenk.pst");
    std::vector<Message> messages;
    for (int i = 0; i < 10000; ++i)
        messages.push_back(
            simpleMessage("Message " + std::to_string(i), "body " + std::to_string(i)));
    writeStore(p, {{"Empty", {}}, {"Full", messages}});
    auto lines = readAll(p, false);
    auto counts = folderCounts(lines);
    EXPECT_EQ(counts["/Top of Personal Folders/Empty"], 0);
    EXPECT_EQ(counts["/Top of Personal Folders/Full"], 10000);
    std::set<std::string> subjects;
    for (const auto& l : lines)
        if (l.rfind("M\t/Top of Personal Folders/Full\t", 0) == 0)
            subjects.insert(l.substr(0, l.find('\t', 32)));
    EXPECT_EQ(subjects.size(), 10000u);
    EXPECT_EQ(mboxMessages(readpstMbox("Full")), 10000u);
    EXPECT_EQ(mboxMessages(readpstMbox("Empty")), 0u);
}

namespace {

// The store file's writes and flushes in order (both reach the one fault seam),
// and what the file held at each flush.
struct SyncRecorder : tp::io::FaultInjector {
    struct Event {
        bool sync = false;
        std::uint64_t bytes = 0;  // of a write
        std::string file;         // at a flush
    };
    std::vector<Event> events;
    SyncRecorder() { tp::io::setFaultInjector(this); }
    ~SyncRecorder() override { tp::io::setFaultInjector(nullptr); }
    std::error_code before(tp::io::Op op, const fs::path& path, std::uint64_t bytes) override {
        if (op == tp::io::Op::Write) events.push_back({false, bytes, {}});
        // The close arrives as a flush too: one right after another is the same
        // state of the file.
        if (op == tp::io::Op::Flush && (events.empty() || !events.back().sync)) {
            events.push_back({true, 0, readBytes(path)});
        }
        return {};
    }
};

}  // namespace

// A store cut short by a crash or a power cut never carries a header: the whole
// store reaches the disk first, then the header, then that reaches the disk too.
TEST(PstStore, HeaderReachesTheDiskOnlyAfterEverythingElse) {
    fs::path p = scratch("order.pst");
    std::vector<Message> messages;
    for (int i = 0; i < 40; ++i) {
        messages.push_back(simpleMessage("Message " + std::to_string(i), std::string(3000, 'b')));
        messages.back().attachments.push_back(
            fileAttachment("a.bin", Binary(20000, std::uint8_t(i))));
    }
    SyncRecorder recorder;
    writeStore(p, {{"Inbox", messages}});
    const std::string final = readBytes(p);
    const auto& ev = recorder.events;
    std::vector<std::size_t> syncs;
    for (std::size_t i = 0; i < ev.size(); ++i)
        if (ev[i].sync) syncs.push_back(i);
    ASSERT_GE(syncs.size(), 2u);
    const std::size_t dataSync = syncs[syncs.size() - 2], headerSync = syncs.back();
    // Between the two syncs the header alone is written; nothing after the last.
    ASSERT_EQ(headerSync - dataSync, 2u);
    EXPECT_EQ(ev[dataSync + 1].bytes, 0x4200u);
    EXPECT_EQ(headerSync, ev.size() - 1);
    // At the first, everything but the header was on disk, and no header.
    const std::string& early = ev[dataSync].file;
    ASSERT_EQ(early.size(), final.size());
    EXPECT_EQ(early.substr(0, 0x4200), std::string(0x4200, '\0'));
    EXPECT_TRUE(early.compare(0x4200, std::string::npos, final, 0x4200, std::string::npos) == 0);
    EXPECT_TRUE(ev[headerSync].file == final);
    EXPECT_EQ(final.substr(0, 4), "!BDN");
}

// An empty file is an attachment of zero bytes to every reader, not one without
// data: its data is a heap item of length zero, never HID 0.
TEST(PstStore, EmptyAttachmentIsZeroBytesToEveryReader) {
    fs::path p = scratch("empty-attachment.pst");
    Message m = simpleMessage("Empty file", "see the files");
    m.attachments.push_back(fileAttachment("empty.txt", {}));
    m.attachments.push_back(fileAttachment("one.txt", Binary(1, 'x')));
    writeStore(p, {{"Inbox", {m}}});
    // pstcheck --shape and pst-extractor among the readers
    const std::string msg = lineWith(readAll(p), "\tEmpty file\t");
    EXPECT_NE(msg.find("\t2\t0:" + sha1Prefix("") + " 1:" + sha1Prefix("x")), std::string::npos)
        << msg;
    const fs::path ex = exportedMessage("Inbox") / "Attachments";
    ASSERT_TRUE(fs::exists(ex / "1_empty.txt"));
    EXPECT_EQ(fs::file_size(ex / "1_empty.txt"), 0u);
    // readpst reads the message and its other file; it leaves out an attachment
    // without bytes, whichever way they are stored.
    const std::string text = readpstMbox("Inbox");
    EXPECT_NE(text.find("filename=\"one.txt\""), std::string::npos) << text;
}

// The same messages at the same fixed clock give the same bytes: no time, key or
// byte of padding may come from anywhere else. Empty strings and binaries are
// left out rather than stored as references to nothing.
TEST(PstStore, SameInputAtTheSameClockGivesTheSameBytes) {
    std::vector<Message> messages;
    for (int i = 0; i < 300; ++i) {
        Message m = simpleMessage(i % 7 ? "Subject " + std::to_string(i) : "", "body", i % 4);
        m.props.set(0x0E03001F, std::string());  // an empty DisplayCc from the mail
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
    const fs::path pa = scratch("same-a.pst");
    std::string a = write(pa);
    std::string b = write(scratch("same-b.pst"));
    ::unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_GT(a.size(), 0u);
    EXPECT_TRUE(a == b) << "the two stores differ first at byte "
                        << std::distance(
                               a.begin(),
                               std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first);
    auto lines = readAll(pa);
    EXPECT_EQ(folderCounts(lines)["/Top of Personal Folders/Inbox"], 300);
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
