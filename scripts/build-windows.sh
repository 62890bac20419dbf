#!/usr/bin/env bash
# Cross-builds the command-line converter and the store checker for 64-bit Windows
# on Debian 12 and packs them, with the manual and every licence, into
#   build-windows/tessaport-<version>-windows-x64.zip
# Run as root on a fresh machine, from a clone of this repository:
#   bash scripts/build-windows.sh
# Safe to run again: packages already present are left alone, and the static
# libraries (built once from Debian's source packages by scripts/windows/build-deps.sh,
# several minutes) are reused from ${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}
# while their inputs are unchanged.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-windows
triplet=x86_64-w64-mingw32
export TP_WINDOWS_CACHE=${TP_WINDOWS_CACHE:-/var/cache/tessaport-windows}

say() { echo "build-windows: $*" >&2; }
die() {
  say "$*"
  exit 1
}

# --- The tools -------------------------------------------------------------------
packages=(
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev wine64
  build-essential cmake meson ninja-build pkg-config python3 git
  autoconf automake libtool autopoint make
  dpkg-dev xz-utils zip groff-base
  libgtest-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Debian's source packages come through apt: it needs a deb-src entry. Ours is
# added only when the machine has none at all.
src_list=/etc/apt/sources.list.d/tessaport-windows-src.sources
has_deb_src() {
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
    grep -qsE '^[[:space:]]*Types:.*deb-src' /etc/apt/sources.list.d/*.sources
}
need_update=no
if ! has_deb_src; then
  [ "$(id -u)" -eq 0 ] || die "apt has no deb-src entry (run as root to add $src_list)"
  cat >"$src_list" <<'EOF'
# Source packages of the libraries in Tessaport's Windows build (scripts/build-windows.sh).
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  need_update=yes
elif ! apt-cache showsrc glib2.0 2>/dev/null | grep -q '^Version:'; then
  need_update=yes
fi

if [ "${#missing[@]}" -gt 0 ] || [ "$need_update" = yes ]; then
  [ "$(id -u)" -eq 0 ] || die "missing packages: ${missing[*]} (run as root to install them)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ "${#missing[@]}" -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi
[ -x /usr/lib/wine/wine64 ] || die "/usr/lib/wine/wine64 is missing (package wine64)"

# --- The static libraries --------------------------------------------------------
prefix=$(bash "$root/scripts/windows/build-deps.sh")
[ -f "$prefix/.complete" ] || die "the dependency build did not complete"
export TP_WINDOWS_PREFIX=$prefix
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/$triplet/lib/pkgconfig
export PKG_CONFIG_PATH=

# A quick proof that the libraries work together under wine (encoded-word
# subjects through GLib's iconv, uchardet, libytnef).
mkdir -p "$build/smoke"
# shellcheck disable=SC2046
$triplet-gcc-posix -O2 -Wall -Wextra -Werror -static "$root/scripts/windows/smoke.c" \
  -o "$build/smoke/smoke.exe" $(pkg-config --static --cflags --libs gmime-3.0 uchardet libytnef)
bash "$root/scripts/windows/pack-zip.sh" --check-imports "$build/smoke/smoke.exe"
"$root/scripts/wine.sh" "$build/smoke/smoke.exe" >"$build/smoke/smoke.txt" ||
  die "the library check failed under wine: $(cat "$build/smoke/smoke.txt")"
say "the static libraries work under wine ($prefix)"

# --- The programs ----------------------------------------------------------------
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# The engine's tests that start no other program are built as one Windows test
# program (GoogleTest from Debian's copy of its source, libgtest-dev);
# `ctest --test-dir build-windows` runs it under wine.
# A build configured against another library prefix (its inputs changed) keeps
# that prefix's paths in its cache (pkg-config results): configure it afresh.
configured_for=$build/.library-prefix
if [ "$(cat "$configured_for" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles" "$configured_for"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DTP_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DTP_WERROR=ON \
  -DTP_BUILD_GUI=OFF -DTP_BUILD_TESTS=ON "${launcher[@]}" >/dev/null
echo "$prefix" >"$configured_for"
nice cmake --build "$build" --target tessaport-convert pstcheck tp_windows_tests -j "${TP_JOBS:-$(nproc)}"
programs=("$build/bin/tessaport-convert.exe" "$build/bin/pstcheck.exe")

# --- The zip ---------------------------------------------------------------------
zip_file=$(bash "$root/scripts/windows/pack-zip.sh" "$build" "${programs[@]}")
say "built $zip_file ($(du -h "$zip_file" | cut -f1))"
