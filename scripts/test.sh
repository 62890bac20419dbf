#!/usr/bin/env bash
# Quick start 2: install what is missing, build, and run every test headless:
# the whole suite, a 30-second run of each fuzz target from its seeds (clang,
# build-fuzz/; TP_SKIP_FUZZ=1 leaves it out), then the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (TP_SKIP_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
bash scripts/build.sh
bash scripts/check-format.sh
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 1800
bash scripts/check-labels.sh build
if [ "${TP_SKIP_FUZZ:-0}" != "1" ]; then
  bash fuzz/run.sh --smoke 30
fi
if [ "${TP_SKIP_SANITIZE:-0}" != "1" ]; then
  bash scripts/test-sanitize.sh
fi
