#pragma once
// Shared pieces of the fault tests: a run with no pauses between its events, its
// failures in a few words, and a fault injector in place for a scope.
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

#include "io/io.h"
#include "run/run_helpers.h"

namespace tp::test {

inline convert::RunSummary runOnce(const convert::RunOptions& options,
                                   RecordingObserver* observer = nullptr) {
    RecordingObserver local;
    convert::RunServices services = convert::defaultServices();
    services.eventsPerSecond = 0;
    std::atomic<bool> cancel{false};
    return convert::ConversionRun(options, observer ? *observer : local, services).run(cancel);
}

inline std::string describeFailures(const convert::RunSummary& s) {
    std::string text;
    for (const convert::Failure& f : s.failures)
        text += "  " + f.mailbox + " #" + std::to_string(f.message) + " " + f.step + ": " +
                f.reason + "\n";
    return text;
}

// Whether a failure names `mailbox`.
inline bool named(const convert::RunSummary& s, const std::string& mailbox) {
    for (const convert::Failure& f : s.failures)
        if (f.mailbox == mailbox) return true;
    return false;
}

// The folder of a mailbox's output below `out`.
inline std::filesystem::path mailboxFolder(const std::filesystem::path& out,
                                           const std::filesystem::path& mailbox) {
    return out / mailbox.relative_path();
}

// A fault injector made of one function of each file operation.
struct Hook : io::FaultInjector {
    using Fn = std::function<std::error_code(io::Op, const std::filesystem::path&)>;
    explicit Hook(Fn fn) : f(std::move(fn)) {}
    std::error_code before(io::Op op, const std::filesystem::path& p, std::uint64_t) override {
        return f(op, p);
    }
    Fn f;
};

struct InjectorScope {
    explicit InjectorScope(io::FaultInjector* i) { io::setFaultInjector(i); }
    ~InjectorScope() { io::setFaultInjector(nullptr); }
};

}  // namespace tp::test
