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
 * leaves them to the parent, and its own Start records afresh.
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

/* What a recorder's Stop returns, in place of the seconds, when the file's
 * header could not be finished (a seek, position query, write or close of
 * it failed): -KIV_ERR_WRITE. The file then holds the audio that reached it
 * behind its provisional header, a form that `kivgsm repair` finishes. */
#define KIV_STOP_UNFINISHED (-7)

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
 * `kivgsm repair` finishes. The output is opened, and emptied, only once
 * everything that can refuse the call has been done.
 */
KIV_API int32_t KivWave2GSM610(const KivPathChar* inputPath, const KivPathChar* outputPath);

/*
 * Starts recording from the first audio input into the GSM WAVE file `path`.
 * Returns KIV_OK once recording runs; KIV_ERR_ARGUMENT, KIV_ERR_CODEC or
 * KIV_ERR_OUTPUT_CREATE before anything is opened; KIV_ERR_WRITE when the
 * provisional header cannot be written, or the rest of an existing file cut
 * away after it (the device is never opened and the recorder stays idle;
 * an existing file whose header could not be written keeps what it held); KIV_ERR_BUSY while a GSM recording runs; or KIV_ERR_DEVICE_OPEN, KIV_ERR_BUFFER_QUEUE or
 * KIV_ERR_INPUT_START, after which the file exists with a provisional header
 * and KivGSMSoundRecorderStop finishes it as an empty recording. On Linux a
 * sound server that does not answer gives KIV_ERR_DEVICE_OPEN or
 * KIV_ERR_INPUT_START after about two seconds. Devices abandoned earlier and
 * still closing do not stand in the way: Start opens a device of its own,
 * which records once the server answers again; only while four abandoned
 * devices are still waiting for the server does it return
 * KIV_ERR_DEVICE_OPEN at once.
 */
KIV_API int32_t KivGSMSoundRecorderStart(const KivPathChar* path);

/*
 * Stops the GSM recording and finishes its file. Returns the whole seconds
 * recorded (0 when nothing was recording), or KIV_STOP_UNFINISHED when the
 * file's header could not be finished. On Linux it returns within about
 * two seconds even when the sound server has stopped answering: the device
 * is then abandoned and the file holds what was delivered before.
 */
KIV_API int32_t KivGSMSoundRecorderStop(void);

/*
 * Starts recording from the first audio input into the 16-bit PCM WAVE file
 * `path` (8000 Hz, mono). Results as for KivGSMSoundRecorderStart. The PCM
 * and GSM recorders are independent and may run at the same time.
 */
KIV_API int32_t KivGSMWAVSoundRecorderStart(const KivPathChar* path);

/*
 * Stops the PCM recording, finishes its file and returns the whole seconds;
 * bounded as KivGSMSoundRecorderStop is.
 */
KIV_API int32_t KivGSMWAVSoundRecorderStop(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVGSM_H_ */
