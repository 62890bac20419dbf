#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>

#include <uchardet/uchardet.h>

#include "common/compiler_quirks.h"
#include "mapi/import.h"
#include "mapi/internal.h"

namespace tp::convert {

namespace {

using detail::lower;
using detail::parserOptions;
using detail::trim;
using detail::validUtf8;

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
std::string normalizeCharset(std::string_view charset) {
    std::string c = lower(trim(charset));
    if (c.size() >= 2 && c.front() == '"' && c.back() == '"') c = c.substr(1, c.size() - 2);
    std::replace(c.begin(), c.end(), '_', '-');
    if (c.rfind("x-", 0) == 0) c = c.substr(2);
    if (c.rfind("cp125", 0) == 0 && c.size() == 6) c = "windows-" + c.substr(2);
    if (c.rfind("iso8859-", 0) == 0) c = "iso-8859-" + c.substr(8);
    if (c.rfind("iso-8859", 0) == 0 && c.size() > 8 && c[8] != '-') c.insert(8, "-");
    return c;
}
TP_GCC12_FALSE_RESTRICT_END

// The decoder to use for a declared charset: the Windows supersets that mail
// programs actually wrote under the older names.
std::string decoderFor(const std::string& c) {
    if (c == "iso-8859-1" || c == "us-ascii" || c == "ascii" || c == "latin1")
        return "WINDOWS-1252";
    if (c == "gb2312" || c == "gbk" || c == "cp936" || c == "euc-cn" || c == "gb18030")
        return "GB18030";
    if (c == "big5" || c == "cp950") return "CP950";
    if (c == "shift-jis" || c == "sjis" || c == "ms932" || c == "windows-31j" || c == "cp932")
        return "CP932";
    if (c == "ks-c-5601-1987" || c == "euc-kr" || c == "cp949") return "CP949";
    return c;
}

std::string convertWith(GIConv cd, std::string_view in, size_t* errors = nullptr) {
    std::string out;
    out.resize(in.size() * 2 + 16);
    gchar* inp = const_cast<gchar*>(in.data());
    gsize inLeft = in.size();
    gchar* outp = out.data();
    gsize outLeft = out.size();
    auto grow = [&](size_t need) {
        if (outLeft >= need) return;
        size_t used = size_t(outp - out.data());
        out.resize(out.size() * 2 + need);
        outp = out.data() + used;
        outLeft = out.size() - used;
    };
    while (inLeft > 0) {
        gsize r = g_iconv(cd, &inp, &inLeft, &outp, &outLeft);
        if (r != gsize(-1)) break;
        if (errno == E2BIG) {
            grow(out.size() + 16);
            continue;
        }
        // An undecodable or truncated sequence: mark it and go on with the next byte.
        if (errors) ++*errors;
        grow(3);
        std::memcpy(outp, "\xEF\xBF\xBD", 3);
        outp += 3;
        outLeft -= 3;
        ++inp;
        --inLeft;
        g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Stateful decoders (windows-1255 and -1258 hold back a base letter that a
    // combining mark may follow) give up what they hold only when flushed.
    for (;;) {
        grow(16);
        if (g_iconv(cd, nullptr, nullptr, &outp, &outLeft) != gsize(-1) || errno != E2BIG) break;
    }
    out.resize(size_t(outp - out.data()));
    return out;
}

// Opened decoders are kept for the thread's life: opening one loads a conversion
// module, which is far dearer than converting a message.
class DecoderCache {
    // An iconv that lacks a converter may have the one it grew from: GLib's own
    // iconv on Windows knows GBK (code page 936) but not GB18030, its superset.
    static GIConv open(const std::string& name) {
        GIConv cd = g_iconv_open("UTF-8", name.c_str());
        if (cd == GIConv(-1) && name == "GB18030") cd = g_iconv_open("UTF-8", "CP936");
        return cd;
    }

  public:
    ~DecoderCache() {
        for (auto& [name, cd] : open_)
            if (cd != GIConv(-1)) g_iconv_close(cd);
    }
    GIConv get(const std::string& name) {
        auto it = open_.find(name);
        if (it == open_.end()) {
            if (open_.size() >= 64) return open(name);  // the caller closes it
            it = open_.emplace(name, open(name)).first;
        }
        if (it->second != GIConv(-1)) g_iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }
    bool owns(const std::string& name) const { return open_.count(name) != 0; }

  private:
    std::map<std::string, GIConv> open_;
};

bool tryConvert(std::string_view bytes, const std::string& decoder, std::string& out,
                size_t* errors = nullptr) {
    thread_local DecoderCache cache;
    GIConv cd = cache.get(decoder);
    if (cd == GIConv(-1)) return false;
    out = convertWith(cd, bytes, errors);
    if (!cache.owns(decoder)) g_iconv_close(cd);
    return true;
}

}  // namespace

std::string detail::htmlMetaCharset(std::string_view html) {
    std::string head = lower(html.substr(0, std::min<size_t>(html.size(), 4096)));
    size_t at = head.find("charset=");
    if (at == std::string::npos) return {};
    at += 8;
    while (at < head.size() && (head[at] == '"' || head[at] == '\'' || head[at] == ' ')) ++at;
    size_t end = at;
    while (end < head.size() &&
           (std::isalnum(static_cast<unsigned char>(head[end])) || head[end] == '-' ||
            head[end] == '_' || head[end] == '.' || head[end] == ':'))
        ++end;
    return head.substr(at, end - at);
}

int codePageOfCharset(std::string_view charset) {
    std::string c = normalizeCharset(charset);
    static const std::pair<const char*, int> table[] = {
        {"utf-8", 65001},        {"utf8", 65001},        {"utf-7", 65000},
        {"us-ascii", 20127},     {"ascii", 20127},       {"iso-8859-1", 28591},
        {"latin1", 28591},       {"iso-8859-2", 28592},  {"iso-8859-3", 28593},
        {"iso-8859-4", 28594},   {"iso-8859-5", 28595},  {"iso-8859-6", 28596},
        {"iso-8859-7", 28597},   {"iso-8859-8", 28598},  {"iso-8859-8-i", 38598},
        {"iso-8859-9", 28599},   {"iso-8859-13", 28603}, {"iso-8859-15", 28605},
        {"windows-1250", 1250},  {"windows-1251", 1251}, {"windows-1252", 1252},
        {"windows-1253", 1253},  {"windows-1254", 1254}, {"windows-1255", 1255},
        {"windows-1256", 1256},  {"windows-1257", 1257}, {"windows-1258", 1258},
        {"windows-874", 874},    {"tis-620", 874},       {"koi8-r", 20866},
        {"koi8-u", 21866},       {"ibm866", 866},        {"cp866", 866},
        {"gb2312", 936},         {"gbk", 936},           {"cp936", 936},
        {"euc-cn", 936},         {"gb18030", 54936},     {"hz-gb-2312", 52936},
        {"big5", 950},           {"cp950", 950},         {"shift-jis", 932},
        {"sjis", 932},           {"cp932", 932},         {"windows-31j", 932},
        {"euc-jp", 51932},       {"iso-2022-jp", 50220}, {"euc-kr", 51949},
        {"ks-c-5601-1987", 949}, {"cp949", 949},         {"iso-2022-kr", 50225},
        {"utf-16", 1200},        {"utf-16le", 1200},     {"utf-16be", 1201},
    };
    for (auto& [name, cp] : table)
        if (c == name) return cp;
    return 0;
}

namespace {

// Charsets whose bytes below 0x80 are ASCII, one byte a character.
bool asciiBased(const std::string& c) {
    static const char* const prefixes[] = {"us-ascii", "ascii", "iso-8859-", "windows-125",
                                           "cp125",    "koi8-", "latin"};
    for (const char* p : prefixes)
        if (c.rfind(p, 0) == 0) return true;
    return false;
}

}  // namespace

bool detail::allAscii(std::string_view bytes) {
    // Eight bytes at a time: this runs over every body.
    const char* p = bytes.data();
    size_t n = bytes.size();
    std::uint64_t high = 0;
    for (; n >= 32; p += 32, n -= 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        high |= (w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL;
        if (high) return false;
    }
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p) & 0x80;
    return high == 0;
}

bool detail::undeclaredCharset(std::string_view charset) {
    const std::string c = normalizeCharset(charset);
    return c.empty() || c == "us-ascii" || c == "ascii";
}

namespace {

using detail::allAscii;

std::string decodeText(std::string_view bytes, std::string_view charset,
                       const detail::TextGuess* guess) {
    std::string c = normalizeCharset(charset);
    // Plain ASCII in an ASCII-based charset is already UTF-8: no decoder needed.
    if (asciiBased(c) && allAscii(bytes)) return std::string(bytes);
    std::string out;
    const bool undeclared = c.empty() || c == "us-ascii" || c == "ascii";
    if (!undeclared && c != "utf-8" && c != "utf8" && tryConvert(bytes, decoderFor(c), out))
        return out;
    if (validUtf8(bytes)) return std::string(bytes);
    if (c == "utf-8" || c == "utf8") {
        tryConvert(bytes, "UTF-8", out);  // marks the broken sequences
        return out;
    }
    if (guess) return guess->decode(bytes);
    if (tryConvert(bytes, "WINDOWS-1252", out)) return out;
    return std::string(bytes);
}

// The charset parameters written anywhere in a message (Content-Type fields and
// HTML <meta> tags alike), as decoders, in order of appearance.
void declaredCharsets(std::string_view raw, std::vector<std::string>& out) {
    static const std::string_view needle = "harset";
    size_t pos = 0;
    while (pos < raw.size()) {
        // Case-insensitive search for "charset" followed by "=".
        size_t at = std::string_view::npos;
        for (size_t i = pos; i + needle.size() < raw.size(); ++i) {
            if ((raw[i] | 0x20) != 'h' || i == 0 || (raw[i - 1] | 0x20) != 'c') continue;
            if (g_ascii_strncasecmp(raw.data() + i, needle.data(), needle.size()) != 0) continue;
            at = i + needle.size();
            break;
        }
        if (at == std::string_view::npos) return;
        pos = at;
        while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '\t')) ++pos;
        if (pos >= raw.size() || raw[pos] != '=') continue;
        ++pos;
        while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '"' || raw[pos] == '\'')) ++pos;
        size_t end = pos;
        while (end < raw.size() && end - pos < 40 &&
               (std::isalnum(static_cast<unsigned char>(raw[end])) || raw[end] == '-' ||
                raw[end] == '_' || raw[end] == '.' || raw[end] == ':'))
            ++end;
        const std::string c = normalizeCharset(raw.substr(pos, end - pos));
        pos = end;
        if (c.empty() || c == "utf-8" || c == "utf8" || c == "us-ascii" || c == "ascii" ||
            c == "unknown-8bit" || c == "unknown")
            continue;
        const std::string decoder = decoderFor(c);
        if (std::find(out.begin(), out.end(), decoder) == out.end()) out.push_back(decoder);
    }
}

// What uchardet makes of the lines of `raw` that hold 8-bit bytes and are not
// UTF-8; "" when it cannot tell.
std::string detectedCharset(std::string_view raw) {
    // Enough text to tell, read from the start of the message.
    constexpr size_t kMaxFed = size_t(64) << 10;
    constexpr size_t kMaxRead = size_t(1) << 20;
    // A detector is dear to make: one per thread, reset for every message.
    struct Detector {
        uchardet_t d = uchardet_new();
        ~Detector() { uchardet_delete(d); }
    };
    thread_local Detector kept;
    uchardet_t detector = kept.d;
    uchardet_reset(detector);
    size_t fed = 0;
    size_t pos = 0;
    while (pos < raw.size() && pos < kMaxRead && fed < kMaxFed) {
        size_t nl = raw.find('\n', pos);
        size_t end = nl == std::string_view::npos ? raw.size() : nl + 1;
        std::string_view line = raw.substr(pos, end - pos);
        pos = end;
        if (allAscii(line) || validUtf8(line)) continue;
        uchardet_handle_data(detector, line.data(), line.size());
        fed += line.size();
    }
    uchardet_data_end(detector);
    std::string name = normalizeCharset(uchardet_get_charset(detector));
    if (fed == 0 || name.empty() || name == "ascii" || name == "us-ascii" || name == "utf-8")
        return {};
    return decoderFor(name);
}

}  // namespace

detail::TextGuess::~TextGuess() {
    if (options_) g_mime_parser_options_free(options_);
}

const std::vector<std::string>& detail::TextGuess::declared() const {
    if (!declared_) {
        std::vector<std::string> list;
        declaredCharsets(raw_, list);
        declared_ = std::move(list);
    }
    return *declared_;
}

const std::string& detail::TextGuess::detected() const {
    if (!detected_) detected_ = detectedCharset(raw_);
    return *detected_;
}

const std::vector<std::string>& detail::TextGuess::charsets() const {
    if (!charsets_) {
        std::vector<std::string> list{"UTF-8"};
        for (const std::string& c : declared())
            if (std::find(list.begin(), list.end(), c) == list.end()) list.push_back(c);
        if (!detected().empty() && std::find(list.begin(), list.end(), detected()) == list.end())
            list.push_back(detected());
        if (std::find(list.begin(), list.end(), "WINDOWS-1252") == list.end())
            list.push_back("WINDOWS-1252");
        charsets_ = std::move(list);
    }
    return *charsets_;
}

GMimeParserOptions* detail::TextGuess::options() const {
    if (!options_) {
        parserOptions();
        options_ = g_mime_parser_options_new();
        std::vector<const char*> names;
        for (const std::string& c : charsets()) names.push_back(c.c_str());
        names.push_back(nullptr);
        g_mime_parser_options_set_fallback_charsets(options_, names.data());
    }
    return options_;
}

std::string detail::TextGuess::read(std::string_view bytes, std::string* text) const {
    if (validUtf8(bytes)) {
        if (text) text->assign(bytes);
        return "UTF-8";
    }
    // In order, the first that reads the text whole; the detector only asked
    // when no declared charset does.
    std::string best, bestText, out;
    size_t fewest = SIZE_MAX;
    auto attempt = [&](const std::string& c) {
        size_t errors = 0;
        if (c == "UTF-8" || !tryConvert(bytes, c, out, &errors)) return false;
        if (errors < fewest) {
            fewest = errors;
            best = c;
            bestText.swap(out);
        }
        return errors == 0;
    };
    bool whole = false;
    for (const std::string& c : declared())
        if ((whole = attempt(c))) break;
    if (!whole && !detected().empty()) whole = attempt(detected());
    if (!whole) attempt("WINDOWS-1252");
    if (best.empty()) {
        if (text) text->assign(bytes);
        return "WINDOWS-1252";
    }
    if (text) *text = std::move(bestText);
    return best;
}

std::string detail::TextGuess::charsetFor(std::string_view bytes) const {
    return read(bytes, nullptr);
}

std::string detail::TextGuess::decode(std::string_view bytes) const {
    std::string text;
    read(bytes, &text);
    return text;
}

std::string detail::toUtf8(std::string_view bytes, std::string_view charset,
                           const TextGuess* guess) {
    parserOptions();  // GMime (and its charset tables) ready
    std::string out = decodeText(bytes, charset, guess);
    // NUL characters carry no text, and readers end a string at the first one.
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    return out;
}

std::string toUtf8(std::string_view bytes, std::string_view charset) {
    return detail::toUtf8(bytes, charset, nullptr);
}

}  // namespace tp::convert
