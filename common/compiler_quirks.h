#pragma once
// Marks around code that trips a known false warning of one compiler.
//
// GCC 12 at -O2/-O3 reports overlapping copies (-Wrestrict, inside libstdc++'s
// char_traits.h, with sizes of exabytes at negative offsets) on short string
// concatenations and insertions such as " " + std::to_string(n). The copies do
// not overlap: it is GCC 12's known false positive in basic_string. The Release
// build treats warnings as errors, so the warning is switched off between these
// marks, around the one function that trips it, and for GCC 12 only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#define TP_GCC12_FALSE_RESTRICT_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wrestrict\"")
#define TP_GCC12_FALSE_RESTRICT_END _Pragma("GCC diagnostic pop")
#else
#define TP_GCC12_FALSE_RESTRICT_BEGIN
#define TP_GCC12_FALSE_RESTRICT_END
#endif
