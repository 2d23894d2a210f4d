// SPDX-License-Identifier: MIT
/*
 * A Windows host application in C that uses kivgsm.dll as any host would:
 * loaded by name with LoadLibraryW, the five entry points resolved with
 * GetProcAddress, nothing linked at build time.
 *
 *   dll_host convert SPEECH.raw DIR   version resource, bad inputs, and the
 *                                     generated inputs DIR/NAME.raw
 *                                     converted to DIR/NAME.wav
 *   dll_host record DIR SECONDS       both recorders at once into DIR/g.wav
 *                                     and DIR/p.wav; prints the results
 *   dll_host cycles DIR N             N Start/Stop cycles of random length,
 *                                     each Stop within a time limit
 *   dll_host frozen DIR               Stop, Start and Stop again while the
 *                                     sound server is stopped (the caller
 *                                     stops it, then creates DIR\frozen),
 *                                     each within 3 s; exits once the
 *                                     caller has resumed it (DIR\resumed)
 *
 * Exits 0 when every check held; each failure is printed.
 */
#include <windows.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "kivgsm.h"

// Pointers of the header's calling convention: __stdcall on x86.
typedef int32_t(KIV_CALL* ConvertFn)(const KivPathChar*, const KivPathChar*);
typedef int32_t(KIV_CALL* StartFn)(const KivPathChar*);
typedef int32_t(KIV_CALL* StopFn)(void);

static ConvertFn convert;
static StartFn gsm_start, pcm_start;
static StopFn gsm_stop, pcm_stop;
static int failures;

static void Check(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

static int Load(void) {
  HMODULE dll = LoadLibraryW(L"kivgsm.dll");
  if (dll == NULL) {
    printf("FAILED: LoadLibraryW(kivgsm.dll): error %lu\n", GetLastError());
    return 0;
  }
  convert = (ConvertFn)(void*)GetProcAddress(dll, "KivWave2GSM610");
  gsm_start = (StartFn)(void*)GetProcAddress(dll, "KivGSMSoundRecorderStart");
  gsm_stop = (StopFn)(void*)GetProcAddress(dll, "KivGSMSoundRecorderStop");
  pcm_start = (StartFn)(void*)GetProcAddress(dll, "KivGSMWAVSoundRecorderStart");
  pcm_stop = (StopFn)(void*)GetProcAddress(dll, "KivGSMWAVSoundRecorderStop");
  Check(convert && gsm_start && gsm_stop && pcm_start && pcm_stop, "GetProcAddress of the five entry points");
  return convert && gsm_start && gsm_stop && pcm_start && pcm_stop;
}

static void CheckVersion(void) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(GetModuleHandleW(L"kivgsm.dll"), path, MAX_PATH);
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path, &ignored);
  void* info = size ? malloc(size) : NULL;
  VS_FIXEDFILEINFO* fixed = NULL;
  wchar_t* text = NULL;
  UINT len = 0;
  int ok = info && GetFileVersionInfoW(path, 0, size, info) && VerQueryValueW(info, L"\\", (void**)&fixed, &len) &&
           fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001 &&
           fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001;
  Check(ok, "fixed file and product version 1.0.0.1");
  ok = info && VerQueryValueW(info, L"\\StringFileInfo\\040904b0\\FileVersion", (void**)&text, &len) &&
       wcscmp(text, L"1.0.0.1") == 0 &&
       VerQueryValueW(info, L"\\StringFileInfo\\040904b0\\ProductVersion", (void**)&text, &len) &&
       wcscmp(text, L"1.0.0.1") == 0;
  Check(ok, "string FileVersion and ProductVersion 1.0.0.1");
  free(info);
}

static void Join(wchar_t* out, const wchar_t* dir, const wchar_t* name) { swprintf(out, MAX_PATH, L"%ls\\%ls", dir, name); }

static int WriteSamples(const wchar_t* path, const int16_t* s, size_t bytes) {
  FILE* f = _wfopen(path, L"wb");
  if (f == NULL) return 0;
  size_t n = fwrite(s, 1, bytes, f);
  return fclose(f) == 0 && n == bytes;
}

/* The generated inputs: name, and a sample generator. */
static int16_t Noise(uint32_t* x) {
  *x = *x * 1664525u + 1013904223u;
  return (int16_t)(*x >> 16);
}

static void Generate(const wchar_t* dir, const int16_t* speech, size_t speech_samples) {
  enum { N = 40000 };
  static int16_t s[N];
  wchar_t raw[MAX_PATH], wav[MAX_PATH];
  uint32_t seed = 20261208u;
  const wchar_t* names[] = {L"speech", L"noise", L"min", L"square", L"chirp", L"silence", L"odd"};
  for (int k = 0; k < 7; ++k) {
    size_t bytes = sizeof s;
    for (size_t i = 0; i < N; ++i) {
      switch (k) {
        case 0: s[i] = speech[i % speech_samples]; break;
        case 1: s[i] = Noise(&seed); break;
        case 2: s[i] = -32768; break;
        case 3: s[i] = (i / 20) % 2 ? 32767 : -32768; break;
        case 4: {
          double v = 1.5 * 32767.0 * sin(3.14159265358979 * (200.0 + 3600.0 * i / N) * i / 8000.0);
          s[i] = (int16_t)(v > 32767.0 ? 32767 : v < -32768.0 ? -32768 : v);
          break;
        }
        case 5: s[i] = 0; break;
        default: s[i] = speech[i % speech_samples]; bytes = 12345; break;
      }
    }
    Join(raw, dir, names[k]);
    wcscat(raw, L".raw");
    Join(wav, dir, names[k]);
    wcscat(wav, L".wav");
    Check(WriteSamples(raw, s, bytes), "writing a generated input");
    int32_t rc = convert(raw, wav);
    if (rc != 999) printf("FAILED: converting %ls gave %d\n", names[k], (int)rc), ++failures;
  }
}

static void BadInputs(const wchar_t* dir) {
  wchar_t in[MAX_PATH], out[MAX_PATH], link[MAX_PATH], lone[MAX_PATH], accented[MAX_PATH];
  Join(in, dir, L"speech.raw");
  Join(out, dir, L"missing.raw");
  Check(convert(out, L"never.wav") == 5, "a missing input gives 5");
  Check(convert(in, in) == 9, "output = input by name gives 9");
  Join(link, dir, L"hard.raw");
  Check(CreateHardLinkW(link, in, NULL) != 0, "CreateHardLinkW");
  Check(convert(in, link) == 9, "output = input by hard link gives 9");
  Join(lone, dir, L"x");
  size_t n = wcslen(lone);
  lone[n] = 0xDC00, lone[n + 1] = L'.', lone[n + 2] = L'w', lone[n + 3] = 0;
  Check(convert(in, lone) == 9, "a lone surrogate gives 9");
  Check(convert(NULL, out) == 9 && convert(in, NULL) == 9, "null paths give 9");
  Check(gsm_start(NULL) == 9 && pcm_start(lone) == 9, "recorders refuse bad paths with 9");
  Join(accented, dir, L"r\x00e9sum\x00e9-\x0437\x0432\x0443\x043a-\x20ac.wav");
  Check(convert(in, accented) == 999, "a non-ASCII output name converts");
  Check(GetFileAttributesW(accented) != INVALID_FILE_ATTRIBUTES, "the non-ASCII name exists");
}

static int Record(const wchar_t* dir, int ms) {
  wchar_t g[MAX_PATH], p[MAX_PATH];
  Join(g, dir, L"g.wav");
  Join(p, dir, L"p.wav");
  int32_t gs = gsm_start(g), ps = pcm_start(p);
  Sleep((DWORD)ms);
  int32_t gsec = gsm_stop(), psec = pcm_stop();
  printf("gsm_start=%d pcm_start=%d gsm_seconds=%d pcm_seconds=%d\n", (int)gs, (int)ps, (int)gsec, (int)psec);
  return 0;
}

static void Cycles(const wchar_t* dir, int n) {
  wchar_t g[MAX_PATH], p[MAX_PATH];
  Join(g, dir, L"cg.wav");
  Join(p, dir, L"cp.wav");
  srand(7);
  for (int i = 0; i < n; ++i) {
    Check(gsm_start(g) == 999 && pcm_start(p) == 999, "Start in a cycle");
    Sleep((DWORD)(rand() % 700));
    DWORD t0 = GetTickCount();
    gsm_stop();
    pcm_stop();
    DWORD took = GetTickCount() - t0;
    if (took > 2000) printf("FAILED: Stop took %lu ms in cycle %d\n", took, i), ++failures;
  }
}

// Milliseconds `call` took; its result in *result.
static DWORD Timed(StopFn call, int32_t* result) {
  DWORD t0 = GetTickCount();
  *result = call();
  return GetTickCount() - t0;
}
static DWORD TimedStart(StartFn call, const wchar_t* path, int32_t* result) {
  DWORD t0 = GetTickCount();
  *result = call(path);
  return GetTickCount() - t0;
}

// Both recorders run; once DIR\frozen exists (the sound server has been
// stopped meanwhile), each Stop, a Start against the stopped server and the
// Stop after it must return within 3 s.
static void Frozen(const wchar_t* dir) {
  wchar_t g[MAX_PATH], p[MAX_PATH], flag[MAX_PATH], g2[MAX_PATH];
  Join(g, dir, L"g.wav");
  Join(p, dir, L"p.wav");
  Join(g2, dir, L"g2.wav");
  Join(flag, dir, L"frozen");
  Check(gsm_start(g) == 999 && pcm_start(p) == 999, "Start before the server stops");
  Sleep(1500);
  printf("recording\n");
  fflush(stdout);
  for (int i = 0; i < 400 && GetFileAttributesW(flag) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  Sleep(300);
  int32_t gsec, psec, again, again_stop;
  DWORD gms = Timed(gsm_stop, &gsec), pms = Timed(pcm_stop, &psec);
  DWORD sms = TimedStart(gsm_start, g2, &again), ams = Timed(gsm_stop, &again_stop);
  printf("frozen: gsm_stop=%d in %lu ms, pcm_stop=%d in %lu ms, start=%d in %lu ms, stop=%d in %lu ms\n", (int)gsec,
         gms, (int)psec, pms, (int)again, sms, (int)again_stop, ams);
  Check(gms < 3000 && pms < 3000 && sms < 3000 && ams < 3000, "every call returned within 3 s");
  Check(gsec >= 1 && psec >= 1, "the recordings kept what came before the server stopped");
  // The written-off devices' threads are still inside winmm. Wine 8 ends a
  // process whose threads wait inside its pulse driver with a crash, so
  // the host waits for the server to come back (DIR\resumed) and for them
  // to close their devices, as a host that goes on running would.
  printf("measured\n");
  fflush(stdout);
  Join(flag, dir, L"resumed");
  for (int i = 0; i < 400 && GetFileAttributesW(flag) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  Sleep(1000);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || !Load()) return 2;
  if (wcscmp(argv[1], L"convert") == 0 && argc == 4) {
    FILE* f = _wfopen(argv[2], L"rb");
    static int16_t speech[200000];
    size_t got = f ? fread(speech, 2, 200000, f) : 0;
    if (f) fclose(f);
    Check(got > 0, "reading the speech sample");
    if (got == 0) return 1;
    CheckVersion();
    Generate(argv[3], speech, got);
    BadInputs(argv[3]);
  } else if (wcscmp(argv[1], L"record") == 0 && argc == 4) {
    return Record(argv[2], (int)(_wtof(argv[3]) * 1000));
  } else if (wcscmp(argv[1], L"frozen") == 0) {
    Frozen(argv[2]);
  } else if (wcscmp(argv[1], L"cycles") == 0 && argc == 4) {
    Cycles(argv[2], _wtoi(argv[3]));
  } else {
    return 2;
  }
  printf("%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
