#!/usr/bin/env bash
# The Windows zip as a user meets it: unpacked, its tessaport-convert.exe converts
# the sample mailboxes under wine to EML, MBOX and PST; the EML and MBOX files
# must be byte for byte what the Linux build writes, the .pst store must pass the
# Linux pstcheck and be read by readpst, and the zip's pstcheck.exe must find
# nothing wrong with the store the Linux build writes.
#   tests/windows/zip_run_test.sh SOURCE_DIR LINUX_CONVERT LINUX_PSTCHECK
# Exit 77 (skipped) when there is no zip (scripts/build-windows.sh makes it) or no wine.
set -euo pipefail
# shellcheck source=tests/windows/skip.sh
source "$(dirname "${BASH_SOURCE[0]}")/skip.sh"
src=$1 convert=$2 pstcheck=$3
zip=$(find "$src/build-windows" -maxdepth 1 -name 'tessaport-*-windows-x64.zip' 2>/dev/null | head -n 1 || true)
[ -n "$zip" ] || skip "no Windows zip (bash scripts/build-windows.sh)"
[ -x /usr/lib/wine/wine64 ] || skip "no wine64"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
(cd "$tmp" && python3 -m zipfile -e "$zip" unpacked)
top=$(find "$tmp/unpacked" -mindepth 1 -maxdepth 1 -type d)
samples=("$src/samples/Inbox.imm" "$src/samples/Sent.imm")

# The same run on both systems; the Windows one by its Windows path (Z: is /).
for format in eml mbox pst; do
  "$convert" --format "$format" --output "$tmp/linux-$format" \
    --attachments "$src/samples/Attachments" "${samples[@]}" >"$tmp/linux-$format.txt" 2>/dev/null ||
    fail "the Linux run ($format) failed"
  "$src/scripts/wine.sh" "$top/tessaport-convert.exe" --format "$format" \
    --output "Z:$tmp/windows-$format" --attachments "Z:$src/samples/Attachments" \
    "${samples[@]/#/Z:}" >"$tmp/windows-$format.txt" 2>"$tmp/windows-$format.err" ||
    { cat "$tmp/windows-$format.txt" "$tmp/windows-$format.err"; fail "the Windows run ($format) failed"; }
  # The counts the user is shown agree.
  diff <(grep -E '^(Messages|Exported|Not exported):' "$tmp/linux-$format.txt") \
    <(grep -E '^(Messages|Exported|Not exported):' "$tmp/windows-$format.txt" | tr -d '\r') ||
    fail "the Windows run ($format) reports other counts"
done

# EML and MBOX: the same files with the same bytes (the report names its own
# time and folder, so it is left out).
diff -r -x Tessaport-report.txt "$tmp/linux-eml" "$tmp/windows-eml" >"$tmp/eml.diff" ||
  { head -n 20 "$tmp/eml.diff"; fail "the Windows .eml files differ from the Linux ones"; }
diff -r -x Tessaport-report.txt "$tmp/linux-mbox" "$tmp/windows-mbox" >"$tmp/mbox.diff" ||
  { head -n 20 "$tmp/mbox.diff"; fail "the Windows .mbox files differ from the Linux ones"; }
n=$(find "$tmp/windows-eml" -name '*.eml' | wc -l)
[ "$n" -gt 0 ] || fail "no .eml file was written"
python3 - "$tmp/windows-mbox" "$n" <<'PY' || fail "Python's mailbox does not read the Windows .mbox files whole"
import mailbox, pathlib, sys
total = sum(len(mailbox.mbox(str(p))) for p in pathlib.Path(sys.argv[1]).rglob("*.mbox"))
sys.exit(0 if total == int(sys.argv[2]) else f"{total} messages in the .mbox files, {sys.argv[2]} .eml files")
PY

# PST: the Windows store passes the Linux checker and readpst finds every message;
# the Windows checker passes the Linux store.
store=$(find "$tmp/windows-pst" -name '*.pst' | head -n 1)
[ -n "$store" ] || fail "the Windows run wrote no .pst"
"$pstcheck" "$store" >"$tmp/check.txt" || { cat "$tmp/check.txt"; fail "pstcheck finds faults in the Windows store"; }
mkdir "$tmp/readpst"
readpst -j 0 -q -o "$tmp/readpst" "$store" >/dev/null 2>&1 || fail "readpst cannot read the Windows store"
read_back=$(cat "$tmp/readpst"/*.mbox 2>/dev/null | grep -c '^From ' || true)
[ "$read_back" -eq "$n" ] || fail "readpst read $read_back messages from the Windows store, not $n"
# Both stores read back alike: subjects and names decoded through the Windows
# iconv, dates and attachments as on Linux.
linux_store=$(find "$tmp/linux-pst" -name '*.pst' | head -n 1)
mkdir "$tmp/readpst-linux"
readpst -j 0 -q -o "$tmp/readpst-linux" "$linux_store" >/dev/null 2>&1 || fail "readpst cannot read the Linux store"
diff -r "$tmp/readpst-linux" "$tmp/readpst" >"$tmp/pst.diff" ||
  { head -n 20 "$tmp/pst.diff"; fail "readpst reads the Windows store otherwise than the Linux one"; }
"$src/scripts/wine.sh" "$top/pstcheck.exe" "Z:$linux_store" >"$tmp/wcheck.txt" 2>&1 ||
  { cat "$tmp/wcheck.txt"; fail "the Windows pstcheck finds faults in the Linux store"; }
grep -q ' 0 findings' "$tmp/wcheck.txt" || fail "the Windows pstcheck said: $(cat "$tmp/wcheck.txt")"
echo "windows zip run: ok ($n messages)"
