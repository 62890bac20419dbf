// The platform layer's promises, natively and as a Windows program under wine
// (platform_check_windows.sh); no GoogleTest. One line per broken promise.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "io/fault.h"
#include "io/file.h"
#include "io/io.h"
#include "io/paths.h"

namespace fs = std::filesystem;
using namespace tp;

namespace {

int failures = 0;

void check(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    ++failures;
    std::printf("broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fails one kind of call once, at its n-th time (1-based), with a full disk; can
// make mailbox reads come back short.
struct Injector : io::FaultInjector {
    io::Op op;
    int at;
    int seen = 0;
    std::uint64_t readPiece = 0;  // 0: reads are left alone
    Injector(io::Op o, int n) : op(o), at(n) {}
    std::error_code before(io::Op o, const fs::path&, std::uint64_t) override {
        if (o == op && ++seen == at) return std::make_error_code(std::errc::no_space_on_device);
        return {};
    }
    std::error_code beforeRead(const fs::path&, std::uint64_t, std::uint64_t& length) override {
        if (readPiece != 0 && length > readPiece) length = readPiece;
        return {};
    }
};
struct Scope {
    explicit Scope(io::FaultInjector* i) { io::setFaultInjector(i); }
    ~Scope() { io::setFaultInjector(nullptr); }
};

void files(const fs::path& dir) {
    // A UTF-8 name is the same file to the system and to std::filesystem.
    const std::string name =
        "\xC3\x9C"
        "bersicht \xE6\x97\xA5\xE6\x9C\xAC.csv";
    const fs::path path = dir / io::pathFromUtf8(name);
    check(io::utf8Of(path.filename()) == name, "a UTF-8 name survives a path and back");

    io::File f;
    check(!f.createNew(path), "a new file is created");
    const std::string data = "Monat;Ausgaben\r\n" + std::string(70000, 'x') + "\r\nEnde";
    check(!f.writeAt(0, data.data(), data.size()), "a write at offset 0");
    check(!f.writeAt(5, "X", 1), "a write in the middle");
    std::uint64_t size = 0;
    check(!f.size(size) && size == data.size(), "the size after writing");
    check(!f.resize(data.size() + 10) && !f.size(size) && size == data.size() + 10,
          "a file grows to the size asked");
    const std::error_code held = f.reserve(0, 1 << 20);
    check(!held || held == std::errc::not_supported, "holding space", held.message());
    check(!f.size(size) && size == data.size() + 10, "holding space leaves the size");
    check(!f.resize(data.size()) && !f.sync() && !f.close(), "cut back, flushed and closed");
    check(f.createNew(path) == std::errc::file_exists, "a second creation is refused");

    io::FileStatus st;
    check(!io::statusOf(path, st) && st.regular && !st.directory && st.size == data.size(),
          "the status of a file found by its UTF-8 name");
    check(!io::statusOf(dir, st) && st.directory && !st.regular, "the status of a folder");
    check(io::statusOf(dir / "missing", st) == std::errc::no_such_file_or_directory,
          "a missing file is missing");

    io::File r;
    check(!r.openRead(path), "an existing file opens for reading");
    std::string expect = data;
    expect[5] = 'X';
    std::string got(data.size() + 100, '\0');
    std::size_t n = 0;
    check(!io::readFull(r, path, got.data(), got.size(), 0, n) && n == data.size() &&
              got.substr(0, n) == expect,
          "a read to the end gives every byte and stops there");
    check(!r.readAt(data.size() + 50, got.data(), 10, n) && n == 0,
          "a read past the end gives nothing and no error");
    {
        Injector inj(io::Op::Write, 0);
        inj.readPiece = 7;
        Scope scope(&inj);
        check(!io::readFull(r, path, got.data(), 1000, 60000, n) && n == 1000 &&
                  got.substr(0, 1000) == expect.substr(60000, 1000),
              "reads made short by the seam are continued");
    }

    io::FileIdentity a, b;
    check(!r.identity(a), "the identity of an open file");
    const fs::path second = dir / "second name.csv";
    std::error_code ec;
    fs::create_hard_link(path, second, ec);
    if (!ec) {
        io::FileStatus s2;
        check(!io::statusOf(second, s2) && s2.identity == a, "two names of one file are one file");
    }
    const fs::path copy = dir / "copy.csv";
    fs::copy_file(path, copy, ec);
    io::File c;
    check(!ec && !c.openRead(copy) && !c.identity(b) && !(a == b), "a copy is another file");
    check(r.openRead(dir) == std::errc::is_a_directory, "a folder is no mailbox");
}

void folders(const fs::path& dir) {
    const fs::path root = dir / "out";
    const fs::path below = root / "tmp" / io::pathFromUtf8("Anh\xC3\xA4nge");
    io::Folder folder;
    check(!folder.open(root, below, true) && fs::is_directory(below),
          "every missing folder down to the one asked is made");
    io::Folder outside;
    check(outside.open(root, dir / "elsewhere", true) == io::Refusal::OutsideTheRoot &&
              !fs::exists(dir / "elsewhere"),
          "a folder outside the output folder is refused");

    check(!folder.writeFile("Email-1.eml", "first") && !folder.writeFile("Email-1.eml", "second") &&
              slurp(below / "Email-1.eml") == "second",
          "a whole file is replaced");
    check(folder.createFile("Email-1.eml", "third") == std::errc::file_exists &&
              slurp(below / "Email-1.eml") == "second",
          "a created file never replaces one");
    {
        Injector inj(io::Op::Write, 1);
        Scope scope(&inj);
        check(folder.writeFile("Email-2.eml", "lost") == std::errc::no_space_on_device &&
                  !fs::exists(below / "Email-2.eml"),
              "a whole file that cannot be written leaves nothing behind");
    }
    fs::create_directories(below / "Email-3.eml");
    check(folder.writeFile("Email-3.eml", "x") == std::errc::is_a_directory,
          "a folder where a file belongs is refused");

    io::AppendFile mbox;
    check(!mbox.open(folder, "\xE6\x97\xA5\xE6\x9C\xAC.mbox", true), "a new .mbox file");
    // (A record that fails is cut away whole: plainForms, the same appends.)
    check(!mbox.appendRecord("From a\r\n\r\none\r\n") && !mbox.close(), "a record is appended");
    check(
        slurp(below / io::pathFromUtf8("\xE6\x97\xA5\xE6\x9C\xAC.mbox")) == "From a\r\n\r\none\r\n",
        "the record is in the file of its UTF-8 name");
    io::AppendFile again;
    check(again.open(folder, "\xE6\x97\xA5\xE6\x9C\xAC.mbox", true) == std::errc::file_exists,
          "an earlier .mbox file is never added to");

    folder.close();
    io::File pst;
    check(!pst.createNew(below / "store.pst.unfinished") && !pst.close(), "(setup)");
    check(io::renameNoReplace(below / "store.pst.unfinished", below / "Email-1.eml") ==
                  std::errc::file_exists &&
              slurp(below / "Email-1.eml") == "second",
          "a rename never replaces a file");
    check(!io::renameNoReplace(below / "store.pst.unfinished", below / "store.pst") &&
              fs::exists(below / "store.pst") && !fs::exists(below / "store.pst.unfinished"),
          "a rename to a free name");
    check(!io::removeFile(below / "store.pst") && !fs::exists(below / "store.pst"),
          "a file is removed");
    check(!!io::removeFile(below / "store.pst"), "a file that is not there is reported");
    {
        Injector inj(io::Op::Remove, 1);
        Scope scope(&inj);
        check(io::removeFile(below / "Email-1.eml") == std::errc::no_space_on_device &&
                  fs::exists(below / "Email-1.eml"),
              "a removal is asked for first");
    }
}

// The plain forms: a whole file written or nothing, whichever step fails, and a
// record of several pieces that fails half-way cut away whole.
void plainForms(const fs::path& dir) {
    const fs::path p = dir / "Email-1.eml";
    const std::string big(3u << 20, 'x');  // written in several pieces
    check(!io::writeFile(p, "hello") && slurp(p) == "hello", "a whole file is written");
    check(!io::removeFile(p), "(setup)");
    for (const io::Op op : {io::Op::Create, io::Op::Write, io::Op::Flush}) {
        Injector inj(op, op == io::Op::Write ? 2 : 1);
        Scope scope(&inj);
        check(io::writeFile(p, big) == std::errc::no_space_on_device && !fs::exists(p),
              "a file that fails at any step leaves nothing behind");
    }
    check(io::writeFile(dir / "no" / "such" / "folder.eml", "x") ==
              std::errc::no_such_file_or_directory,
          "a missing folder is reported");

    io::AppendFile f;
    const fs::path mbox = dir / "Inbox.mbox";
    check(!f.open(mbox) && !f.appendRecord("first\r\n"), "a record into a new file");
    {
        Injector inj(io::Op::Write, 2);
        Scope scope(&inj);
        check(!!f.appendRecord(std::string(3u << 20, 'y')), "a record failing half-way fails");
    }
    check(fs::file_size(mbox) == 7, "a record failing half-way is cut away whole");
    check(!f.appendRecord("second\r\n"), "the next record");
    {
        Injector inj(io::Op::Append, 1);
        Scope scope(&inj);
        check(!!f.appendRecord("third\r\n"), "an append that is refused fails");
    }
    check(!f.close() && slurp(mbox) == "first\r\nsecond\r\n", "only whole records stay");
    check(!!f.appendRecord("closed"), "a closed file takes no record");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: platform_check SCRATCH-FOLDER\n");
        return 2;
    }
    const fs::path dir = io::pathFromUtf8(argv[1]) / "platform-check";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    files(dir);
    folders(dir);
    plainForms(dir);
    fs::remove_all(dir, ec);
    if (failures == 0) std::printf("every promise held\n");
    return failures == 0 ? 0 : 1;
}
