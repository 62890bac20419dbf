#!/usr/bin/env bash
# Installs what is missing, then configures and builds Tessaport into build/.
#   scripts/build.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DTP_WERROR=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
