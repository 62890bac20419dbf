#!/usr/bin/env bash
# Quick start 2: install what is missing, build (the Windows programs too), and
# run every test headless:
# the whole suite, a 30-second run of each fuzz target from its seeds (clang,
# build-fuzz/; TP_SKIP_FUZZ=1 leaves it out), then the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (TP_SKIP_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
bash scripts/build.sh
# The Windows programs, cross-built and tested under wine (TP_SKIP_WINDOWS=1 leaves
# them out); their tests then fail rather than skip when a piece is missing.
if [ "${TP_SKIP_WINDOWS:-0}" != "1" ]; then
  bash scripts/build-windows.sh
  export TP_REQUIRE_WINDOWS=1
fi
bash scripts/check-format.sh
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 1800
if [ "${TP_SKIP_WINDOWS:-0}" != "1" ]; then
  # The engine's own tests as a Windows program, under wine.
  ctest --test-dir build-windows --output-on-failure --timeout 1800
fi
bash scripts/check-labels.sh build
if [ "${TP_SKIP_FUZZ:-0}" != "1" ]; then
  bash fuzz/run.sh --smoke 30
fi
if [ "${TP_SKIP_SANITIZE:-0}" != "1" ]; then
  bash scripts/test-sanitize.sh
fi
