#!/usr/bin/env bash
# Builds tests/io/platform_check.cpp with io/'s Windows implementation as a
# Windows program (mingw-w64) and runs it under wine in a wine prefix of its own,
# removed afterwards. Exit 77 (skipped) when the compiler or wine is missing.
# Usage: platform_check_windows.sh SOURCE-ROOT
set -euo pipefail
root=$1
cxx=x86_64-w64-mingw32-g++-posix
wine=${TP_WINE:-/usr/lib/wine/wine64}
if ! command -v "$cxx" >/dev/null 2>&1 || [ ! -x "$wine" ] || [ ! -x "${wine%/*}/wineserver" ]; then
  echo "platform_check_windows: $cxx or $wine missing; skipped"
  exit 77
fi
wineserver=${wine%/*}/wineserver
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tp-io-windows-XXXXXX")
# The prefix's wineserver and the first run's set-up go on writing into the
# prefix after the program ends: stop them and wait for them before removing it.
# Cleaning up never changes the test's own result.
cleanup() {
  WINEPREFIX=$scratch/wine timeout 60 "$wineserver" -k >/dev/null 2>&1 || true
  WINEPREFIX=$scratch/wine timeout 60 "$wineserver" -w >/dev/null 2>&1 || true
  local try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    if rm -rf "$scratch" 2>/dev/null; then return 0; fi
    sleep 1
  done
  echo "platform_check_windows: could not remove $scratch" >&2
  return 0
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
