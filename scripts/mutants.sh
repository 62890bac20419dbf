#!/usr/bin/env bash
# Puts small, plausible faults into the code one at a time and checks that the
# test suite catches each: an off-by-one, a dropped check, a wrong comparison, a
# skipped error report. Run it by hand before a stop when a change touches the
# engine (it is not part of CI).
#   scripts/mutants.sh [PATTERN]
# The faults are listed in scripts/mutants.txt. For each (or each whose line
# matches PATTERN) it applies the sed expression to its file, rebuilds the test
# programs of its labels (ninja rebuilds only what the file touches), runs the
# tests of those labels and restores the file. It prints KILLED (a test failed or
# timed out), SURVIVED (every test passed: a gap in the suite), STALE (the
# expression no longer changes exactly one line: update the list) or NO BUILD
# (the fault does not compile: not a fault at all), then the kill rate over the
# killed and survived ones. Exit status 0 only when every fault was killed.
# Uses build/ (scripts/build.sh makes it; MUTANTS_BUILD names another), which
# must pass its tests unmutated; tests that fail before any fault is put in are
# named and left out (MUTANTS_BASELINE=0 skips that check, MUTANTS_EXCLUDE is a
# ctest -E pattern of tests to leave out). MUTANTS_TIMEOUT: seconds per test (default 180; a hang counts as killed).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MUTANTS_BUILD:-build}
list=scripts/mutants.txt
timeout=${MUTANTS_TIMEOUT:-180}
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
filter=${1:-}

[ -f "$build/build.ninja" ] || { echo "mutants: configure $build first (scripts/build.sh)" >&2; exit 2; }

work=$(mktemp -d)
current=""
restore() {
  if [ -n "$current" ] && [ -f "$work/original" ]; then
    cp "$work/original" "$current"
    current=""
  fi
}
cleanup() {
  restore
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The test programs that hold the tests of some labels.
programs_of() {
  ctest --test-dir "$build" --show-only=json-v1 -L "$1" 2>/dev/null | python3 -c '
import json, os, sys
progs = set()
for t in json.load(sys.stdin).get("tests", []):
    cmd = t.get("command") or []
    # Tests run by an interpreter (a script over the programs) name no target.
    if cmd and os.path.basename(cmd[0]) not in ("bash", "sh", "python3"):
        progs.add(os.path.basename(cmd[0]))
print(" ".join(sorted(progs)))'
}

label_regex() {
  local out=""
  for l in $1; do out+="${out:+|}$l"; done
  echo "^($out)\$"
}

# Tests that fail with no fault put in are left out of every run.
all_labels=$(grep -v '^[[:space:]]*#' "$list" | grep -v '^[[:space:]]*$' | cut -d'|' -f2 | tr ' ' '\n' |
  grep -v '^$' | sort -u | tr '\n' ' ')
echo "mutants: building and running the tests of: $all_labels"
all_regex=$(label_regex "$all_labels")
# shellcheck disable=SC2046
cmake --build "$build" -j"$jobs" --target $(programs_of "$all_regex") >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; echo "mutants: the unmutated build fails" >&2; exit 2; }
exclude=${MUTANTS_EXCLUDE:-}
if [ "${MUTANTS_BASELINE:-1}" = 1 ] && ! ctest --test-dir "$build" -L "$all_regex" -LE slow -j"$jobs" --timeout "$timeout" \
  >"$work/baseline.log" 2>&1; then
  broken=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$work/baseline.log")
  echo "mutants: these tests fail without any fault and are left out:" >&2
  echo "$broken" | sed 's/^/  /' >&2
  exclude=$(echo "$broken" | sed 's/[][\\.*^$+?(){}|]/\\&/g' | paste -sd'|')
  echo "mutants: (to skip this check next time: MUTANTS_BASELINE=0 MUTANTS_EXCLUDE='$exclude')" >&2
fi

killed=0 survived=0 stale=0 nobuild=0 n=0
report=()
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in '' | '#'*) continue ;; esac
  [ -n "$filter" ] && [[ "$line" != *"$filter"* ]] && continue
  file=$(echo "${line%%|*}" | xargs)
  rest=${line#*|}
  labels=$(echo "${rest%%|*}" | xargs)
  expr=${rest#*|}
  expr=${expr# }
  n=$((n + 1))
  what="$file: $expr"
  if [ ! -f "$file" ]; then
    stale=$((stale + 1))
    report+=("STALE     $what (no such file)")
    echo "STALE     $what (no such file)"
    continue
  fi
  cp "$file" "$work/original"
  sed -e "$expr" "$work/original" >"$work/mutant"
  # The numbers of the lines the expression changes (or deletes).
  at=$(diff --unchanged-line-format= --old-line-format='%dn
' --new-line-format= "$work/original" "$work/mutant" || true)
  changed=$(echo -n "$at" | grep -c . || true)
  if [ "$changed" -ne 1 ]; then
    stale=$((stale + 1))
    report+=("STALE     $what (changes $changed lines)")
    echo "STALE     $what (changes $changed lines)"
    continue
  fi
  current=$file
  cp "$work/mutant" "$file"
  regex=$(label_regex "$labels")
  # shellcheck disable=SC2046
  if ! cmake --build "$build" -j"$jobs" --target $(programs_of "$regex") >"$work/build.log" 2>&1; then
    restore
    nobuild=$((nobuild + 1))
    report+=("NO BUILD  $file:$at $expr")
    echo "NO BUILD  $file:$at $expr"
    continue
  fi
  args=(--test-dir "$build" -L "$regex" -LE slow -j"$jobs" --timeout "$timeout" --stop-on-failure)
  [ -n "$exclude" ] && args+=(-E "$exclude")
  start=$(date +%s)
  if ctest "${args[@]}" >"$work/test.log" 2>&1; then
    result="SURVIVED"
    survived=$((survived + 1))
  else
    result="KILLED  "
    killed=$((killed + 1))
  fi
  restore
  secs=$(($(date +%s) - start))
  # The first test that failed (a disabled one is listed with stars too).
  by=$(grep -v 'Not Run' "$work/test.log" | sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*$/\1/p' | head -n 1)
  report+=("$result  $file:$at $expr  [$labels]${by:+ by $by}")
  echo "$result  $file:$at $expr  [$labels, ${secs}s]${by:+ by $by}"
done <"$list"

# Leave the build as the sources are.
# shellcheck disable=SC2046
cmake --build "$build" -j"$jobs" --target $(programs_of "$all_regex") >/dev/null 2>&1 || true

echo
echo "mutants: $n faults: $killed killed, $survived survived, $stale stale, $nobuild do not build"
if [ $((killed + survived)) -gt 0 ]; then
  echo "mutants: kill rate $((100 * killed / (killed + survived)))% ($killed of $((killed + survived)))"
fi
[ "$survived" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$nobuild" -eq 0 ]
