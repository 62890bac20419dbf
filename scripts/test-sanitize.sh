#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/test-sanitize.sh [extra ctest arguments]
# Builds into build-asan/. Tests labelled "slow" are left out: they repeat under
# the sanitizers what the normal run already covers and would not fit CI's time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export QT_QPA_PLATFORM=offscreen
# GCC's flow analysis sees through the sanitizers' instrumentation poorly and then
# warns "may be used uninitialized" inside the standard library (std::regex); the
# normal build keeps that warning.
cmake -S . -B build-asan -G Ninja -DTP_WERROR=ON -DTP_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1 -Wno-maybe-uninitialized" >/dev/null
cmake --build build-asan -j"$(nproc)"
# Leaks are reported except one-time allocations inside system libraries.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=${root}/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python helpers started by the tests (readpst, mailbox checks) are not instrumented
# and must not pick up the runtime.
unset LD_PRELOAD
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" --timeout 1800 -LE slow "$@"
