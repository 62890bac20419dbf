#!/usr/bin/env bash
# The Windows toolchain, wine wrapper and zip: no failing program reported as
# passing, no program needing a DLL the zip lacks, no licence or source missing.
#   tests/windows/build_tools_test.sh SOURCE_DIR
# Exit 77 (skipped) without the cross compiler, wine or a built library prefix.
set -euo pipefail
# shellcheck source=tests/windows/skip.sh
source "$(dirname "${BASH_SOURCE[0]}")/skip.sh"
src=$1
triplet=x86_64-w64-mingw32
command -v $triplet-g++-posix >/dev/null || skip "no mingw-w64 compiler"
[ -x /usr/lib/wine/wine64 ] || skip "no wine64"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# 1. wine.sh hands back what the program wrote and its exit status: ctest runs
#    the Windows tests through it, and a lost status would pass every failing test.
printf '#include <stdio.h>\n#include <stdlib.h>\nint main(int c, char **v) { puts(v[1]); return atoi(v[2]); }\n' >"$tmp/status.c"
$triplet-gcc-posix -static "$tmp/status.c" -o "$tmp/status.exe"
for want in 0 3 255; do
  status=0
  out=$("$src/scripts/wine.sh" "$tmp/status.exe" "said $want" "$want" | tr -d '\r') || status=$?
  [ "$status" = "$want" ] || fail "wine.sh returned $status for a program that exited with $want"
  [ "$out" = "said $want" ] || fail "wine.sh passed on '$out', not 'said $want'"
done

prefix=$(bash "$src/scripts/windows/build-deps.sh" --query) ||
  skip "no Windows library prefix (bash scripts/build-windows.sh builds it)"
export TP_WINDOWS_PREFIX=$prefix

# A probe using threads, GMime (GLib's iconv) and zlib; exits with its argument.
mkdir -p "$tmp/probe"
cat >"$tmp/probe/probe.cpp" <<'CPP'
#include <gmime/gmime.h>
#include <zlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
int main(int argc, char** argv) {
    g_mime_init();
    char* text = nullptr;
    std::thread worker([&] { text = g_mime_utils_header_decode_text(nullptr, "=?iso-8859-1?Q?K=F6ln?="); });
    worker.join();
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(text), static_cast<uInt>(std::strlen(text)));
    std::printf("%s %08lx\n", text, static_cast<unsigned long>(crc));
    const bool ok = std::strcmp(text, "K\xc3\xb6ln") == 0;
    g_free(text);
    return !ok ? 9 : argc > 1 ? std::atoi(argv[1]) : 0;
}
CPP
cat >"$tmp/probe/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(probe CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(PkgConfig REQUIRED)
pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
find_package(ZLIB REQUIRED)
add_executable(probe probe.cpp)
target_link_libraries(probe PRIVATE PkgConfig::GMIME ZLIB::ZLIB)
enable_testing()
add_test(NAME passes COMMAND probe)
add_test(NAME fails COMMAND probe 3)
set_tests_properties(fails PROPERTIES WILL_FAIL TRUE)
CMAKE

# 2. The toolchain file: the probe builds statically (only Windows' own DLLs) and
#    runs under wine, also through ctest's emulator with its real exit status.
cmake -S "$tmp/probe" -B "$tmp/probe/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" >"$tmp/configure.log" 2>&1 ||
  { cat "$tmp/configure.log"; fail "the toolchain file does not configure a project"; }
cmake --build "$tmp/probe/build" >"$tmp/build.log" 2>&1 ||
  { tail -n 30 "$tmp/build.log"; fail "a GMime and zlib program does not link"; }
probe=$tmp/probe/build/probe.exe
bash "$src/scripts/windows/pack-zip.sh" --check-imports "$probe" ||
  fail "the probe needs DLLs: not linked statically"
# (Windows' C runtime writes \r\n line ends.)
out=$("$src/scripts/wine.sh" "$probe" | tr -d '\r') || fail "the probe failed under wine"
[ "$out" = "$(printf 'K\xc3\xb6ln') 2f6835fb" ] || fail "the probe printed '$out'"
ctest --test-dir "$tmp/probe/build" --output-on-failure >"$tmp/ctest.log" 2>&1 ||
  { cat "$tmp/ctest.log"; fail "ctest did not run the probe under wine with its exit status"; }

# 3. The zip refuses a program that would need DLLs it does not carry.
printf '#include <iostream>\nint main() { std::cout << "hi\\n"; }\n' >"$tmp/dynamic.cpp"
$triplet-g++-posix "$tmp/dynamic.cpp" -o "$tmp/dynamic.exe"
if bash "$src/scripts/windows/pack-zip.sh" "$tmp/refused" "$tmp/dynamic.exe" 2>"$tmp/refused.log"; then
  fail "a program needing libstdc++-6.dll was packed"
fi
grep -q 'libstdc++-6.dll' "$tmp/refused.log" || fail "the refusal does not name the DLL"
[ -z "$(find "$tmp/refused" -name '*.zip' 2>/dev/null)" ] || fail "a zip was left after the refusal"

# 4. The unpacked zip: both programs, the manual, every licence and source; the
#    same bytes when packed again.
cp "$probe" "$tmp/tessaport-convert.exe"
cp "$probe" "$tmp/pstcheck.exe"
zip1=$(bash "$src/scripts/windows/pack-zip.sh" "$tmp/a" "$tmp/tessaport-convert.exe" "$tmp/pstcheck.exe")
sleep 1 # a second later: no time of packing may get into the zip
zip2=$(bash "$src/scripts/windows/pack-zip.sh" "$tmp/b" "$tmp/tessaport-convert.exe" "$tmp/pstcheck.exe")
version=$(sed -n 's/^project(Tessaport VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(basename "$zip1")" = "tessaport-$version-windows-x64.zip" ] || fail "the zip is named $(basename "$zip1")"
cmp -s "$zip1" "$zip2" || fail "packing the same files twice gave different zips"
mkdir "$tmp/unpacked"
(cd "$tmp/unpacked" && python3 -m zipfile -e "$zip1" .)
top=$tmp/unpacked/tessaport-$version-windows-x64
for f in tessaport-convert.exe pstcheck.exe README-Windows.txt LICENSE.txt SOURCES.txt \
  help.html manual/tessaport-convert.txt manual/pstcheck.txt; do
  [ -s "$top/$f" ] || fail "the zip has no $f"
done
out=$("$src/scripts/wine.sh" "$top/tessaport-convert.exe") || fail "the unpacked program does not run"
diff -q <(tr -d '\r' <"$top/LICENSE.txt") /usr/share/common-licenses/GPL-3 >/dev/null ||
  fail "LICENSE.txt is not the GPL-3 text"
grep -q $'C:\\\\.*\r$' "$top/README-Windows.txt" || fail "README-Windows.txt has no C:\\ example in Windows lines"
# Each component with its terms: the text that names the licence must be there.
expect_licence() { # component, text in its licence files
  [ -d "$top/licenses/$1" ] || fail "no licence folder for $1"
  grep -rqi -- "$2" "$top/licenses/$1" || fail "the licence of $1 does not say '$2'"
}
expect_licence glib2.0 "GNU LESSER GENERAL PUBLIC LICENSE"
expect_licence gmime "GNU LESSER GENERAL PUBLIC LICENSE"
expect_licence uchardet "Mozilla Public License"
expect_licence libytnef "GNU GENERAL PUBLIC LICENSE"
expect_licence pcre2 "BSD"
expect_licence libffi "Permission is hereby granted"
expect_licence zlib "zlib"
expect_licence mingw-w64-runtime-and-winpthreads "winpthreads"
expect_licence gcc-libgcc-libstdc++ "GCC RUNTIME LIBRARY EXCEPTION"
[ -s "$top/licenses/common-licenses/LGPL-2.1.txt" ] || fail "no LGPL-2.1 text"
while read -r pin; do
  grep -q "${pin%%=*} *${pin#*=}" "$top/SOURCES.txt" || fail "SOURCES.txt does not name $pin"
done <"$prefix/sources.txt"
[ "$(wc -l <"$prefix/sources.txt")" -eq 6 ] || fail "the prefix lists $(wc -l <"$prefix/sources.txt") source packages, not 6"
echo "windows build tools: ok"
