#!/usr/bin/env bash
# Checks that the layers run one way. From the bottom:
#   0  common/                  shared by every layer
#   1  finder/ pst/ convert/    the engine
#   2  dialogs/                 the dialogs the windows share
#   3  app/ cli/                the faces
# A file includes project headers only from its own layer and the layers below,
# and nothing below the faces includes a Qt widget or GUI header.
# Inside pst/ the format's own layers run one way too:
#   ndb/ (nodes and blocks) < ltp/ (heaps, property and table contexts)
#   < messaging/ and pst.h (store, folders, messages) < check/ (the checker)
#   < tools/ (the programs)
# Every include of a project header names its folder from the top of the
# repository ("pst/ndb/writer.h", never "writer.h" or "../ndb/writer.h").
# Usage: check-layers.sh [ROOT]   (default: the repository). Exit 1 on a breach.
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}

layer_of() {
  case "$1" in
    common) echo 0 ;;
    finder | pst | convert) echo 1 ;;
    dialogs) echo 2 ;;
    app | cli) echo 3 ;;
    *) echo "" ;;
  esac
}

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
for dir in common finder pst convert dialogs app cli; do
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

  if [ "$own" -lt 2 ]; then
    while IFS= read -r hit; do
      [ -n "$hit" ] || continue
      echo "layers: ${hit#"$root"/} brings widget code into $dir/" >&2
      bad=1
    done < <(grep -rnE "${sources[@]}" \
               '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(QtWidgets/|QtGui/|Q(Widget|Application|GuiApplication|MessageBox|Dialog|InputDialog|FileDialog|Label|PushButton|Pixmap|Image|Font|Color|Screen|Icon|Painter)>)' \
               "$root/$dir" || true)
  fi
done

if [ "$bad" -ne 0 ]; then exit 1; fi
echo "layers: every include runs downward and names its folder"
