# Cross-builds Tessaport for 64-bit Windows on Debian with mingw-w64 (the posix
# thread model, for std::thread), linking everything statically so that the
# programs need no DLLs beside the Windows system ones.
#
# The libraries (GLib, GMime, uchardet, libytnef and what they need) come from the
# static prefix that scripts/build-windows.sh builds; name it with
# -DTP_WINDOWS_PREFIX=<folder> or the environment variable of the same name.
# Test programs run under wine through scripts/wine.sh.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TP_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TP_MINGW_TRIPLET}-windres)

if(NOT TP_WINDOWS_PREFIX AND DEFINED ENV{TP_WINDOWS_PREFIX})
  set(TP_WINDOWS_PREFIX "$ENV{TP_WINDOWS_PREFIX}")
endif()
if(NOT TP_WINDOWS_PREFIX)
  message(FATAL_ERROR "mingw-w64.cmake: set TP_WINDOWS_PREFIX to the static library prefix "
                      "(scripts/build-windows.sh builds it and prints where)")
endif()
set(TP_WINDOWS_PREFIX "${TP_WINDOWS_PREFIX}" CACHE PATH "Static Windows libraries (from scripts/build-windows.sh)")
# try_compile projects read this file again: hand them the prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TP_WINDOWS_PREFIX)

# Headers, libraries and CMake packages only from the prefix and the mingw-w64
# system root; programs (pkg-config, the code generators) from the build machine.
set(CMAKE_FIND_ROOT_PATH "${TP_WINDOWS_PREFIX}" /usr/${TP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static archives only (see mingw-w64-static.cmake), and static linking.
set(CMAKE_PROJECT_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-static.cmake")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# pkg-config reads only the Windows .pc files and gives the static link lines
# (Libs.private: the Windows system libraries GLib needs).
set(ENV{PKG_CONFIG_LIBDIR} "${TP_WINDOWS_PREFIX}/lib/pkgconfig:/usr/${TP_MINGW_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_ARGN --static)

# ctest and custom commands run Windows programs under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh")
