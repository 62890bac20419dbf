// The lines the message finder needs, listed from a file handed over in pieces
// as the scanner reads it: pieces that overlap, leave holes, or cut a line (or
// "Date:" itself) in two give the list a plain reading of the whole file gives;
// so does a large file searched in two parts at once.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "io/fault.h"
#include "mailbox/line_starts.h"

namespace {

using tp::convert::LineStartIndexer;
using tp::convert::LineStarts;
namespace fs = std::filesystem;

// What a plain reading of `bytes` finds (the closing kind of every "--" line).
LineStarts plainReading(const std::string& bytes) {
    LineStarts out;
    for (std::size_t q = 0; q < bytes.size(); ++q) {
        if (q > 0 && bytes[q - 1] != '\n' && bytes[q - 1] != '\r') continue;
        const std::string_view rest = std::string_view(bytes).substr(q);
        if (rest.substr(0, 5) == "Date:") out.dates.push_back(q);
        if (rest.substr(0, 2) != "--") continue;
        out.dashes.push_back(q);
        // "--B--", blanks after it allowed, B at least one byte.
        std::string_view line =
            rest.substr(0, std::min(rest.find_first_of("\r\n"), tp::convert::kClosingLineLook));
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        const bool closing = line.size() >= 5 && line.substr(line.size() - 2) == "--";
        out.dashKinds.push_back(closing ? LineStarts::Dash::Closing : LineStarts::Dash::Other);
        out.closingHashes.push_back(
            closing ? tp::convert::boundaryHash(line.substr(2, line.size() - 4)) : 0);
    }
    return out;
}

TEST(LineStarts, PiecesInAnyCutGiveWhatThePlainReadingGives) {
    const std::string frags[] = {"Date: Mon", "--b", "--b--", "--b--  ", "-",   "D",
                                 "Dat",       "e:",  "x",     "--",      "---", " "};
    const std::string ends[] = {"\r\n", "\n", "\r", ""};
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::string bytes;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 200); i < n; ++i) {
            bytes += frags[rng() % 12];
            bytes += ends[rng() % 4];
        }
        if (round % 5 == 0) bytes += "--" + std::string(300, 'L') + "--\r\n";  // a long line
        // Some places become holes, which read as NULs and are never handed over.
        std::vector<bool> hole(bytes.size(), false);
        if (round % 3 == 0) {
            const std::size_t at = rng() % bytes.size(), len = rng() % 40;
            for (std::size_t i = at; i < std::min(bytes.size(), at + len); ++i) {
                bytes[i] = '\0';
                hole[i] = true;
            }
        }
        // Pieces of 1 to 12 bytes (1 to 99 in every other round: long enough for the
        // 16- and 32-byte steps), each starting up to 3 bytes before the last one
        // ended (a read may hand over a hole's last bytes: they are NULs).
        const std::size_t longest = round % 2 == 0 ? 12 : 99;
        LineStartIndexer indexer;
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::size_t back = std::min<std::size_t>(pos, rng() % 4);
            const std::size_t start = pos - back;
            const std::size_t len = std::min(bytes.size() - start, 1 + back + rng() % longest);
            if (hole[start]) {  // the reader skips the hole and reads on where it ends
                for (pos = start; pos < bytes.size() && hole[pos];) ++pos;
                continue;
            }
            indexer.add(start, bytes.data() + start, len);
            pos = start + len;
        }
        const LineStarts want = plainReading(bytes);
        const LineStarts got = indexer.finish(bytes.size());
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(got.dates, want.dates);
        ASSERT_EQ(got.dashes, want.dashes);
        ASSERT_EQ(got.dashKinds.size(), got.dashes.size());
        ASSERT_EQ(got.closingHashes.size(), got.dashes.size());
        // A line the pieces cut too soon to tell may be left to the finder to read.
        for (std::size_t i = 0; i < got.dashes.size(); ++i) {
            if (got.dashKinds[i] == LineStarts::Dash::Unknown) continue;
            EXPECT_EQ(got.dashKinds[i], want.dashKinds[i]) << "at " << got.dashes[i];
            EXPECT_EQ(got.closingHashes[i], want.closingHashes[i]) << "at " << got.dashes[i];
        }
    }
}

TEST(LineStarts, WholePiecesLeaveNothingUnknown) {
    const std::string bytes = "Date: x\r\n--a\r\n--a--\r\nbody\r\n--a--   \n-- \nDate:";
    LineStartIndexer indexer;
    indexer.add(0, bytes.data(), bytes.size());
    const LineStarts got = indexer.finish(bytes.size());
    EXPECT_EQ(got.dates, (std::vector<std::uint64_t>{0, bytes.size() - 5}));
    using Dash = LineStarts::Dash;
    EXPECT_EQ(got.dashKinds,
              (std::vector<Dash>{Dash::Other, Dash::Closing, Dash::Closing, Dash::Other}));
    EXPECT_EQ(got.closingHashes[1], tp::convert::boundaryHash("a"));
    EXPECT_EQ(got.closingHashes[2], tp::convert::boundaryHash("a"));
}

// A file large enough to be searched in two parts, with each kind of line cut by
// the place where the parts meet, or beginning right there: the hits and the
// lines are those of one plain reading, and the hits come in file order.
// Lines of every kind in random order, as many bytes as findAll searches in two
// parts (and a page more on each side).
std::string twoPartsFiller(const std::string& hitText) {
    std::string filler;
    std::mt19937 rng(11);
    const std::string lines[] = {"Date: Mon", "--b", "--b--", hitText, "x: y", "", "text"};
    const std::size_t size = tp::finder::kTwoPartsFrom + 8192;
    while (filler.size() < size) {
        filler += lines[rng() % 7];
        filler += rng() % 2 ? "\r\n" : "\n";
    }
    filler.resize(size);
    return filler;
}

// A file of the temporary folder, removed with this (also when a check fails).
struct TempFile {
    fs::path path;
    TempFile(const std::string& name, const std::string& bytes)
        : path(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()) + ".imm")) {
        write(bytes);
    }
    ~TempFile() {
        std::error_code ec;
        fs::remove(path, ec);
    }
    void write(const std::string& bytes) const {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
};

// Each read of a mailbox file asks `onRead` first (with where it reads), while it
// is in scope.
struct OnRead : tp::io::FaultInjector {
    std::function<std::error_code(std::uint64_t)> onRead;
    explicit OnRead(std::function<std::error_code(std::uint64_t)> f) : onRead(std::move(f)) {
        tp::io::setFaultInjector(this);
    }
    ~OnRead() override { tp::io::setFaultInjector(nullptr); }
    std::error_code before(tp::io::Op, const fs::path&, std::uint64_t) override { return {}; }
    std::error_code beforeRead(const fs::path&, std::uint64_t offset, std::uint64_t&) override {
        return onRead(offset);
    }
};

TEST(LineStarts, ASearchInTwoPartsListsWhatOneReadingLists) {
    const std::string hitText = "MIME-Version: 1.0";
    const std::string filler = twoPartsFiller(hitText);
    const std::size_t size = filler.size();
    const std::size_t meet = size / 2;  // where findAll splits a file this size
    const std::string around =
        "\nDate:\n--c--\r\n" + hitText + "\n--" + std::string(150, 'L') + "--\n";
    const TempFile file("tp-two-parts", filler);
    const std::string path = file.path.string();
    // The meet falls on "Date:", inside it, on "--c--", inside it, after a CR, on
    // the hit, inside it, on a long closing line, inside it.
    for (const std::size_t shift : {1, 3, 7, 9, 13, 14, 20, 32, 100}) {
        SCOPED_TRACE("the meet at byte " + std::to_string(shift) + " of the lines put there");
        std::string bytes = filler;
        bytes.replace(meet - shift, around.size(), around);
        file.write(bytes);

        struct Recorder : tp::convert::SearchLines {
            std::vector<int> counts;
            void hit(std::uint64_t, int found, int) override { counts.push_back(found); }
        } observer;
        tp::finder::SearchResult found;
        // In two parts when the file came fast, as a file just written does (a
        // second try where a busy machine made its first reads slow).
        for (int attempt = 0; attempt < 3 && found.partsMeetAt == 0; ++attempt) {
            observer = Recorder();
            found = tp::finder::findAll(path, hitText, &observer);
        }
        if (std::thread::hardware_concurrency() > 1) {
            EXPECT_EQ(found.partsMeetAt, meet);
        }
        ASSERT_TRUE(found.searchedToTheEnd) << found.error;

        std::vector<std::uint64_t> hits;
        for (std::size_t at = bytes.find(hitText); at != std::string::npos;
             at = bytes.find(hitText, at + hitText.size()))
            hits.push_back(at);
        EXPECT_EQ(found.offsets, hits);
        std::vector<int> counts(hits.size());
        for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = static_cast<int>(i + 1);
        EXPECT_EQ(observer.counts, counts);

        const std::optional<LineStarts> got = observer.take(found, bytes.size());
        ASSERT_TRUE(got.has_value());
        const LineStarts want = plainReading(bytes);
        EXPECT_EQ(got->dates, want.dates);
        ASSERT_EQ(got->dashes, want.dashes);
        for (std::size_t i = 0; i < want.dashes.size(); ++i) {
            if (got->dashKinds[i] == LineStarts::Dash::Unknown) continue;  // cut by a read
            EXPECT_EQ(got->dashKinds[i], want.dashKinds[i]) << "at " << want.dashes[i];
            EXPECT_EQ(got->closingHashes[i], want.closingHashes[i]) << "at " << want.dashes[i];
        }
    }
}

// A read that fails in either part ends the search there: not searched to the
// end, the error names the file, and the hits are those before the failed read.
TEST(LineStarts, AReadThatFailsInEitherPartEndsTheSearchThere) {
    const std::string hitText = "MIME-Version: 1.0";
    const std::string bytes = twoPartsFiller(hitText);
    const TempFile file("tp-two-parts-fail", bytes);
    for (const std::uint64_t from : {bytes.size() / 4, bytes.size() * 3 / 4}) {
        SCOPED_TRACE("a read failing past byte " + std::to_string(from));
        std::optional<std::uint64_t> failed;  // the first read in the megabyte from `from`
        tp::convert::SearchLines observer;
        tp::finder::SearchResult found;
        {
            const OnRead fault([&](std::uint64_t offset) -> std::error_code {
                if (failed || offset < from || offset >= from + (std::uint64_t{1} << 20)) return {};
                failed = offset;
                return std::make_error_code(std::errc::io_error);
            });
            found = tp::finder::findAll(file.path.string(), hitText, &observer);
        }
        ASSERT_TRUE(failed.has_value());
        EXPECT_FALSE(found.searchedToTheEnd);
        EXPECT_NE(found.error.find(file.path.string()), std::string::npos) << found.error;
        EXPECT_FALSE(observer.take(found, bytes.size()).has_value());
        std::vector<std::uint64_t> before;
        for (std::size_t at = bytes.find(hitText); at + hitText.size() <= *failed;
             at = bytes.find(hitText, at + hitText.size()))
            before.push_back(at);
        EXPECT_EQ(found.offsets, before);
    }
}

// A file whose first bytes come slowly, as from a disk that seeks, is searched in
// one part (two would make the disk seek between them), with the same lines.
TEST(LineStarts, AFileThatComesSlowlyIsSearchedInOnePart) {
    const std::string hitText = "MIME-Version: 1.0";
    const std::string bytes = twoPartsFiller(hitText);
    const TempFile file("tp-slow", bytes);
    tp::convert::SearchLines observer;
    tp::finder::SearchResult found;
    {
        const OnRead slow([](std::uint64_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return std::error_code();
        });
        found = tp::finder::findAll(file.path.string(), hitText, &observer);
    }
    EXPECT_EQ(found.partsMeetAt, 0u);
    ASSERT_TRUE(found.searchedToTheEnd) << found.error;
    std::size_t hits = 0;
    for (std::size_t at = bytes.find(hitText); at != std::string::npos;
         at = bytes.find(hitText, at + hitText.size()))
        ++hits;
    EXPECT_EQ(found.offsets.size(), hits);
    const std::optional<LineStarts> got = observer.take(found, bytes.size());
    ASSERT_TRUE(got.has_value());
    const LineStarts want = plainReading(bytes);
    EXPECT_EQ(got->dates, want.dates);
    EXPECT_EQ(got->dashes, want.dashes);
}

}  // namespace
