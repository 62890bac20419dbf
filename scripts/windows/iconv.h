/* The iconv interface for Tessaport's Windows build of GMime.
 *
 * The static GLib built for Windows carries its own iconv (win_iconv, built into
 * gconvert.c), which converts with the Windows code pages. Debian has no mingw-w64
 * libiconv, so GMime is compiled against these declarations and links GLib's
 * functions. The Tessaport developers' own work, GPL-3.0-or-later. */
#ifndef TP_ICONV_H
#define TP_ICONV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* iconv_t;

iconv_t iconv_open(const char* tocode, const char* fromcode);
int iconv_close(iconv_t cd);
size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);

#ifdef __cplusplus
}
#endif

#endif
