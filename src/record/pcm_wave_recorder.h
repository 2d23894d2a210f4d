// SPDX-License-Identifier: MIT
// The PCM WAVE recorder: records from the first audio input into a 16-bit
// PCM WAVE file, through its own capture channel, independent of the GSM
// recorder's. The file starts with the header record as it stands (all zero
// for the first recording after load, the previous recording's final header
// afterwards); each delivery appends its 4000 samples; Stop rewrites the
// header from the count of audio bytes that reached the file.
//
// Threads: as for the GSM recorder, Start and Stop on the caller's thread,
// the consumer on the delivery thread, handed over by the channel's Stop.
#pragma once

#include <cstdint>
#include <mutex>

#include "io/file_stream.h"
#include "formats/pcm_wave_file.h"
#include "formats/wave_format.h"
#include "kivgsm.h"
#include "record/capture_channel.h"
#include "record/recorder_state.h"

namespace kiv {

struct PcmWaveRecorder {
  CaptureChannel* channel;
  std::mutex control;   // serialises Start and Stop (see the GSM recorder)
  FileIdentity output;  // the file, in the library's register of outputs
  RecorderState state = RecorderState::kIdle;
  FileStream* file = nullptr;
  PcmWaveHeader header{};       // zero at load; keeps the last final header
  std::uint32_t data_bytes = 0;  // audio bytes appended
  // The most audio bytes appended; beyond it the recording runs on unrecorded.
  std::uint32_t max_data_bytes = kMaxPcmDataBytes;
  bool write_failed = false;
  bool full = false;
  bool unfinished = false;  // the last Stop could not finish the header
};

PcmWaveRecorder* ThePcmWaveRecorder();

std::int32_t PcmWaveRecorderStart(PcmWaveRecorder* r, const KivPathChar* path);
std::int32_t PcmWaveRecorderStop(PcmWaveRecorder* r);
void PcmWaveRecorderFinishAtExit(PcmWaveRecorder* r);  // see the GSM recorder
void PcmWaveRecorderConsume(void* owner, const unsigned char* copy);

}  // namespace kiv
