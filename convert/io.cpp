#include "convert/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "finder/file_read.h"
#ifdef TP_HAVE_PST
#include "pst/ndb/writer.h"
#endif

namespace tp::io {

namespace {

std::atomic<FaultInjector*> gInjector{nullptr};
// The store is written on its own thread; an injector sees one call at a time.
std::mutex gSerial;

constexpr std::size_t kPiece = std::size_t{1} << 20;  // bytes per write call

std::error_code lastErrno() {
    return {errno, std::generic_category()};
}

// Writes all of `data`, asking the injector before each piece.
std::error_code writeAll(int fd, const std::filesystem::path& path, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t piece = std::min(kPiece, data.size() - done);
        if (auto ec = injected(Op::Write, path, piece)) return ec;
        std::size_t written = 0;
        while (written < piece) {
            const ssize_t w = ::write(fd, data.data() + done + written, piece - written);
            if (w < 0) {
                if (errno == EINTR) continue;
                return lastErrno();
            }
            written += static_cast<std::size_t>(w);
        }
        done += piece;
    }
    return {};
}

// The errno a reader or writer below reports for an injected error.
int errnoOf(const std::error_code& ec) {
    return ec.category() == std::generic_category() || ec.category() == std::system_category()
               ? ec.value()
               : EIO;
}

// The mailbox reads (scanner and cut) reach the run's injector.
class MailboxReadFaults : public finder::ReadFaults {
  public:
    int before(const std::string& path, std::uint64_t offset, std::size_t& length) override {
        FaultInjector* injector = gInjector.load();
        if (injector == nullptr) return 0;
        std::uint64_t n = length;
        std::error_code ec;
        {
            std::lock_guard<std::mutex> lock(gSerial);
            ec = injector->beforeRead(path, offset, n);
        }
        if (ec) return errnoOf(ec);
        if (n < length) length = static_cast<std::size_t>(n);
        return 0;
    }
};
MailboxReadFaults gMailboxReadFaults;

#ifdef TP_HAVE_PST
// The store writer keeps its own file; its calls reach the run's injector as the
// run's own operations of the same kind.
class StoreFileFaults : public pst::ndb::FileFaults {
  public:
    int before(pst::ndb::FileOp op, const std::filesystem::path& path,
               std::uint64_t bytes) override {
        Op mapped = Op::Write;
        switch (op) {
            case pst::ndb::FileOp::Create:
                mapped = Op::Create;
                break;
            case pst::ndb::FileOp::Write:
            case pst::ndb::FileOp::Resize:
                mapped = Op::Write;
                break;
            case pst::ndb::FileOp::Flush:
            case pst::ndb::FileOp::Close:
                mapped = Op::Flush;
                break;
        }
        const std::error_code ec = injected(mapped, path, bytes);
        // The writer reports an errno; an error of another kind becomes an I/O error.
        return ec ? errnoOf(ec) : 0;
    }
};
StoreFileFaults gStoreFileFaults;
#endif

}  // namespace

void setFaultInjector(FaultInjector* injector) {
    gInjector.store(injector);
    finder::setReadFaults(injector != nullptr ? &gMailboxReadFaults : nullptr);
#ifdef TP_HAVE_PST
    pst::ndb::setFileFaults(injector != nullptr ? &gStoreFileFaults : nullptr);
#endif
}

std::error_code injected(Op op, const std::filesystem::path& path, std::uint64_t bytes) {
    FaultInjector* injector = gInjector.load();
    if (injector == nullptr) return {};
    std::lock_guard<std::mutex> lock(gSerial);
    return injector->before(op, path, bytes);
}

std::error_code writeFile(const std::filesystem::path& path, std::string_view data) {
    if (auto ec = injected(Op::Create, path, data.size())) return ec;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return lastErrno();
    std::error_code ec = writeAll(fd, path, data);
    if (!ec) ec = injected(Op::Flush, path, 0);
    if (::close(fd) != 0 && !ec) ec = lastErrno();
    if (ec) ::unlink(path.c_str());  // nothing partial stays behind
    return ec;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::error_code AppendFile::open(const std::filesystem::path& path) {
    if (fd_ >= 0) return std::make_error_code(std::errc::device_or_resource_busy);
    if (auto ec = injected(Op::Create, path, 0)) return ec;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return lastErrno();
    fd_ = fd;
    path_ = path;
    return {};
}

std::error_code AppendFile::appendRecord(std::string_view record) {
    if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return lastErrno();
    const off_t start = st.st_size;
    std::error_code ec = injected(Op::Append, path_, record.size());
    if (!ec) ec = writeAll(fd_, path_, record);
    if (ec) {
        // Cut the half-written record away so the file ends on a record boundary.
        while (::ftruncate(fd_, start) != 0 && errno == EINTR) {
        }
    }
    return ec;
}

std::error_code AppendFile::close() {
    if (fd_ < 0) return {};
    std::error_code ec = injected(Op::Flush, path_, 0);
    if (::close(fd_) != 0 && !ec) ec = lastErrno();
    fd_ = -1;
    return ec;
}

std::error_code removeFile(const std::filesystem::path& path) {
    if (auto ec = injected(Op::Remove, path, 0)) return ec;
    if (::unlink(path.c_str()) != 0) return lastErrno();
    return {};
}

std::string describe(const std::error_code& ec) {
    return ec ? ec.message() : "no error";
}

}  // namespace tp::io
