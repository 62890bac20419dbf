#!/usr/bin/env bash
# Builds tests/io/platform_check.cpp with io/'s Windows implementation as a
# Windows program (mingw-w64) and runs it under wine in a wine prefix of its own,
# removed afterwards. Exit 77 (skipped) when the compiler or wine is missing.
# Usage: platform_check_windows.sh SOURCE-ROOT
set -euo pipefail
root=$1
cxx=x86_64-w64-mingw32-g++-posix
wine=${TP_WINE:-/usr/lib/wine/wine64}
if ! command -v "$cxx" >/dev/null 2>&1 || [ ! -x "$wine" ]; then
  echo "platform_check_windows: $cxx or $wine missing; skipped"
  exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tp-io-windows-XXXXXX")
cleanup() {
  WINEPREFIX=$scratch/wine wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
sources=()
while IFS= read -r f; do sources+=("$f"); done < <(
  cd "$root" && ls io/*.cpp | grep -v '_posix\.cpp$')
(cd "$root" && "$cxx" -std=c++20 -O1 -Wall -Wextra -Wpedantic -Werror -static -I. \
  tests/io/platform_check.cpp "${sources[@]}" -o "$scratch/platform_check.exe")
mkdir -p "$scratch/files"
export WINEPREFIX=$scratch/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY=
# The scratch folder as Windows sees it: wine's drive Z: is the root.
status=0
"$wine" "$scratch/platform_check.exe" "Z:${scratch//\//\\}\\files" >"$scratch/out.txt" 2>&1 || status=$?
grep -v '^wine: ' "$scratch/out.txt" || true
exit "$status"
