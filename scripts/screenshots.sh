#!/usr/bin/env bash
# Renders the windows offscreen and refreshes the committed pictures in
# docs/screenshots/: the main window, a scanner notice during a run, the string
# finder and its replacement prompt. The renders sit beside the window tests
# (they use the same scripted dialogs) but are left out of the suite; this
# script runs them into the build tree and copies the pictures into the source
# tree, on purpose. Compare a picture before and after a change with cmp.
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
# The renders are no tests (the suite leaves them out); only this script runs them.
"$build/tests/tp_app_tests" --gtest_also_run_disabled_tests --gtest_filter='*Screenshot*' >/dev/null
"$build/tests/finderwin_tests" --gtest_also_run_disabled_tests --gtest_filter='*Screenshot*' >/dev/null

mkdir -p docs/screenshots
for name in main-window run-notice finder finder-replace; do
  if [ ! -s "$shots/$name.png" ]; then
    echo "screenshots: $shots/$name.png was not rendered" >&2
    exit 1
  fi
  cp "$shots/$name.png" "docs/screenshots/$name.png"
  echo "docs/screenshots/$name.png"
done
