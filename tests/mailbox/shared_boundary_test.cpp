// Messages that share a multipart boundary string. Mailboxes often hold the same
// message twice (fetched again, copied between folders), and some mail programs
// draw boundaries from a clock or a counter, so unrelated messages repeat them
// too. A later message's closing line must never make the run take that message
// for a part of an earlier one whose multipart body is already closed: the
// partition is checked exactly, message by message.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "finder/scanner.h"
#include "mailbox/boundaries.h"
#include "support/support.h"

namespace fs = std::filesystem;
using tp::convert::MessageRange;

namespace {

// A mailbox assembled from messages, each remembered by its byte range.
struct Mailbox {
    std::string bytes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    Mailbox& add(const std::string& message) {
        ranges.emplace_back(bytes.size(), bytes.size() + message.size());
        bytes += message;
        return *this;
    }
};

std::string withLineEnds(const std::string& text, const std::string& eol) {
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += eol;
        else
            out += c;
    }
    return out;
}

const std::string kOuter = "----=_NextPart_000_0007_01C8A1B2.3C4D5E60";
const std::string kInner = "----=_NextPart_001_0008_01C8A1B2.3C4D5E60";

// A multipart/mixed message with an alternative body and a picture, as mail
// programs write them; `forwarded` adds an attached message, whose own
// "MIME-Version: 1.0" line lies inside the open multipart body.
std::string multipartMessage(const std::string& subject, const std::string& outer,
                             const std::string& inner, bool forwarded = false) {
    std::string m =
        "Return-Path: <ann@example.org>\n"
        "Received: from mx.example.org by mail.example.net; Tue, 1 Apr 2008 10:00:00 +0200\n"
        "From: \"Ann Example\" <ann@example.org>\n"
        "To: <bob@example.net>\n"
        "Subject: " +
        subject +
        "\n"
        "Date: Tue, 1 Apr 2008 09:59:58 +0200\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n"
        "\tboundary=\"" +
        outer +
        "\"\n"
        "X-Mailer: IncrediMail (5002253)\n"
        "\n"
        "This is a multi-part message in MIME format.\n"
        "\n--" +
        outer +
        "\n"
        "Content-Type: multipart/alternative;\n"
        "\tboundary=\"" +
        inner + "\"\n\n--" + inner +
        "\n"
        "Content-Type: text/plain; charset=\"iso-8859-1\"\n"
        "\n"
        "Here are the pictures.\n"
        "\n--" +
        inner +
        "\n"
        "Content-Type: text/html; charset=\"iso-8859-1\"\n"
        "\n"
        "<html><body>Here are the pictures.</body></html>\n"
        "\n--" +
        inner + "--\n\n--" + outer +
        "\n"
        "Content-Type: image/jpeg; name=\"garden.jpg\"\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"garden.jpg\"\n"
        "\n"
        "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAgGBgcGBQgHBwcJCQgKDBQNDAsLDBkSEw8U\n"
        "\n";
    if (forwarded) {
        m += "--" + outer +
             "\n"
             "Content-Type: message/rfc822\n"
             "\n"
             "From: Carl <carl@example.com>\n"
             "Subject: the original\n"
             "MIME-Version: 1.0\n"
             "Content-Type: text/plain\n"
             "\n"
             "As sent.\n"
             "\n";
    }
    return m + "--" + outer + "--\n\n";
}

std::string plainMessage(const std::string& subject) {
    return "Received: from mx.example.org by mail.example.net; Wed, 2 Apr 2008 08:00:00 +0200\n"
           "From: Carl <carl@example.com>\n"
           "Subject: " +
           subject +
           "\n"
           "MIME-Version: 1.0\n"
           "Content-Type: text/plain\n"
           "\n"
           "See you.\n"
           "\n";
}

class SharedBoundary : public ::testing::TestWithParam<const char*> {
  protected:
    tp::test::ScratchDir scratch;
    const fs::path dir = scratch.path();

    // `text` with the line ends of this instance.
    std::string m(const std::string& text) const { return withLineEnds(text, GetParam()); }

    // The message ranges of `box` as the scanner and the boundary analysis find them.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> split(const Mailbox& box) {
        const fs::path p = dir / "box.imm";
        std::ofstream(p, std::ios::binary) << box.bytes;
        const std::vector<std::uint64_t> hits =
            tp::finder::findAll(p.string(), "MIME-Version: 1.0").offsets;
        tp::convert::MailboxFile file;
        EXPECT_FALSE(file.open(p));
        const tp::convert::Partition part = tp::convert::findMessages(file, hits);
        EXPECT_FALSE(part.error);
        EXPECT_EQ(part.leadingBytes, 0u);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
        for (const MessageRange& r : part.messages) out.emplace_back(r.begin, r.end);
        // Two threads meeting halfway find the same (on Windows too).
        for (std::size_t at = 1; at < hits.size(); ++at) {
            const tp::convert::Partition two =
                tp::convert::findMessagesInTwo(file, hits, nullptr, at);
            std::vector<std::pair<std::uint64_t, std::uint64_t>> same;
            for (const MessageRange& r : two.messages) same.emplace_back(r.begin, r.end);
            EXPECT_EQ(same, out) << "split at hit " << at;
        }
        return out;
    }
};

// The same message received twice, then another: three messages, not two.
TEST_P(SharedBoundary, SameMessageTwiceInARow) {
    const std::string twice = m(multipartMessage("Pictures", kOuter, kInner));
    Mailbox box;
    box.add(twice).add(twice).add(m(plainMessage("Lunch")));
    EXPECT_EQ(split(box), box.ranges);

    Mailbox three;  // three copies, the last one at the end of the file
    three.add(twice).add(twice).add(twice);
    EXPECT_EQ(split(three), three.ranges);
}

// Copies apart, with other messages between them.
TEST_P(SharedBoundary, SameMessageAgainLater) {
    const std::string pictures = m(multipartMessage("Pictures", kOuter, kInner));
    Mailbox box;
    box.add(pictures)
        .add(m(plainMessage("Lunch")))
        .add(pictures)
        .add(m(plainMessage("Dinner")))
        .add(m(multipartMessage("Other pictures", "=_other", "=_other_alt")))
        .add(pictures);
    EXPECT_EQ(split(box), box.ranges);
}

// Different messages that reuse a boundary: one message's outer boundary is the
// next one's inner boundary and the other way round.
TEST_P(SharedBoundary, DifferentMessagesReuseABoundary) {
    Mailbox box;
    box.add(m(multipartMessage("First", kOuter, kInner)))
        .add(m(multipartMessage("Second", kInner, kOuter)))
        .add(m(multipartMessage("Third", kOuter, kInner)))
        .add(m(plainMessage("Last")));
    EXPECT_EQ(split(box), box.ranges);
}

// A forwarded message inside the multipart body stays part of its message, in
// every copy, and the copies still come apart.
TEST_P(SharedBoundary, ForwardedMessagesInsideCopiesStayInside) {
    const std::string fwd = m(multipartMessage("Fwd: the original", kOuter, kInner, true));
    Mailbox box;
    box.add(fwd).add(fwd).add(m(plainMessage("Lunch"))).add(fwd);
    EXPECT_EQ(split(box), box.ranges);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, SharedBoundary, ::testing::Values("\r\n", "\n"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param) == "\n" ? "Lf" : "CrLf";
                         });

}  // namespace
