/* SPDX-License-Identifier: MIT */
/*
 * kivgsm: narrow-band speech files.
 *
 * Converts raw 8000 Hz mono 16-bit little-endian PCM into GSM 06.10
 * full-rate WAVE files (format tag 0x0031, 65-byte blocks of 320 samples),
 * and records from the first audio input into such files or into 16-bit
 * PCM WAVE files.
 *
 * Every function runs on the caller's thread and returns when its work is
 * done. Paths are zero-terminated strings of UTF-16 code units.
 *
 * Threads: conversions keep all their state in the call and may run side
 * by side. Each recorder is meant to be driven by one host thread at a
 * time; calls to one recorder's Start and Stop from several threads are
 * serialised by a lock of that recorder's own (never taken by the audio
 * callback), so they cannot corrupt it.
 *
 * Outputs: every regular file this library writes carries an
 * operating-system lock for as long as it is being written (POSIX: a
 * write lock on the whole file, taken with F_OFD_SETLK; Windows: the file
 * is opened shared for reading only, so that others can neither write,
 * delete nor rename over it). An output that is already being written (a
 * running recording, or a conversion), in this process or any other, by
 * any name, hard link or symbolic link, is refused with KIV_ERR_ARGUMENT,
 * and the running writer goes on untouched: the refused output is not
 * emptied. On POSIX the lock is advisory: programs that take no lock
 * (sox or ffmpeg, for instance) are not stopped from writing the file,
 * nor is anyone stopped from renaming or deleting it.
 * An output that cannot seek (a FIFO, socket or terminal) is refused with
 * KIV_ERR_OUTPUT_CREATE before anything is written, since a WAVE file is
 * finished by rewriting its header.
 *
 * Once a recorder has opened the audio input, the library stays loaded
 * until the process exits (unloading it is then a no-op), so that no
 * capture thread can run code that is gone; a recording still running when
 * the process exits is finished as Stop would. A child made by fork()
 * never touches its parent's recordings: its Stop returns 0, its exit
 * leaves them to the parent, and its own Start records afresh. Through
 * PulseAudio (or PipeWire's PulseAudio service) that Start returns
 * KIV_ERR_DEVICE_OPEN once the parent has used libpulse (recorded, or
 * played sound through it): libpulse refuses to run in a forked child of
 * a process that used it. A child that runs another program (exec) is
 * not affected.
 *
 * Linux: a sound server that stops answering (a stopped or hung daemon, a
 * remote server behind a dead network) cannot hold a recorder's call: each
 * wait for the audio device gives up after about two seconds and the device
 * is abandoned. An abandoned device delivers nothing more; it closes
 * itself, on a thread of its own, whenever the server answers again.
 *
 * Linux: a sound server that goes away mid-recording (killed, restarted, a
 * PipeWire restarted on resume) does not end the recording. The recorder
 * opens the default input again, with a gap between attempts that grows
 * from 0.25 s to 2 s, for up to a minute. Once the input is back, the time
 * it was gone is recorded as silence, so that the file keeps the wall
 * clock's time (within a capture period), and Stop returns the seconds in
 * the file. After a minute without it the recording delivers nothing more,
 * and Stop finishes the file with what it holds. Stop stays bounded while
 * the recorder waits.
 */
#ifndef KIVGSM_H_
#define KIVGSM_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
/* A path character: one UTF-16 code unit. */
typedef wchar_t KivPathChar;
#elif defined(__cplusplus)
typedef char16_t KivPathChar;
#else
#include <uchar.h>
typedef char16_t KivPathChar;
#endif

#if defined(_WIN32)
#if defined(KIVGSM_STATIC)
#define KIV_API /* linked statically, as the library's own tests do */
#elif defined(KIVGSM_BUILDING)
#define KIV_API __declspec(dllexport)
#else
#define KIV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

/*
 * The calling convention of the five functions. On 32-bit x86 Windows they
 * are __stdcall, as the Windows API's own functions are and as VB6's and
 * VBA's Declare and .NET's default P/Invoke expect; the DLL exports them
 * under their undecorated names all the same. Everywhere else it is the
 * platform's only convention. A host that resolves them with
 * GetProcAddress declares its pointers with it:
 *   typedef int32_t (KIV_CALL *KivConvertFn)(const KivPathChar*, const KivPathChar*);
 */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define KIV_CALL __stdcall
#else
#define KIV_CALL
#endif

/* Result codes. */
#define KIV_OK 999                  /* success */
#define KIV_ERR_DEVICE_OPEN 1       /* the audio input device cannot be opened */
#define KIV_ERR_BUFFER_QUEUE 2      /* the capture buffer cannot be queued */
#define KIV_ERR_INPUT_START 3       /* audio input cannot be started */
#define KIV_ERR_OUTPUT_CREATE 4     /* the output file cannot be created */
#define KIV_ERR_INPUT_READ 5        /* the input file cannot be opened or read */
#define KIV_ERR_CODEC 6             /* the codec cannot be created, or libgsm lacks WAV49 */
#define KIV_ERR_WRITE 7             /* a write, seek, flush or close of the output failed */
#define KIV_ERR_BUSY 8              /* the recorder is already running */
#define KIV_ERR_ARGUMENT 9          /* null, empty or malformed path; output is the input or being written */
#define KIV_ERR_TOO_LONG 10         /* audio beyond 13421772 blocks; that many were written */

/* The version of this header, and of the library it came with. */
#define KIVGSM_VERSION_MAJOR 1
#define KIVGSM_VERSION_MINOR 0
#define KIVGSM_VERSION_PATCH 0
#define KIVGSM_VERSION_BUILD 1
#define KIVGSM_VERSION_STRING "1.0.0.1"

/* What a recorder's Stop returns, in place of the seconds, when the file's
 * header could not be finished (a seek, position query, write or close of
 * it failed): -KIV_ERR_WRITE. The file then holds the audio that reached it
 * behind its provisional header, a form that `kivgsm repair` finishes. */
#define KIV_STOP_UNFINISHED (-7)

/*
 * The meaning of a result code, in the words of the list above ("unknown
 * result code" for any other). A Stop's KIV_STOP_UNFINISHED is the negated
 * KIV_ERR_WRITE: KivResultText(-result) words it.
 */
static inline const char* KivResultText(int32_t code) {
  switch (code) {
    case KIV_OK: return "success";
    case KIV_ERR_DEVICE_OPEN: return "the audio input device cannot be opened";
    case KIV_ERR_BUFFER_QUEUE: return "the capture buffer cannot be queued";
    case KIV_ERR_INPUT_START: return "audio input cannot be started";
    case KIV_ERR_OUTPUT_CREATE: return "the output file cannot be created";
    case KIV_ERR_INPUT_READ: return "the input file cannot be opened or read";
    case KIV_ERR_CODEC: return "the codec cannot be created, or libgsm lacks WAV49";
    case KIV_ERR_WRITE: return "a write, seek, flush or close of the output failed";
    case KIV_ERR_BUSY: return "the recorder is already running";
    case KIV_ERR_ARGUMENT: return "null, empty or malformed path; output is the input or being written";
    case KIV_ERR_TOO_LONG: return "audio beyond 13421772 blocks; that many were written";
    default: return "unknown result code";
  }
}

/*
 * Converts the zero-terminated UTF-8 string `utf8` (a name from the command
 * line or a file chooser) into a path of KivPathChar units, code points
 * past U+FFFF as surrogate pairs. Returns the units the path needs, its
 * terminating zero included; the path is written to `out` only when they
 * all fit in `capacity` (call with out NULL and capacity 0 to learn the
 * size). Strict: returns 0, writing nothing, for NULL or for text that is
 * not UTF-8 (a stray or missing continuation byte, an overlong form, an
 * encoded surrogate, a code point past U+10FFFF). For example:
 *
 *     KivPathChar path[1024];
 *     size_t units = KivPathFromUtf8(argv[1], path, 1024);
 *     if (units == 0 || units > 1024) ... not a name the library can take
 */
static inline size_t KivPathFromUtf8(const char* utf8, KivPathChar* out, size_t capacity) {
  size_t units = 0;
  int pass;
  if (utf8 == NULL) return 0;
  /* The first pass checks and counts, the second writes. */
  for (pass = 0; pass < 2; ++pass) {
    const unsigned char* s = (const unsigned char*)utf8;
    size_t n = 0;
    while (*s != 0) {
      uint32_t c, least;
      int more;
      if (*s < 0x80) {
        c = *s, more = 0, least = 0;
      } else if ((*s & 0xE0) == 0xC0) {
        c = *s & 0x1Fu, more = 1, least = 0x80;
      } else if ((*s & 0xF0) == 0xE0) {
        c = *s & 0x0Fu, more = 2, least = 0x800;
      } else if ((*s & 0xF8) == 0xF0) {
        c = *s & 0x07u, more = 3, least = 0x10000;
      } else {
        return 0; /* a continuation byte, or 0xF8 to 0xFF */
      }
      for (++s; more > 0; --more, ++s) {
        if ((*s & 0xC0) != 0x80) return 0; /* stops at the terminating zero too */
        c = (c << 6) | (*s & 0x3Fu);
      }
      if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
      if (c >= 0x10000) {
        if (pass == 1) {
          out[n] = (KivPathChar)(0xD800 + ((c - 0x10000) >> 10));
          out[n + 1] = (KivPathChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
        n += 2;
      } else {
        if (pass == 1) out[n] = (KivPathChar)c;
        n += 1;
      }
    }
    if (pass == 1) out[n] = 0;
    units = n + 1;
    if (out == NULL || units > capacity) break;
  }
  return units;
}

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Converts the raw PCM file `inputPath` into the GSM WAVE file `outputPath`.
 * The input is read from its first byte in pieces of 640 bytes (320 samples);
 * a trailing piece shorter than that is not encoded. Returns KIV_OK or one of
 * the error codes above. On KIV_ERR_WRITE and KIV_ERR_TOO_LONG the output
 * holds the whole blocks that reached it, and its header describes them;
 * only when the header itself could not be rewritten (its seek, position
 * query or write failed) does the provisional one remain, which
 * `kivgsm repair` finishes. The output is opened only once everything
 * else that can refuse the call has been done, and emptied only once the
 * input's first block has been read.
 */
KIV_API int32_t KIV_CALL KivWave2GSM610(const KivPathChar* inputPath, const KivPathChar* outputPath);

/*
 * Starts recording from the first audio input into the GSM WAVE file `path`.
 * Returns KIV_OK once recording runs; KIV_ERR_ARGUMENT, KIV_ERR_CODEC or
 * KIV_ERR_OUTPUT_CREATE before anything is opened; KIV_ERR_WRITE when the
 * provisional header cannot be written, or the rest of an existing file cut
 * away after it (the device is never opened and the recorder stays idle;
 * an existing file whose header could not be written keeps what it held); KIV_ERR_BUSY while a GSM recording runs; or KIV_ERR_DEVICE_OPEN, KIV_ERR_BUFFER_QUEUE or
 * KIV_ERR_INPUT_START, after which the file exists with a provisional header
 * and KivGSMSoundRecorderStop finishes it as an empty recording. A sound
 * server that does not answer (on Linux, or behind winmm on Windows) gives KIV_ERR_DEVICE_OPEN or
 * KIV_ERR_INPUT_START after about two seconds. Devices abandoned earlier and
 * still closing do not stand in the way: Start opens a device of its own,
 * which records once the server answers again; only while four abandoned
 * devices are still waiting for the server does it return
 * KIV_ERR_DEVICE_OPEN at once.
 */
KIV_API int32_t KIV_CALL KivGSMSoundRecorderStart(const KivPathChar* path);

/*
 * Stops the GSM recording and finishes its file. Returns the whole seconds
 * recorded (0 when nothing was recording), or KIV_STOP_UNFINISHED when the
 * file's header could not be finished. It returns within about two
 * seconds, on Linux and on Windows, even when the sound server has stopped answering: the device
 * is then abandoned and the file holds what was delivered before.
 * Audio arrives in half-second deliveries and the file holds whole ones:
 * the half second that the device was filling when Stop came is not kept,
 * so a recording stopped 0.9 s after it began holds at most 0.5 s, and one
 * stopped within its first half second holds none.
 */
KIV_API int32_t KIV_CALL KivGSMSoundRecorderStop(void);

/*
 * Starts recording from the first audio input into the 16-bit PCM WAVE file
 * `path` (8000 Hz, mono). Results as for KivGSMSoundRecorderStart. The PCM
 * and GSM recorders are independent and may run at the same time.
 */
KIV_API int32_t KIV_CALL KivGSMWAVSoundRecorderStart(const KivPathChar* path);

/*
 * Stops the PCM recording, finishes its file and returns the whole seconds;
 * bounded as KivGSMSoundRecorderStop is, and like it keeping whole
 * half-second deliveries.
 */
KIV_API int32_t KIV_CALL KivGSMWAVSoundRecorderStop(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVGSM_H_ */
