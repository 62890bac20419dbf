#!/usr/bin/env bash
# Fails when a label that a test folder declares (tp_gtest ... LABELS a b) selects
# no test: a run meant to pick those tests (ctest -L) or to leave them out
# (ctest -LE, as the sanitizer run does with "slow") would silently do neither.
#   scripts/check-labels.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# The words after LABELS, up to the next property's name (SKIP_RETURN_CODE, ...).
labels=$(sed -n 's/.*LABELS[[:space:]]*\([^)]*\).*/\1/p' tests/*/CMakeLists.txt |
  sed 's/[[:space:]][A-Z][A-Z_]*\([[:space:]].*\)\{0,1\}$//' |
  tr -d '"' | tr ';' ' ' | tr ' ' '\n' | grep -v '^$' | sort -u)
bad=0
for label in $labels; do
  n=$(ctest --test-dir "$build" -N -L "^${label}\$" | sed -n 's/^Total Tests: //p')
  if [ "${n:-0}" -eq 0 ]; then
    echo "check-labels: the label \"$label\" selects no test" >&2
    bad=1
  fi
done
[ "$bad" = 0 ] && echo "check-labels: every label selects tests ($(echo $labels | wc -w) labels)"
exit "$bad"
