// SPDX-License-Identifier: MIT
/*
 * Converts IN to the GSM WAVE file OUT through the installed
 * library, in plain C, as a host application would:
 *
 *   consumer IN OUT
 *
 * The library takes paths in UTF-16; on Linux argv holds them in
 * UTF-8, so each is converted first, names beyond ASCII included.
 */
#include <kivgsm.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/*
 * A zero-terminated UTF-8 string as zero-terminated UTF-16, in
 * memory from malloc (the caller frees it); code points past U+FFFF
 * become surrogate pairs. Strict: a stray or missing continuation
 * byte, an overlong form, an encoded surrogate (U+D800 to U+DFFF)
 * or a code point past U+10FFFF gives NULL, as does a failed
 * allocation.
 */
static KivPathChar* utf8_to_utf16(const char* text) {
  const unsigned char* s = (const unsigned char*)text;
  /* No UTF-8 sequence gives more UTF-16 units than it has bytes. */
  KivPathChar* out = malloc((strlen(text) + 1) * sizeof *out);
  size_t n = 0;
  if (out == NULL) return NULL;
  while (*s != 0) {
    uint32_t c, least;
    int more;
    if (*s < 0x80) {
      c = *s, more = 0, least = 0;
    } else if ((*s & 0xE0) == 0xC0) {
      c = *s & 0x1F, more = 1, least = 0x80;
    } else if ((*s & 0xF0) == 0xE0) {
      c = *s & 0x0F, more = 2, least = 0x800;
    } else if ((*s & 0xF8) == 0xF0) {
      c = *s & 0x07, more = 3, least = 0x10000;
    } else {
      goto malformed; /* a continuation byte, or 0xF8 to 0xFF */
    }
    for (++s; more > 0; --more, ++s) {
      /* This stops at the terminating zero too. */
      if ((*s & 0xC0) != 0x80) goto malformed;
      c = (c << 6) | (*s & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      goto malformed;
    if (c >= 0x10000) {
      c -= 0x10000;
      out[n++] = (KivPathChar)(0xD800 + (c >> 10));
      out[n++] = (KivPathChar)(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = (KivPathChar)c;
    }
  }
  out[n] = 0;
  return out;
malformed:
  free(out);
  return NULL;
}

int main(int argc, char** argv) {
  KivPathChar *in, *out;
  int32_t rc;
  if (argc != 3) {
    fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  in = utf8_to_utf16(argv[1]);
  out = utf8_to_utf16(argv[2]);
  if (in == NULL || out == NULL) {
    fprintf(stderr, "%s: not a valid UTF-8 path\n",
            in == NULL ? argv[1] : argv[2]);
    rc = KIV_ERR_ARGUMENT;
  } else {
    rc = KivWave2GSM610(in, out);
  }
  free(in);
  free(out);
  printf("%d\n", (int)rc);
  return rc == KIV_OK ? 0 : 1;
}
