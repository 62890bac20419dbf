#include "pst/messaging/values.h"

#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tp::pst {

void PropertySet::set(std::uint32_t tag, PropData value) {
    for (auto& p : props_)
        if (!p.named && p.tag == tag) {
            p.value = std::move(value);
            return;
        }
    props_.push_back({tag, std::nullopt, std::move(value)});
}

void PropertySet::setNamed(const NamedProp& name, PropData value) {
    for (auto& p : props_)
        if (p.named && p.named->guid == name.guid && p.named->id == name.id &&
            p.named->name == name.name) {
            p.value = std::move(value);
            p.named->type = name.type;
            return;
        }
    props_.push_back({makeTag(0, name.type), name, std::move(value)});
}

const Property* PropertySet::find(std::uint32_t tag) const {
    for (const auto& p : props_)
        if (!p.named && p.tag == tag) return &p;
    return nullptr;
}

std::optional<FileTime> fixedClock() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return std::nullopt;
    std::uint64_t seconds = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || seconds > 253402300799ull) return std::nullopt;
        seconds = seconds * 10 + std::uint64_t(*p - '0');
    }
    if (seconds > 253402300799ull) return std::nullopt;  // after 9999-12-31
    return FileTime{(seconds + 11644473600ull) * 10000000ull};
}

namespace messaging {
namespace {

template <class T>
ltp::Bytes raw(T v) {
    ltp::Bytes b(sizeof(T));
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

}  // namespace

ltp::Bytes utf16(const std::string& s) {
    // At most two bytes out per byte in (a four-byte sequence gives a surrogate
    // pair); the buffer is cut to what was written.
    ltp::Bytes out(s.size() * 2);
    std::uint8_t* o = out.data();
    const auto* in = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    auto put = [&o](std::uint32_t unit) {
        o[0] = std::uint8_t(unit);
        o[1] = std::uint8_t(unit >> 8);
        o += 2;
    };
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII, the bulk of mail text, widen without decoding: sixteen
        // bytes at a time where the processor allows, then one at a time.
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        while (i + 16 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            if (_mm_movemask_epi8(v) != 0) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(v, zero));
            o += 32;
            i += 16;
        }
#endif
        while (i < n && in[i] < 0x80) {
            o[0] = in[i++];
            o[1] = 0;
            o += 2;
        }
        if (i == n) break;
        unsigned char c = in[i];
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if ((c >> 5) == 0x6 || (c >> 4) == 0xE || (c >> 3) == 0x1E) {
            len = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
            std::uint32_t v = c & (0x7F >> len);
            bool ok = i + len <= n;
            for (std::size_t k = 1; ok && k < len; ++k) {
                unsigned char d = in[i + k];
                if ((d >> 6) != 0x2) ok = false;
                v = (v << 6) | (d & 0x3F);
            }
            static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= minimum[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF))
                cp = v;
            else
                len = 1;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    out.resize(std::size_t(o - out.data()));
    return out;
}

bool encodeValue(std::uint32_t tag, const PropData& value, ltp::Bytes& out) {
    auto asInt = [&](std::int64_t& v) {
        if (auto p = std::get_if<std::int16_t>(&value)) return v = *p, true;
        if (auto p = std::get_if<std::int32_t>(&value)) return v = *p, true;
        if (auto p = std::get_if<bool>(&value)) return v = *p ? 1 : 0, true;
        if (auto p = std::get_if<std::int64_t>(&value)) return v = *p, true;
        if (auto p = std::get_if<FileTime>(&value)) return v = std::int64_t(p->ticks), true;
        return false;
    };
    std::int64_t n = 0;
    switch (tagType(tag)) {
        case PropType::Int16:
            if (!asInt(n)) return false;
            out = raw(std::int16_t(n));
            return true;
        case PropType::Int32:
            if (!asInt(n)) return false;
            out = raw(std::int32_t(n));
            return true;
        case PropType::Boolean:
            if (!asInt(n)) return false;
            out = {std::uint8_t(n != 0)};
            return true;
        case PropType::Int64:
        case PropType::Time:
            if (!asInt(n)) return false;
            out = raw(n);
            return true;
        case PropType::String:
            if (auto p = std::get_if<std::string>(&value)) return out = utf16(*p), true;
            return false;
        case PropType::String8:
            if (auto p = std::get_if<std::string>(&value))
                return out.assign(p->begin(), p->end()), true;
            return false;
        case PropType::Guid:
            if (auto p = std::get_if<Binary>(&value); p && p->size() == 16) return out = *p, true;
            return false;
        case PropType::Binary:
            if (auto p = std::get_if<Binary>(&value)) return out = *p, true;
            if (auto p = std::get_if<std::string>(&value))
                return out.assign(p->begin(), p->end()), true;
            return false;
        case PropType::MultiString: {
            auto p = std::get_if<std::vector<std::string>>(&value);
            if (!p) return false;
            // Count, offsets, then the strings ([MS-PST] 2.3.3.4.2).
            std::vector<ltp::Bytes> parts;
            for (const auto& s : *p) parts.push_back(utf16(s));
            out.assign(4 + 4 * parts.size(), 0);
            std::uint32_t count = std::uint32_t(parts.size());
            std::memcpy(out.data(), &count, 4);
            for (std::size_t i = 0; i < parts.size(); ++i) {
                std::uint32_t off = std::uint32_t(out.size());
                std::memcpy(&out[4 + 4 * i], &off, 4);
                out.insert(out.end(), parts[i].begin(), parts[i].end());
            }
            return true;
        }
    }
    return false;
}

std::uint64_t valueBytes(const std::vector<ltp::Value>& values) {
    std::uint64_t total = 0;
    for (const auto& v : values) total += v.treeBid ? v.treeSize : v.bytes.size();
    return total;
}

}  // namespace messaging
}  // namespace tp::pst
