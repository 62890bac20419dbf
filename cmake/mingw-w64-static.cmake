# Read after each project() of a Windows build (cmake/mingw-w64.cmake names it):
# library searches take static archives only. Set here and not in the toolchain
# file because the Windows platform files, read by project(), put ".dll.a" first,
# and a -lz would then become libz.dll.a (the program would need zlib1.dll).
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)
