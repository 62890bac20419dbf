#!/usr/bin/env bash
# Fails when a C++ file of the project is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -- '*.cpp' '*.h' 2>/dev/null || true)
[ -n "$files" ] || exit 0
bad=$(echo "$files" | xargs clang-format --dry-run 2>&1 | grep -c 'warning:' || true)
if [ "$bad" != "0" ]; then
  echo "clang-format: $bad places differ; run: git ls-files '*.cpp' '*.h' | xargs clang-format -i" >&2
  echo "$files" | xargs clang-format --dry-run 2>&1 | grep 'warning:' | cut -d: -f1 | sort -u >&2
  exit 1
fi
echo "clang-format: clean"
