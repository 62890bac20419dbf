#!/usr/bin/env bash
# Lays out Windows programs built against the Qt prefix of build-qt.sh the way
# they must be shipped (this Qt has no windeployqt):
#   scripts/windows/deploy-qt.sh QT_PREFIX DEST PROGRAM.exe... [--plugin KIND/NAME]...
# DEST gets the programs, the platform plugin (platforms/qwindows.dll) and the
# native style (styles/qwindowsvistastyle.dll), and beside the programs every DLL
# that any of these imports, directly or through another, other than Windows' own:
# the Qt DLLs and the mingw-w64 runtime (libstdc++, libgcc, winpthread). A DLL
# that is neither Windows' own nor found is an error: the program would not start.
# --plugin adds another plugin from the prefix (e.g. platforms/qoffscreen).
set -euo pipefail

triplet=x86_64-w64-mingw32
die() {
  echo "deploy-qt: $*" >&2
  exit 1
}

[ "$#" -ge 3 ] || die "usage: deploy-qt.sh QT_PREFIX DEST PROGRAM.exe... [--plugin KIND/NAME]..."
qt=$1
dest=$2
shift 2
[ -f "$qt/.complete" ] || die "$qt is not a finished Qt prefix (scripts/windows/build-qt.sh)"
programs=()
plugins=(platforms/qwindows styles/qwindowsvistastyle)
while [ "$#" -gt 0 ]; do
  case $1 in
    --plugin)
      [ "$#" -ge 2 ] || die "--plugin needs KIND/NAME"
      plugins+=("$2")
      shift 2
      ;;
    *)
      programs+=("$1")
      shift
      ;;
  esac
done
[ "${#programs[@]}" -gt 0 ] || die "no program named"

# Windows' own DLLs (and the api-ms-win-* sets that stand for them).
system_dlls='^(advapi32|authz|bcrypt|comctl32|comdlg32|crypt32|d2d1|d3d9|d3d11|d3d12|dnsapi|dwmapi|dwrite|dxgi|gdi32|imm32|iphlpapi|kernel32|mpr|msvcrt|netapi32|ntdll|ole32|oleaut32|rpcrt4|secur32|setupapi|shcore|shell32|shlwapi|user32|userenv|uxtheme|version|winmm|winspool\.drv|ws2_32|wtsapi32|api-ms-win-.*)(\.dll)?$'
# Where the other DLLs come from: the Qt prefix, then the compiler's runtime.
search=("$qt/bin" "$(dirname "$($triplet-g++-posix -print-file-name=libstdc++-6.dll)")" "/usr/$triplet/lib")

mkdir -p "$dest"
queue=()
for exe in "${programs[@]}"; do
  [ -f "$exe" ] || die "$exe: no such program"
  cp "$exe" "$dest/"
  queue+=("$dest/$(basename "$exe")")
done
for plugin in "${plugins[@]}"; do
  [ -f "$qt/plugins/$plugin.dll" ] || die "the Qt prefix has no plugin $plugin"
  mkdir -p "$dest/$(dirname "$plugin")"
  cp "$qt/plugins/$plugin.dll" "$dest/$plugin.dll"
  queue+=("$dest/$plugin.dll")
done

# Follows the imports of everything laid out until nothing new is needed.
while [ "${#queue[@]}" -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  imports=$($triplet-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p') ||
    die "$file is not a Windows program or DLL"
  while read -r dll; do
    [ -n "$dll" ] || continue
    lower=$(echo "$dll" | tr '[:upper:]' '[:lower:]')
    echo "$lower" | grep -qE "$system_dlls" && continue
    [ -f "$dest/$dll" ] && continue
    found=
    for dir in "${search[@]}"; do
      if [ -f "$dir/$dll" ]; then
        found=$dir/$dll
        break
      fi
    done
    [ -n "$found" ] || die "$(basename "$file") needs $dll, which is neither Windows' own nor in the Qt prefix or the compiler's runtime"
    # Stripped: the compiler's libstdc++-6.dll carries 20 MB of debugging data.
    $triplet-strip -o "$dest/$dll" "$found"
    queue+=("$dest/$dll")
  done <<<"$imports"
done
