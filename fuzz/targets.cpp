#include "fuzz/targets.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "finder/scanner.h"
#include "mail/mail_message.h"
#include "mailbox/boundaries.h"
#include "mapi/import.h"
#include "pst/check/checker.h"
#include "pst/pst.h"
#include "tests/mapi/item_compare.h"

#define TP_FUZZ_CHECK(cond)                                                                   \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace tp::fuzz {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSearch = "MIME-Version: 1.0";

fs::path scratchPath() {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("tp-fuzz-" + std::to_string(::getpid()));
}

void removeScratch() {
    std::error_code ec;
    fs::remove_all(scratchPath(), ec);
}

// A scratch folder of this process, in memory where the system offers it;
// removed when the process ends normally.
const fs::path& scratch() {
    static const fs::path dir = [] {
        fs::path d = scratchPath();
        fs::create_directories(d);
        std::atexit(removeScratch);
        return d;
    }();
    return dir;
}

void writeWhole(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    TP_FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        TP_FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Non-overlapping occurrences, leftmost first.
std::vector<std::uint64_t> plainSearch(std::string_view hay) {
    std::vector<std::uint64_t> out;
    std::size_t pos = 0;
    while ((pos = hay.find(kSearch, pos)) != std::string_view::npos) {
        out.push_back(pos);
        pos += kSearch.size();
    }
    return out;
}

// An encoded word's own text, when it can be told apart on its own: a whole
// "=?utf-8?B|Q?...?=" (or us-ascii) standing between blanks, its payload complete
// (whole base64 quanta, no quoted-printable escape cut off at its end), its text
// printable UTF-8 without the characters that change how an address list reads.
// Whether the word counts is returned; `text` gets its decoded text.
bool ownText(std::string_view word, std::string& text) {
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=")
        return false;
    const std::string_view inner = word.substr(2, word.size() - 4);
    const std::size_t q1 = inner.find('?');
    if (q1 == std::string_view::npos || q1 + 2 >= inner.size() || inner[q1 + 2] != '?')
        return false;
    std::string charset(inner.substr(0, q1));
    for (char& c : charset) c = char(std::tolower(static_cast<unsigned char>(c)));
    const bool ascii = charset == "us-ascii";
    if (charset != "utf-8" && !ascii) return false;
    const char enc = char(std::toupper(static_cast<unsigned char>(inner[q1 + 1])));
    const std::string_view payload = inner.substr(q1 + 3);
    if (payload.empty() || payload.find('?') != std::string_view::npos) return false;
    if (enc == 'B') {
        if (payload.size() % 4 != 0) return false;
        const std::size_t pad = payload.find('=');
        if (pad != std::string_view::npos && pad < payload.size() - 2) return false;
        for (char c : payload)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=')
                return false;
    } else if (enc == 'Q') {
        const std::size_t eq = payload.rfind('=');
        if (eq != std::string_view::npos && eq + 2 >= payload.size()) return false;
    } else {
        return false;
    }
    gchar* decoded = g_mime_utils_header_decode_text(nullptr, std::string(word).c_str());
    text = decoded ? decoded : "";
    g_free(decoded);
    if (text.empty() || text.find("=?") != std::string::npos) return false;
    if (!g_utf8_validate(text.data(), gssize(text.size()), nullptr)) return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || (ascii && u >= 0x80) || std::strchr("\"\\()<>,;:@[]=?", c))
            return false;
    }
    return true;
}

// A quoted-printable encoded word whose last escape ("=" and two hex digits) is
// cut short: GMime reads its rest from the next word of the run.
bool cutEscape(std::string_view word) {
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=")
        return false;
    const std::string_view inner = word.substr(2, word.size() - 4);
    const std::size_t q1 = inner.find('?');
    if (q1 == std::string_view::npos || q1 + 2 >= inner.size() ||
        std::toupper(static_cast<unsigned char>(inner[q1 + 1])) != 'Q')
        return false;
    const std::size_t eq = inner.rfind('=');
    return eq != std::string_view::npos && eq > q1 + 2 && eq + 2 >= inner.size();
}

// "=?charset?B|Q?payload?=" as a whole, nothing more.
bool wordShape(std::string_view token) {
    if (token.size() < 8 || token.substr(0, 2) != "=?" || token.substr(token.size() - 2) != "?=")
        return false;
    const std::string_view inner = token.substr(2, token.size() - 4);
    const std::size_t q1 = inner.find('?');
    if (q1 == 0 || q1 == std::string_view::npos || q1 + 2 >= inner.size() || inner[q1 + 2] != '?' ||
        !std::strchr("BbQq", inner[q1 + 1]))
        return false;
    return inner.find('?', q1 + 3) == std::string_view::npos;
}

std::string withoutBlanks(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
    return out;
}

// Every encoded word of the fields that show text (the last Subject; To, Cc, Bcc
// and Reply-To; From and Sender when they name one mailbox), decoded on its own,
// shows in the item's text. Checked on header blocks of plain ASCII lines only.
void encodedWordsKept(std::string_view bytes, const pst::Message& item) {
    std::vector<std::pair<std::string, std::string>> fields;  // lower-case name, value
    std::size_t pos = 0;
    for (;;) {
        const std::size_t nl = bytes.find('\n', pos);
        if (nl == std::string_view::npos) return;
        std::string_view line = bytes.substr(pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u >= 0x7F) return;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (fields.empty()) return;
            fields.back().second += " " + std::string(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return;
        std::string name(line.substr(0, colon));
        for (char& c : name) {
            if (c == ' ' || c == '\t') return;
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        fields.emplace_back(name, std::string(line.substr(colon + 1)));
    }
    std::string shown;
    auto add = [&shown](const pst::PropertySet& set) {
        for (const pst::Property& p : set.all()) {
            const std::uint32_t id = p.tag >> 16;
            if (id == 0x007D || id == 0x1000) continue;  // the raw header block, the body
            if (const auto* text = std::get_if<std::string>(&p.value))
                shown += withoutBlanks(*text) + "\n";
        }
    };
    add(item.props);
    for (const pst::PropertySet& r : item.recipients) add(r);

    std::size_t lastSubject = fields.size();
    std::size_t froms = 0, senders = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].first == "subject") lastSubject = i;
        froms += fields[i].first == "from";
        senders += fields[i].first == "sender";
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& [name, value] = fields[i];
        const bool list = name == "to" || name == "cc" || name == "bcc" || name == "reply-to";
        const bool one = (name == "from" && froms == 1) || (name == "sender" && senders == 1);
        if (!(i == lastSubject || list || one)) continue;
        if ((list || one) && value.find_first_of(one ? ",;:(" : ":(") != std::string::npos)
            continue;
        // The text that shows: the subject; of an address, the name before its "<".
        std::vector<std::string_view> parts;
        if (list || one) {
            std::size_t from = 0;
            while (from <= value.size()) {
                std::size_t comma = value.find(',', from);
                if (comma == std::string::npos) comma = value.size();
                const std::string_view element = std::string_view(value).substr(from, comma - from);
                const std::size_t lt = element.find('<');
                if (lt != std::string_view::npos) parts.push_back(element.substr(0, lt));
                from = comma + 1;
            }
        } else {
            parts.push_back(value);
        }
        // Words between blanks.
        for (std::string_view part : parts) {
            // Text that looks like the start of a word but is none: GMime may read
            // what follows it in ways of its own, so the part is not checked.
            bool odd = false;
            for (std::size_t from = 0; from < part.size();) {
                while (from < part.size() && (part[from] == ' ' || part[from] == '\t')) ++from;
                std::size_t to = from;
                while (to < part.size() && part[to] != ' ' && part[to] != '\t') ++to;
                const std::string_view token = part.substr(from, to - from);
                odd = odd || (token.find("=?") != std::string_view::npos && !wordShape(token));
                from = to;
            }
            if (odd) continue;
            std::size_t at = 0;
            bool afterCut = false;  // the word before ends in a cut escape
            while (at < part.size()) {
                while (at < part.size() && (part[at] == ' ' || part[at] == '\t')) ++at;
                std::size_t end = at;
                while (end < part.size() && part[end] != ' ' && part[end] != '\t') ++end;
                const std::string_view token = part.substr(at, end - at);
                const bool after = afterCut;
                afterCut = cutEscape(token);
                std::string text;
                if (end > at && !after && ownText(token, text)) {
                    const std::string want = withoutBlanks(text);
                    if (!want.empty() && shown.find(want) == std::string::npos) {
                        std::fprintf(stderr, "%s: \"%s\" is not in the item\n", name.c_str(),
                                     text.c_str());
                        TP_FUZZ_CHECK(shown.find(want) != std::string::npos);
                    }
                }
                at = end;
            }
        }
    }
}

}  // namespace

std::string mailbox(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path path = scratch() / "mailbox.imm";
    writeWhole(path, bytes);

    // The lines the message finder needs, listed from what the scanner reads.
    struct Lines : finder::ScannerObserver {
        void bytesRead(std::uint64_t offset, std::string_view read) override {
            indexer.add(offset, read.data(), read.size());
        }
        convert::LineStartIndexer indexer;
    } lines;
    const finder::SearchResult search = finder::findAll(path.string(), kSearch, &lines);
    const std::vector<std::uint64_t>& hits = search.offsets;
    TP_FUZZ_CHECK(search.error.empty() && search.searchedToTheEnd == (size >= 2));
    const convert::LineStarts lineStarts = lines.indexer.finish(size);
    if (size >= 2) {
        TP_FUZZ_CHECK(hits == plainSearch(bytes));
    } else {
        TP_FUZZ_CHECK(hits.empty());
    }

    // The string finder window's steps find the same.
    finder::ScanShared shared;
    finder::Scanner scanner(shared);
    scanner.searchInput = std::string(kSearch);
    scanner.openMailbox(path.string());
    scanner.findFirst();
    // Every step either records a hit or ends the scan; a bound keeps a stuck
    // scanner from hanging the fuzzer instead of failing it.
    std::size_t steps = 0;
    while (!shared.ended) {
        TP_FUZZ_CHECK(++steps <= size + 2);
        scanner.findNext();
    }
    scanner.closeFile();
    TP_FUZZ_CHECK(shared.offsets == hits);
    std::string listed;
    for (std::uint64_t o : hits) listed += std::to_string(o) + "|";
    TP_FUZZ_CHECK(listed == shared.offsetList);

    convert::MailboxFile file;
    TP_FUZZ_CHECK(!file.open(path));
    TP_FUZZ_CHECK(file.size() == size);
    const convert::Partition part = convert::findMessages(file, hits);
    TP_FUZZ_CHECK(!part.error);
    // The lines listed during the scan, and two threads meeting halfway, give the
    // same partition.
    const auto same = [&part](const convert::Partition& other) {
        if (other.messages.size() != part.messages.size() ||
            other.doubts.size() != part.doubts.size() || other.leadingBytes != part.leadingBytes ||
            other.leadingHasContent != part.leadingHasContent || other.error != part.error)
            return false;
        for (std::size_t i = 0; i < part.messages.size(); ++i)
            if (other.messages[i].begin != part.messages[i].begin ||
                other.messages[i].end != part.messages[i].end)
                return false;
        for (std::size_t i = 0; i < part.doubts.size(); ++i)
            if (other.doubts[i].offset != part.doubts[i].offset ||
                other.doubts[i].split != part.doubts[i].split ||
                other.doubts[i].why != part.doubts[i].why)
                return false;
        return true;
    };
    TP_FUZZ_CHECK(same(convert::findMessages(file, hits, &lineStarts)));
    if (hits.size() > 1)
        TP_FUZZ_CHECK(same(convert::findMessagesInTwo(file, hits, &lineStarts, hits.size() / 2)));
    // The leading bytes and the messages add up to the file, in order, none empty.
    std::uint64_t at = part.leadingBytes;
    for (const convert::MessageRange& m : part.messages) {
        TP_FUZZ_CHECK(m.begin == at);
        TP_FUZZ_CHECK(m.end > m.begin);
        at = m.end;
    }
    TP_FUZZ_CHECK(at == size);
    // Every message holds what it was found by at the start of a line: a hit, or
    // the Date field of its header block.
    auto lineStart = [&](std::uint64_t o) {
        return o == 0 || bytes[o - 1] == '\n' || bytes[o - 1] == '\r';
    };
    for (const convert::MessageRange& m : part.messages) {
        bool found = false;
        for (std::uint64_t o : hits) {
            if (o >= m.begin && o + kSearch.size() <= m.end && lineStart(o)) found = true;
        }
        const std::string_view text = bytes.substr(m.begin, m.end - m.begin);
        for (std::size_t d = text.find("Date:"); !found && d != std::string_view::npos;
             d = text.find("Date:", d + 1)) {
            if (lineStart(m.begin + d)) found = true;
        }
        TP_FUZZ_CHECK(found);
    }
    // The finder's doubts lie in the file, in order.
    std::uint64_t lastDoubt = 0;
    for (const convert::BoundaryDoubt& d : part.doubts) {
        TP_FUZZ_CHECK(d.offset < size && d.offset >= lastDoubt && !d.why.empty());
        lastDoubt = d.offset;
    }
    // Blank lines (spaces and tabs only) and NULs are not content.
    bool content = false;
    for (std::uint64_t i = 0; i < part.leadingBytes; ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n' && c != '\0' && c != ' ' && c != '\t') content = true;
    }
    TP_FUZZ_CHECK(content == part.leadingHasContent);
    std::string said = "messages";
    for (const convert::MessageRange& m : part.messages)
        said += " " + std::to_string(m.begin) + "-" + std::to_string(m.end);
    return said + ", leading " + std::to_string(part.leadingBytes);
}

std::string mailMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    convert::MailMessage message;
    if (!message.LoadFromBytes(bytes)) return "no message";
    (void)message.MessageDate();
    (void)message.FirstReceivedDate();
    (void)message.Sender();
    (void)convert::MailMessage::HeaderBlock(bytes);
    const int count = message.AttachmentCount();
    TP_FUZZ_CHECK(count >= 0);
    for (int i = 0; i < count; ++i) (void)message.AttachmentName(i);
    if (!convert::MailMessage::MayHaveAttachments(bytes)) TP_FUZZ_CHECK(count == 0);
    // Untouched, the message is the bytes it came from.
    TP_FUZZ_CHECK(!message.changed());
    TP_FUZZ_CHECK(message.bytes() == bytes);

    // The attachment pass removes only the parts without content; when there are
    // none, the message stays the bytes it came from.
    {
        convert::MailMessage some;
        TP_FUZZ_CHECK(some.LoadFromBytes(bytes));
        std::vector<bool> empty;
        bool any = false;
        for (int i = 0; i < count; ++i) {
            empty.push_back(!some.AttachmentHasContent(i));
            any = any || empty.back();
        }
        some.RemoveAttachments(empty);
        if (!any) TP_FUZZ_CHECK(!some.changed() && some.bytes() == bytes);
    }

    message.RemoveAllAttachments();
    TP_FUZZ_CHECK(message.AttachmentCount() == 0);
    if (count == 0) TP_FUZZ_CHECK(message.bytes() == bytes);
    const std::string stripped = message.bytes();
    {
        convert::MailMessage again;
        if (again.LoadFromBytes(stripped)) TP_FUZZ_CHECK(again.AttachmentCount() == 0);
    }

    static const fs::path file = [] {
        const fs::path p = scratch() / "notes.txt";
        writeWhole(p, "an attached file\r\n");
        return p;
    }();
    // AttachmentCount speaks of the message as loaded; the added file shows once the
    // saved message is read again.
    TP_FUZZ_CHECK(message.AttachFile(file).empty());
    const fs::path saved = scratch() / "saved.eml";
    TP_FUZZ_CHECK(message.SaveToFile(saved));
    convert::MailMessage reloaded;
    TP_FUZZ_CHECK(reloaded.LoadFromFile(saved));
    // The file is then the only attachment, also where the body is itself a message
    // (message/rfc822 at the top): that message's attachments went with the others.
    TP_FUZZ_CHECK(reloaded.AttachmentCount() == 1);
    TP_FUZZ_CHECK(reloaded.AttachmentName(0) == "notes.txt");
    return "attachments " + std::to_string(count);
}

std::string pstImport(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    pst::Message item;
    std::string error;
    convert::ImportOptions options;
    options.now = convert::fileTimeFromUnix(1700000000);
    const bool imported = convert::importMessage(bytes, item, error, options);
    // Our header reader and GMime's message parser give the same item.
    {
        pst::Message whole;
        std::string why;
        convert::ImportOptions gmime = options;
        gmime.wholeParse = true;
        TP_FUZZ_CHECK(convert::importMessage(bytes, whole, why, gmime) == imported);
        const std::string difference = test::differenceOf(item, whole);
        if (!difference.empty()) std::fprintf(stderr, "readers differ: %s\n", difference.c_str());
        TP_FUZZ_CHECK(difference.empty());
    }
    if (!imported) {
        TP_FUZZ_CHECK(!error.empty());
        return "refused: " + error;
    }
    encodedWordsKept(bytes, item);
    const fs::path path = scratch() / "store.pst";
    std::error_code ec;
    fs::remove(path, ec);
    auto store = pst::Store::create(path, "Fuzz", error);
    TP_FUZZ_CHECK(store != nullptr);
    auto folder = store->addFolder("Inbox", error);
    TP_FUZZ_CHECK(folder.has_value());
    // A message the store refuses must say why; either way the store closes whole.
    if (!store->addMessage(*folder, item, error)) TP_FUZZ_CHECK(!error.empty());
    TP_FUZZ_CHECK(store->close(error));
    store.reset();
    const pst::check::Report report = pst::check::checkStore(path);
    if (!report.clean()) {
        std::fprintf(stderr, "store check: %s\n", report.fatal.c_str());
        for (const auto& f : report.findings.list())
            std::fprintf(stderr, "  %s %s: %s\n", f.code.c_str(), f.where.c_str(),
                         f.message.c_str());
    }
    TP_FUZZ_CHECK(report.clean());
    // The subject as the store holds it (UTF-8), as the user would read it.
    std::string subject = "(none)";
    if (const pst::Property* p = item.props.find(0x0037001F)) {
        if (const auto* text = std::get_if<std::string>(&p->value)) subject = *text;
    }
    // A long one is cut after about 40 bytes, between two characters.
    if (subject.size() > 48) {
        std::size_t cut = 40;
        while (cut > 0 && (static_cast<unsigned char>(subject[cut]) & 0xC0) == 0x80) --cut;
        subject = subject.substr(0, cut) + "... (" + std::to_string(subject.size()) + " bytes)";
    }
    return "imported \"" + subject + "\", " + std::to_string(item.attachments.size()) +
           " attachments, " + std::to_string(item.recipients.size()) + " recipients";
}

}  // namespace tp::fuzz
