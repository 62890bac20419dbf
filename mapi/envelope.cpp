#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "mapi/import.h"
#include "mapi/internal.h"

namespace tp::convert {
namespace detail {

namespace {

void putUtf16z(pst::Binary& out, const std::string& s) {
    glong n = 0;
    gunichar2* w = g_utf8_to_utf16(s.c_str(), glong(s.size()), nullptr, &n, nullptr);
    if (w) {
        for (glong i = 0; i < n; ++i) {
            out.push_back(std::uint8_t(w[i] & 0xFF));
            out.push_back(std::uint8_t(w[i] >> 8));
        }
        g_free(w);
    }
    out.push_back(0);
    out.push_back(0);
}

std::array<std::uint8_t, 16> md5(std::string_view data) {
    std::array<std::uint8_t, 16> out{};
    GChecksum* sum = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(data.data()), gssize(data.size()));
    gsize len = out.size();
    g_checksum_get_digest(sum, out.data(), &len);
    g_checksum_free(sum);
    return out;
}

void setAddressProps(pst::PropertySet& props, const Person& p, std::uint32_t name,
                     std::uint32_t addrType, std::uint32_t email, std::uint32_t entryId,
                     std::uint32_t searchKey, std::uint32_t smtp) {
    props.set(name, p.display());
    props.set(addrType, std::string("SMTP"));
    props.set(email, p.address);
    props.set(entryId, oneOffEntryId(p.display(), "SMTP", p.address));
    props.set(searchKey, addressSearchKey("SMTP", p.address));
    props.set(smtp, p.address);
}

pst::PropertySet recipientRow(const Person& p, std::int32_t type) {
    pst::PropertySet row;
    row.set(tag::PidTagRecipientType, type);
    row.set(tag::PidTagDisplayName, p.display());
    row.set(tag::PidTagRecipientDisplayName, p.display());
    row.set(tag::PidTagAddressType, std::string("SMTP"));
    row.set(tag::PidTagEmailAddress, p.address);
    row.set(tag::PidTagSmtpAddress, p.address);
    pst::Binary eid = oneOffEntryId(p.display(), "SMTP", p.address);
    row.set(tag::PidTagEntryId, eid);
    row.set(tag::PidTagRecipientEntryId, eid);
    row.set(tag::PidTagSearchKey, addressSearchKey("SMTP", p.address));
    row.set(tag::PidTagObjectType, std::int32_t(6));      // MAPI_MAILUSER
    row.set(tag::PidTagDisplayType, std::int32_t(0));     // DT_MAILUSER
    row.set(tag::PidTagRecipientFlags, std::int32_t(1));  // recipSendable
    row.set(tag::PidTagSendRichInfo, false);
    return row;
}

// The people of a field who can be written to (groups without members left out).
std::vector<Person> people(const HeaderView& headers, GMimeAddressType type) {
    std::vector<Person> out = headers.addresses(type);
    out.erase(std::remove_if(out.begin(), out.end(), [](const Person& p) { return p.displayOnly; }),
              out.end());
    return out;
}

}  // namespace

std::int32_t importanceOf(const HeaderView& msg) {
    // [MS-OXCMAIL] 2.2.3.2.5: Importance first, then Priority, X-Priority, X-MSMail-Priority.
    std::string v = lower(msg.first("Importance"));
    if (v == "low") return 0;
    if (v == "normal") return 1;
    if (v == "high") return 2;
    v = lower(msg.first("Priority"));
    if (v == "non-urgent") return 0;
    if (v == "normal") return 1;
    if (v == "urgent") return 2;
    v = msg.first("X-Priority");
    if (!v.empty() && v[0] >= '1' && v[0] <= '5') return v[0] <= '2' ? 2 : v[0] == '3' ? 1 : 0;
    v = lower(msg.first("X-MSMail-Priority"));
    if (v == "low") return 0;
    if (v == "high") return 2;
    return 1;
}

std::int32_t priorityOf(const HeaderView& msg) {
    std::string v = lower(msg.first("Priority"));
    if (v == "urgent") return 1;
    if (v == "non-urgent") return -1;
    if (v == "normal") return 0;
    v = msg.first("X-Priority");
    if (!v.empty() && v[0] >= '1' && v[0] <= '5') return v[0] <= '2' ? 1 : v[0] == '3' ? 0 : -1;
    return 0;
}

std::int32_t sensitivityOf(const HeaderView& msg) {
    std::string v = lower(msg.first("Sensitivity"));
    if (v == "personal") return 1;
    if (v == "private") return 2;
    if (v == "company-confidential") return 3;
    return 0;
}

void Importer::fillEnvelope(const HeaderView& headers, std::string_view raw, const Parsed& parsed,
                            pst::Message& out, int depth) {
    pst::PropertySet& p = out.props;
    p.set(tag::PidTagMessageClass, std::string("IPM.Note"));

    // Subject ([MS-OXCMAIL] 2.2.3.2.6).
    std::string subject = trim(headers.subject());
    auto [prefix, normalized] = splitSubject(subject);
    p.set(tag::PidTagSubject, subject);
    p.set(tag::PidTagSubjectPrefix, prefix);
    p.set(tag::PidTagNormalizedSubject, normalized);
    p.set(tag::PidTagConversationTopic, normalized);

    // Originator: From is the sent-representing address, Sender (or From) the sender.
    std::vector<Person> from = people(headers, GMIME_ADDRESS_TYPE_FROM);
    std::vector<Person> sender = people(headers, GMIME_ADDRESS_TYPE_SENDER);
    if (from.empty()) from = sender;
    if (sender.empty()) sender = from;
    if (!from.empty())
        setAddressProps(p, from.front(), tag::PidTagSentRepresentingName,
                        tag::PidTagSentRepresentingAddressType,
                        tag::PidTagSentRepresentingEmailAddress, tag::PidTagSentRepresentingEntryId,
                        tag::PidTagSentRepresentingSearchKey,
                        tag::PidTagSentRepresentingSmtpAddress);
    if (!sender.empty())
        setAddressProps(p, sender.front(), tag::PidTagSenderName, tag::PidTagSenderAddressType,
                        tag::PidTagSenderEmailAddress, tag::PidTagSenderEntryId,
                        tag::PidTagSenderSearchKey, tag::PidTagSenderSmtpAddress);
    std::vector<Person> replyTo = people(headers, GMIME_ADDRESS_TYPE_REPLY_TO);
    // Only an address can be replied to: a Reply-To that names nobody (an empty
    // group, a comment, text no reader makes an address of, which is kept as
    // written) gives no entries, and Outlook replies to the sender.
    replyTo.erase(std::remove_if(replyTo.begin(), replyTo.end(),
                                 [](const Person& person) {
                                     return person.address.find('@') == std::string::npos;
                                 }),
                  replyTo.end());
    if (!replyTo.empty()) {
        // MAPI replies to the entries; the names only show them.
        std::vector<pst::Binary> entries;
        for (const Person& person : replyTo)
            entries.push_back(oneOffEntryId(person.display(), "SMTP", person.address));
        p.set(tag::PidTagReplyRecipientEntries, flatEntryList(entries));
        p.set(tag::PidTagReplyRecipientNames, joinDisplay(replyTo));
    }

    // Recipients and their display strings.
    const std::pair<GMimeAddressType, std::int32_t> lists[] = {{GMIME_ADDRESS_TYPE_TO, kRecipTo},
                                                               {GMIME_ADDRESS_TYPE_CC, kRecipCc},
                                                               {GMIME_ADDRESS_TYPE_BCC, kRecipBcc}};
    const std::uint32_t displayTags[] = {tag::PidTagDisplayTo, tag::PidTagDisplayCc,
                                         tag::PidTagDisplayBcc};
    for (int i = 0; i < 3; ++i) {
        std::vector<Person> people = headers.addresses(lists[i].first);
        p.set(displayTags[i], joinDisplay(people));
        for (const auto& person : people)
            if (!person.displayOnly)
                out.recipients.push_back(recipientRow(person, lists[i].second));
    }

    // Dates: Date is the submit time; the newest Received (the first) the delivery time.
    std::optional<pst::FileTime> sent = parsed.sent;
    std::optional<pst::FileTime> received = parsed.received;
    if (!received) received = sent;
    if (!sent) sent = received;
    // A message without either keeps no time at all: none is invented.
    if (sent) p.set(tag::PidTagClientSubmitTime, *sent);
    if (received) {
        p.set(tag::PidTagMessageDeliveryTime, *received);
        p.set(tag::PidTagCreationTime, options_.now);
        p.set(tag::PidTagLastModificationTime, options_.now);
    }

    // Identity and threading.
    std::string messageId = headers.messageId();
    if (!messageId.empty()) p.set(tag::PidTagInternetMessageId, "<" + messageId + ">");
    std::string inReplyTo = headers.first("In-Reply-To");
    if (!inReplyTo.empty()) p.set(tag::PidTagInReplyToId, inReplyTo);
    std::string references = headers.first("References");
    if (!references.empty()) p.set(tag::PidTagInternetReferences, references);

    pst::Binary index;
    std::string threadIndex = headers.first("Thread-Index");
    if (!threadIndex.empty()) {
        gsize len = 0;
        guchar* decoded = g_base64_decode(threadIndex.c_str(), &len);
        // A header block of 22 bytes and whole 5-byte child blocks ([MS-OXOMSG] 2.2.1.3).
        if (decoded && len >= 22 && (len - 22) % 5 == 0 && decoded[0] == 0x01)
            index.assign(decoded, decoded + len);
        g_free(decoded);
    }
    if (index.empty() && depth == 0 && !options_.threadKey.empty()) {
        // The run's book knows the thread: its time, so that the thread's
        // messages share one conversation.
        index = conversationIndex(options_.threadTime, options_.threadKey);
    }
    if (index.empty()) {
        std::string key = references.empty() ? inReplyTo : references;
        size_t close = key.find('>');
        key = close == std::string::npos ? key : key.substr(0, close + 1);
        if (key.empty()) key = messageId.empty() ? std::string(rawHeaderBlock(raw)) : messageId;
        index = conversationIndex(sent.value_or(options_.now), stripAngles(key));
    }
    p.set(tag::PidTagConversationIndex, index);
    p.setNamed(kConversationIndexTracking, true);

    p.set(tag::PidTagTransportMessageHeaders, headerText(rawHeaderBlock(raw), parsed.options));
    p.set(tag::PidTagImportance, importanceOf(headers));
    p.set(tag::PidTagPriority, priorityOf(headers));
    p.set(tag::PidTagSensitivity, sensitivityOf(headers));
}
}  // namespace detail

using detail::md5;
using detail::putUtf16z;

std::pair<std::string, std::string> splitSubject(const std::string& subject) {
    // One to three characters, none a colon, blank or digit, then ":" and blanks.
    const char* s = subject.c_str();
    if (!g_utf8_validate(s, gssize(subject.size()), nullptr)) return {std::string(), subject};
    const char* p = s;
    int count = 0;
    while (*p && count <= 3) {
        gunichar ch = g_utf8_get_char(p);
        if (ch == ':') break;
        if (ch == ' ' || (ch >= '0' && ch <= '9')) return {std::string(), subject};
        p = g_utf8_next_char(p);
        ++count;
    }
    if (*p != ':' || count < 1 || count > 3) return {std::string(), subject};
    std::string prefix(s, size_t(p - s));
    ++p;
    while (*p == ' ') ++p;
    return {prefix + ": ", std::string(p)};
}

pst::Binary oneOffEntryId(const std::string& displayName, const std::string& addressType,
                          const std::string& address) {
    // Flags (4, zero), ProviderUID (MAPI one-off UID), Version (2, zero),
    // flags MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO, then three UTF-16 strings.
    static const std::uint8_t uid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                         0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    pst::Binary out;
    out.reserve(64);
    for (int i = 0; i < 4; ++i) out.push_back(0);
    for (std::uint8_t b : uid) out.push_back(b);
    out.push_back(0);
    out.push_back(0);
    const std::uint16_t flags = 0x8000 | 0x0001;
    out.push_back(std::uint8_t(flags & 0xFF));
    out.push_back(std::uint8_t(flags >> 8));
    putUtf16z(out, displayName);
    putUtf16z(out, addressType);
    putUtf16z(out, address);
    return out;
}

pst::Binary flatEntryList(const std::vector<pst::Binary>& entryIds) {
    auto put32 = [](pst::Binary& out, std::size_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
    };
    pst::Binary entries;
    for (const pst::Binary& id : entryIds) {
        put32(entries, id.size());
        entries.insert(entries.end(), id.begin(), id.end());
        while (entries.size() % 4) entries.push_back(0);  // each entry 4-byte aligned
    }
    pst::Binary out;
    put32(out, entryIds.size());
    put32(out, entries.size());
    out.insert(out.end(), entries.begin(), entries.end());
    return out;
}

pst::Binary addressSearchKey(const std::string& addressType, const std::string& address) {
    std::string key = addressType + ":" + address;
    for (auto& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
    pst::Binary out(key.begin(), key.end());
    out.push_back(0);
    return out;
}

namespace detail {

namespace {
// The first message id of a References or In-Reply-To value, without its angles.
std::string firstId(const std::string& value) {
    const size_t close = value.find('>');
    return stripAngles(close == std::string::npos ? value : value.substr(0, close + 1));
}
}  // namespace

void bookThread(const HeaderView& headers, std::optional<pst::FileTime> time,
                ImportOptions& options) {
    if (!options.threads) return;
    ThreadBook& book = *options.threads;
    const std::string own = stripAngles(headers.messageId());
    const std::string references = headers.first("References");
    // The thread's first message: the first of References (the one that began
    // it), else the one replied to, else the message itself.
    std::string parent = firstId(references.empty() ? headers.first("In-Reply-To") : references);
    if (parent.empty()) parent = own;
    if (parent.empty()) return;
    const auto known = book.threadOf.find(parent);
    const std::string key = known != book.threadOf.end() ? known->second : parent;
    if (!own.empty()) book.threadOf.emplace(own, key);
    options.threadKey = key;
    options.threadTime = book.timeOf.emplace(key, time.value_or(options.now)).first->second;
}

}  // namespace detail

pst::Binary conversationIndex(pst::FileTime time, std::string_view threadKey) {
    pst::Binary out;
    out.push_back(0x01);
    // The 40 high bits of the FILETIME, most significant byte first.
    std::uint64_t t = time.ticks >> 24;
    for (int i = 4; i >= 0; --i) out.push_back(std::uint8_t(t >> (8 * i)));
    auto guid = md5(threadKey);
    guid[6] = std::uint8_t((guid[6] & 0x0F) | 0x30);  // a name-based GUID
    guid[8] = std::uint8_t((guid[8] & 0x3F) | 0x80);
    for (std::uint8_t b : guid) out.push_back(b);
    return out;
}

}  // namespace tp::convert
