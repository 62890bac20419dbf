#include "fuzz/targets.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "convert/boundaries.h"
#include "convert/mail_message.h"
#include "convert/pst_import.h"
#include "finder/scanner.h"
#include "pst/check/checker.h"
#include "pst/pst.h"
#include "tests/pstimport/item_compare.h"

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

// A scratch folder of this process, in memory where the system offers it.
const fs::path& scratch() {
    static const fs::path dir = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("tp-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(d);
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

}  // namespace

void mailbox(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path path = scratch() / "mailbox.imm";
    writeWhole(path, bytes);

    finder::ScanShared shared;
    finder::Scanner scanner(shared);
    scanner.Text2 = std::string(kSearch);
    scanner.Open_MBOX(path.string());
    scanner.Find_Click();
    // Every step either records a hit or ends the scan; a bound keeps a stuck
    // scanner from hanging the fuzzer instead of failing it.
    std::size_t steps = 0;
    while (!shared.ScanEnded) {
        TP_FUZZ_CHECK(++steps <= size + 2);
        scanner.FindNext_Click();
    }
    scanner.CloseFile();

    if (size >= 2) {
        TP_FUZZ_CHECK(shared.offsets == plainSearch(bytes));
    } else {
        TP_FUZZ_CHECK(shared.offsets.empty());
    }
    std::string listed;
    for (std::uint64_t o : shared.offsets) listed += std::to_string(o) + "|";
    TP_FUZZ_CHECK(listed == shared.MessageOffsets);

    convert::MailboxFile file;
    TP_FUZZ_CHECK(!file.open(path));
    TP_FUZZ_CHECK(file.size() == size);
    const convert::Partition part = convert::findMessages(file, shared.offsets);
    TP_FUZZ_CHECK(!part.error);
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
        for (std::uint64_t o : shared.offsets) {
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
}

void mailMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    convert::MailMessage message;
    if (!message.LoadFromBytes(bytes)) return;
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
    TP_FUZZ_CHECK(reloaded.AttachmentCount() == 1);
    TP_FUZZ_CHECK(reloaded.AttachmentName(0) == "notes.txt");
}

void pstImport(const std::uint8_t* data, std::size_t size) {
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
        return;
    }
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
}

}  // namespace tp::fuzz
