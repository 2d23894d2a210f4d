// SPDX-License-Identifier: MIT
/*
 * A host that loads libkivgsm with dlopen, starts both recorders and then
 * leaves without Stop:
 *   host_exit LIB DIR exit      exit() while recording
 *   host_exit LIB DIR dlclose   dlclose() while recording, then go on
 *                               living for a while, then exit
 *   host_exit LIB DIR dlclose-hung
 *                               as dlclose, in step with a test that holds
 *                               the sound server stopped: it creates
 *                               DIR/recording, waits for DIR/hung, unloads,
 *                               creates DIR/closed, waits for DIR/resumed,
 *                               lives on for a while, then exits
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <uchar.h>
#include <unistd.h>

typedef int32_t (*StartFn)(const char16_t*);

/* Creates DIR/NAME, or waits up to 30 s for it to exist. */
static void Mark(const char* dir, const char* name) {
  char buf[1024];
  snprintf(buf, sizeof buf, "%s/%s", dir, name);
  FILE* f = fopen(buf, "w");
  if (f != NULL) fclose(f);
}

static int Await(const char* dir, const char* name) {
  char buf[1024];
  snprintf(buf, sizeof buf, "%s/%s", dir, name);
  for (int i = 0; i < 3000; ++i) {
    if (access(buf, F_OK) == 0) return 1;
    usleep(10000);
  }
  return 0;
}

static void Path16(char16_t* out, const char* dir, const char* name) {
  char buf[1024];
  snprintf(buf, sizeof buf, "%s/%s", dir, name);
  size_t i = 0;
  for (; buf[i] != 0; ++i) out[i] = (unsigned char)buf[i]; /* ASCII test paths */
  out[i] = 0;
}

int main(int argc, char** argv) {
  if (argc != 4) return 64;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) return 2;
  StartFn gsm = (StartFn)dlsym(lib, "KivGSMSoundRecorderStart");
  StartFn pcm = (StartFn)dlsym(lib, "KivGSMWAVSoundRecorderStart");
  char16_t g[1024], p[1024];
  Path16(g, argv[2], "g.wav");
  Path16(p, argv[2], "p.wav");
  if (gsm == NULL || pcm == NULL || gsm(g) != 999 || pcm(p) != 999) return 3;
  usleep(300000);
  if (strcmp(argv[3], "dlclose-hung") == 0) {
    Mark(argv[2], "recording");
    if (!Await(argv[2], "hung")) return 4;
    dlclose(lib);
    Mark(argv[2], "closed");
    if (!Await(argv[2], "resumed")) return 5;
    usleep(1500000); /* the capture thread comes back from the server here */
    return 0;
  }
  if (strcmp(argv[3], "dlclose") == 0) {
    dlclose(lib);
    usleep(300000); /* a capture thread left running would crash us here */
  }
  return 0;
}
