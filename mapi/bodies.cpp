#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "mapi/import.h"
#include "mapi/internal.h"

namespace tp::convert::detail {

std::string mimeTypeOf(GMimeObject* obj) {
    if (bareTextType(obj)) return "text/plain";
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (!ct) return "application/octet-stream";
    GString_ s(g_mime_content_type_get_mime_type(ct));
    return s ? lower(s.get()) : std::string("application/octet-stream");
}

bool isType(GMimeObject* obj, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

bool bareTextType(GMimeObject* obj) {
    // RFC 2045 5.2: a Content-Type GMime cannot read ("text" without a subtype)
    // is taken as text/plain. GMime makes such a part application/octet-stream.
    if (!isType(obj, "application", "octet-stream")) return false;
    std::string v = lower(str(g_mime_object_get_header(obj, "Content-Type")));
    v = trim(v.substr(0, v.find(';')));
    return v == "text";
}

bool isPlainText(GMimeObject* obj) {
    return isType(obj, "text", "plain") || bareTextType(obj);
}

namespace {

std::string bytesOf(GMimeStream* mem) {
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

bool base64Char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

bool cleanBase64(std::string_view raw) {
    bool padding = false;
    for (char c : raw) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == '=') {
            padding = true;
        } else if (padding || !base64Char(c)) {
            return false;
        }
    }
    return true;
}

namespace {

std::string decodeBase64(std::string_view raw) {
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, GMIME_CONTENT_ENCODING_BASE64);
    std::string out(g_mime_encoding_outlen(&state, raw.size()) + 16, '\0');
    size_t n = g_mime_encoding_step(&state, raw.data(), raw.size(), out.data());
    n += g_mime_encoding_flush(&state, "", 0, out.data() + n);
    out.resize(n);
    return out;
}

bool blank(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

std::string lenientBase64Text(std::string_view raw) {
    // Runs of base64 lines are decoded; a line that is no base64 (text typed
    // under a base64 label, a footer added by a list server) stays as written.
    std::string out, run;
    auto flush = [&] {
        if (run.empty()) return;
        out += decodeBase64(run);
        if (!out.empty() && out.back() != '\n') out += "\r\n";
        run.clear();
    };
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t nl = raw.find('\n', pos);
        size_t next = nl == std::string_view::npos ? raw.size() : nl + 1;
        std::string_view line = raw.substr(pos, next - pos);
        std::string_view body = line;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == ' ' ||
                                 body.back() == '\t'))
            body.remove_suffix(1);
        if (std::all_of(body.begin(), body.end(),
                        [](char c) { return base64Char(c) || c == '='; })) {
            run += body;
        } else {
            flush();
            out += line;
        }
        pos = next;
    }
    flush();
    return out;
}

std::string partContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, mem.get());
    std::string decoded = bytesOf(mem.get());
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding != GMIME_CONTENT_ENCODING_BASE64 && !decoded.empty()) return decoded;
    if (encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
        encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY)
        return decoded;
    // A transfer encoding was undone: a broken one is read leniently, and never
    // to nothing while there is something there.
    GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 && !decoded.empty()) {
        // Base64 as encoders write it is no longer than its content needs, line
        // breaks included: no need to look at it again.
        const std::int64_t length = g_mime_stream_length(stream);
        const std::int64_t needed = std::int64_t((decoded.size() + 2) / 3 * 4);
        if (length >= 0 && length <= needed + (needed / 60 + 1) * 2) return decoded;
    }
    GPtr<GMimeStream> rawMem(g_mime_stream_mem_new());
    g_mime_stream_reset(stream);
    g_mime_stream_write_to_stream(stream, rawMem.get());
    g_mime_stream_reset(stream);
    std::string raw = bytesOf(rawMem.get());
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 && !cleanBase64(raw)) {
        GMimeObject* obj = GMIME_OBJECT(part);
        if (isType(obj, "text", "*") || bareTextType(obj)) return lenientBase64Text(raw);
    }
    if (decoded.empty() && !blank(raw)) return raw;
    return decoded;
}

std::string charsetOf(GMimeObject* obj) {
    return str(g_mime_object_get_content_type_parameter(obj, "charset"));
}

bool declaredAttachment(GMimeObject* obj) {
    const char* disposition = g_mime_object_get_disposition(obj);
    if (disposition && g_ascii_strcasecmp(disposition, "attachment") == 0) return true;
    return GMIME_IS_PART(obj) && g_mime_part_get_filename(GMIME_PART(obj)) != nullptr;
}

bool BodyWalk::canCarryBody(GMimeObject* obj) {
    if (declaredAttachment(obj)) return false;
    if (GMIME_IS_MULTIPART(obj)) return true;
    return isPlainText(obj) || isType(obj, "text", "html");
}

void BodyWalk::walk(GMimeObject* obj, bool bodyAllowed, bool related, int depth) {
    if (GMIME_IS_MULTIPART(obj) && depth < 64) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
        if (n == 0) {
            unreadable.push_back(obj);
            return;
        }
        if (isType(obj, "multipart", "alternative")) {
            for (int i = 0; i < n; ++i)
                walk(g_mime_multipart_get_part(mp, i), bodyAllowed, related, depth + 1);
        } else if (isType(obj, "multipart", "related")) {
            int root = 0;
            std::string start =
                stripAngles(str(g_mime_object_get_content_type_parameter(obj, "start")));
            for (int i = 0; i < n && !start.empty(); ++i) {
                if (str(g_mime_object_get_content_id(g_mime_multipart_get_part(mp, i))) == start)
                    root = i;
            }
            for (int i = 0; i < n; ++i)
                walk(g_mime_multipart_get_part(mp, i), bodyAllowed && i == root,
                     i == root ? related : true, depth + 1);
        } else {
            bool taken = false;
            for (int i = 0; i < n; ++i) {
                GMimeObject* child = g_mime_multipart_get_part(mp, i);
                bool candidate = bodyAllowed && !taken && canCarryBody(child);
                taken = taken || candidate;
                walk(child, candidate, related, depth + 1);
            }
        }
        return;
    }
    if (GMIME_IS_PART(obj) && bodyAllowed && !declaredAttachment(obj)) {
        if (!plain && isPlainText(obj)) {
            plain = obj;
            return;
        }
        if (!html && isType(obj, "text", "html")) {
            html = obj;
            return;
        }
    }
    attachments.push_back({obj, related});
}

void Importer::walkedBodies(const BodyWalk& walk, std::string& plainBytes, std::string& htmlBytes,
                            std::optional<BodyText>& plain, std::optional<BodyText>& html) {
    if (walk.plain) {
        plainBytes = partContent(GMIME_PART(walk.plain));
        plain = BodyText{plainBytes, charsetOf(walk.plain)};
    }
    if (walk.html) {
        htmlBytes = partContent(GMIME_PART(walk.html));
        html = BodyText{htmlBytes, charsetOf(walk.html)};
    }
}

void Importer::fillContent(GMimeObject* top, const SimpleBody* simple, const TextGuess& guess,
                           std::string_view raw, pst::Message& out, int depth) {
    if (top && GMIME_IS_MULTIPART(top) && fillSigned(top, raw, guess, out)) return;
    // Bodies and attachments.
    BodyWalk walk;
    if (top) walk.walk(top, true, false, 0);
    std::string htmlText;
    std::optional<BodyText> plain, html;
    std::string plainBytes, htmlBytes;
    if (simple) {
        (simple->html ? html : plain) = BodyText{simple->content, simple->charset};
    } else {
        walkedBodies(walk, plainBytes, htmlBytes, plain, html);
        // A structure that cannot be read: its text, undecoded, joins the plain body.
        std::string plainCharset = walk.plain ? charsetOf(walk.plain) : std::string();
        for (GMimeObject* mp : walk.unreadable) {
            const char* prologue = g_mime_multipart_get_prologue(GMIME_MULTIPART(mp));
            const char* epilogue = g_mime_multipart_get_epilogue(GMIME_MULTIPART(mp));
            std::string text = str(prologue) + str(epilogue);
            if (text.empty()) continue;
            if (!plainBytes.empty()) plainBytes += "\r\n";
            plainBytes += text;
            // Mixed with text of unknown charset, the whole is read as undeclared.
            plainCharset.clear();
        }
        if (walk.plain || !plainBytes.empty()) plain = BodyText{plainBytes, plainCharset};
    }
    const bool related = std::any_of(walk.attachments.begin(), walk.attachments.end(),
                                     [](const BodyWalk::Item& item) { return item.related; });
    addBodies(plain, html, related, guess, out, htmlText);
    std::set<std::string> shortNames;
    for (const auto& item : walk.attachments)
        if (!isTnef(item.object) || !addTnef(item.object, out, shortNames))
            addAttachment(item, htmlText, out, shortNames, depth);
    if (top && opaqueSmime(top)) {
        // Opaque-signed or encrypted ([MS-OXOSMIME], opaque-signed and encrypted messages): the one
        // attachment holds it all, the item has no body of its own.
        out.props.set(tag::PidTagMessageClass, std::string("IPM.Note.SMIME"));
    }
}

namespace {

// The character an HTML entity names (the common ones), as UTF-8; "" if unknown.
std::string entity(std::string_view name) {
    if (!name.empty() && name[0] == '#') {
        long code = 0;
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        for (size_t i = hex ? 2 : 1; i < name.size(); ++i) {
            const char c = name[i];
            int d = c >= '0' && c <= '9'          ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
            if (d < 0 || code > 0x10FFFF) return {};
            code = code * (hex ? 16 : 10) + d;
        }
        if (code <= 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
        char buf[8];
        return std::string(buf, size_t(g_unichar_to_utf8(gunichar(code), buf)));
    }
    static const std::pair<const char*, const char*> named[] = {
        {"amp", "&"},    {"lt", "<"},     {"gt", ">"},     {"quot", "\""},  {"apos", "'"},
        {"nbsp", " "},   {"copy", "©"},   {"reg", "®"},    {"trade", "™"},  {"euro", "€"},
        {"pound", "£"},  {"yen", "¥"},    {"cent", "¢"},   {"sect", "§"},   {"deg", "°"},
        {"hellip", "…"}, {"mdash", "—"},  {"ndash", "–"},  {"laquo", "«"},  {"raquo", "»"},
        {"lsquo", "‘"},  {"rsquo", "’"},  {"ldquo", "“"},  {"rdquo", "”"},  {"bull", "•"},
        {"middot", "·"}, {"times", "×"},  {"auml", "ä"},   {"ouml", "ö"},   {"uuml", "ü"},
        {"Auml", "Ä"},   {"Ouml", "Ö"},   {"Uuml", "Ü"},   {"szlig", "ß"},  {"eacute", "é"},
        {"egrave", "è"}, {"agrave", "à"}, {"ccedil", "ç"}, {"ecirc", "ê"},  {"aacute", "á"},
        {"iacute", "í"}, {"oacute", "ó"}, {"uacute", "ú"}, {"ntilde", "ñ"}, {"Eacute", "É"},
    };
    for (auto& [n, text] : named)
        if (name == n) return text;
    return {};
}

}  // namespace

std::string htmlToText(std::string_view html) {
    // Tags go, block ends become line breaks, script, style and head go with
    // their content, entities are replaced, runs of blanks become one.
    auto block = [](const char* n) {
        switch (n[0]) {
            case 'p':
                return n[1] == 0 || std::strcmp(n, "pre") == 0;
            case 'b':
                return std::strcmp(n, "br") == 0 || std::strcmp(n, "blockquote") == 0;
            case 'd':
                return std::strcmp(n, "div") == 0;
            case 't':
                return std::strcmp(n, "tr") == 0 || std::strcmp(n, "table") == 0;
            case 'l':
                return std::strcmp(n, "li") == 0;
            case 'u':
            case 'o':
                return n[1] == 'l' && n[2] == 0;
            case 'h':
                return (n[1] == 'r' || (n[1] >= '1' && n[1] <= '6')) && n[2] == 0;
            default:
                return false;
        }
    };
    std::string out;
    out.reserve(html.size() / 2);
    bool space = false;
    auto lineBreak = [&] {
        while (!out.empty() && out.back() == ' ') out.pop_back();
        if (!out.empty() && !(out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0))
            out += "\r\n";
        space = false;
    };
    size_t i = 0;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '<') {
            if (html.compare(i, 4, "<!--") == 0) {
                size_t end = html.find("-->", i + 4);
                i = end == std::string_view::npos ? html.size() : end + 3;
                continue;
            }
            size_t end = html.find('>', i + 1);
            if (end == std::string_view::npos) break;
            std::string_view tag = html.substr(i + 1, end - i - 1);
            const bool closing = !tag.empty() && tag[0] == '/';
            if (closing) tag.remove_prefix(1);
            char name[12] = {};
            for (size_t n = 0; n < tag.size() && n + 1 < sizeof name &&
                               std::isalnum(static_cast<unsigned char>(tag[n]));
                 ++n)
                name[n] = char(std::tolower(static_cast<unsigned char>(tag[n])));
            i = end + 1;
            if (!closing && (std::strcmp(name, "script") == 0 || std::strcmp(name, "style") == 0 ||
                             std::strcmp(name, "head") == 0)) {
                // Their content is no text of the message.
                const std::string close = std::string("</") + name;
                size_t at = i;
                while ((at = html.find("</", at)) != std::string_view::npos &&
                       g_ascii_strncasecmp(html.data() + at, close.data(),
                                           std::min(close.size(), html.size() - at)) != 0)
                    at += 2;
                i = at == std::string_view::npos ? html.size() : at;
                continue;
            }
            if (block(name)) lineBreak();
            continue;
        }
        if (c == '&') {
            size_t semi = html.find(';', i + 1);
            if (semi != std::string_view::npos && semi - i <= 10) {
                std::string text = entity(html.substr(i + 1, semi - i - 1));
                if (!text.empty()) {
                    if (text == " ") {
                        space = !out.empty();
                    } else {
                        if (space) out += ' ';
                        space = false;
                        out += text;
                    }
                    i = semi + 1;
                    continue;
                }
            }
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
            space = !out.empty() && out.back() != '\n';
            ++i;
            continue;
        }
        if (space) out += ' ';
        space = false;
        // A run of plain text at once.
        size_t end = i + 1;
        while (end < html.size()) {
            const char d = html[end];
            if (d == '<' || d == '&' || d == ' ' || d == '\t' || d == '\r' || d == '\n' ||
                d == '\f')
                break;
            ++end;
        }
        out.append(html.data() + i, end - i);
        i = end;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

void Importer::addBodies(const std::optional<BodyText>& plain, const std::optional<BodyText>& html,
                         bool related, const TextGuess& guess, pst::Message& out,
                         std::string& htmlText) {
    int codePage = 0;
    if (plain) {
        out.props.set(tag::PidTagBody, toUtf8(plain->content, plain->charset, &guess));
        // Text read by guess is stored as Unicode: no code page of its own.
        if (!undeclaredCharset(plain->charset) || allAscii(plain->content))
            codePage = codePageOfCharset(plain->charset);
    }
    if (html) {
        std::string bytes(html->content);
        std::string charset = html->charset;
        if (charset.empty()) charset = htmlMetaCharset(bytes);
        int htmlCodePage = codePageOfCharset(charset);
        if (htmlCodePage == 0 || (undeclaredCharset(charset) && !allAscii(bytes))) {
            // Undeclared, labelled US-ASCII while holding 8-bit text, or without a
            // Windows code page: keep the text, as UTF-8.
            bytes = toUtf8(bytes, charset, &guess);
            charset = "utf-8";
            htmlCodePage = 65001;
        }
        if (related || !plain) {
            const std::string text = toUtf8(bytes, charset.empty() ? "utf-8" : charset, nullptr);
            if (related) htmlText = lower(text);
            // Readers, previews and search use the plain text: an HTML-only
            // message gets one made from its HTML.
            if (!plain) out.props.set(tag::PidTagBody, htmlToText(text));
        }
        out.props.set(tag::PidTagHtml, pst::Binary(bytes.begin(), bytes.end()));
        codePage = htmlCodePage;
    }
    out.props.set(tag::PidTagInternetCodepage, std::int32_t(codePage ? codePage : 65001));
}

}  // namespace tp::convert::detail
