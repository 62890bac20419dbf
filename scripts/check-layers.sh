#!/usr/bin/env bash
# Checks that the layers run one way. From the bottom:
#   0  common/                  shared by every layer
#   1  finder/ pst/ convert/    the engine
#   2  dialogs/                 the dialogs the windows share
#   3  app/ cli/                the faces
# A file includes project headers only from its own layer and the layers below,
# and nothing below the faces includes a Qt widget or GUI header.
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

bad=0
for dir in common finder pst convert dialogs; do
  [ -d "$root/$dir" ] || continue
  own=$(layer_of "$dir")
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    # hit: path:line:#include "folder/..."
    target=$(sed -E 's/^[^:]*:[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"(\.\.\/)*([^/"]+)\/.*/\2/' <<<"$hit")
    to=$(layer_of "$target")
    if [ -n "$to" ] && [ "$to" -gt "$own" ]; then
      echo "layers: ${hit#"$root"/} reaches up from $dir/ into $target/" >&2
      bad=1
    fi
  done < <(grep -rnE --include='*.h' --include='*.cpp' --include='*.hpp' --include='*.cc' \
             '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$root/$dir" || true)

  if [ "$own" -lt 2 ]; then
    while IFS= read -r hit; do
      [ -n "$hit" ] || continue
      echo "layers: ${hit#"$root"/} brings widget code into $dir/" >&2
      bad=1
    done < <(grep -rnE --include='*.h' --include='*.cpp' --include='*.hpp' --include='*.cc' \
               '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(QtWidgets/|QtGui/|Q(Widget|Application|GuiApplication|MessageBox|Dialog|InputDialog|FileDialog|Label|PushButton|Pixmap|Image|Font|Color|Screen|Icon|Painter)>)' \
               "$root/$dir" || true)
  fi
done

if [ "$bad" -ne 0 ]; then exit 1; fi
echo "layers: every include runs downward"
