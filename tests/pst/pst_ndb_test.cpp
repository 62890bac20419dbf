// The NDB primitives against what Outlook itself wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/ndb/permute.h"

using namespace tp::pst::ndb;

namespace {

std::vector<std::uint8_t> readSample(const char* name) {
    std::ifstream in(std::string(TP_SOURCE_DIR) + "/tests/data/pst-samples/" + name,
                     std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::uint32_t le32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

TEST(PstNdb, CrcMatchesOutlookHeaders) {
    EXPECT_EQ(crc32("123456789", 9), 0x2DFD2D88u);  // reflected CRC-32, seed 0, no final xor
    for (const char* name : {"outlook-unicode-empty.pst", "outlook-unicode-sample1.pst"}) {
        auto f = readSample(name);
        ASSERT_GT(f.size(), 0x4400u) << name;
        EXPECT_EQ(le32(&f[0]), kHeaderMagic);
        EXPECT_EQ(crc32(&f[8], kHeaderCrcPartialLen), le32(&f[4])) << name;
        EXPECT_EQ(crc32(&f[8], kHeaderCrcFullLen), le32(&f[0x20C])) << name;
        // The first AMap page's trailer CRC covers its 496 data bytes.
        const std::uint8_t* amap = &f[kFirstAMapOffset];
        EXPECT_EQ(amap[496], kPtypeAMap);
        EXPECT_EQ(crc32(amap, 496), le32(amap + 500)) << name;
    }
}

TEST(PstNdb, PermuteRoundTripsEveryByte) {
    std::uint8_t buf[256], orig[256];
    for (int i = 0; i < 256; ++i) buf[i] = orig[i] = std::uint8_t(i);
    permuteEncode(buf, sizeof buf);
    EXPECT_NE(0, std::memcmp(buf, orig, sizeof buf));
    permuteDecode(buf, sizeof buf);
    EXPECT_EQ(0, std::memcmp(buf, orig, sizeof buf));
    // Long runs (encoded 64 bytes at a time where the processor allows) give what
    // byte-by-byte encoding gives, at every length and tail.
    std::vector<std::uint8_t> run(8176 + 63);
    for (std::size_t i = 0; i < run.size(); ++i) run[i] = std::uint8_t(i * 131 + i / 256);
    for (std::size_t len : {std::size_t(64), std::size_t(65), std::size_t(127), run.size()}) {
        std::vector<std::uint8_t> wide(run.begin(), run.begin() + std::ptrdiff_t(len)),
            single = wide;
        permuteEncode(wide.data(), wide.size());
        for (auto& b : single) permuteEncode(&b, 1);
        EXPECT_EQ(wide, single) << len;
        permuteDecode(wide.data(), wide.size());
        EXPECT_TRUE(std::equal(wide.begin(), wide.end(), run.begin())) << len;
    }
}
