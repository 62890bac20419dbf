/* A check that the static Windows libraries work together: GMime parses a message
 * from memory, decodes its encoded-word subjects through GLib's iconv, and GLib,
 * uchardet and libytnef link into one program with no DLLs of their own.
 * scripts/build-windows.sh builds it with the toolchain and runs it under wine;
 * it prints each decoded subject and exits 0 only when all are as expected. */
#include <gmime/gmime.h>
#include <stdio.h>
#include <string.h>
#include <uchardet/uchardet.h>
#include <ytnef.h>

/* An encoded-word subject and the UTF-8 text it must decode to. */
struct sample {
    const char* header;
    const char* expected;
};

static const struct sample samples[] = {
    {"=?iso-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=",
     "Gr\xc3\xbc\xc3\x9f"
     "e aus K\xc3\xb6ln"},
    {"=?windows-1252?Q?=80_price_=93quoted=94?=",
     "\xe2\x82\xac price \xe2\x80\x9cquoted\xe2\x80\x9d"},
    {"=?UTF-8?B?0J/RgNC40LLQtdGC?=", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
    {"=?iso-2022-jp?B?GyRCJDMkcyRLJEEkTxsoQg==?=",
     "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf"},
};

static int check(const struct sample* s) {
    char message[512];
    snprintf(message, sizeof message,
             "From: a@example.org\r\nSubject: %s\r\nMIME-Version: 1.0\r\n"
             "Content-Type: text/plain\r\n\r\nbody\r\n",
             s->header);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message, strlen(message));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* parsed = g_mime_parser_construct_message(parser, NULL);
    int ok = 0;
    if (parsed != NULL) {
        const char* subject = g_mime_message_get_subject(parsed);
        printf("%s\n", subject != NULL ? subject : "(none)");
        ok = subject != NULL && strcmp(subject, s->expected) == 0;
        g_object_unref(parsed);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    if (!ok) fprintf(stderr, "smoke: %s decoded wrongly\n", s->header);
    return ok;
}

int main(void) {
    g_mime_init();
    int ok = 1;
    for (size_t i = 0; i < sizeof samples / sizeof samples[0]; ++i) ok &= check(&samples[i]);

    /* uchardet names the charset of Latin-1 text. */
    uchardet_t detector = uchardet_new();
    const char latin1[] =
        "Sch\xf6ne Gr\xfc\xdf"
        "e aus M\xfcnchen, sch\xf6n und gr\xfcn";
    uchardet_handle_data(detector, latin1, sizeof latin1 - 1);
    uchardet_data_end(detector);
    const char* charset = uchardet_get_charset(detector);
    printf("uchardet: %s\n", charset);
    ok &= charset != NULL && charset[0] != '\0';
    uchardet_delete(detector);

    /* libytnef answers an empty buffer with an error, not a crash. */
    TNEFStruct tnef;
    TNEFInitialize(&tnef);
    ok &= TNEFParseMemory((BYTE*)"", 0, &tnef) != 0;
    TNEFFree(&tnef);

    g_mime_shutdown();
    printf("smoke: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
