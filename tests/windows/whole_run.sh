#!/usr/bin/env bash
# The unpacked zip's programs under Wine against the Linux build, on the samples
# with non-ASCII names: .eml, .mbox and store (fixed clock) byte for byte alike,
# read by every reader, and a Ctrl-C that leaves what it leaves on Linux.
#   tests/windows/whole_run.sh SOURCE_DIR LINUX_CONVERT LINUX_PSTCHECK
# The zip is the one scripts/build-windows.sh packed (build-windows/*.zip).
set -euo pipefail
# shellcheck source=tests/windows/skip.sh
source "$(dirname "${BASH_SOURCE[0]}")/skip.sh"
root=$1
lin_convert=$2 lin_pstcheck=$3
wine=$root/scripts/wine.sh

fail() {
  echo "whole_run: $*" >&2
  exit 1
}
[ -x /usr/lib/wine/wine64 ] || skip "no wine64"
zip=$(find "$root/build-windows" -maxdepth 1 -name 'tessaport-*-windows-x64.zip' 2>/dev/null | head -n 1 || true)
[ -n "$zip" ] || skip "no Windows zip (bash scripts/build-windows.sh)"

work=$(mktemp -d /tmp/tp-wine-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
(cd "$work" && python3 -m zipfile -e "$zip" unpacked)
win=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d)
# Wine reaches the whole Linux file system as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

in=$work/in
mkdir -p "$in/Posteingänge" "$in/Anhänge"
cp "$root/samples/Inbox.imm" "$in/Posteingänge/日本語.imm"
cp "$root/samples/Sent.imm" "$in/Posteingänge/Gesendet.imm"
cp "$root/samples/Trash.imm" "$in/Trash.imm"
cp "$root/samples/Attachments/"* "$in/Anhänge/"
# Output paths longer than the 260 characters of a short-form Windows path.
deep=$in
for level in 1 2 3 4 5; do deep=$deep/folder-$level-of-a-deep-mail-store-kept-for-many-years; done
mkdir -p "$deep"
cp "$root/samples/Sent.imm" "$deep/Deep.imm"
# A message from before 1970, which Windows' C runtime cannot write a date of.
printf '%s\r\n' "MIME-Version: 1.0" "From: Mission <control@example.com>" \
  "To: crew@example.com" "Subject: One small step" "Date: Mon, 21 Jul 1969 02:56:15 +0000" \
  "Content-Type: text/plain" "" "Tranquility Base here." >>"$deep/Deep.imm"
boxes=("$in/Posteingänge/日本語.imm" "$in/Posteingänge/Gesendet.imm" "$in/Trash.imm" "$deep/Deep.imm")
winboxes=()
for b in "${boxes[@]}"; do winboxes+=("$(winpath "$b")"); done

export SOURCE_DATE_EPOCH=1700000000
for fmt in eml mbox pst; do
  "$lin_convert" --format "$fmt" --output "$work/linux/$fmt" \
    --attachments "$in/Anhänge" "${boxes[@]}" >"$work/linux-$fmt.txt" 2>&1 ||
    fail "the Linux build failed on $fmt: $(cat "$work/linux-$fmt.txt")"
  "$wine" "$win/tessaport-convert.exe" --format "$fmt" --output "$(winpath "$work/windows/$fmt")" \
    --attachments "$(winpath "$in/Anhänge")" "${winboxes[@]}" >"$work/windows-$fmt.txt" 2>&1 ||
    fail "the Windows build failed on $fmt: $(cat "$work/windows-$fmt.txt")"
done

# The same files in the same places (the report names paths each system's way).
for fmt in eml mbox pst; do
  (cd "$work/linux/$fmt" && find . -type f ! -name 'Tessaport-report*' | sort) >"$work/l.txt"
  (cd "$work/windows/$fmt" && find . -type f ! -name 'Tessaport-report*' | sort) >"$work/w.txt"
  diff -u "$work/l.txt" "$work/w.txt" >&2 || fail "$fmt: the two builds wrote different files"
  [ -s "$work/l.txt" ] || fail "$fmt: no files written"
  while read -r f; do
    cmp "$work/linux/$fmt/$f" "$work/windows/$fmt/$f" >&2 || fail "$fmt: $f differs"
  done <"$work/l.txt"
done
grep -rq "^From .* Mon Jul 21 02:56:15 1969" "$work/windows/mbox" ||
  fail "the 1969 message's From line is not dated 1969"
# The attachment with a non-ASCII name, put back from the folder with one.
python3 - "$work/windows/eml" "$in/Anhänge/Übersicht.csv" <<'PY' || fail "Übersicht.csv did not come back"
import email, email.policy, pathlib, sys
want = pathlib.Path(sys.argv[2]).read_bytes()
for f in pathlib.Path(sys.argv[1]).rglob("*.eml"):
    m = email.message_from_bytes(f.read_bytes(), policy=email.policy.default)
    for part in m.iter_attachments():
        if part.get_filename() == "Übersicht.csv" and part.get_payload(decode=True) == want:
            sys.exit(0)
sys.exit(1)
PY
for fmt in eml mbox pst; do
  # The summaries agree line by line once the paths are set aside.
  # Z:\tmp\...\windows\eml here is /tmp/.../linux/eml there.
  norm() { tr -d '\r' <"$1" | sed -e 's#Z:\\#/#g' -e 's#\\#/#g' -e 's#/windows/#/linux/#g'; }
  diff -u <(norm "$work/linux-$fmt.txt") <(norm "$work/windows-$fmt.txt") >&2 ||
    fail "$fmt: the summaries differ"
done

# The Windows store, read by every reader the Linux tests use.
store=$(find "$work/windows/pst" -name '*.pst')
[ "$(printf '%s\n' "$store" | wc -l)" = 1 ] || fail "not exactly one store: $store"
"$lin_pstcheck" --shape "$store" >&2 || fail "pstcheck finds faults in the Windows store"
"$wine" "$win/pstcheck.exe" --shape "$(winpath "$(find "$work/linux/pst" -name '*.pst')")" >&2 ||
  fail "pstcheck.exe finds faults in the Linux store"
mkdir "$work/readpst"
readpst -j 0 -q -o "$work/readpst" "$store" >&2 || fail "readpst cannot read the Windows store"
/usr/bin/python3 "$root/tests/pst/pst_read.py" "$store" >"$work/pypff.txt" || fail "pypff cannot read the store"
/usr/bin/python3 "$root/tests/pst/pst_read.py" "$(find "$work/linux/pst" -name '*.pst')" >"$work/pypff-linux.txt"
diff -u "$work/pypff-linux.txt" "$work/pypff.txt" >&2 || fail "pypff reads the two stores differently"
node "$root/tests/pstx/walk.js" "$store" >"$work/pstx.txt" || fail "pst-extractor cannot read the store"

# Ctrl-C: the run stops after the message under way and says what it left.
python3 - "$work/Big.imm" <<'EOF'
import sys
with open(sys.argv[1], "wb") as f:
    for i in range(30000):
        f.write(("MIME-Version: 1.0\r\nFrom: a@example.com\r\nTo: b@example.com\r\n"
                 "Subject: m%d\r\nDate: Mon, 1 Jan 2001 10:00:00 +0000\r\n"
                 "Content-Type: text/plain\r\n\r\nbody %d\r\n" % (i, i)).encode())
EOF
"$wine" "$win/tessaport-convert.exe" --format eml --output "$(winpath "$work/stop")" \
  "$(winpath "$work/Big.imm")" >"$work/stop.txt" 2>/dev/null &
pid=$!
folder=$work/stop${work}/Big.imm
for _ in $(seq 600); do
  [ -e "$folder/Email-1.eml" ] && break
  sleep 0.1
done
[ -e "$folder/Email-1.eml" ] || fail "the interrupted run wrote nothing in 60 s"
kill -INT "$pid"
status=0
wait "$pid" || status=$?
[ "$status" = 1 ] || fail "an interrupted run ended with $status, not 1: $(cat "$work/stop.txt")"
written=$(find "$folder" -name 'Email-*.eml' | wc -l)
[ "$written" -ge 1 ] && [ "$written" -lt 30000 ] || fail "$written messages written"
head -1 "$work/stop.txt" | grep -q "^The conversion was stopped before its end: $written of the 30000 messages" ||
  fail "the interrupted run says: $(head -3 "$work/stop.txt")"
grep -q "Messages exported: $written" "$work/stop/Tessaport-report.txt" || fail "the report disagrees"
echo "whole_run: the Windows build wrote what the Linux build wrote"
