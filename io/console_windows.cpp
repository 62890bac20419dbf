// The console and the process on Windows.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdio>

#include "io/paths.h"
#include "io/system.h"

namespace tp::io {

namespace {
void (*gHandler)() = nullptr;

BOOL WINAPI onControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (gHandler != nullptr) gHandler();
            return TRUE;
        default:
            return FALSE;
    }
}

std::string utf8OfWide(const wchar_t* s) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}
}  // namespace

std::vector<std::string> programArguments(int argc, char** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    int n = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) args.push_back(utf8OfWide(wide[i]));
    ::LocalFree(wide);
    return args;
}

bool errorIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::size_t errorColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

void onInterrupt(void (*handler)()) {
    gHandler = handler;
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

void writeErrorRaw(const char* text, std::size_t length) noexcept {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written,
                nullptr);
}

void exitNow(int code) noexcept {
    ::ExitProcess(static_cast<UINT>(code));
}

std::filesystem::path programFolder() {
    std::wstring buf(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return {};
    buf.resize(n);
    return std::filesystem::path(buf).parent_path();
}

std::string localTimeNow() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    char when[64] = {};
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return when;
}

std::int64_t localOffsetAt(std::int64_t secondsSince1970) {
    // FILETIME counts 100 ns steps from 1601; 11644473600 s lie between 1601 and 1970.
    const std::int64_t ticks = (secondsSince1970 + 11644473600LL) * 10000000LL;
    if (ticks < 0) return 0;
    FILETIME utcFile{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{}, local{};
    FILETIME localFile{};
    if (::FileTimeToSystemTime(&utcFile, &utc) == 0 ||
        ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) == 0 ||
        ::SystemTimeToFileTime(&local, &localFile) == 0)
        return 0;
    const std::int64_t localTicks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(localFile.dwHighDateTime) << 32) | localFile.dwLowDateTime);
    return (localTicks - ticks) / 10000000LL;
}

}  // namespace tp::io
