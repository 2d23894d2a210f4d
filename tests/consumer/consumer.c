// SPDX-License-Identifier: MIT
/*
 * Converts IN to the GSM WAVE file OUT through the installed
 * library, in plain C, as a host application would:
 *
 *   consumer IN OUT
 *
 * The library takes paths in UTF-16; on Linux argv holds them in
 * UTF-8, so each is converted first with the header's helper, names
 * beyond ASCII included, and malformed UTF-8 is refused.
 */
#include <kivgsm.h>
#include <stdio.h>

enum { kMostUnits = 4096 };

int main(int argc, char** argv) {
  static KivPathChar in[kMostUnits], out[kMostUnits];
  size_t in_units, out_units;
  int32_t rc;
  if (argc != 3) {
    fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  in_units = KivPathFromUtf8(argv[1], in, kMostUnits);
  out_units = KivPathFromUtf8(argv[2], out, kMostUnits);
  if (in_units == 0 || in_units > kMostUnits || out_units == 0 || out_units > kMostUnits) {
    fprintf(stderr, "%s: not a valid UTF-8 path\n", in_units == 0 || in_units > kMostUnits ? argv[1] : argv[2]);
    return 1;
  }
  rc = KivWave2GSM610(in, out);
  printf("%d %s (kivgsm %s)\n", (int)rc, KivResultText(rc), KIVGSM_VERSION_STRING);
  return rc == KIV_OK ? 0 : 1;
}
