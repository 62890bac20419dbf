// The console and the process on POSIX systems.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <system_error>

#include "io/system.h"

namespace tp::io {

namespace {
void (*gHandler)() = nullptr;

extern "C" void onSignal(int /*sig*/) {
    if (gHandler != nullptr) gHandler();
}
}  // namespace

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool errorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::size_t errorColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 0;
}

void onInterrupt(void (*handler)()) {
    gHandler = handler;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void writeErrorRaw(const char* text, std::size_t length) noexcept {
    while (length > 0) {
        const ssize_t w = ::write(STDERR_FILENO, text, length);
        if (w <= 0) return;
        text += w;
        length -= static_cast<std::size_t>(w);
    }
}

void exitNow(int code) noexcept {
    ::_exit(code);
}

std::filesystem::path programFolder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}

std::string localTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    char when[64] = {};
    if (::localtime_r(&now, &tm) == nullptr ||
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return {};
    return when;
}

std::int64_t localOffsetAt(std::int64_t secondsSince1970) {
    const auto t = static_cast<std::time_t>(secondsSince1970);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr) return 0;
    return static_cast<std::int64_t>(tm.tm_gmtoff);
}

}  // namespace tp::io
