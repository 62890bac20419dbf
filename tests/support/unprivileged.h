#pragma once
// Runs one step of a test as an ordinary user. Permission checks do not apply to
// root, and the tests run as root in CI; a test of a read-only folder therefore
// gives up root's privileges for that step (in a child process) rather than
// skipping it.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace tp::test {

// The user ("nobody") a step runs as when the tests run as root.
inline constexpr uid_t kUnprivilegedId = 65534;

// The result that says the step could not be run without privileges.
inline constexpr int kNotRunUnprivileged = 255;

// Runs `step` without root's privileges and returns its result (0 to 254): in
// this process when it has none, otherwise in a child that drops them first.
// What the step touches must be open to other users.
inline int runUnprivileged(const std::function<int()>& step) {
    if (::geteuid() != 0) return step();
    const pid_t pid = ::fork();
    if (pid < 0) return kNotRunUnprivileged;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
            ::setuid(kUnprivilegedId) != 0 || ::geteuid() == 0) {
            ::_exit(kNotRunUnprivileged);
        }
        const int result = step();
        ::_exit(result < 0 || result >= kNotRunUnprivileged ? kNotRunUnprivileged - 1 : result);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kNotRunUnprivileged;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kNotRunUnprivileged;
}

}  // namespace tp::test
