#!/usr/bin/env bash
# Quick start 2: install, build, and run every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
bash scripts/build.sh
bash scripts/check-format.sh
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 900
