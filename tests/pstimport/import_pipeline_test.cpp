// The import pipeline hands back exactly what a plain import gives, in the order
// the messages went in, however many workers race, and never holds more than its
// limit of message bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/import_pipeline.h"
#include "convert/pst_import.h"

using tp::convert::ImportPipeline;

namespace {

std::string mail(int i) {
    // Sizes vary a lot so that workers finish out of order.
    std::string body(std::size_t((i * 7919) % 20000), 'x');
    return "From: a" + std::to_string(i) + "@example.org\r\nTo: b@example.org\r\nSubject: m" +
           std::to_string(i) + "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n" + body +
           "\r\n";
}

const std::string* subjectOf(const tp::pst::Message& m) {
    const tp::pst::Property* p = m.props.find(tp::convert::tag::Subject);
    return p ? std::get_if<std::string>(&p->value) : nullptr;
}

}  // namespace

TEST(ImportPipeline, ResultsComeBackInOrderAndEqualAPlainImport) {
    for (unsigned workers : {0u, 1u, 3u}) {
        ImportPipeline pipeline(workers, 64 << 10);
        const int n = 300;
        std::vector<std::uint64_t> tickets;
        auto take = [&](bool wait) {
            while (auto r = pipeline.next(wait)) {
                tickets.push_back(r->ticket);
                ASSERT_TRUE(r->ok) << r->error;
                const std::string* s = subjectOf(r->item);
                ASSERT_TRUE(s);
                EXPECT_EQ(*s, "m" + std::to_string(r->ticket));
                EXPECT_EQ(r->bytes, mail(int(r->ticket)));
                if (!wait) break;
            }
        };
        for (int i = 0; i < n; ++i) {
            std::string m = mail(i);
            while (pipeline.full(m.size())) take(false), take(true);
            pipeline.submit(std::uint64_t(i), m);
            take(false);
        }
        take(true);
        EXPECT_EQ(pipeline.pending(), 0u);
        ASSERT_EQ(tickets.size(), std::size_t(n)) << workers << " workers";
        for (int i = 0; i < n; ++i) EXPECT_EQ(tickets[std::size_t(i)], std::uint64_t(i));
    }
}

TEST(ImportPipeline, AFailedImportIsReportedWithItsBytes) {
    ImportPipeline pipeline(2, 1 << 20);
    pipeline.submit(1, mail(1));
    pipeline.submit(2, std::string());  // nothing to import
    pipeline.submit(3, mail(3));
    auto a = pipeline.next(true), b = pipeline.next(true), c = pipeline.next(true);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a->ok);
    EXPECT_FALSE(b->ok);
    EXPECT_FALSE(b->error.empty());
    EXPECT_TRUE(b->item.props.all().empty());
    EXPECT_TRUE(c->ok);
    EXPECT_FALSE(pipeline.next(true));
}

TEST(ImportPipeline, BytesInFlightStayWithinTheLimit) {
    ImportPipeline pipeline(1, 100);
    EXPECT_FALSE(pipeline.full(1000));  // one message always fits
    pipeline.submit(1, std::string(1000, 'a'));
    EXPECT_TRUE(pipeline.full(1));
    ASSERT_TRUE(pipeline.next(true));
    EXPECT_FALSE(pipeline.full(50));
}
