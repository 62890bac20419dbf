// Store-writing benchmark: writes synthetic mail (plain bodies, some attachments)
// into a new .pst and, for comparison, the same message bytes as .eml files.
// Prints time for each, the store's size against the message bytes, and peak RSS.
//   tp-bench-pst OUTDIR [MESSAGES [string8]]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "pst/pst.h"

namespace fs = std::filesystem;
using namespace tp::pst;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tp-bench-pst OUTDIR [MESSAGES [string8]]\n");
        return 2;
    }
    fs::path out = argv[1];
    int count = argc > 2 ? std::atoi(argv[2]) : 20000;
    // "string8": bodies as 8-bit UTF-8 text (code page 65001) instead of UTF-16.
    bool string8 = argc > 3 && std::string(argv[3]) == "string8";
    fs::create_directories(out / "eml");
    fs::remove(out / "bench.pst");
    // Messages are regenerated from their number, so neither writer holds the corpus
    // and the peak RSS is the writers' own.
    struct Mail {
        std::string subject, body;
        Binary attachment;
    };
    auto make = [](int i) {
        std::mt19937 rng(std::uint32_t(i) * 2654435761u + 7);
        static const char words[] =
            "lorem ipsum dolor sit amet consectetur adipiscing elit sed do ";
        Mail m;
        m.subject = "Message " + std::to_string(i);
        std::size_t n = 500 + rng() % 8000;
        while (m.body.size() < n) m.body += words + (rng() % 40);
        m.body.resize(n);
        if (i % 10 == 0) {
            m.attachment.resize(20000 + rng() % 200000);
            for (auto& b : m.attachment) b = std::uint8_t(rng());
        }
        return m;
    };
    std::uint64_t messageBytes = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        Mail mail = make(i);
        std::ofstream f(out / "eml" / (std::to_string(i) + ".eml"), std::ios::binary);
        f << "Subject: " << mail.subject << "\r\n\r\n" << mail.body;
        f.write(reinterpret_cast<const char*>(mail.attachment.data()),
                std::streamsize(mail.attachment.size()));
        messageBytes += mail.subject.size() + mail.body.size() + mail.attachment.size() + 13;
    }
    auto t1 = std::chrono::steady_clock::now();

    std::string err;
    auto store = Store::create(out / "bench.pst", "Bench", err);
    if (!store) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    std::vector<FolderId> folders;
    for (int i = 0; i < 20; ++i)
        folders.push_back(*store->addFolder("Folder " + std::to_string(i), err));
    for (int i = 0; i < count; ++i) {
        Mail mail = make(i);
        Message m;
        m.props.set(0x0037001F, mail.subject);
        if (string8) {
            m.props.set(0x1000001E, mail.body);
            m.props.set(0x3FFD0003, std::int32_t(65001));
            m.props.set(0x3FDE0003, std::int32_t(65001));
        } else {
            m.props.set(0x1000001F, mail.body);
        }
        m.props.set(0x0C1A001F, std::string("Sender Name"));
        m.props.set(0x0E060040, FileTime{133000000000000000ull + std::uint64_t(i)});
        PropertySet r;
        r.set(0x3001001F, std::string("Recipient"));
        r.set(0x3003001F, std::string("rcpt@example.org"));
        m.recipients.push_back(r);
        if (!mail.attachment.empty()) {
            Attachment a;
            a.props.set(0x3707001F, std::string("file.bin"));
            a.data = mail.attachment;
            m.attachments.push_back(std::move(a));
        }
        if (!store->addMessage(folders[std::size_t(i % 20)], m, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
    }
    if (!store->close(err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    auto t2 = std::chrono::steady_clock::now();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    double eml = std::chrono::duration<double>(t1 - t0).count();
    double pst = std::chrono::duration<double>(t2 - t1).count();
    double size = double(fs::file_size(out / "bench.pst"));
    std::printf("messages %d, message bytes %.1f MB\n", count, double(messageBytes) / 1e6);
    std::printf("eml write %.2f s, pst write %.2f s (%.1f MB/s)\n", eml, pst,
                double(messageBytes) / 1e6 / pst);
    std::printf("pst size %.1f MB, ratio %.3f\n", size / 1e6, size / double(messageBytes));
    std::printf("peak RSS %.1f MB (both writers; messages made one at a time)\n",
                double(ru.ru_maxrss) / 1024);
    return 0;
}
