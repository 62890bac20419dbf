#pragma once
// Mail of particular shapes for the import tests: signed, TNEF.
#include <glib.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tp::test {

inline std::string base64(const std::string& s) {
    gchar* b = g_base64_encode(reinterpret_cast<const guchar*>(s.data()), s.size());
    std::string out(b);
    g_free(b);
    return out;
}

inline std::string sha256(const std::string& s) {
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(s.data()), gssize(s.size()));
    guint8 digest[32];
    gsize length = sizeof digest;
    g_checksum_get_digest(sum, digest, &length);
    g_checksum_free(sum);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// A clear-signed message whose signature carries the digest of `signedOver`
// (as a CMS signature's messageDigest attribute does), with `content` as sent.
inline std::string signedMessage(const std::string& content, const std::string& signedOver) {
    const std::string signature =
        std::string("\x30\x82\x01\x00\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02\x04\x20", 17) +
        sha256(signedOver) + std::string(40, '\x11');
    return "From: Signer <s@example.org>\r\nTo: t@example.org\r\nSubject: signed\r\n"
           "Date: Mon, 4 May 2009 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\";\r\n"
           "\tmicalg=sha-256; boundary=\"sig\"\r\n\r\n"
           "This is a cryptographically signed message in MIME format.\r\n\r\n--sig\r\n" +
           content +
           "\r\n--sig\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=smime.p7s\r\n\r\n" +
           base64(signature) + "\r\n--sig--\r\n";
}

// A TNEF stream ([MS-OXTNEF] 2.1.3): its attributes at message and attachment level.
inline std::string tnefStream(const std::string& body,
                              const std::vector<std::pair<std::string, std::string>>& files) {
    std::string out = std::string("\x78\x9f\x3e\x22", 4) + std::string("\x01\x00", 2);
    auto attribute = [&out](char level, std::uint32_t id, const std::string& data) {
        out += level;
        for (int i = 0; i < 4; ++i) out += char(id >> (8 * i));
        for (int i = 0; i < 4; ++i) out += char(data.size() >> (8 * i));
        out += data;
        unsigned sum = 0;
        for (unsigned char c : data) sum += c;
        out += char(sum & 0xFF);
        out += char((sum >> 8) & 0xFF);
    };
    attribute(1, 0x00089006, std::string("\x00\x00\x01\x00", 4));  // attTnefVersion
    attribute(1, 0x00078008, std::string("IPM.Microsoft Mail.Note\0", 24));
    attribute(1, 0x0002800C, body);  // attBody
    for (const auto& [name, data] : files) {
        attribute(2, 0x00069002, std::string(14, '\0'));  // attAttachRenddata
        attribute(2, 0x00018010, name + '\0');            // attAttachTitle
        attribute(2, 0x0006800F, data);                   // attAttachData
    }
    return out;
}

}  // namespace tp::test
