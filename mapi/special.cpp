// Mail that Outlook stores its own way: signed and encrypted (S/MIME) mail, kept
// with the message class and the one attachment Outlook gives it, and Outlook's
// own winmail.dat (TNEF) attachments, unpacked with libytnef.
#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "mapi/import.h"
#include "mapi/internal.h"

extern "C" {
#include <ytnef.h>
}

namespace tp::convert::detail {

namespace {

bool isSignature(GMimeObject* obj) {
    return isType(obj, "application", "pkcs7-signature") ||
           isType(obj, "application", "x-pkcs7-signature");
}

// `text` with every line break CR LF, as a signature is computed over.
std::string canonical(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// The bytes of the first part of the multipart/signed body in `body`, as
// written: from after its delimiter line to the line break before the next.
std::optional<std::string_view> firstPart(std::string_view body, const std::string& boundary) {
    const std::string dash = "--" + boundary;
    size_t at = body.rfind(dash, 0) == 0 ? 0 : body.find("\n" + dash);
    if (at == std::string_view::npos) return std::nullopt;
    if (at != 0) ++at;
    size_t start = body.find('\n', at);
    if (start == std::string_view::npos) return std::nullopt;
    ++start;
    size_t next = body.find("\n" + dash, start);
    if (next == std::string_view::npos) return std::nullopt;
    size_t end = next;
    if (end > start && body[end - 1] == '\r') --end;
    return body.substr(start, end - start);
}

}  // namespace

bool intactSignature(GMimeObject* top, std::string_view body) {
    if (!GMIME_IS_MULTIPART(top) || !isType(top, "multipart", "signed")) return false;
    GMimeMultipart* mp = GMIME_MULTIPART(top);
    if (g_mime_multipart_get_count(mp) != 2) return false;
    GMimeObject* signature = g_mime_multipart_get_part(mp, 1);
    if (!isSignature(signature) || !GMIME_IS_PART(signature)) return false;
    const char* boundary = g_mime_multipart_get_boundary(mp);
    if (!boundary) return false;
    const auto signedPart = firstPart(body, boundary);
    if (!signedPart) return false;
    // The signature carries the digest of the signed content among its signed
    // attributes: while that content still has this digest, nothing in it was
    // changed (removing an attachment would change it).
    const std::string blob = partContent(GMIME_PART(signature));
    const std::string content = canonical(*signedPart);
    for (GChecksumType type : {G_CHECKSUM_SHA256, G_CHECKSUM_SHA1, G_CHECKSUM_SHA512,
                               G_CHECKSUM_SHA384, G_CHECKSUM_MD5}) {
        GChecksum* sum = g_checksum_new(type);
        g_checksum_update(sum, reinterpret_cast<const guchar*>(content.data()),
                          gssize(content.size()));
        std::array<std::uint8_t, 64> digest{};
        gsize length = digest.size();
        g_checksum_get_digest(sum, digest.data(), &length);
        g_checksum_free(sum);
        const std::string_view d(reinterpret_cast<const char*>(digest.data()), length);
        if (blob.find(d) != std::string::npos) return true;
    }
    return false;
}

bool opaqueSmime(GMimeObject* top) {
    if (!top || !GMIME_IS_PART(top)) return false;
    if (isType(top, "application", "pkcs7-mime") || isType(top, "application", "x-pkcs7-mime"))
        return true;
    // Opaque-signed and encrypted mail also comes as application/octet-stream
    // named *.p7m, as older mail programs wrote it.
    const std::string name = lower(str(g_mime_part_get_filename(GMIME_PART(top))));
    return isType(top, "application", "octet-stream") && name.size() > 4 &&
           name.compare(name.size() - 4, 4, ".p7m") == 0;
}

namespace {

std::string tnefString(variableLength* v) {
    if (!v || !v->data || v->size <= 0) return {};
    std::string s(reinterpret_cast<const char*>(v->data), size_t(v->size));
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

// A string property of a TNEF property list, 8-bit (in the code page) or Unicode.
std::string tnefText(MAPIProps* props, unsigned id, std::string_view charset) {
    if (variableLength* v = MAPIFindProperty(props, PROP_TAG(PT_UNICODE, id));
        v && v != MAPI_UNDEFINED && v->data && v->size > 0) {
        gchar* utf8 = g_convert(reinterpret_cast<const gchar*>(v->data), v->size, "UTF-8",
                                "UTF-16LE", nullptr, nullptr, nullptr);
        std::string s = utf8 ? utf8 : "";
        g_free(utf8);
        while (!s.empty() && s.back() == '\0') s.pop_back();
        return s;
    }
    if (variableLength* v = MAPIFindProperty(props, PROP_TAG(PT_STRING8, id));
        v && v != MAPI_UNDEFINED)
        return toUtf8(tnefString(v), charset, nullptr);
    return {};
}

}  // namespace

bool unpackTnef(std::string_view data, TnefContent& out) {
    if (data.size() < 6 || data.size() > size_t(INT32_MAX)) return false;
    TNEFStruct tnef;
    TNEFInitialize(&tnef);
    tnef.Debug = 0;
    std::string copy(data);
    if (TNEFParseMemory(reinterpret_cast<BYTE*>(copy.data()), long(copy.size()), &tnef) < 0) {
        TNEFFree(&tnef);
        return false;
    }
    std::string charset;
    if (tnef.CodePage.size >= 4 && tnef.CodePage.data) {
        const unsigned cp =
            unsigned(tnef.CodePage.data[0]) | (unsigned(tnef.CodePage.data[1]) << 8);
        if (cp) charset = "windows-" + std::to_string(cp);
    }
    out.body = tnefText(&tnef.MapiProperties, 0x1000, charset);
    if (out.body.empty()) out.body = toUtf8(tnefString(&tnef.body), charset, nullptr);
    if (variableLength* html = MAPIFindProperty(&tnef.MapiProperties, PROP_TAG(PT_BINARY, 0x1013));
        html && html != MAPI_UNDEFINED && html->data && html->size > 0)
        out.html.assign(reinterpret_cast<const char*>(html->data), size_t(html->size));
    for (Attachment* a = tnef.starting_attach.next; a; a = a->next) {
        TnefContent::File file;
        file.name = tnefText(&a->MAPI, 0x3707, charset);  // PidTagAttachLongFilename
        if (file.name.empty()) file.name = toUtf8(tnefString(&a->Title), charset, nullptr);
        file.contentId = tnefText(&a->MAPI, 0x3712, charset);  // PidTagAttachContentId
        file.mimeType = tnefText(&a->MAPI, 0x370E, charset);   // PidTagAttachMimeTag
        if (a->FileData.data && a->FileData.size > 0) {
            file.data.assign(reinterpret_cast<const char*>(a->FileData.data),
                             size_t(a->FileData.size));
        } else if (variableLength* v = MAPIFindProperty(&a->MAPI, PROP_TAG(PT_BINARY, 0x3701));
                   v && v != MAPI_UNDEFINED && v->data && v->size > 0) {
            file.data.assign(reinterpret_cast<const char*>(v->data), size_t(v->size));
        }
        if (file.name.empty() && file.data.empty()) continue;
        out.files.push_back(std::move(file));
    }
    TNEFFree(&tnef);
    return !out.files.empty() || !out.body.empty() || !out.html.empty();
}

bool isTnef(GMimeObject* obj) {
    if (isType(obj, "application", "ms-tnef") || isType(obj, "application", "vnd.ms-tnef"))
        return true;
    const std::string name =
        GMIME_IS_PART(obj) ? lower(str(g_mime_part_get_filename(GMIME_PART(obj)))) : "";
    return name == "winmail.dat";
}

}  // namespace tp::convert::detail

namespace tp::convert::detail {

bool Importer::fillSigned(GMimeObject* top, std::string_view raw, const TextGuess& guess,
                          pst::Message& out) {
    if (!isType(top, "multipart", "signed")) return false;
    std::string_view head = rawHeaderBlock(raw);
    size_t bodyStart = head.size();
    if (bodyStart < raw.size() && raw[bodyStart] == '\r') ++bodyStart;
    if (bodyStart < raw.size() && raw[bodyStart] == '\n') ++bodyStart;
    const std::string_view body = raw.substr(std::min(bodyStart, raw.size()));
    if (!intactSignature(top, body)) return false;
    // Clear-signed mail: the message class says so, the bodies come from the signed part,
    // and the whole multipart/signed entity, as written, is the one attachment
    // (Outlook checks the signature on it and shows its content).
    out.props.set(tag::PidTagMessageClass, std::string("IPM.Note.SMIME.MultipartSigned"));
    BodyWalk walk;
    walk.walk(g_mime_multipart_get_part(GMIME_MULTIPART(top), 0), true, false, 0);
    std::string plainBytes, htmlBytes;
    std::optional<BodyText> plain, html;
    walkedBodies(walk, plainBytes, htmlBytes, plain, html);
    std::string htmlText;
    addBodies(plain, html, false, guess, out, htmlText);

    std::string entity;
    std::vector<Field> fields;
    size_t ignored = 0;
    if (readHeaderBlock(raw, fields, ignored)) {
        for (const Field& f : fields) {
            if (f.name.size() < 8 || g_ascii_strncasecmp(f.name.data(), "Content-", 8) != 0)
                continue;
            entity.append(f.name.data(), f.name.size());
            entity += ":";
            entity.append(f.raw.data(), f.raw.size());
            entity += "\r\n";
        }
    } else {
        GString_ type(g_mime_content_type_encode(g_mime_object_get_content_type(top), nullptr));
        entity = "Content-Type:" + str(type.get()) + "\r\n";
    }
    entity += "\r\n";
    entity.append(body.data(), body.size());
    std::set<std::string> shortNames;
    addFile("smime.p7m", "multipart/signed", entity, std::string(), out, shortNames);
    return true;
}

}  // namespace tp::convert::detail
