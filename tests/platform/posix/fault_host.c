// SPDX-License-Identifier: MIT
/*
 * A host for the fault sweep: makes one call, or one recording, with the
 * preloaded fault shim armed, then the same again unarmed, and says what
 * it saw. Names are ASCII.
 *
 *   fault_host convert IN OUT    KivWave2GSM610(IN, OUT)
 *   fault_host gsm OUT           KivGSMSoundRecorderStart(OUT), a moment, Stop
 *   fault_host pcm OUT           the same with the PCM recorder
 *
 * Prints "result R" (the call's or Start's result), "stopped S" (Stop's,
 * for a recording), "again A" (the same unarmed, to OUT.again) and "fds B A"
 * (descriptors open before and after both, after a first unarmed call has
 * loaded what the library loads once).
 */
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kivgsm.h"

static void Utf16(const char* name, KivPathChar* out) {
  while ((*out++ = (KivPathChar)(unsigned char)*name++) != 0) {
  }
}

static void Arm(int on) {
  void (*arm)(int) = (void (*)(int))dlsym(RTLD_DEFAULT, "kiv_fault_arm");
  if (arm != NULL) arm(on);
}

static int OpenDescriptors(void) {
  DIR* d = opendir("/proc/self/fd");
  int n = 0;
  if (d == NULL) return -1;
  while (readdir(d) != NULL) ++n;
  closedir(d);
  return n;
}

/* One call or recording; `*stopped` gets Stop's result. */
static int Once(const char* op, const char* in, const char* out, int* stopped) {
  KivPathChar a[1024], b[1024];
  Utf16(out, b);
  *stopped = 0;
  if (strcmp(op, "convert") == 0) {
    Utf16(in, a);
    return KivWave2GSM610(a, b);
  }
  int pcm = strcmp(op, "pcm") == 0;
  int rc = pcm ? KivGSMWAVSoundRecorderStart(b) : KivGSMSoundRecorderStart(b);
  if (rc == KIV_OK) usleep(40000); /* ALSA's null device delivers faster than real time */
  if (rc == KIV_OK || (rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START))
    *stopped = pcm ? KivGSMWAVSoundRecorderStop() : KivGSMSoundRecorderStop();
  return rc;
}

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  const char* op = argv[1];
  const char* in = argc > 3 ? argv[2] : NULL;
  const char* out = argv[argc - 1];
  char warm[1100], again[1100];
  snprintf(warm, sizeof warm, "%s.warm", out);
  snprintf(again, sizeof again, "%s.again", out);
  int stopped;
  Once(op, in, warm, &stopped);
  int before = OpenDescriptors();
  Arm(1);
  int rc = Once(op, in, out, &stopped);
  Arm(0);
  printf("result %d\nstopped %d\n", rc, stopped);
  int again_stopped;
  printf("again %d\n", Once(op, in, again, &again_stopped));
  printf("fds %d %d\n", before, OpenDescriptors());
  return 0;
}
