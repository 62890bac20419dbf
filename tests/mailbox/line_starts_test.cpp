// The lines the message finder needs, listed from a file handed over in pieces
// as the scanner reads it: pieces that overlap, leave holes, or cut a line (or
// "Date:" itself) in two give the list a plain reading of the whole file gives.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mailbox/line_starts.h"

namespace {

using tp::convert::LineStartIndexer;
using tp::convert::LineStarts;

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
        // Pieces of 1 to 12 bytes, each starting up to 3 bytes before the last one
        // ended (a read may hand over a hole's last bytes: they are NULs).
        LineStartIndexer indexer;
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::size_t back = std::min<std::size_t>(pos, rng() % 4);
            const std::size_t start = pos - back;
            const std::size_t len = std::min(bytes.size() - start, 1 + back + rng() % 12);
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

}  // namespace
