#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ and runs each for a set time.
#   fuzz/run.sh [--smoke] [SECONDS per target, default 600] [target ...]
# Corpora start from the sample mailboxes and the messages the tests use, and
# grow in build-fuzz/corpus/<target>/. Crashing inputs land in
# build-fuzz/findings/<target>/ (fuzzing goes on after a finding, so one run
# collects them all); keep each one in tests/regressions/<target>/.
#
# --smoke (what CI runs, with 30 seconds): every target at once, each from its
# seeds alone (a fresh corpus, a fixed random seed), stopping at its first
# finding; the script fails when any target found something. A check that the
# targets still run and still hold on the inputs they were built from, not a hunt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
smoke=0
if [ "${1:-}" = "--smoke" ]; then
  smoke=1
  shift
fi
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(mailbox mail_message pst_import)
build=${TP_FUZZ_BUILD:-build-fuzz}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTP_FUZZ=ON -DTP_BUILD_GUI=OFF -DTP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Seeds: every message of the sample mailboxes (cut at each "MIME-Version: 1.0"
# header block), the mailboxes themselves, small mailboxes of real mail (the
# tests' corpus, when installed), and the regression inputs.
seed() {
  local target=$1 dir=$2
  mkdir -p "$dir"
  python3 - "$target" "$dir" "$root" <<'PY'
import glob, hashlib, os, re, sys
target, out, root = sys.argv[1:4]
def put(data):
    if not data:
        return
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
for imm in sorted(glob.glob(os.path.join(root, "samples", "*.imm"))):
    data = open(imm, "rb").read()
    if target == "mailbox":
        put(data[:65536])
        continue
    starts = [m.start() for m in re.finditer(rb"(?m)^(Received|Return-Path|From|Date|Subject|Message-ID): ", data)]
    # a message starts at the first header line after a blank line (or the file's start)
    cuts = [0] + [m.end() for m in re.finditer(rb"\r\n\r\n(?=[A-Za-z-]+: )", data)]
    for a, b in zip(cuts, cuts[1:] + [len(data)]):
        put(data[a:b][:65536])
# Real mail, as the tests have it: runs of three consecutive corpus messages as
# a mailbox stores them (no "From " line, CR LF line ends).
corpus = os.path.join(root, "tests", "corpus", "node_modules", "@stdlib",
                      "datasets-spam-assassin", "data")
if target == "mailbox" and os.path.isdir(corpus):
    files = sorted(glob.glob(os.path.join(corpus, "*", "*.txt")))
    for i in range(0, len(files) - 3, 97):
        box = b""
        for name in files[i:i + 3]:
            m = open(name, "rb").read()
            if m.startswith(b"From "):
                m = m[m.find(b"\n") + 1:]
            box += m.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        put(box[:65536])
for path in glob.glob(os.path.join(root, "tests", "regressions", target, "*")):
    put(open(path, "rb").read())
PY
}

mkdir -p "$build/findings"
if [ "$smoke" = 1 ]; then
  pids=()
  for t in "${targets[@]}"; do
    corpus="$build/smoke/$t"
    rm -rf "$corpus"
    seed "$t" "$corpus"
    mkdir -p "$build/findings/$t"
    "$build/bin/fuzz_$t" "$corpus" -max_total_time="$seconds" -max_len=65536 -seed=1 \
      -rss_limit_mb=2048 -timeout=30 -artifact_prefix="$build/findings/$t/" \
      -print_final_stats=1 >"$build/findings/$t.smoke.log" 2>&1 &
    pids+=($!)
  done
  failed=()
  for i in "${!targets[@]}"; do
    t=${targets[$i]}
    if wait "${pids[$i]}"; then
      echo "fuzz smoke: fuzz_$t ran ${seconds}s clean ($(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$build/findings/$t.smoke.log" | grep -o '[0-9]*$') inputs)"
    else
      failed+=("$t")
      echo "fuzz smoke: fuzz_$t FAILED; its log ends:" >&2
      tail -n 30 "$build/findings/$t.smoke.log" >&2
      ls "$build/findings/$t/" >&2 || true
    fi
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz smoke: findings in ${failed[*]} (inputs in $build/findings/; keep each in tests/regressions/<target>/ once mended)" >&2
    exit 1
  fi
  exit 0
fi
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  seed "$t" "$corpus"
  mkdir -p "$build/findings/$t"
  echo "== fuzz_$t for ${seconds}s"
  # -rss_limit_mb: memory must not grow with input; 64 KiB inputs are plenty for
  # header and MIME structure.
  "$build/bin/fuzz_$t" "$corpus" -max_total_time="$seconds" -max_len=65536 \
    -rss_limit_mb=2048 -timeout=30 -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -artifact_prefix="$build/findings/$t/" -print_final_stats=1 2>&1 |
    tee "$build/findings/$t.log" | grep -E "^(#[0-9]+: cov|INFO: exiting|==[0-9]+==ERROR|SUMMARY|.*invariant broken)" | tail -n 20 || true
done
echo "findings (if any): $build/findings/"
ls "$build"/findings/*/ 2>/dev/null | grep -v '^$' || true
