/* A minimal libintl for Tessaport's Windows build of GLib and GMime.
 *
 * The Windows programs are not translated, so every lookup returns the text it
 * was given. This header and libintl.c replace GNU gettext (Debian has no
 * mingw-w64 build of it) and are built into the static dependency prefix by
 * scripts/windows/build-deps.sh. They are the Tessaport developers' own work,
 * offered under the same licence as Tessaport (GPL-3.0-or-later). */
#ifndef TP_LIBINTL_H
#define TP_LIBINTL_H

#include <locale.h>

/* The Windows C runtime has no LC_MESSAGES; GLib's key file reader asks for it. */
#ifndef LC_MESSAGES
#define LC_MESSAGES 1729
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* format_arg: the result is the format string given, so the compiler keeps
 * checking printf arguments through a translation call. */
char* gettext(const char* msgid) __attribute__((format_arg(1)));
char* dgettext(const char* domain, const char* msgid) __attribute__((format_arg(2)));
char* dcgettext(const char* domain, const char* msgid, int category) __attribute__((format_arg(2)));
char* ngettext(const char* msgid, const char* plural, unsigned long n)
    __attribute__((format_arg(1))) __attribute__((format_arg(2)));
char* dngettext(const char* domain, const char* msgid, const char* plural, unsigned long n)
    __attribute__((format_arg(2))) __attribute__((format_arg(3)));
char* dcngettext(const char* domain, const char* msgid, const char* plural, unsigned long n,
                 int category) __attribute__((format_arg(2))) __attribute__((format_arg(3)));
char* textdomain(const char* domain);
char* bindtextdomain(const char* domain, const char* dirname);
char* bind_textdomain_codeset(const char* domain, const char* codeset);

#ifdef __cplusplus
}
#endif

#endif
