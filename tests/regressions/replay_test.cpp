// Every input kept under tests/regressions/<target>/ goes through its fuzz entry
// point again; a broken invariant aborts the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/targets.h"

namespace {

namespace fs = std::filesystem;

int replay(const std::string& target, void (*entry)(const std::uint8_t*, std::size_t)) {
    int n = 0;
    const fs::path dir = fs::path(TP_REGRESSIONS) / target;
    if (!fs::is_directory(dir)) return 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        SCOPED_TRACE(e.path().string());
        entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++n;
    }
    return n;
}

TEST(FuzzRegressions, Mailbox) {
    replay("mailbox", tp::fuzz::mailbox);
}

TEST(FuzzRegressions, MailMessage) {
    replay("mail_message", tp::fuzz::mailMessage);
}

TEST(FuzzRegressions, PstImport) {
    replay("pst_import", tp::fuzz::pstImport);
}

}  // namespace
