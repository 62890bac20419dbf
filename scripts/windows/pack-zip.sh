#!/usr/bin/env bash
# Packs the Windows programs, the manual and every licence into
#   OUTDIR/tessaport-<version>-windows-x64.zip
# and prints the zip's path:
#   scripts/windows/pack-zip.sh OUTDIR PROGRAM.exe...
#   scripts/windows/pack-zip.sh --check-imports PROGRAM.exe...
# The second form only checks that each program imports nothing but Windows' own
# DLLs (the packing checks that too, and refuses a program that does not).
# TP_WINDOWS_PREFIX names the static library prefix (scripts/windows/build-deps.sh):
# its licence files and source list go into the zip.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
triplet=x86_64-w64-mingw32

die() {
  echo "pack-zip: $*" >&2
  exit 1
}

# Only Windows' own DLLs: a program needing any other one would not start on a
# machine that has nothing but the unpacked zip.
system_dlls='^(advapi32|bcrypt|comctl32|comdlg32|crypt32|dnsapi|gdi32|imm32|iphlpapi|kernel32|msvcrt|ntdll|ole32|oleaut32|rpcrt4|secur32|setupapi|shell32|shlwapi|user32|userenv|uxtheme|version|winmm|ws2_32)\.dll$'
check_imports() {
  local exe=$1 dll dlls bad=()
  dlls=$($triplet-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p') ||
    die "$exe is not a Windows program"
  [ -n "$dlls" ] || die "$exe imports no DLL at all: not a Windows program?"
  while read -r dll; do
    echo "$dll" | tr '[:upper:]' '[:lower:]' | grep -qE "$system_dlls" || bad+=("$dll")
  done <<<"$dlls"
  [ "${#bad[@]}" -eq 0 ] || die "$(basename "$exe") needs DLLs that Windows does not have: ${bad[*]}"
}

if [ "${1:-}" = --check-imports ]; then
  shift
  for exe in "$@"; do check_imports "$exe"; done
  exit 0
fi

[ "$#" -ge 2 ] || die "usage: pack-zip.sh OUTDIR PROGRAM.exe..."
out=$1
shift
prefix=${TP_WINDOWS_PREFIX:?pack-zip: set TP_WINDOWS_PREFIX to the static library prefix}
if [ ! -f "$prefix/sources.txt" ] || [ ! -d "$prefix/share/licenses" ]; then
  die "$prefix is not a complete library prefix (no sources.txt or share/licenses)"
fi
for exe in "$@"; do check_imports "$exe"; done

version=$(sed -n 's/^project(Tessaport VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || die "no version in CMakeLists.txt's project()"
name=tessaport-$version-windows-x64
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "$out/.pack.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/$name
mkdir -p "$stage/manual" "$stage/licenses"

# Text for Notepad: Windows line ends (whatever the source had).
crlf() { sed 's/\r*$/\r/' "$@"; }

# One fixed time for everything in the zip (the last commit's), so that the same
# inputs give the same bytes.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}

# strip writes a new time into the program's header: the fixed one.
for exe in "$@"; do
  SOURCE_DATE_EPOCH=$stamp $triplet-strip -o "$stage/$(basename "$exe")" "$exe"
done
# The manual beside the programs: that is where they look for it when they
# point the user to a section of it.
cp "$root/docs/help.html" "$stage/"
for page in tessaport-convert pstcheck; do
  groff -t -man -Tascii -P-cbou "$root/packaging/man/$page.1" 2>/dev/null | crlf >"$stage/manual/$page.txt"
  [ -s "$stage/manual/$page.txt" ] || die "the manual page $page.1 did not render (groff)"
done
crlf "$root/scripts/windows/README-Windows.txt" >"$stage/README-Windows.txt"
crlf "$root/LICENSE" >"$stage/LICENSE.txt"

# Every component linked into the programs: for the libraries, Debian's copyright
# file and the licence texts in their source; for the toolchain's runtime, zlib
# and the C runtime, their Debian copyright files.
lic=$stage/licenses
for dir in "$prefix/share/licenses"/*/; do
  component=$(basename "$dir")
  mkdir -p "$lic/$component"
  for f in "$dir"*; do
    base=$(basename "$f" .txt)
    crlf "$f" >"$lic/$component/$base.txt"
  done
done
toolchain_docs=(
  zlib:libz-mingw-w64-dev
  mingw-w64-runtime-and-winpthreads:mingw-w64-common
  gcc-libgcc-libstdc++:gcc-mingw-w64-base
)
for entry in "${toolchain_docs[@]}"; do
  doc=/usr/share/doc/${entry#*:}/copyright
  [ -s "$doc" ] || die "$doc is missing (package ${entry#*:})"
  mkdir -p "$lic/${entry%%:*}"
  crlf "$doc" >"$lic/${entry%%:*}/copyright.txt"
done
# The full texts that the copyright files name as /usr/share/common-licenses/...
mkdir -p "$lic/common-licenses"
for text in GPL-2 GPL-3 LGPL-2 LGPL-2.1 LGPL-3 MPL-1.1 MPL-2.0 Apache-2.0 BSD; do
  crlf "/usr/share/common-licenses/$text" >"$lic/common-licenses/$text.txt"
done

# Where the corresponding source of everything in the zip is.
source_of() {
  dpkg-query -W -f='${source:Package} ${source:Version}' "$1" 2>/dev/null ||
    die "package $1 is not installed"
}
{
  cat <<EOF
Tessaport $version for Windows (x64): where the source code is

The two programs are linked statically: each .exe holds Tessaport's own code
and the libraries below. Their sources are Debian 12 ("bookworm") source
packages, built with Debian's patches and the options in
scripts/windows/build-deps.sh of Tessaport's source.

Tessaport $version (GPL-3.0-or-later): its source tree at the same version. It
holds the build scripts (scripts/build-windows.sh, scripts/windows/) and the
small libintl and iconv.h added for the Windows build of GLib and GMime.

Libraries (Debian source package, version):
EOF
  while read -r pin; do
    printf '  %-12s %s\n' "${pin%%=*}" "${pin#*=}"
  done <"$prefix/sources.txt"
  cat <<EOF

Linked in from the cross compiler (Debian source package, version):
  $(source_of mingw-w64-x86-64-dev)   the mingw-w64 C runtime and winpthreads
  $(source_of gcc-mingw-w64-x86-64-posix-runtime)   GCC's libgcc and libstdc++, built from
      $(dpkg-query -W -f='${Built-Using}' gcc-mingw-w64-x86-64-posix-runtime | sed 's/ (= / /; s/)$//')
  $(source_of libz-mingw-w64-dev)   zlib

On a Debian 12 machine with a deb-src entry, each one is fetched with
  apt-get source <package>=<version>
and every version stays at https://snapshot.debian.org/package/<package>/<version>/
(for example https://snapshot.debian.org/package/glib2.0/2.74.6-2%2Bdeb12u9/).

GLib and GMime are under the GNU LGPL 2.1 or later: to use changed versions of
them, build them from their source with scripts/windows/build-deps.sh and link
Tessaport's source again with scripts/build-windows.sh.
EOF
} | crlf >"$stage/SOURCES.txt"

# Sorted names, the fixed time on every file, no extra fields.
find "$stage" -exec touch -h -d "@$stamp" {} +
zip_file=$out/$name.zip
(cd "$work" && find "$name" -type f -print | LC_ALL=C sort |
  TZ=UTC zip -q -X -D "$work/$name.zip" -@)
mv -f "$work/$name.zip" "$zip_file"
echo "$zip_file"
