// Dates as mail writes them. GMime reads the form RFC 5322 gives; some mailers
// write a 12-hour clock or a zone as "GMT+0200" instead, which are put the usual
// way first so that GMime reads them too.
#include "mail/date.h"

#include <chrono>

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>
#include <vector>

#include "common/compiler_quirks.h"
#include "mail/gmime.h"

namespace tp::convert {

namespace {

bool digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A clock time "H:MM" or "H:MM:SS" and, when glued to it, an "AM"/"PM".
bool clockTime(std::string_view t, int& hour, std::string_view& rest, std::string_view& suffix) {
    size_t colon = t.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2) return false;
    if (!digits(t.substr(0, colon))) return false;
    size_t end = colon + 1;
    while (end < t.size() && ((t[end] >= '0' && t[end] <= '9') || t[end] == ':')) ++end;
    if (end - colon - 1 < 2) return false;
    hour = std::stoi(std::string(t.substr(0, colon)));
    rest = t.substr(colon, end - colon);
    suffix = t.substr(end);
    return true;
}

bool meridiem(std::string_view t, bool& pm) {
    std::string u;
    for (char c : t)
        if (c != '.') u += char(std::toupper(static_cast<unsigned char>(c)));
    if (u == "AM" || u == "PM") {
        pm = u == "PM";
        return true;
    }
    return false;
}

// "GMT+0200", "UTC-5", "GMT+02:00" or "+02:00" as "+0200"; "" for anything else.
std::string zoneOffset(std::string_view t) {
    std::string_view rest = t;
    if (t.size() > 3 && (g_ascii_strncasecmp(t.data(), "GMT", 3) == 0 ||
                         g_ascii_strncasecmp(t.data(), "UTC", 3) == 0))
        rest = t.substr(3);
    if (rest.size() < 2 || (rest[0] != '+' && rest[0] != '-')) return {};
    if (rest.size() == t.size() && rest.find(':') == std::string_view::npos) return {};
    std::string_view num = rest.substr(1);
    std::string hours, minutes = "00";
    size_t colon = num.find(':');
    if (colon != std::string_view::npos) {
        hours = std::string(num.substr(0, colon));
        minutes = std::string(num.substr(colon + 1));
    } else if (num.size() <= 2) {
        hours = std::string(num);
    } else if (num.size() == 4) {
        hours = std::string(num.substr(0, 2));
        minutes = std::string(num.substr(2));
    } else {
        return {};
    }
    if (!digits(hours) || !digits(minutes) || hours.size() > 2 || minutes.size() != 2) return {};
    if (hours.size() == 1) hours = "0" + hours;
    return std::string(1, rest[0]) + hours + minutes;
}

}  // namespace

namespace {

// Whether a date may hold a 12-hour clock or an odd zone: an "M" after "A", "P"
// or ".", or a sign after a letter or before a colon. Most dates hold neither.
bool oddDate(std::string_view text) {
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i], p = text[i - 1];
        if ((c == 'M' || c == 'm') && (p == 'A' || p == 'a' || p == 'P' || p == 'p' || p == '.'))
            return true;
        if (c == '+' || c == '-') {
            if (std::isalpha(static_cast<unsigned char>(p))) return true;
            size_t j = i + 1;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
            if (j < text.size() && text[j] == ':') return true;
        }
    }
    return false;
}

}  // namespace

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
std::string normalizedDate(std::string_view text) {
    if (!oddDate(text)) return std::string(text);
    // Words, as written; the odd forms real mail uses are put the usual way:
    // a 12-hour clock ("11:30 PM") on 24 hours, a zone written "GMT+0200" or
    // "+02:00" as "+0200".
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '	')) ++pos;
        size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '	') ++end;
        if (end > pos) words.emplace_back(text.substr(pos, end - pos));
        pos = end;
    }
    bool changed = false;
    for (size_t i = 0; i < words.size(); ++i) {
        int hour = 0;
        std::string_view rest, suffix;
        if (clockTime(words[i], hour, rest, suffix)) {
            bool pm = false;
            bool glued = !suffix.empty() && meridiem(suffix, pm);
            bool apart = suffix.empty() && i + 1 < words.size() && meridiem(words[i + 1], pm);
            if ((glued || apart) && hour >= 1 && hour <= 12) {
                hour = pm ? (hour % 12) + 12 : hour % 12;
                words[i] = (hour < 10 ? "0" : "") + std::to_string(hour) + std::string(rest);
                if (apart) words.erase(words.begin() + std::ptrdiff_t(i) + 1);
                changed = true;
            }
            continue;
        }
        std::string zone = zoneOffset(words[i]);
        if (!zone.empty()) {
            words[i] = zone;
            changed = true;
        }
    }
    if (!changed) return std::string(text);
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}
TP_GCC12_FALSE_RESTRICT_END

std::optional<MailDate> readMailDate(std::string_view text) {
    if (text.empty()) return std::nullopt;
    initGMime();
    const std::string normal = normalizedDate(text);
    GDateTime* dt = g_mime_utils_header_decode_date(normal.c_str());
    if (!dt) return std::nullopt;
    const MailDate date{g_date_time_to_unix(dt), g_date_time_get_microsecond(dt)};
    g_date_time_unref(dt);
    return date;
}

CivilTime civilTimeOf(std::int64_t secondsSince1970) {
    using namespace std::chrono;
    const sys_seconds t{seconds{secondsSince1970}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss clock{t - day};
    CivilTime c;
    c.year = static_cast<int>(ymd.year());
    c.month = static_cast<unsigned>(ymd.month());
    c.day = static_cast<unsigned>(ymd.day());
    c.hour = static_cast<unsigned>(clock.hours().count());
    c.minute = static_cast<unsigned>(clock.minutes().count());
    c.second = static_cast<unsigned>(clock.seconds().count());
    c.weekday = weekday{day}.c_encoding();
    return c;
}

}  // namespace tp::convert
