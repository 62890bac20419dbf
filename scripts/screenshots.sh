#!/usr/bin/env bash
# Renders the windows offscreen and refreshes the committed pictures in
# docs/screenshots/: the main window, a scanner notice during a run, the string
# finder and its replacement prompt. The render tests write into the build tree
# on every run; only this script copies them into the source tree, on purpose.
#   scripts/screenshots.sh [build folder]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target tp_app_tests finderwin_tests

shots="$build/screenshots"
rm -f "$shots"/*.png
export QT_QPA_PLATFORM=offscreen
"$build/tests/tp_app_tests" --gtest_filter='*Screenshot*' >/dev/null
"$build/tests/finderwin_tests" --gtest_filter='*Screenshot*' >/dev/null

mkdir -p docs/screenshots
for name in main-window run-notice finder finder-replace; do
  if [ ! -s "$shots/$name.png" ]; then
    echo "screenshots: $shots/$name.png was not rendered" >&2
    exit 1
  fi
  cp "$shots/$name.png" "docs/screenshots/$name.png"
  echo "docs/screenshots/$name.png"
done
