#!/usr/bin/env bash
# Builds the Debian package build/tessaport_<version>_amd64.deb: installs what is
# missing, makes a release build of the programs (no tests) with Debian's
# hardening flags in build/package/, and packs it with CPack (Depends from
# dpkg-shlibdeps). Install it with: apt-get install ./build/tessaport_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh scripts/package-deps.txt

# Debian's compiler and linker flags: fortified functions, stack protector,
# read-only relocations bound at start, position-independent executables.
# No debugging information: the binaries are stripped anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Warnings are errors here too: the release optimiser warns where CI's build does not.
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTP_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DTP_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "${launcher[@]}" >/dev/null
cmake --build build/package -j"$(nproc)"

rm -f build/tessaport_*.deb
(cd build/package && cpack -G DEB >/dev/null)
mv build/package/tessaport_*.deb build/
ls build/tessaport_*.deb
