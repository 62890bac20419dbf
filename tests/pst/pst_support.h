#pragma once
// Helpers for the store tests: building messages and running the outside readers.
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "pst/pst.h"

namespace pst_test {

namespace fs = std::filesystem;
using namespace tp::pst;

constexpr std::uint32_t kSubject = 0x0037001F;
constexpr std::uint32_t kBody = 0x1000001F;
constexpr std::uint32_t kSenderName = 0x0C1A001F;
constexpr std::uint32_t kSenderEmail = 0x0C1F001F;
constexpr std::uint32_t kSentRepName = 0x0042001F;
constexpr std::uint32_t kDisplayName = 0x3001001F;
constexpr std::uint32_t kEmail = 0x3003001F;
constexpr std::uint32_t kAddrType = 0x3002001F;
constexpr std::uint32_t kRecipType = 0x0C150003;
constexpr std::uint32_t kAttachLongFilename = 0x3707001F;
constexpr std::uint32_t kAttachFilename = 0x3704001F;
constexpr std::uint32_t kAttachMime = 0x370E001F;
constexpr std::uint32_t kDeliveryTime = 0x0E060040;
constexpr std::uint32_t kHeaders = 0x007D001F;

inline fs::path scratch(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / ("tp-pst-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path p = dir / name;
    fs::remove_all(p);
    if (name.size() > 4 && name.substr(name.size() - 4) != ".pst")
        fs::remove_all(dir / (name + ".export"));
    return p;
}

struct Run {
    int status = -1;
    std::string out;
};

inline Run run(const std::string& cmd) {
    Run r;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = ::pclose(p);
    return r;
}

inline Message simpleMessage(const std::string& subject, const std::string& body,
                             int recipients = 1) {
    Message m;
    m.props.set(kSubject, subject);
    m.props.set(kBody, body);
    m.props.set(0x001A001F, std::string("IPM.Note"));
    m.props.set(kSenderName, std::string("Alice Example"));
    m.props.set(kSenderEmail, std::string("alice@example.org"));
    m.props.set(kSentRepName, std::string("Alice Example"));
    m.props.set(0x0C1E001F, std::string("SMTP"));
    m.props.set(kDeliveryTime, FileTime{133000000000000000ull});
    m.props.set(0x00390040, FileTime{133000000000000000ull});
    for (int i = 0; i < recipients; ++i) {
        PropertySet r;
        r.set(kDisplayName, "Recipient " + std::to_string(i));
        r.set(kEmail, "r" + std::to_string(i) + "@example.org");
        r.set(kAddrType, std::string("SMTP"));
        r.set(kRecipType, std::int32_t(i % 2 ? 2 : 1));
        m.recipients.push_back(std::move(r));
    }
    return m;
}

inline Attachment fileAttachment(const std::string& name, Binary data) {
    Attachment a;
    a.props.set(kAttachLongFilename, name);
    a.props.set(kAttachFilename, name);
    a.props.set(kDisplayName, name);
    a.props.set(kAttachMime, std::string("application/octet-stream"));
    a.data = std::move(data);
    return a;
}

}  // namespace pst_test
