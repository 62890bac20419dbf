#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/compiler_quirks.h"
#include "mapi/import.h"
#include "mapi/internal.h"

namespace tp::convert {
namespace detail {

const char* extensionForType(const std::string& mime) {
    static const std::pair<const char*, const char*> known[] = {
        {"image/jpeg", ".jpg"},      {"image/jpg", ".jpg"},      {"image/pjpeg", ".jpg"},
        {"image/gif", ".gif"},       {"image/png", ".png"},      {"image/x-png", ".png"},
        {"image/bmp", ".bmp"},       {"text/plain", ".txt"},     {"text/html", ".htm"},
        {"application/pdf", ".pdf"}, {"message/rfc822", ".eml"}, {"text/calendar", ".ics"},
        {"audio/wav", ".wav"},       {"audio/mpeg", ".mp3"},     {"application/zip", ".zip"},
    };
    for (auto& [type, ext] : known)
        if (mime == type) return ext;
    return ".dat";
}

std::string extensionOf(const std::string& name) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    if (name.find_first_of("/\\", dot) != std::string::npos) return {};
    return name.substr(dot);
}

void Importer::setFileProps(pst::Attachment& att, std::string name, const std::string& mime,
                            const std::string& data, std::set<std::string>& shortNames) {
    pst::PropertySet& a = att.props;
    if (name.empty()) name = std::string("Untitled") + extensionForType(mime);
    std::string ext = extensionOf(name);
    std::string shortName;
    for (int n = 1; n < 100000; ++n) {
        shortName = shortFileName(name, n);
        if (shortNames.insert(lower(shortName)).second) break;
    }
    a.set(tag::PidTagAttachMethod, kAttachByValue);
    a.set(tag::PidTagAttachLongFilename, name);
    a.set(tag::PidTagAttachFilename, shortName);
    a.set(tag::PidTagDisplayName, name);
    if (!ext.empty()) a.set(tag::PidTagAttachExtension, ext);
    a.set(tag::PidTagAttachMimeTag, mime);
    a.set(tag::PidTagAttachSize, clampSize(data.size()));
    att.data.assign(data.begin(), data.end());
}

void Importer::addFile(const std::string& name, const std::string& mime, const std::string& data,
                       const std::string& contentId, pst::Message& out,
                       std::set<std::string>& shortNames) {
    pst::Attachment att;
    setFileProps(att, name, mime.empty() ? "application/octet-stream" : mime, data, shortNames);
    if (!contentId.empty()) att.props.set(tag::PidTagAttachContentId, stripAngles(contentId));
    att.props.set(tag::PidTagAttachmentHidden, false);
    att.props.set(tag::PidTagAttachFlags, std::int32_t(0));
    att.props.set(tag::PidTagRenderingPosition, std::int32_t(-1));
    att.props.set(tag::PidTagCreationTime, options_.now);
    att.props.set(tag::PidTagLastModificationTime, options_.now);
    out.attachments.push_back(std::move(att));
}

bool Importer::addTnef(GMimeObject* obj, pst::Message& out, std::set<std::string>& shortNames) {
    if (!GMIME_IS_PART(obj)) return false;
    TnefContent tnef;
    if (!unpackTnef(partContent(GMIME_PART(obj)), tnef)) return false;
    // Its bodies where the message has none of its own.
    const pst::Property* body = out.props.find(tag::PidTagBody);
    if (!tnef.body.empty() && (!body || std::get<std::string>(body->value).empty()))
        out.props.set(tag::PidTagBody, tnef.body);
    if (!tnef.html.empty() && !out.props.find(tag::PidTagHtml))
        out.props.set(tag::PidTagHtml, pst::Binary(tnef.html.begin(), tnef.html.end()));
    for (const auto& f : tnef.files)
        addFile(f.name, f.mimeType, f.data, f.contentId, out, shortNames);
    return true;
}

void Importer::addAttachment(const BodyWalk::Item& item, const std::string& htmlText,
                             pst::Message& out, std::set<std::string>& shortNames, int depth) {
    GMimeObject* obj = item.object;
    pst::Attachment att;
    pst::PropertySet& a = att.props;
    std::string mime = mimeTypeOf(obj);
    std::string name;
    if (GMIME_IS_PART(obj)) name = trim(str(g_mime_part_get_filename(GMIME_PART(obj))));
    if (name.empty()) name = trim(str(g_mime_object_get_content_type_parameter(obj, "name")));

    GMimeMessage* inner = GMIME_IS_MESSAGE_PART(obj)
                              ? g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj))
                              : nullptr;
    if (inner && depth < kMaxEmbeddingDepth) {
        // message/rfc822: an attached message ([MS-OXCMAIL] 2.2.3.4.2).
        std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> format(g_mime_format_options_new());
        g_mime_format_options_set_newline_format(format.get(), GMIME_NEWLINE_FORMAT_DOS);
        GString_ text(g_mime_object_to_string(GMIME_OBJECT(inner), format.get()));
        std::string_view raw = text ? std::string_view(text.get()) : std::string_view();
        att.embedded = std::make_shared<pst::Message>();
        std::string ignored;
        if (!import(raw, *att.embedded, ignored, depth + 1)) {
            Parsed innerParsed(raw);
            innerParsed.options = parserOptions();
            GMimeHeaders innerHeaders(inner, innerParsed.options);
            fill(innerHeaders, g_mime_message_get_mime_part(inner), nullptr, raw, innerParsed,
                 *att.embedded, depth + 1);
        }
        std::string subject = trim(str(g_mime_message_get_subject(inner)));
        a.set(tag::PidTagAttachMethod, kAttachEmbeddedMessage);
        a.set(tag::PidTagDisplayName,
              name.empty() ? (subject.empty() ? std::string("Untitled") : subject) : name);
        a.set(tag::PidTagAttachMimeTag, std::string("message/rfc822"));
        a.set(tag::PidTagAttachSize, clampSize(raw.size()));
    } else {
        std::string data;
        if (GMIME_IS_PART(obj)) {
            data = partContent(GMIME_PART(obj));
        } else {
            // A part we do not open (nested too deep): keep it whole, as it was written.
            std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> format(
                g_mime_format_options_new());
            g_mime_format_options_set_newline_format(format.get(), GMIME_NEWLINE_FORMAT_DOS);
            GPtr<GMimeStream> mem(g_mime_stream_mem_new());
            GMimeObject* whole = inner ? GMIME_OBJECT(inner) : obj;
            g_mime_object_write_to_stream(whole, format.get(), mem.get());
            GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
            data.assign(reinterpret_cast<const char*>(array->data), array->len);
        }
        if (name.empty() && opaqueSmime(obj)) name = "smime.p7m";
        setFileProps(att, name, mime, data, shortNames);
    }

    std::string contentId = stripAngles(str(g_mime_object_get_content_id(obj)));
    std::string location = trim(str(g_mime_object_get_header(obj, "Content-Location")));
    if (!contentId.empty()) a.set(tag::PidTagAttachContentId, contentId);
    if (!location.empty()) a.set(tag::PidTagAttachContentLocation, location);
    // Inline images of an HTML body ([MS-OXCMAIL] 2.2.3.4.1.4.1): hidden, rendered in body.
    bool referenced = false;
    if (item.related && !htmlText.empty()) {
        const std::string& html = htmlText;  // lower case
        referenced =
            (!contentId.empty() && html.find("cid:" + lower(contentId)) != std::string::npos) ||
            (!location.empty() && html.find(lower(location)) != std::string::npos);
    }
    a.set(tag::PidTagAttachmentHidden, referenced);
    a.set(tag::PidTagAttachFlags, std::int32_t(referenced ? 0x4 : 0));
    a.set(tag::PidTagRenderingPosition, std::int32_t(-1));
    a.set(tag::PidTagCreationTime, options_.now);
    a.set(tag::PidTagLastModificationTime, options_.now);
    out.attachments.push_back(std::move(att));
}

}  // namespace detail

using detail::extensionOf;

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
std::string shortFileName(const std::string& longName, int n) {
    std::string ext = extensionOf(longName);
    std::string base = longName.substr(0, longName.size() - ext.size());
    auto clean = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if (c < 0x80 && (std::isalnum(c) || std::strchr("!#$%&'()-@^_`{}~", c)))
                out += char(std::toupper(c));
        }
        return out;
    };
    std::string b = clean(base);
    std::string e = clean(ext.empty() ? std::string() : ext.substr(1)).substr(0, 3);
    auto upper = [](std::string s) {
        for (auto& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    bool fits = b == upper(base) && !b.empty() && b.size() <= 8 &&
                (ext.empty() || (e.size() == ext.size() - 1 && "." + e == upper(ext))) && n == 1;
    if (!fits) {
        std::string tail = "~" + std::to_string(n);
        if (b.empty()) b = "ATTACH";
        b = b.substr(0, 8 - std::min<size_t>(tail.size(), 7)) + tail;
    }
    return e.empty() ? b : b + "." + e;
}
TP_GCC12_FALSE_RESTRICT_END

}  // namespace tp::convert
