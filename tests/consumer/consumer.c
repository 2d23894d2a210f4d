/* Converts argv[1] to argv[2] through the installed library, in plain C. */
#include <kivgsm.h>
#include <stdio.h>
#include <string.h>

static void widen(const char* s, KivPathChar* out, size_t cap) {
  size_t i = 0;
  for (; s[i] && i + 1 < cap; ++i) out[i] = (KivPathChar)(unsigned char)s[i]; /* ASCII paths */
  out[i] = 0;
}

int main(int argc, char** argv) {
  KivPathChar in[4096], out[4096];
  if (argc != 3) return 2;
  widen(argv[1], in, 4096);
  widen(argv[2], out, 4096);
  int32_t rc = KivWave2GSM610(in, out);
  printf("%d\n", (int)rc);
  return rc == KIV_OK ? 0 : 1;
}
