#include <gmime/gmime.h>

#include <algorithm>

#include "convert/pst_import.h"
#include "convert/pst_import_internal.h"

namespace tp::convert::detail {

std::string mimeTypeOf(GMimeObject* obj) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (!ct) return "application/octet-stream";
    GString_ s(g_mime_content_type_get_mime_type(ct));
    return s ? lower(s.get()) : std::string("application/octet-stream");
}

bool isType(GMimeObject* obj, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// The decoded content of a leaf part (transfer encoding undone, charset untouched).
std::string partContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, mem.get());
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
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
    return isType(obj, "text", "plain") || isType(obj, "text", "html");
}

void BodyWalk::walk(GMimeObject* obj, bool bodyAllowed, bool related, int depth) {
    if (GMIME_IS_MULTIPART(obj) && depth < 64) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
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
        if (!plain && isType(obj, "text", "plain")) {
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

void Importer::fillContent(GMimeObject* top, const SimpleBody* simple, const TextGuess& guess,
                           pst::Message& out, int depth) {
    // Bodies and attachments.
    BodyWalk walk;
    if (top) walk.walk(top, true, false, 0);
    std::string htmlText;
    std::optional<BodyText> plain, html;
    std::string plainBytes, htmlBytes;
    if (simple) {
        (simple->html ? html : plain) = BodyText{simple->content, simple->charset};
    } else {
        if (walk.plain) {
            plainBytes = partContent(GMIME_PART(walk.plain));
            plain = BodyText{plainBytes, charsetOf(walk.plain)};
        }
        if (walk.html) {
            htmlBytes = partContent(GMIME_PART(walk.html));
            html = BodyText{htmlBytes, charsetOf(walk.html)};
        }
    }
    const bool related = std::any_of(walk.attachments.begin(), walk.attachments.end(),
                                     [](const BodyWalk::Item& item) { return item.related; });
    addBodies(plain, html, related, guess, out, htmlText);
    std::set<std::string> shortNames;
    for (const auto& item : walk.attachments) addAttachment(item, htmlText, out, shortNames, depth);
}

void Importer::addBodies(const std::optional<BodyText>& plain, const std::optional<BodyText>& html,
                         bool related, const TextGuess& guess, pst::Message& out,
                         std::string& htmlText) {
    int codePage = 0;
    if (plain) {
        out.props.set(tag::Body, toUtf8(plain->content, plain->charset, &guess));
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
        if (related) htmlText = lower(toUtf8(bytes, charset.empty() ? "utf-8" : charset, nullptr));
        out.props.set(tag::Html, pst::Binary(bytes.begin(), bytes.end()));
        codePage = htmlCodePage;
    }
    out.props.set(tag::InternetCodepage, std::int32_t(codePage ? codePage : 65001));
}

}  // namespace tp::convert::detail
