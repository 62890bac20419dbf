// The scanner engine over real files: which occurrences it records, the notices
// and report lines it produces, progress values, replacing in place, and files
// past 4 GB.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "finder/scanner.h"

namespace fs = std::filesystem;
using tp::Notice;
using tp::finder::Scanner;
using tp::finder::ScannerObserver;
using tp::finder::ScanShared;

namespace {

struct Recorder : ScannerObserver {
    bool report = false;
    std::vector<Notice> notices;
    std::string surface;
    std::vector<int> happenings;  // the count of hits at each hit
    std::vector<int> bars;
    std::string text1;
    void notice(const Notice& n) override { notices.push_back(n); }
    void clearReport() override { surface.clear(); }
    void printReport(std::string_view t) override { surface += t; }
    bool wantsReport() const override { return report; }
    void hit(std::uint64_t, int found, int bar) override {
        happenings.push_back(found);
        bars.push_back(bar);
    }
    void fileNameChanged(const std::string& t) override { text1 = t; }
};

class ScannerTest : public ::testing::Test {
  protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tp-scanner-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string file(const std::string& name, const std::string& bytes) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
};

// Drives the scanner the way the conversion run does; returns the offsets.
std::vector<std::uint64_t> runScan(Scanner& s, ScanShared& shared, const std::string& path,
                                   const std::string& text) {
    shared.reset();
    s.searchInput = text;
    s.openMailbox(path);
    s.findFirst();
    int guard = 0;
    while (!shared.ended && ++guard < 50000000) s.findNext();
    s.closeFile();
    EXPECT_TRUE(shared.ended);
    return shared.offsets;
}

// The window's steps; the whole-file search of a run must find the same where it
// searches alike (case sensitive, the text as it stands).
std::vector<std::uint64_t> scan(const std::string& path, const std::string& text,
                                bool caseSensitive = true) {
    ScanShared shared;
    Scanner s(shared);
    s.caseSensitive = caseSensitive;
    const std::vector<std::uint64_t> steps = runScan(s, shared, path, text);
    const bool quoted = text.size() > 2 && text.front() == '"' && text.back() == '"';
    if (caseSensitive && !quoted) {
        const tp::finder::SearchResult all = tp::finder::findAll(path, text);
        EXPECT_EQ(all.offsets, steps) << "the whole-file search differs";
        EXPECT_TRUE(all.searchedToTheEnd || fs::file_size(path) < 2);
    }
    return steps;
}

std::vector<std::uint64_t> naive(const std::string& hay, const std::string& needle) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; needle.size() <= hay.size() && i + needle.size() <= hay.size();) {
        if (hay.compare(i, needle.size(), needle) == 0) {
            out.push_back(i);
            i += needle.size();
        } else {
            ++i;
        }
    }
    return out;
}

using V = std::vector<std::uint64_t>;

}  // namespace

TEST_F(ScannerTest, RecordsEveryNonOverlappingOccurrenceLeftmostFirst) {
    EXPECT_EQ(scan(file("a", "aabxx"), "ab"), V{1});  // a failed partial match hides nothing
    EXPECT_EQ(scan(file("b", "ababx"), "ab"), (V{0, 2}));
    EXPECT_EQ(scan(file("c", "aaaxx"), "aa"), V{0});
    EXPECT_EQ(scan(file("d", "xxab"), "ab"), V{2});  // ends on the last byte
    EXPECT_EQ(scan(file("e", "ab"), "ab"), V{0});
    EXPECT_EQ(scan(file(" ends in a blank ", "ab"), "ab"), V{0});  // the name as it is
    EXPECT_EQ(scan(file("f", "ab"), "MIME-Version: 1.0"), V{});
    EXPECT_EQ(scan(file("g", "xyz"), ""), V{});  // an empty search text ends at once
    // The offset list text has a bar after every entry.
    ScanShared shared;
    Scanner s(shared);
    runScan(s, shared, file("h", "MIME-Version: 1.0 MIME-Version: 1.0x"), "MIME-Version: 1.0");
    EXPECT_EQ(shared.offsetList, "0|18|");
}

TEST_F(ScannerTest, MatchesReferenceAcrossReadEdges) {
    // Small alphabet so that partial matches are everywhere; files of a few MiB so
    // that reads are split many times and occurrences straddle the splits. Odd
    // rounds mix the case and search case-insensitively.
    std::mt19937 rng(7);
    for (int round = 0; round < 8; ++round) {
        const bool fold = round % 2 == 1;
        const std::size_t size = (std::size_t{1} << 20) + rng() % (std::size_t{2} << 20);
        std::string hay(size, 'a');
        for (char& c : hay) c = (fold ? "aAbB" : "ab")[rng() % (fold ? 4 : 2)];
        std::string needle;
        const std::size_t m = 1 + rng() % 12;
        for (std::size_t i = 0; i < m; ++i) needle += "AB"[rng() % 2];
        hay.replace(hay.size() - m, m, needle);  // one ends on the last byte
        std::string ref = hay;
        if (!fold)
            for (char& c : needle) c = static_cast<char>(c + 32);
        else
            for (char& c : ref) c = static_cast<char>(c & ~0x20);
        if (!fold) hay.replace(hay.size() - m, m, needle);
        if (!fold) ref = hay;
        const std::string path = file("r" + std::to_string(round), hay);
        EXPECT_EQ(scan(path, needle, !fold), naive(ref, needle)) << "needle " << needle;
    }
}

TEST_F(ScannerTest, LongSearchTextAcrossReadEdges) {
    // A search text longer than a page, planted so that occurrences straddle reads.
    std::mt19937 rng(3);
    std::string needle(9000, 'n');
    for (char& c : needle) c = static_cast<char>('a' + rng() % 3);
    std::string hay(3u << 20, 'z');
    std::vector<std::uint64_t> want;
    for (std::uint64_t at = 100; at + needle.size() < hay.size(); at += 262144 - 4500) {
        hay.replace(at, needle.size(), needle);
        want.push_back(at);
    }
    EXPECT_EQ(scan(file("long", hay), needle), want);
}

TEST_F(ScannerTest, CaseSettingAndQuotedSearchText) {
    const std::string path = file("m", "x mime-version: 1.0 \xE9t\xE9 \xF7 MIME-VERSION: 1.0");
    EXPECT_EQ(scan(path, "MIME-Version: 1.0", true), V{});
    EXPECT_EQ(scan(path, "MIME-Version: 1.0", false), (V{2, 26}));
    EXPECT_EQ(scan(path, "\xC9T\xC9", false), V{20});  // Latin-1 letters fold too
    EXPECT_EQ(scan(path, "\xD7", false), V{});         // the division sign has no case
    const std::string q = file("q", "say \"hi\" and hi");
    EXPECT_EQ(scan(q, "\"hi\""), (V{5, 13}));             // surrounding quotes are dropped
    EXPECT_EQ(scan(file("q2", "a\"\"b"), "\"\""), V{1});  // two quotes stay as they are
}

TEST_F(ScannerTest, NoticesForFilesThatCannotBeSearched) {
    ScanShared shared;
    Recorder rec;
    Scanner s(shared, &rec);

    // A missing file: the run's loop still ends, with an empty list.
    runScan(s, shared, (dir / "missing.imm").string(), "MIME-Version: 1.0");
    ASSERT_EQ(rec.notices.size(), 1u);
    EXPECT_EQ(rec.notices[0].text, "File not found !");
    EXPECT_EQ(rec.notices[0].detail, (dir / "missing.imm").string());  // names its file
    EXPECT_TRUE(shared.offsetList.empty());

    // A folder given as a mailbox is no file to search.
    rec.notices.clear();
    runScan(s, shared, dir.string(), "MIME-Version: 1.0");
    ASSERT_FALSE(rec.notices.empty());
    EXPECT_EQ(rec.notices.back().text, "File not found !");

    // An empty file: the size notice on open, then the first step cannot open it.
    rec.notices.clear();
    runScan(s, shared, file("empty", ""), "MIME-Version: 1.0");
    ASSERT_EQ(rec.notices.size(), 3u);
    EXPECT_EQ(rec.notices[0].text,
              "File size is  0 byte !\r\rFile can not open for string searching !");
    EXPECT_EQ(rec.notices[2].text, "File could not open !");
    for (const Notice& n : rec.notices) EXPECT_EQ(n.detail, (dir / "empty").string());
    EXPECT_FALSE(s.isOpen());

    // The whole-file search shows one notice for each such file, and says that it
    // did not search it.
    for (const std::string& path : {(dir / "missing.imm").string(), file("empty", "")}) {
        rec.notices.clear();
        const tp::finder::SearchResult all = tp::finder::findAll(path, "MIME", &rec);
        ASSERT_EQ(rec.notices.size(), 1u) << path;
        EXPECT_EQ(rec.notices[0].detail, path);
        EXPECT_FALSE(all.searchedToTheEnd);
        EXPECT_TRUE(all.offsets.empty());
    }

    // Opening while a file is open keeps the open one.
    rec.notices.clear();
    const std::string a = file("a", "MIME-Version: 1.0 ...");
    s.openMailbox(a);
    s.openMailbox(file("b", "other"));
    ASSERT_EQ(rec.notices.size(), 1u);
    EXPECT_EQ(rec.notices[0].text, "File in use. Please close current file.");
    EXPECT_EQ(rec.notices[0].title, "");
    EXPECT_EQ(rec.notices[0].detail, a);  // the file in use
    EXPECT_EQ(s.fileName(), a);
    s.closeFile();
    EXPECT_EQ(rec.text1, "");
    s.closeFile();  // nothing open: quiet
}

TEST_F(ScannerTest, ReportLinesProgressAndLabel) {
    std::string bytes(200, '.');
    bytes.replace(25, 2, "ab");
    bytes.replace(27, 2, "ab");
    bytes.replace(150, 2, "ab");
    const std::string path = file("p", bytes);
    ScanShared shared;
    Recorder rec;
    rec.report = true;
    Scanner s(shared, &rec);
    s.searchInput = "ab";
    s.openMailbox(path);
    EXPECT_EQ(rec.surface, "FILE SIZE :  200 bytes\r\n\r\n");
    s.findFirst();
    // R = 200 - (25 + 2 + 1) = 172 > 510 is false, > 2 is true: 170 more bytes.
    EXPECT_EQ(rec.surface,
              "FILE SIZE :  200 bytes\r\n\r\nByte : 25\r\n\r\n" + bytes.substr(25, 172));
    s.findNext();
    s.findNext();
    s.findNext();
    EXPECT_EQ(rec.surface, "FILE SIZE :  200 bytes\r\n\r\n\n\r\n[EOF]\r\n");
    EXPECT_EQ(rec.bars, (std::vector<int>{12, 14, 75}));  // 12.5 rounds to even
    EXPECT_EQ(rec.happenings, (std::vector<int>{1, 2, 3}));

    // Without a report surface nothing is printed.
    Recorder quiet;
    ScanShared shared2;
    Scanner q(shared2, &quiet);
    runScan(q, shared2, path, "ab");
    EXPECT_TRUE(quiet.surface.empty());
    EXPECT_EQ(quiet.bars.size(), 3u);
}

TEST_F(ScannerTest, HitReportShowsAtMost512BytesFromTheHit) {
    std::string bytes(2000, 'z');
    bytes.replace(100, 3, "key");
    ScanShared shared;
    Recorder rec;
    rec.report = true;
    Scanner s(shared, &rec);
    s.searchInput = "key";
    s.openMailbox(file("big", bytes));
    s.findFirst();
    const std::string head = "FILE SIZE :  2000 bytes\r\n\r\nByte : 100\r\n\r\n";
    EXPECT_EQ(rec.surface, head + bytes.substr(100, 512));
}

TEST_F(ScannerTest, WriteAtMatchReplacesInPlace) {
    const std::string path = file("w", "one KEY two KEY three");
    ScanShared shared;
    Scanner s(shared);
    s.searchInput = "KEY";
    std::string error;
    EXPECT_FALSE(s.writeAtMatch("abc", error));  // no match yet
    EXPECT_FALSE(error.empty());
    s.openMailbox(path);
    s.findFirst();
    EXPECT_FALSE(s.writeAtMatch("toolong", error));
    ASSERT_TRUE(s.writeAtMatch("k-y", error)) << error;
    s.findNext();
    ASSERT_TRUE(s.writeAtMatch("K_Y", error)) << error;
    s.findNext();
    EXPECT_TRUE(shared.ended);
    s.closeFile();
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one k-y two K_Y three");

    // A file that cannot be written gives an error text, not a crash.
    const std::string ro = file("ro", "xx KEY yy");
    s.openMailbox(ro);
    s.findFirst();
    if (::geteuid() != 0) {
        fs::permissions(ro, fs::perms::owner_read);
        EXPECT_FALSE(s.writeAtMatch("abc", error));
        EXPECT_NE(error.find(ro), std::string::npos);
    }
    fs::remove(ro);  // vanished under the open scan
    EXPECT_FALSE(s.writeAtMatch("abc", error));
    EXPECT_FALSE(error.empty());
    s.closeFile();

    // A file cut short after the match was found is never lengthened by a replace.
    const std::string cut = file("cut", "xx KEY yy");
    s.openMailbox(cut);
    s.findFirst();
    fs::resize_file(cut, 4);
    EXPECT_FALSE(s.writeAtMatch("abc", error));
    EXPECT_EQ(fs::file_size(cut), 4u);
    s.closeFile();
}

TEST_F(ScannerTest, FindsOccurrencesPastFourGigabytes) {
    // A sparse 5 GB file: hits at 4 GiB + 100 and on the very last bytes.
    const fs::path p = dir / "huge.imm";
    const std::string key = "MIME-Version: 1.0";
    const std::uint64_t size = 5ull << 30;
    const std::uint64_t far = (4ull << 30) + 100;
    {
        const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ASSERT_EQ(::pwrite(fd, key.data(), key.size(), static_cast<off_t>(far)),
                  static_cast<ssize_t>(key.size()));
        ASSERT_EQ(::pwrite(fd, key.data(), key.size(), static_cast<off_t>(size - key.size())),
                  static_cast<ssize_t>(key.size()));
        ::close(fd);
    }
    ScanShared shared;
    Recorder rec;
    Scanner s(shared, &rec);
    EXPECT_EQ(runScan(s, shared, p.string(), key), (V{far, size - key.size()}));
    EXPECT_EQ(shared.offsetList, std::to_string(far) + "|" + std::to_string(size - 17) + "|");
    EXPECT_EQ(rec.bars, (std::vector<int>{80, 100}));
}

TEST(ScannerFormat, NumbersWithBlank) {
    EXPECT_EQ(tp::finder::withBlank(1234), " 1234");
    EXPECT_EQ(tp::finder::withBlank(0), " 0");
    EXPECT_EQ(tp::finder::withBlank(-5), "-5");
}
