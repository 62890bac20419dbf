/* The untranslated message lookups declared in libintl.h: each returns the
 * English text it was given (the singular or plural form by n). */
#include "libintl.h"

#include <stddef.h>

char* gettext(const char* msgid) {
    return (char*)msgid;
}

char* dgettext(const char* domain, const char* msgid) {
    (void)domain;
    return (char*)msgid;
}

char* dcgettext(const char* domain, const char* msgid, int category) {
    (void)domain;
    (void)category;
    return (char*)msgid;
}

char* ngettext(const char* msgid, const char* plural, unsigned long n) {
    return (char*)(n == 1 ? msgid : plural);
}

char* dngettext(const char* domain, const char* msgid, const char* plural, unsigned long n) {
    (void)domain;
    return ngettext(msgid, plural, n);
}

char* dcngettext(const char* domain, const char* msgid, const char* plural, unsigned long n,
                 int category) {
    (void)domain;
    (void)category;
    return ngettext(msgid, plural, n);
}

/* The current domain: kept so that textdomain(NULL) answers what was set. */
static char current_domain[256] = "messages";

char* textdomain(const char* domain) {
    if (domain != NULL && domain[0] != '\0') {
        size_t i = 0;
        for (; domain[i] != '\0' && i + 1 < sizeof current_domain; ++i)
            current_domain[i] = domain[i];
        current_domain[i] = '\0';
    }
    return current_domain;
}

/* No catalogues are read, so the folder and the character set are only echoed. */
char* bindtextdomain(const char* domain, const char* dirname) {
    (void)domain;
    return (char*)dirname;
}

char* bind_textdomain_codeset(const char* domain, const char* codeset) {
    (void)domain;
    return (char*)codeset;
}
