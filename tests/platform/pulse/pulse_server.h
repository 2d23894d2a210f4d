// SPDX-License-Identifier: MIT
// A private sound server for recording tests, reached over the PulseAudio
// protocol: a PulseAudio daemon (pulse_server.sh), or PipeWire with its
// pulse layer (pipewire_server.sh) when KIV_SOUND_SERVER is "pipewire";
// and a player that feeds it known audio.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace kiv::test {

// Where the suite's shared daemon keeps its files (a CTest fixture starts it).
std::string SharedServerDir();

// Points this process's ALSA "default" at the daemon whose files are in
// `dir` (PULSE_SERVER, XDG_RUNTIME_DIR, HOME, ALSA_CONFIG_PATH).
void UsePulseServer(const std::string& dir);

// A daemon of the test's own, stopped by its PID when the object goes.
// `late` leaves out the reader that makes the first data come quickly.
class PulseServer {
 public:
  explicit PulseServer(bool late = false);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;
  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }
  void Kill();    // SIGKILL, as a crash of the sound server
  void Hang();    // SIGSTOP: a server that stops answering but keeps its socket
  void Resume();  // SIGCONT
  // SIGKILL, then a new daemon on the same socket, as a desktop restarts
  // its sound server; false if the new one did not come up, with the
  // daemon's last words in `why`.
  bool Restart(std::string* why = nullptr);

 private:
  void Signal(int sig);
  ScratchDir scratch_;
  std::string dir_;
  bool ok_ = false;
};

// Plays raw 8000 Hz mono s16le samples into the default sink of the server
// this process uses, from construction until destruction.
class Player {
 public:
  explicit Player(const std::vector<std::int16_t>& samples);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

 private:
  ScratchDir scratch_;
  pid_t pid_ = -1;
};

// Known speech that does not repeat itself within 17 s: the bundled 9 s
// sample played forward then backward to `seconds`, and dithered with a
// fixed pseudo-random sequence, so that any few hundred samples, and any
// GSM block, locate themselves in it once.
std::vector<std::int16_t> PlayableSpeech(double seconds);

// Where `stretch` starts in `signal` exactly, or -1.
long FindExact(const std::vector<std::int16_t>& signal, const std::vector<std::int16_t>& stretch);

// PipeWire starts each capture stream with one graph cycle of digital
// silence (128 samples at its 160-sample quantum here); PulseAudio starts
// with the audio. A recording is judged on what follows at most this many
// leading zero samples, less than one GSM block.
constexpr std::size_t kMostLeadingSilence = 304;

// How many zero samples `recorded` starts with, if no more than
// kMostLeadingSilence; otherwise 0 (the zeros are then audio).
std::size_t LeadingSilence(const std::vector<std::int16_t>& recorded);

// FindExact for a recording: where what follows its leading silence
// starts in `played`, or -1.
long FindRecorded(const std::vector<std::int16_t>& played, const std::vector<std::int16_t>& recorded);

// Where the audio that a GSM WAVE file's blocks encode starts in `signal`:
// the offset whose encoding, from a fresh codec, gives the file's first
// block, allowing up to kMostLeadingSilence zero samples (multiples of 16)
// in place of the block's first samples; `lead`, if given, says how many.
// The search is guided by decoding the file, over starts from `lo` to `hi`
// (-1: to the end). -1 if none.
long FindGsmStart(const std::vector<std::int16_t>& signal, const Bytes& gsm_file, long lo = 0, long hi = -1,
                  std::size_t* lead = nullptr);

// What the converter makes of `samples`, zero-padded to a whole block.
Bytes GsmWaveOf(std::vector<std::int16_t> samples);

// True when a GSM recording's blocks are the encoding of a stretch of
// `played` after any leading silence (searched from `lo` to `hi`); says
// why not in `why`.
bool GsmIsAStretchOf(const std::vector<std::int16_t>& played, const Bytes& file, std::size_t samples,
                     std::string* why, long lo = 0, long hi = -1);

}  // namespace kiv::test
