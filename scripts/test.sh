#!/usr/bin/env bash
# Quick start 2: install what is missing, build, and run every test headless:
# the whole suite, then the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
bash scripts/build.sh
bash scripts/check-format.sh
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 1800
if [ "${TP_SKIP_SANITIZE:-0}" != "1" ]; then
  bash scripts/test-sanitize.sh
fi
