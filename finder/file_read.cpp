#include "finder/file_read.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tp::finder {

namespace {
std::atomic<ReadFaults*> gFaults{nullptr};
}  // namespace

void setReadFaults(ReadFaults* faults) {
    gFaults.store(faults);
}

long long readFull(int fd, const std::string& path, char* out, std::size_t length,
                   std::uint64_t offset) {
    std::size_t got = 0;
    while (got < length) {
        std::size_t ask = length - got;
        if (ReadFaults* faults = gFaults.load(std::memory_order_relaxed)) {
            if (const int e = faults->before(path, offset + got, ask)) {
                errno = e;
                return -1;
            }
            if (ask > length - got) ask = length - got;
            if (ask == 0) break;
        }
        const ssize_t r = ::pread(fd, out + got, ask, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;  // the end of the file
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

}  // namespace tp::finder
