#pragma once
// The one reader of the dates in mail headers (Date:, Received:), for every
// output: the MBOX "From " line and the PST import read a date alike.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tp::convert {

// A moment as a mail header gives it: seconds since 1970 (UTC) and microseconds.
struct MailDate {
    std::int64_t seconds = 0;
    int microseconds = 0;
};

// The date of a header value as GMime reads it after normalizedDate(); nothing
// when it is no date.
std::optional<MailDate> readMailDate(std::string_view text);

// A date as mail writes it, in the form GMime reads (12-hour clocks, zones like
// "GMT+0200" put the usual way); the text itself when nothing needs changing.
std::string normalizedDate(std::string_view text);

// A moment as calendar and clock in UTC. Plain calendar arithmetic (C++20
// <chrono>): any year, before 1970 too, the same on every system.
struct CivilTime {
    int year = 1970;
    unsigned month = 1, day = 1;  // 1-12, 1-31
    unsigned hour = 0, minute = 0, second = 0;
    unsigned weekday = 4;  // 0 Sunday ... 6 Saturday
};
CivilTime civilTimeOf(std::int64_t secondsSince1970);

}  // namespace tp::convert
