#!/usr/bin/env bash
# Quick start 1: install, build, and convert the bundled sample mailboxes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
out="${TESSAPORT_DEMO_OUT:-$(mktemp -d /tmp/tessaport-demo.XXXXXX)}"
status=0
for fmt in eml mbox pst; do
  mkdir -p "$out/$fmt"
  echo "== $fmt =="
  build/bin/tessaport-convert --format "$fmt" --output "$out/$fmt" \
    --attachments samples/Attachments samples/*.imm || status=$?
done
echo
echo "Output written below: $out"
exit "$status"
