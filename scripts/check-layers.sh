#!/usr/bin/env bash
# Checks that the layers run one way. From the bottom:
#   0  common/          shared by every layer
#   1  io/              the platform: every call to the system (files and
#                       folders with no-follow opens, reads, writes, the console),
#                       one implementation per system, and the one fault seam
#   2  finder/ pst/     the string scanner; the .pst store format
#   the conversion engine, one room per concern, each above the one before:
#   3  mailbox/         where the messages of a mailbox file begin and end
#   4  mail/            the mail component over GMime
#   5  mapi/            the MIME-to-MAPI mapping of the PST output
#   6  run/             the run: its options, progress, results and report, the
#                       attachment pass, the sink it hands messages to
#   7  outputs/         the EML, MBOX and PST writers behind a run
#   8  dialogs/         the dialogs the windows share
#   9  app/ cli/        the faces
# A file includes project headers only from its own layer and the layers below,
# and nothing below the dialogs includes a Qt widget or GUI header.
# Inside pst/ the format's own layers run one way too:
#   ndb/ (nodes and blocks) < ltp/ (heaps, property and table contexts)
#   < messaging/ and pst.h (store, folders, messages) < check/ (the checker)
#   < tools/ (the programs)
# Only io/ talks to the system: no other layer includes a system's own headers
# (<unistd.h>, <fcntl.h>, <sys/...>, <signal.h>, <windows.h>) or asks which
# system it is built for (#if on _WIN32, __linux__, ...).
# Every include of a project header names its folder from the top of the
# repository ("pst/ndb/writer.h", never "writer.h" or "../ndb/writer.h"), and
# that folder is one of the layers above (or tessaport/, the generated version
# header): a folder the check does not know is a breach until it is given a layer.
# Usage: check-layers.sh [ROOT]   (default: the repository). Exit 1 on a breach.
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}

layers=(common io finder pst mailbox mail mapi run outputs dialogs app cli)
layer_of() {
  case "$1" in
    common) echo 0 ;;
    io) echo 1 ;;
    finder | pst) echo 2 ;;
    mailbox) echo 3 ;;
    mail) echo 4 ;;
    mapi) echo 5 ;;
    run) echo 6 ;;
    outputs) echo 7 ;;
    dialogs) echo 8 ;;
    app | cli) echo 9 ;;
    *) echo "" ;;
  esac
}
widget_floor=8  # dialogs/: the lowest layer that may use widgets

# The layer inside pst/ of a path below pst/ ("ndb/writer.h", "pst.h").
pst_layer_of() {
  case "$1" in
    ndb/*) echo 0 ;;
    ltp/*) echo 1 ;;
    messaging/* | pst.h) echo 2 ;;
    check/*) echo 3 ;;
    tools/*) echo 4 ;;
    *) echo "" ;;
  esac
}

sources=(--include='*.h' --include='*.cpp' --include='*.hpp' --include='*.cc')
bad=0
for dir in "${layers[@]}"; do
  [ -d "$root/$dir" ] || continue
  own=$(layer_of "$dir")
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    # hit: path:line:#include "target"
    file=${hit%%:*}
    file=${file#"$root"/}
    included=$(sed -E 's/^[^:]*:[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$hit")
    case "$included" in
      */*) ;;
      *)
        echo "layers: ${hit#"$root"/} does not name the header's folder" >&2
        bad=1
        continue
        ;;
    esac
    target=$(sed -E 's/^(\.\.?\/)*([^/]+)\/.*/\2/' <<<"$included")
    case "$included" in
      ./* | ../*)
        echo "layers: ${hit#"$root"/} names its header relative to itself, not by its folder" >&2
        bad=1
        ;;
    esac
    to=$(layer_of "$target")
    if [ -z "$to" ] && [ "$target" != tessaport ]; then
      echo "layers: ${hit#"$root"/} names $target/, a folder without a layer" >&2
      bad=1
    fi
    if [ -n "$to" ] && [ "$to" -gt "$own" ]; then
      echo "layers: ${hit#"$root"/} reaches up from $dir/ into $target/" >&2
      bad=1
    fi
    if [ "$dir" = pst ] && [ "$target" = pst ]; then
      from_rank=$(pst_layer_of "${file#pst/}")
      inner=${included#pst/}
      to_rank=$(pst_layer_of "$inner")
      if [ -n "$from_rank" ] && [ -n "$to_rank" ] && [ "$to_rank" -gt "$from_rank" ]; then
        echo "layers: ${hit#"$root"/} reaches up inside pst/ from ${file#pst/} to $inner" >&2
        bad=1
      fi
    fi
  done < <(grep -rnE "${sources[@]}" '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root/$dir" || true)

  if [ "$own" -lt "$widget_floor" ]; then
    while IFS= read -r hit; do
      [ -n "$hit" ] || continue
      echo "layers: ${hit#"$root"/} brings widget code into $dir/" >&2
      bad=1
    done < <(grep -rnE "${sources[@]}" \
               '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(QtWidgets/|QtGui/|Q(Widget|Application|GuiApplication|MessageBox|Dialog|InputDialog|FileDialog|Label|PushButton|Pixmap|Image|Font|Color|Screen|Icon|Painter)>)' \
               "$root/$dir" || true)
  fi
done

for dir in "${layers[@]}"; do
  [ -d "$root/$dir" ] || continue
  [ "$dir" != io ] || continue
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    echo "layers: ${hit#"$root"/} is a platform call outside io/" >&2
    bad=1
  done < <(grep -rnE "${sources[@]}" \
             -e '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(unistd|fcntl|signal|windows|io|direct)\.h>' \
             -e '^[[:space:]]*#[[:space:]]*include[[:space:]]*<sys/' \
             -e '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|__linux__|__APPLE__|__unix__|__MINGW|_MSC_VER|_POSIX_)' \
             "$root/$dir" || true)
done

if [ "$bad" -ne 0 ]; then exit 1; fi
echo "layers: every include runs downward and names its folder"
