#!/usr/bin/env bash
# shellcheck disable=SC2317  # the build steps are called through timed()
# Builds the libraries Tessaport's Windows programs link, statically, for 64-bit
# Windows, from Debian 12's own source packages, into one prefix:
#   scripts/windows/build-deps.sh          builds (or reuses) it and prints its path
#   scripts/windows/build-deps.sh --query  prints its path if it is built, else fails
#
# The prefix is ${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}/prefix-<key>, where
# <key> is a hash of everything that decides its contents: the pinned source
# versions, this script, the files beside it that it builds in (libintl, iconv.h),
# the wine wrapper it runs a test program with, and the compilers' versions. A prefix is used only when
# its ".complete" stamp exists; the stamp is written last, so a build that was
# interrupted is thrown away and done again. Nothing is downloaded while building:
# the source packages come from apt (a deb-src entry for bookworm main is needed;
# scripts/build-windows.sh adds one) and are kept in the cache's sources/ folder.
set -euo pipefail

# All of it in one block, which bash reads whole before running it: changing
# this file (a checkout) while a build runs cannot change what the build does.
{

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}
triplet=x86_64-w64-mingw32
jobs=${TP_JOBS:-$(nproc)}

# The Debian source packages, exactly these versions (name=version as apt offers it).
sources=(
  glib2.0=2.74.6-2+deb12u9
  gmime=3.2.13+dfsg-2
  uchardet=0.0.7-1
  libytnef=2.0-1
  pcre2=10.42-1
  libffi=3.4.4-1
)

key=$( {
  printf '%s\n' "${sources[@]}"
  cat "$here/build-deps.sh" "$here/libintl.h" "$here/libintl.c" "$here/iconv.h" "$root/scripts/wine.sh"
  $triplet-gcc-posix --version
  dpkg-query -W -f='${Package} ${Version}\n' mingw-w64-common libz-mingw-w64-dev meson 2>/dev/null
} | sha256sum | cut -c1-16)
prefix=$cache/prefix-$key

if [ -f "$prefix/.complete" ]; then
  [ "${1:-}" = --query ] || echo "build-deps: reusing $prefix" >&2
  echo "$prefix"
  exit 0
fi
# --query: only say where a finished prefix for these inputs is (status 1: none).
[ "${1:-}" != --query ] || exit 1

mkdir -p "$cache/sources"
work=$cache/build-$key
rm -rf "$prefix" "$work"
mkdir -p "$prefix/include" "$prefix/lib/pkgconfig" "$work"
times=$work/times.txt
: >"$times"

# Runs one step with its output in <work>/<step>.log (shown in part when it fails)
# and notes its wall-clock time in seconds in times.txt.
timed() {
  local name=$1 start log=$work/$1.log
  shift
  start=$(date +%s)
  echo "build-deps: $name ..." >&2
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
    echo "build-deps: building $name failed; the whole output is in $log" >&2
    exit 1
  fi
  echo "$name $(($(date +%s) - start))" >>"$times"
}

# Downloads the pinned source packages (once) and unpacks them with Debian's patches.
fetch_sources() {
  local pin name version dsc
  for pin in "${sources[@]}"; do
    name=${pin%%=*}
    version=${pin#*=}
    dsc=$cache/sources/${name}_${version#*:}.dsc
    if [ ! -f "$dsc" ]; then
      if ! apt-cache showsrc "$name" 2>/dev/null | grep -qx "Version: $version"; then
        echo "build-deps: apt does not offer the source package $name $version" >&2
        echo "build-deps: offered: $(apt-cache showsrc "$name" 2>/dev/null | sed -n 's/^Version: //p' | tr '\n' ' ')" >&2
        echo "build-deps: (is there a deb-src entry for bookworm main? run apt-get update)" >&2
        exit 1
      fi
      (cd "$cache/sources" && apt-get source --download-only -qq "$pin")
      [ -f "$dsc" ] || { echo "build-deps: download of $pin failed" >&2; exit 1; }
    fi
    dpkg-source --no-check -x "$dsc" "$work/$name"
    # What the Windows zip must carry for this library: Debian's copyright file
    # and the licence texts shipped with the source.
    mkdir -p "$prefix/share/licenses/$name"
    cp "$work/$name/debian/copyright" "$prefix/share/licenses/$name/"
    # (GLib keeps its texts in LICENSES/, one file per licence.)
    find "$work/$name" -maxdepth 1 -type f \( -name 'COPYING*' -o -name 'LICENSE*' -o -name 'LICENCE*' \) \
      -exec cp {} "$prefix/share/licenses/$name/" \;
    if [ -d "$work/$name/LICENSES" ]; then
      cp "$work/$name/LICENSES"/* "$prefix/share/licenses/$name/"
    fi
  done
}

# The settings every cross build shares.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/$triplet/lib/pkgconfig
export PKG_CONFIG_PATH=
export CPPFLAGS="-I$prefix/include"
export CFLAGS="-O2"
export CXXFLAGS="-O2"
export LDFLAGS="-L$prefix/lib"
export TP_WINDOWS_PREFIX=$prefix
configure_flags=(--host="$triplet" --prefix="$prefix" --disable-shared --enable-static)
cross_cc=$triplet-gcc-posix

export CC=$cross_cc CXX=$triplet-g++-posix AR=$triplet-ar RANLIB=$triplet-ranlib

# The untranslated libintl GLib and GMime are built against (see libintl.h).
build_libintl() {
  cp "$here/libintl.h" "$prefix/include/"
  $cross_cc -O2 -c "$here/libintl.c" -o "$work/libintl.o"
  "$triplet-ar" rcs "$prefix/lib/libintl.a" "$work/libintl.o"
}

build_uchardet() {
  cmake -S "$work/uchardet" -B "$work/uchardet/build" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_C_COMPILER="$cross_cc" -DCMAKE_CXX_COMPILER="$triplet-g++-posix" \
    -DCMAKE_RC_COMPILER="$triplet-windres" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_BINARY=OFF
  cmake --build "$work/uchardet/build" -j "$jobs"
  cmake --install "$work/uchardet/build"
}

build_libytnef() {
  cd "$work/libytnef"
  mkdir -p m4
  autoreconf -fi
  ./configure "${configure_flags[@]}"
  make -C lib -j "$jobs"
  make -C lib install
}

build_pcre2() {
  cd "$work/pcre2"
  ./configure "${configure_flags[@]}" --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32 \
    --disable-pcre2grep-libz --disable-pcre2grep-libbz2
  make -j "$jobs" libpcre2-8.la
  make install-libLTLIBRARIES install-nodist_includeHEADERS install-pkgconfigDATA
}

build_libffi() {
  cd "$work/libffi"
  ./configure "${configure_flags[@]}" --disable-docs --disable-multi-os-directory
  make -j "$jobs"
  make install
}

build_glib() {
  local cross=$work/meson-cross.txt
  cat >"$cross" <<CROSS
[binaries]
c = '$cross_cc'
cpp = '$triplet-g++-posix'
ar = '$triplet-ar'
strip = '$triplet-strip'
windres = '$triplet-windres'
pkgconfig = 'pkg-config'

[built-in options]
c_args = ['-I$prefix/include']
c_link_args = ['-L$prefix/lib']
cpp_args = ['-I$prefix/include']
cpp_link_args = ['-L$prefix/lib']

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
CROSS
  cd "$work/glib2.0"
  # meson takes its flags from the cross file, not from the environment.
  env -u CC -u CXX -u AR -u RANLIB -u CPPFLAGS -u CFLAGS -u CXXFLAGS -u LDFLAGS \
    meson setup build --cross-file "$cross" --prefix "$prefix" --libdir lib \
    --buildtype release --wrap-mode nodownload -Ddefault_library=static \
    -Dtests=false -Dnls=disabled -Dman=false -Dgtk_doc=false -Dsysprof=disabled \
    -Dlibmount=disabled -Dselinux=disabled -Dxattr=false -Dlibelf=disabled
  ninja -C build -j "$jobs"
  ninja -C build install
}

build_gmime() {
  cd "$work/gmime"
  # The Debian tarball has no configure script, and its gtk-doc check needs
  # gtk-doc-tools: a stand-in macro that turns the documentation off.
  cat >m4/tp-gtk-doc.m4 <<'M4'
AC_DEFUN([GTK_DOC_CHECK], [
  enable_gtk_doc=no
  AM_CONDITIONAL([GTK_DOC_BUILD_HTML], [false])
  AM_CONDITIONAL([GTK_DOC_BUILD_PDF], [false])
  AM_CONDITIONAL([GTK_DOC_USE_LIBTOOL], [false])
  AM_CONDITIONAL([GTK_DOC_USE_REBASE], [false])
])
M4
  printf 'EXTRA_DIST =\nCLEANFILES =\nDISTCLEANFILES =\nMAINTAINERCLEANFILES =\n' >gtk-doc.make
  # automake insists on a ChangeLog, which the Debian tarball leaves out.
  [ -e ChangeLog ] || : >ChangeLog
  GTKDOCIZE=true autoreconf -fi
  # iconv: GLib's built-in win_iconv, declared by our iconv.h. GMime asks the
  # iconv which charset names it knows by running a program: build it for
  # Windows and run it under wine.
  cp "$here/iconv.h" "$prefix/include/"
  # shellcheck disable=SC2046
  $cross_cc -O2 -static -I"$prefix/include" iconv-detect.c -o iconv-detect.exe \
    $(pkg-config --static --libs glib-2.0)
  "$root/scripts/wine.sh" ./iconv-detect.exe
  [ -s iconv-detect.h ] || { echo "build-deps: iconv-detect wrote nothing" >&2; exit 1; }
  ./configure "${configure_flags[@]}" --disable-crypto --disable-introspection --disable-vala \
    --without-libidn ac_cv_have_iconv_detect_h=yes ac_cv_func_iconv_open=yes
  make -C util -j "$jobs"
  # The library only: its helper programs (gen-table, charset-map) would need
  # the static link line of GLib, and are not installed.
  make -C gmime -j "$jobs" libgmime-3.0.la
  make -C gmime install-libLTLIBRARIES install-gmimeincludeHEADERS
  make install-pkgconfigDATA
}

all_start=$(date +%s)
timed sources fetch_sources
timed libintl build_libintl
timed uchardet build_uchardet
timed libytnef build_libytnef
timed pcre2 build_pcre2
timed libffi build_libffi
timed glib build_glib
timed gmime build_gmime
echo "total $(($(date +%s) - all_start))" >>"$times"

# Only the libraries, headers and .pc files are kept (and what was built, how long it took).
rm -rf "${prefix:?}/bin" "$prefix/share/man" "$prefix/share/doc" "$prefix/share/gtk-doc" \
  "$prefix/share/info" "$prefix/share/locale" "$prefix/libexec"
find "$prefix/lib" -name '*.la' -delete
cp "$times" "$prefix/build-times.txt"
printf '%s\n' "${sources[@]}" >"$prefix/sources.txt"
rm -rf "$work"
touch "$prefix/.complete"
# Prefixes made from other inputs stay: another checkout (an older version of
# this script) may use one. Each is about 12 MB; delete old ones by hand.
echo "build-deps: built $prefix ($(du -sh "$prefix" | cut -f1))" >&2
echo "$prefix"
exit
}
