#!/usr/bin/env bash
# Runs a Windows program under wine and exits with the program's own exit status.
#   scripts/wine.sh PROGRAM.exe [ARGS...]
# The wine prefix (about 0.7 GB, made on the first run) lives beside the Windows
# dependency cache, never in the source tree: ${TP_WINE_PREFIX} or
# ${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}/wine (in ~/.cache when that
# folder is not the user's to write).
set -euo pipefail
wine=${TP_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "wine.sh: $wine not found (install wine64)" >&2
  exit 127
fi
cache=${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}
# wine wants a prefix its user owns: without the rights to the shared cache
# folder, one in the user's own cache.
if [ -z "${TP_WINE_PREFIX:-}" ] && ! { mkdir -p "$cache" && [ -w "$cache" ]; } 2>/dev/null; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/tessaport-windows
fi
export WINEPREFIX=${TP_WINE_PREFIX:-$cache/wine}
export WINEDEBUG=-all
# No desktop windows, no Mono or Gecko installer prompts on the first run.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
mkdir -p "$WINEPREFIX"
exec "$wine" "$@"
