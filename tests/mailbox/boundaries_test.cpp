// Where messages begin and end: realistic mailboxes built here (multipart,
// forwarded, bounces, folded and long headers, signatures that look like fields,
// every line-end style, NULs), randomised mailboxes checked against the starts the
// generator knows, fuzzed input checked for the partition invariant, hostile input,
// and a sparse file past 4 GB.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "finder/scanner.h"
#include "mailbox/boundaries.h"
#include "support/support.h"

namespace fs = std::filesystem;
using tp::convert::findMessages;
using tp::convert::MailboxFile;
using tp::convert::Partition;

namespace {

const std::string kHit = "MIME-Version: 1.0";

class BoundariesTest : public ::testing::Test {
  protected:
    tp::test::ScratchDir scratch;
    const fs::path dir = scratch.path();

    fs::path write(const std::string& bytes, const std::string& name = "box.imm") {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
};

// The lines the finder needs, listed from the bytes the scanner reads (as a run
// lists them).
struct LineLister : tp::finder::ScannerObserver {
    void bytesRead(std::uint64_t offset, std::string_view bytes) override {
        indexer.add(offset, bytes.data(), bytes.size());
    }
    tp::convert::LineStartIndexer indexer;
};

// The hits as the conversion run gets them: from the scanner.
std::vector<std::uint64_t> scanHits(const fs::path& p, tp::convert::LineStarts* lines = nullptr) {
    LineLister lister;
    const tp::finder::SearchResult found = tp::finder::findAll(p.string(), kHit, &lister);
    if (lines) *lines = lister.indexer.finish(found.fileSize);
    return found.offsets;
}

// Leading bytes plus the messages, in order, cover the file without gap or overlap.
void expectPartition(const Partition& part, std::uint64_t size) {
    std::uint64_t at = part.leadingBytes;
    for (const auto& m : part.messages) {
        ASSERT_EQ(m.begin, at) << "gap or overlap";
        ASSERT_LT(m.begin, m.end) << "empty message";
        at = m.end;
    }
    ASSERT_EQ(at, size);
    if (part.messages.empty()) {
        ASSERT_EQ(part.leadingBytes, size);
    }
}

std::string describe(const Partition& p) {
    std::string out = "leading " + std::to_string(p.leadingBytes) +
                      (p.leadingHasContent ? " with content\n" : "\n");
    for (const auto& m : p.messages)
        out += std::to_string(m.begin) + "-" + std::to_string(m.end) + "\n";
    for (const auto& d : p.doubts)
        out +=
            "doubt " + std::to_string(d.offset) + (d.split ? " split " : " kept ") + d.why + "\n";
    return out + (p.error ? "error " + p.error.message() : "");
}

// Every way of finding the messages gives the same partition: the finder listing
// the lines it needs itself, the lines listed while the scanner read the file,
// and two threads meeting halfway (split at the first, middle and last hits).
Partition analyse(const fs::path& p, std::vector<std::uint64_t> hits = {}, bool scan = true,
                  bool everyWay = true) {
    tp::convert::LineStarts lines;
    if (scan) hits = scanHits(p, &lines);
    MailboxFile f;
    EXPECT_FALSE(f.open(p));
    Partition part = findMessages(f, hits);
    EXPECT_FALSE(part.error);
    expectPartition(part, f.size());
    const std::string expected = describe(part);
    if (!everyWay) return part;
    if (scan) {
        EXPECT_EQ(describe(findMessages(f, hits, &lines)), expected) << "lines from the scan";
    }
    for (const std::size_t split : {std::size_t{1}, hits.size() / 2, hits.size() - 1}) {
        if (split == 0 || split >= hits.size()) continue;
        EXPECT_EQ(describe(tp::convert::findMessagesInTwo(f, hits, scan ? &lines : nullptr, split)),
                  expected)
            << "two threads meeting after hit " << split << " of " << hits.size();
    }
    return part;
}

std::vector<std::uint64_t> starts(const Partition& p) {
    std::vector<std::uint64_t> out;
    for (const auto& m : p.messages) out.push_back(m.begin);
    return out;
}

// Builds mailboxes line by line with a chosen line end; remembers where each
// message was put.
struct Box {
    std::string eol = "\r\n";
    std::string bytes;
    std::vector<std::uint64_t> starts;
    void begin() { starts.push_back(bytes.size()); }
    Box& line(const std::string& l) {
        bytes += l;
        bytes += eol;
        return *this;
    }
};

struct Gen {
    std::mt19937 rng;
    explicit Gen(unsigned seed) : rng(seed) {}
    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
    std::string words(int n) {
        static const char* w[] = {"the",           "mail",    "from",    "to", "date",
                                  "tel",           "subject", "meeting", "at", "noon",
                                  "MIME-Version:", "1.0",     "--",      "x:"};
        std::string s;
        for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::string(w[pick(14)]);
        return s;
    }

    void headers(Box& b, int n, const std::string& contentType) {
        // Always begins with a field that mail uses.
        static const char* first[] = {"Return-Path: <ann@example.org>",
                                      "Received: from a by b",
                                      "From: Ann <ann@example.org>",
                                      "X-Mailer: IncrediMail",
                                      "Delivered-To: bob@example.net",
                                      "Thread-Topic: plans",
                                      "MIME-Version: 1.0"};
        const int f = pick(7);
        b.line(first[f]);
        if (pick(2)) b.line("\tby mx.example.org; Tue, 1 Jan 2008 10:00:00 +0000");  // folded
        for (int i = 0; i < n; ++i) b.line("X-Extra-" + std::to_string(i) + ": " + words(3));
        b.line("Subject: " + words(4));
        if (f != 6) b.line(kHit);
        b.line("Content-Type: " + contentType);
        b.line("");
    }
    void body(Box& b) {
        for (int i = pick(6); i >= 0; --i) {
            std::string l = words(1 + pick(9));
            if (pick(10) == 0) l += " MIME-Version: 1.0 inside a line";
            if (pick(20) == 0) l += std::string(2, '\0');
            if (!l.empty() && (l[0] == 'M' || l.find(':') != std::string::npos))
                l = "> " + l;  // no body line looks like a header line of its own
            b.line(l);
        }
        if (pick(3) == 0) b.line("Tel: +1 555 0100").line("Web: example.org");
    }
    // One message of a random kind; returns nothing, records its start.
    void message(Box& b) {
        b.begin();
        const int kind = pick(5);
        if (kind == 0) {  // plain text
            headers(b, pick(3), "text/plain");
            body(b);
        } else if (kind == 1 || kind == 2) {  // forwarded message or bounce
            const std::string bnd = "b" + std::to_string(rng());
            headers(b, pick(3),
                    (kind == 1 ? "multipart/mixed;" : "multipart/report; report-type=x;") +
                        std::string(" boundary=\"") + bnd + "\"");
            b.line("This is a multi-part message.").line("");
            b.line("--" + bnd).line("Content-Type: text/plain").line("");
            body(b);
            b.line("--" + bnd).line("Content-Type: message/rfc822").line("");
            Box inner;  // an inner message with its own MIME-Version line
            inner.eol = b.eol;
            headers(inner, pick(2), "text/plain");
            body(inner);
            b.bytes += inner.bytes;
            b.line("--" + bnd + "--");
            if (pick(2)) b.line("epilogue");
        } else if (kind == 3) {  // a long header block
            headers(b, 200 + pick(200), "text/plain");
            body(b);
        } else {  // multipart whose closing line never comes
            const std::string bnd = "u" + std::to_string(rng());
            headers(b, 0, "multipart/alternative; boundary=" + bnd);
            b.line("--" + bnd).line("Content-Type: text/plain").line("");
            body(b);
        }
    }
};

}  // namespace

TEST_F(BoundariesTest, RealisticMailboxesSplitWhereTheMessagesBegin) {
    const char* eols[] = {"\r\n", "\n", "\r"};
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Gen g(seed);
        Box b;
        b.eol = eols[seed % 3];
        bool junk = false;
        switch (g.pick(4)) {
            case 0:
                b.bytes = b.eol + b.eol + std::string(3, '\0') + b.eol;
                break;
            case 1:
                b.line("some stray text before the first message").line("");
                junk = true;
                break;
            default:
                break;
        }
        const int n = 1 + g.pick(25);
        for (int i = 0; i < n; ++i) g.message(b);
        const Partition p = analyse(write(b.bytes));
        ASSERT_EQ(starts(p), b.starts) << "seed " << seed;
        EXPECT_EQ(p.leadingHasContent, junk) << "seed " << seed;
    }
}

TEST_F(BoundariesTest, PartitionHoldsOnFuzzedInput) {
    // Fragments that matter to the rules, in random order and line ends.
    const std::string frags[] = {"MIME-Version: 1.0",
                                 "Content-Type: multipart/mixed; boundary=q",
                                 "--q",
                                 "--q--",
                                 "",
                                 "From: a",
                                 "Tel: 1",
                                 " folded",
                                 "x MIME-Version: 1.0",
                                 "body text",
                                 "Content-Type: multipart/mixed; boundary=\"r\"",
                                 "--r",
                                 "--r--",
                                 std::string("\0\0", 2)};
    const char* eols[] = {"\r\n", "\n", "\r", ""};
    std::mt19937 rng(99);
    for (int round = 0; round < 400; ++round) {
        std::string bytes;
        const int lines = 1 + static_cast<int>(rng() % 80);
        for (int i = 0; i < lines; ++i) {
            bytes += frags[rng() % 14];
            bytes += eols[rng() % 4];
        }
        const fs::path p = write(bytes);
        const Partition part = analyse(p);
        // Every message begins at a line start and holds a hit that begins its line.
        for (const auto& m : part.messages) {
            ASSERT_TRUE(m.begin == 0 || bytes[m.begin - 1] == '\n' || bytes[m.begin - 1] == '\r');
            bool holds = false;
            for (auto pos = bytes.find(kHit, m.begin); pos != std::string::npos && pos < m.end;
                 pos = bytes.find(kHit, pos + 1))
                if (pos == 0 || bytes[pos - 1] == '\n' || bytes[pos - 1] == '\r') holds = true;
            ASSERT_TRUE(holds) << "round " << round;
        }
    }
}

TEST_F(BoundariesTest, WhereAMessageBegins) {
    // A signature that looks like fields stays with the letter it ends.
    Box b;
    b.begin();
    b.line("From: a")
        .line(kHit)
        .line("")
        .line("Regards")
        .line("Tel: +1 555 0100")
        .line("Web: example.org");
    b.begin();
    b.line("Return-Path: <x@y>")
        .line("Received: from a")
        .line(" by b")
        .line(kHit)
        .line("")
        .line("hi");
    EXPECT_EQ(starts(analyse(write(b.bytes))), b.starts);

    // A hit inside a line, or a line that merely contains it, is no boundary; a hit
    // at a line start in a plain body is one.
    const std::string plain =
        "From: a\r\nMIME-Version: 1.0\r\n\r\nsee MIME-Version: 1.0\r\nMIME-Version: 1.0\r\nok\r\n";
    EXPECT_EQ(starts(analyse(write(plain))), (std::vector<std::uint64_t>{0, 53}));

    // One header block is one message, however many "MIME-Version: 1.0" lines it
    // holds; the next block after an empty line is the next message.
    const std::string twice =
        "From: a\r\nMIME-Version: 1.0\r\nSubject: s\r\n folded\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=tw\r\nMIME-Version: 1.0\r\n\r\n--tw\r\n"
        "Content-Type: text/plain\r\n\r\none\r\n--tw--\r\n";
    const std::string after = "From: b\r\nMIME-Version: 1.0\r\n\r\ntwo\r\n";
    EXPECT_EQ(starts(analyse(write(twice + after))), (std::vector<std::uint64_t>{0, twice.size()}));
    const std::string adjacent = "MIME-Version: 1.0\r\nSubject: a\r\nMIME-Version: 1.0\r\n\r\nx";
    EXPECT_EQ(starts(analyse(write(adjacent))), (std::vector<std::uint64_t>{0}));

    // Obsolete syntax with blanks before the colon is a header line like any other.
    const std::string first = "From: a\r\nMIME-Version: 1.0\r\n\r\none\r\n\r\n";
    const std::string obs =
        "Subject : two\r\nFrom\t: b\r\nTo: c\r\nMIME-Version: 1.0\r\n\r\nbody\r\n";
    EXPECT_EQ(starts(analyse(write(first + obs))), (std::vector<std::uint64_t>{0, first.size()}));

    // Unknown fields and continuation lines at the top of the block are dropped.
    const std::string top = "x\r\n\r\nFoo: 1\r\n cont\r\nDate: now\r\nMIME-Version: 1.0\r\n\r\nb";
    const Partition p = analyse(write(top));
    EXPECT_EQ(starts(p), std::vector<std::uint64_t>{20});
    EXPECT_EQ(p.leadingBytes, 20u);
    EXPECT_TRUE(p.leadingHasContent);

    // No hit at all: everything is leading bytes.
    const Partition none = analyse(write("just text\r\n"));
    EXPECT_TRUE(none.messages.empty());
    EXPECT_EQ(none.leadingBytes, 11u);
}

TEST_F(BoundariesTest, MultipartBodiesKeepWhatTheyEnclose) {
    // A forwarded message is part of its outer message when the closing line follows.
    const std::string fwd =
        "From: a\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n boundary=\"=_b\"\r\n"
        "\r\n--=_b\r\nContent-Type: message/rfc822\r\n\r\nFrom: c\r\nMIME-Version: 1.0\r\n\r\n"
        "inner\r\n--=_b--\r\n";
    const std::string next = "From: d\r\nMIME-Version: 1.0\r\n\r\nnext\r\n";
    EXPECT_EQ(starts(analyse(write(fwd + next))), (std::vector<std::uint64_t>{0, fwd.size()}));
    // The same with the outer Content-Type above the "MIME-Version: 1.0" line.
    const std::string typedFirst =
        "From: a\r\nContent-Type: multipart/mixed;\r\n boundary=\"=_b\"\r\nMIME-Version: 1.0\r\n"
        "\r\n--=_b\r\nContent-Type: message/rfc822\r\n\r\nFrom: c\r\nMIME-Version: 1.0\r\n\r\n"
        "inner\r\n--=_b--\r\n";
    EXPECT_EQ(starts(analyse(write(typedFirst + next))),
              (std::vector<std::uint64_t>{0, typedFirst.size()}));

    // Never closed: the next message is not swallowed.
    const std::string open =
        "From: a\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n"
        "--zz\r\nContent-Type: text/plain\r\n\r\ncut off\r\n";
    EXPECT_EQ(starts(analyse(write(open + next + next))),
              (std::vector<std::uint64_t>{0, open.size(), open.size() + next.size()}));

    // A forwarded message whose enclosure closes only far away (past the direct
    // look-ahead, behind a large attachment): still one message.
    std::string far = fwd.substr(0, fwd.find("--=_b--"));
    far += "--=_b\r\nContent-Type: application/octet-stream\r\n\r\n" + std::string(20u << 20, 'x') +
           "\r\n--=_b--\r\n";
    EXPECT_EQ(starts(analyse(write(far + next))), (std::vector<std::uint64_t>{0, far.size()}));

    // Messages after a part that was cut off are messages of their own, though a
    // closing line of that boundary comes later: in a message that forwards the
    // cut one, or far away, or in a later whole copy of it.
    const std::string cut =
        "From: a\r\nSubject: cut\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"cc\"\r\n\r\n--cc\r\n"
        "Content-Type: text/plain\r\n\r\nsee the file\r\n--cc\r\n"
        "Content-Type: application/pdf; name=\"a.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKJcOkw7zDtsOfCjIgMCBvYmoKPDwvTGVu\r\n";
    const std::string whole = cut + "Z3RoIDMgMCBSPj4Kc3RyZWFtCg==\r\n--cc--\r\n";
    const std::string c = "From: c\r\nMIME-Version: 1.0\r\n\r\nthird\r\n";
    const std::string forward =
        "From: e\r\nSubject: Fwd: cut\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"ff\"\r\n\r\n--ff\r\n"
        "Content-Type: text/plain\r\n\r\nforwarded\r\n--ff\r\n"
        "Content-Type: message/rfc822\r\n\r\n" +
        whole + "--ff--\r\n";
    std::vector<std::uint64_t> want = {0, cut.size(), cut.size() + next.size(),
                                       cut.size() + next.size() + c.size()};
    EXPECT_EQ(starts(analyse(write(cut + next + c + forward))), want);
    EXPECT_EQ(starts(analyse(write(cut + next + c + whole))), want);
    const std::string distant = cut + next + std::string(20u << 20, 'x') + "\r\n--cc--\r\n";
    EXPECT_EQ(starts(analyse(write(distant))), (std::vector<std::uint64_t>{0, cut.size()}));

    // A message standing in a text part is no part that holds a message: it begins
    // a message of its own, and the rest of the outer message follows it; unless
    // the text introduces it as quoted, as "he wrote:" does.
    const std::string quoted =
        "From: a\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=qq\r\n\r\n"
        "--qq\r\nContent-Type: text/plain\r\n\r\nthe text part ends\r\n";
    EXPECT_EQ(starts(analyse(write(quoted + next + "--qq--\r\n"))),
              (std::vector<std::uint64_t>{0, quoted.size()}));
    EXPECT_EQ(starts(analyse(write(quoted + "he wrote:\r\n" + next + "--qq--\r\n"))),
              (std::vector<std::uint64_t>{0}));

    // The parts of a digest hold messages without a Content-Type of their own;
    // a bounce's headers part holds a header block.
    const std::string digest =
        "From: list\r\nMIME-Version: 1.0\r\nContent-Type: multipart/digest; boundary=dd\r\n"
        "\r\n--dd\r\n\r\n" +
        next + "--dd\r\n\r\n" + next + "--dd--\r\n";
    const std::string bounce =
        "From: daemon\r\nMIME-Version: 1.0\r\nContent-Type: multipart/report; "
        "report-type=delivery-status; boundary=rr\r\n\r\n--rr\r\nContent-Type: text/plain\r\n"
        "\r\nnot delivered\r\n--rr\r\nContent-Type: Text/RFC822-Headers\r\n"
        "Content-Description: the headers\r\n\r\nFrom: a\r\nMIME-Version: 1.0\r\n\r\n--rr--\r\n";
    EXPECT_EQ(starts(analyse(write(digest + bounce + next))),
              (std::vector<std::uint64_t>{0, digest.size(), digest.size() + bounce.size()}));

    // A closing line before the hit ends the enclosure.
    const std::string closed = open + "--zz--\r\n" + next;
    EXPECT_EQ(starts(analyse(write(closed))), (std::vector<std::uint64_t>{0, open.size() + 8}));
}

TEST_F(BoundariesTest, HostileInputStaysBounded) {
    // 100 MB without a line end, with hits inside it.
    std::string line(100u << 20, 'a');
    for (std::size_t at = 1000; at + 20 < line.size(); at += 7u << 20) line.replace(at, 17, kHit);
    Partition p = analyse(write(line));
    EXPECT_TRUE(p.messages.empty());
    EXPECT_TRUE(p.leadingHasContent);

    // A header block of 1 MB above the hit, and another that never ends.
    std::string big = "\r\n";
    for (int i = 0; i < 20000; ++i)
        big += "X-Filler-" + std::to_string(i) + ": 0123456789abcdef\r\n";
    big += kHit + "\r\n\r\nbody\r\n";
    std::string endless = big;
    for (int i = 0; i < 20000; ++i) endless += "Y: 0123456789abcdef0123456789abcdef\r\n";
    endless += kHit + "\r\n";
    for (int i = 0; i < 20000; ++i) endless += "Z: 0123456789abcdef0123456789abcdef\r\n";
    p = analyse(write(endless));
    ASSERT_EQ(p.messages.size(), 2u);
    EXPECT_EQ(p.messages[0].begin, 2u);

    // Many messages after a boundary that never closes.
    std::string many =
        "From: a\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=k\r\n\r\n--k\r\n";
    for (int i = 0; i < 5000; ++i) many += "From: b\r\nMIME-Version: 1.0\r\n\r\n--k\r\nx\r\n";
    p = analyse(write(many));
    EXPECT_EQ(p.messages.size(), 5001u);

    // Many multipart messages, none of them closed: each is a message of its own.
    std::string unclosed;
    for (int i = 0; i < 20000; ++i)
        unclosed += "From: b\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=k" +
                    std::to_string(i % 7) + "\r\n\r\n--k" + std::to_string(i % 7) + "\r\nx\r\n";
    p = analyse(write(unclosed));
    EXPECT_EQ(p.messages.size(), 20000u);
}

TEST_F(BoundariesTest, SparseFilePastFourGigabytes) {
    const fs::path path = dir / "huge.imm";
    const std::string m1 = "From: a\r\nMIME-Version: 1.0\r\n\r\nfirst\r\n\r\n";
    const std::string m2 = "From: b\r\nMIME-Version: 1.0\r\n\r\nsecond\r\n";
    const std::uint64_t size = 5ull << 30;
    const std::uint64_t at2 = (4ull << 30) + 4096;
    const std::uint64_t at3 = size - m2.size();
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        const std::string blank = "\r\n\r\n";
        ASSERT_EQ(::pwrite(fd, m1.data(), m1.size(), 0), static_cast<ssize_t>(m1.size()));
        ASSERT_EQ(::pwrite(fd, blank.data(), 4, static_cast<off_t>(at2 - 4)), 4);
        ASSERT_EQ(::pwrite(fd, m2.data(), m2.size(), static_cast<off_t>(at2)),
                  static_cast<ssize_t>(m2.size()));
        ASSERT_EQ(::pwrite(fd, blank.data(), 4, static_cast<off_t>(at3 - 4)), 4);
        ASSERT_EQ(::pwrite(fd, m2.data(), m2.size(), static_cast<off_t>(at3)),
                  static_cast<ssize_t>(m2.size()));
        ::close(fd);
    }
    const std::vector<std::uint64_t> hits = scanHits(path);
    ASSERT_EQ(hits, (std::vector<std::uint64_t>{9, at2 + 9, at3 + 9}));
    // (Each way reads the 4 GB hole back to front once: one is enough here.)
    const Partition p = analyse(path, hits, false, false);
    EXPECT_EQ(starts(p), (std::vector<std::uint64_t>{0, at2, at3}));
    MailboxFile f;
    ASSERT_FALSE(f.open(path));
    std::string text;
    ASSERT_FALSE(f.read(at3, 1000, text));
    EXPECT_EQ(text, m2);  // a short read at the end is no error
}

TEST_F(BoundariesTest, MailboxFileRefusesWhatIsNoFile) {
    MailboxFile f;
    EXPECT_TRUE(f.open(dir / "missing.imm"));
    EXPECT_TRUE(f.open(dir));
    EXPECT_FALSE(f.isOpen());
    std::string out = "stale";
    EXPECT_TRUE(f.read(0, 10, out));
    EXPECT_TRUE(out.empty());
}

TEST(KnownFields, MailNamesOnly) {
    for (const char* n :
         {"Received", "return-path", "X-Anything", "ARC-Seal", "List-Id", "Thread-Index",
          "DKIM-Signature", "Content-Type", "Resent-From", "Delivery-Date", "MIME-Version"})
        EXPECT_TRUE(tp::convert::isKnownHeaderField(n)) << n;
    for (const char* n : {"Tel", "Web", "Fax", "Mobile", "X", "Note", "List"})
        EXPECT_FALSE(tp::convert::isKnownHeaderField(n)) << n;
}

// Real mail often has no "MIME-Version: 1.0" line: other spellings of the field,
// or none at all. Each such message is found by its header block; header blocks
// that a message quotes, forwards or bounces stay in it.
TEST_F(BoundariesTest, MessagesWithoutTheLineAreFound) {
    const std::string crlf = "\r\n";
    auto msg = [&](const std::string& top, const std::string& body) {
        return "Return-Path: <a@example.org>\r\nReceived: from a by b; Mon, 1 Jul 2002\r\n"
               "From: A <a@example.org>\r\nTo: b@example.org\r\nSubject: s\r\n"
               "Date: Mon, 1 Jul 2002 10:00:00 +0000\r\nMessage-ID: <" +
               std::to_string(body.size()) + "@x>\r\n" + top + crlf + body;
    };
    const std::vector<std::string> messages = {
        msg("MIME-Version: 1.0\r\n", "the exact line\r\n"),
        msg("Mime-Version: 1.0 (Apple Message framework v1085)\r\n", "Apple\r\n"),
        msg("MIME-version: 1.0\r\n", "lower case\r\n"),
        msg("MIME-Version:1.0\r\n", "no blank\r\n"),
        msg("", "plain RFC 822, and a body that runs straight into the next message"),
        msg("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"mm\"\r\n",
            "--mm\r\nContent-Type: text/plain\r\n\r\nhi\r\n--mm--\r\n"),
        msg("", "plain text after a multipart\r\n"),
    };
    std::string box;
    std::vector<std::uint64_t> want;
    for (const std::string& m : messages) {
        want.push_back(box.size());
        box += m;
        if (m.back() != '\n') box += crlf;
    }
    EXPECT_EQ(starts(analyse(write(box))), want);

    // Header blocks inside a body: forwarded, quoted, dumped, bounced.
    const std::string inner = msg("", "the inner body\r\n");
    const std::vector<std::string> introductions = {
        "-----Original Message-----\r\n",
        "---------- Forwarded message ---------\r\n",
        "Begin forwarded message:\r\n\r\n",
        "Here are the full headers of the spam:\r\n\r\n",
        "--- Below this line is a copy of the message.\r\n\r\n",
        ">From a@example.org Mon Jul  1 10:00:00 2002\r\n",
    };
    for (const std::string& intro : introductions) {
        const std::string outer = msg("", "Look at this.\r\n\r\n" + intro + inner + "Bye\r\n");
        const std::string next = msg("", "the next message\r\n");
        EXPECT_EQ(starts(analyse(write(outer + next))),
                  (std::vector<std::uint64_t>{0, outer.size()}))
            << intro;
    }
    // A quoted header is no header; a pasted block without trace or identity
    // fields (From, Date and Subject alone) is no stored message.
    const std::string quoted = msg("", "> From: x@example.org\r\n> Date: Mon, 1 Jul 2002\r\n");
    const std::string pasted =
        msg("",
            "Some text first\r\nFrom: x@example.org\r\nDate: Mon, 1 Jul 2002\r\n"
            "Subject: s\r\n\r\ntext\r\n");
    EXPECT_EQ(starts(analyse(write(quoted + pasted + inner))),
              (std::vector<std::uint64_t>{0, quoted.size(), quoted.size() + pasted.size()}));
    // A message/rfc822 part that holds a message without the line stays inside.
    const std::string bounce =
        msg("MIME-Version: 1.0\r\nContent-Type: multipart/report; boundary=\"rr\"\r\n",
            "--rr\r\nContent-Type: text/plain\r\n\r\nundeliverable\r\n--rr\r\n"
            "Content-Type: message/rfc822\r\n\r\n" +
                inner + "--rr--\r\n");
    EXPECT_EQ(starts(analyse(write(bounce + inner))),
              (std::vector<std::uint64_t>{0, bounce.size()}));
    // Field-like lines at the end of a body are not the next message's header:
    // Return-Path begins it.
    const std::string footer = msg("", "bye\r\n\r\nX-Version: list 1.0\r\nList-Id: x\r\n");
    EXPECT_EQ(starts(analyse(write(footer + inner))),
              (std::vector<std::uint64_t>{0, footer.size()}));
}

// The rule that keeps a message inside an open part only when that part holds a
// message, consulted where no text line stands above the next message.
TEST_F(BoundariesTest, AnOpenPartKeepsOnlyTheMessageItHolds) {
    // A text part cut off after an empty line, the next message right after, and
    // that boundary's closing line much later, in a third message: three messages.
    const std::string cut =
        "From: a\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"kk\"\r\n\r\n"
        "--kk\r\nContent-Type: text/plain\r\n\r\nthe text was cut here\r\n\r\n";
    const std::string next = "From: b\r\nMIME-Version: 1.0\r\n\r\nsecond\r\n";
    const std::string later = "From: c\r\nMIME-Version: 1.0\r\n\r\nquoting:\r\n--kk--\r\n";
    EXPECT_EQ(starts(analyse(write(cut + next + later))),
              (std::vector<std::uint64_t>{0, cut.size(), cut.size() + next.size()}));

    // A header with two "MIME-Version: 1.0" lines whose body forwards a message,
    // and one more message after it: two messages.
    const std::string doubled =
        "From: a\r\nMIME-Version: 1.0\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"dd\"\r\n\r\n--dd\r\n"
        "Content-Type: text/plain\r\n\r\nsee below\r\n--dd\r\nContent-Type: message/rfc822\r\n\r\n"
        "From: inner\r\nMIME-Version: 1.0\r\n\r\ninner body\r\n--dd--\r\n";
    const std::string after = "From: z\r\nMIME-Version: 1.0\r\n\r\nlast\r\n";
    EXPECT_EQ(starts(analyse(write(doubled + after))),
              (std::vector<std::uint64_t>{0, doubled.size()}));
}
