#!/usr/bin/env bash
# shellcheck disable=SC2317  # the build steps are called through timed()
# Builds Qt 6 (qtbase: Core, Gui, Widgets, as DLLs) for 64-bit Windows from
# Debian 12's own source package, for the programs with windows:
#   scripts/windows/build-qt.sh          builds (or reuses) it and prints its path
#   scripts/windows/build-qt.sh --query  prints its path if it is built, else fails
#
# This is a long build (about an hour on two cores) and no part of the usual
# Windows build or of the tests: run it by hand. Qt's code generators (moc, rcc,
# uic) are Debian's own, which must be the same Qt version (qt6-base-dev-tools).
#
# The prefix is ${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}/qt-<key>, where
# <key> is a hash of everything that decides its contents: the pinned source
# version, this script, the compilers' and the host Qt tools' versions. A prefix
# is used only when its ".complete" stamp exists; the stamp is written last, so a
# build that was interrupted is thrown away and done again. Nothing is downloaded
# while building: the source package comes from apt (a deb-src entry for
# bookworm main is needed; scripts/build-windows.sh adds one) and is kept in the
# cache's sources/ folder.
set -euo pipefail

# All of it in one block, which bash reads whole before running it: changing
# this file (a checkout) while a build runs cannot change what the build does.
{

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}
triplet=x86_64-w64-mingw32
jobs=${TP_JOBS:-$(nproc)}

# The Debian source package, exactly this version (name=version as apt offers it).
source_pin=qt6-base=6.4.2+dfsg-10
host_qt=/usr/lib/qt6/libexec

say() { echo "build-qt: $*" >&2; }

key=$( {
  echo "$source_pin"
  cat "$here/build-qt.sh"
  $triplet-gcc-posix --version
  $triplet-g++-posix --version
  dpkg-query -W -f='${Package} ${Version}\n' mingw-w64-common qt6-base-dev qt6-base-dev-tools 2>/dev/null
} | sha256sum | cut -c1-16)
prefix=$cache/qt-$key

if [ -f "$prefix/.complete" ]; then
  [ "${1:-}" = --query ] || say "reusing $prefix"
  echo "$prefix"
  exit 0
fi
# --query: only say where a finished prefix for these inputs is (status 1: none).
[ "${1:-}" != --query ] || exit 1

# The host tools and the cross compilers.
packages=(qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix cmake ninja-build perl dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { say "missing packages: ${missing[*]} (run as root to install them)"; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
if [ "$host_version" != "${source_pin#*=}" ]; then
  say "the host Qt tools are $host_version, the source is ${source_pin#*=}: they must be the same version"
  exit 1
fi
[ -x "$host_qt/moc" ] || { say "$host_qt/moc is missing (qt6-base-dev-tools)"; exit 1; }

mkdir -p "$cache/sources"
work=$cache/qt-build-$key
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work"
times=$work/times.txt
: >"$times"

# Runs one step with its output in <work>/<step>.log (shown in part when it fails)
# and notes its wall-clock time in seconds in times.txt.
timed() {
  local name=$1 start log=$work/$1.log
  shift
  start=$(date +%s)
  say "$name ..."
  # A step stops at its first failing command: set -e inside a subshell that is
  # not itself tested (in an if or before ||, bash would ignore set -e in it).
  local status
  set +e
  (
    set -e
    "$@"
  ) >"$log" 2>&1
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    say "$name failed; the whole output is in $log"
    exit 1
  fi
  echo "$name $(($(date +%s) - start))" >>"$times"
}

# Downloads the pinned source package (once) and unpacks it with Debian's patches.
fetch_source() {
  local name=${source_pin%%=*} version=${source_pin#*=} dsc
  dsc=$cache/sources/${name}_${version#*:}.dsc
  if [ ! -f "$dsc" ]; then
    if ! apt-cache showsrc "$name" 2>/dev/null | grep -qx "Version: $version"; then
      say "apt does not offer the source package $name $version"
      say "offered: $(apt-cache showsrc "$name" 2>/dev/null | sed -n 's/^Version: //p' | tr '\n' ' ')"
      say "(is there a deb-src entry for bookworm main? run apt-get update)"
      exit 1
    fi
    (cd "$cache/sources" && apt-get source --download-only -qq "$source_pin")
    [ -f "$dsc" ] || { say "download of $source_pin failed"; exit 1; }
  fi
  dpkg-source --no-check -x "$dsc" "$work/src"
  # What a Windows zip with these DLLs must carry: Debian's copyright file and
  # Qt's licence texts.
  mkdir -p "$prefix/share/licenses/$name"
  cp "$work/src/debian/copyright" "$prefix/share/licenses/$name/"
  cp "$work/src/LICENSES"/* "$prefix/share/licenses/$name/"
}

# The options. Every module and feature that is off is listed with its reason.
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DCMAKE_INSTALL_PREFIX="$prefix"
  # Cross-compiling with the posix thread model (std::thread, as the engine).
  -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_SYSTEM_PROCESSOR=x86_64
  -DCMAKE_C_COMPILER="$triplet-gcc-posix"
  -DCMAKE_CXX_COMPILER="$triplet-g++-posix"
  -DCMAKE_RC_COMPILER="$triplet-windres"
  -DCMAKE_FIND_ROOT_PATH="/usr/$triplet"
  -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
  # moc, rcc, uic and the rest from Debian's Qt of the same version.
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  # Modules the programs do not use.
  -DFEATURE_sql=OFF
  -DFEATURE_network=OFF
  -DFEATURE_dbus=OFF
  -DFEATURE_printsupport=OFF
  -DINPUT_opengl=no
  -DFEATURE_opengl=OFF
  -DFEATURE_dynamicgl=OFF # else the Windows platform plugin is compiled with OpenGL calls and fails
  -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF
  -DFEATURE_testlib=OFF # the windows' tests run on the Linux build
  # Every third-party library from Qt's own copy: the mingw-w64 system root has none of them.
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_system_libb2=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_freetype=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF
  -DFEATURE_system_textmarkdownreader=OFF
  -DFEATURE_tabletevent=OFF # Debian's source leaves out the wintab headers (its licence)
  # Trimmed: what a widgets program on Windows cannot need.
  -DFEATURE_zstd=OFF                # no zstd for mingw; rcc compresses resources with zlib
  -DFEATURE_glib=OFF                # the Windows event loop is Qt's own
  -DFEATURE_icu=OFF                 # no ICU for mingw; Windows' own calls cover collation and codecs
  -DFEATURE_freetype=OFF            # Windows fonts are drawn by DirectWrite/GDI, not FreeType
  -DFEATURE_vulkan=OFF              # no Vulkan rendering: widgets paint with the raster engine
  # (direct2d stays: in 6.4.2 the DirectWrite font database that qwindows.dll
  # links is compiled only with it, and without it qwindows.dll fails to link.)
  -DFEATURE_jpeg=OFF                # the windows show no photographs (PNG stays, for icons)
  -DFEATURE_textmarkdownreader=OFF  # no Markdown in labels or text views
  -DFEATURE_textmarkdownwriter=OFF  # likewise
  -DFEATURE_pdf=OFF                 # no PDF writing (printing is off)
)

configure_qt() {
  cmake -S "$work/src" -B "$work/build" -G Ninja "${options[@]}"
}

build_qt() {
  ninja -C "$work/build" -j "$jobs"
}

install_qt() {
  cmake --install "$work/build" --strip
}

all_start=$(date +%s)
timed source fetch_source
timed configure configure_qt
timed build build_qt
# The number of build steps, as ninja counted them ("[done/total]").
steps=$(grep -o '^\[[0-9]*/[0-9]*\]' "$work/build.log" | tail -n 1 | sed 's/.*\///; s/\]//')
timed install install_qt
echo "total $(($(date +%s) - all_start))" >>"$times"
echo "steps ${steps:-?}" >>"$times"

cp "$times" "$prefix/build-times.txt"
echo "$source_pin" >"$prefix/sources.txt"
rm -rf "$work"
touch "$prefix/.complete"
# Prefixes made from other inputs stay: another checkout may use one. Delete old
# ones by hand.
say "built $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
exit
}
