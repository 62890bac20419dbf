#include "io/fault.h"

#include <atomic>
#include <mutex>

#include "io/file.h"

namespace tp::io {

namespace {
std::atomic<FaultInjector*> gInjector{nullptr};
// The store is written on its own thread; an injector sees one call at a time.
std::mutex gSerial;
}  // namespace

void setFaultInjector(FaultInjector* injector) {
    gInjector.store(injector);
}

std::error_code injected(Op op, const std::filesystem::path& path, std::uint64_t bytes) {
    FaultInjector* injector = gInjector.load(std::memory_order_relaxed);
    if (injector == nullptr) return {};
    std::lock_guard<std::mutex> lock(gSerial);
    return injector->before(op, path, bytes);
}

std::error_code injectedRead(const std::filesystem::path& path, std::uint64_t offset,
                             std::uint64_t& length) {
    FaultInjector* injector = gInjector.load(std::memory_order_relaxed);
    if (injector == nullptr) return {};
    std::lock_guard<std::mutex> lock(gSerial);
    return injector->beforeRead(path, offset, length);
}

std::error_code readFull(const File& file, const std::filesystem::path& path, char* out,
                         std::size_t length, std::uint64_t offset, std::size_t& got) {
    got = 0;
    while (got < length) {
        std::size_t ask = length - got;
        if (gInjector.load(std::memory_order_relaxed) != nullptr) {
            std::uint64_t n = ask;
            if (auto ec = injectedRead(path, offset + got, n)) return ec;
            if (n < ask) ask = static_cast<std::size_t>(n);
            if (ask == 0) break;
        }
        std::size_t r = 0;
        if (auto ec = file.readAt(offset + got, out + got, ask, r)) return ec;
        if (r == 0) break;  // the end of the file
        got += r;
    }
    return {};
}

}  // namespace tp::io
