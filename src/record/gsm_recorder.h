// SPDX-License-Identifier: MIT
// The GSM recorder: records from the first audio input straight into a GSM
// WAVE file, through its own capture channel.
//
// Each delivery (4000 samples, 12.5 blocks) is encoded block by block on the
// delivery thread; the trailing half block is carried into the next
// delivery, so the file's blocks are the continuous encoding of exactly the
// captured samples. At Stop a carried half block is padded with 160 zero
// samples and encoded as the final block. A recording's file is therefore
// byte-identical to converting the captured samples, zero-padded to a whole
// block.
//
// Threads: Start and Stop on the callers' threads, serialised by the
// recorder's own lock; the consumer on the delivery thread. Stop touches the recorder's state only
// after the channel's Stop has returned, which guarantees that no delivery
// is in progress.
#pragma once

#include <cstdint>
#include <mutex>

#include "codec/gsm_block_encoder.h"
#include "io/file_stream.h"
#include "formats/gsm_wave_file.h"
#include "formats/wave_format.h"
#include "kivgsm.h"
#include "record/capture_channel.h"
#include "record/recorder_state.h"

namespace kiv {

struct GsmRecorder {
  CaptureChannel* channel;
  // Serialises Start and Stop between host threads; never taken by the
  // consumer, so a delivery never waits on it.
  std::mutex control;
  FileIdentity output;  // the file, in the library's register of outputs
  RecorderState state = RecorderState::kIdle;
  FileStream* file = nullptr;
  GsmHandle codec = nullptr;
  std::uint32_t block_count = 0;
  // The most blocks appended; beyond it the recording runs on unrecorded.
  std::uint32_t max_blocks = kMaxGsmBlocks;
  bool write_failed = false;  // appending stopped after a failed write
  bool full = false;          // appending stopped at max_blocks
  bool unfinished = false;    // the last Stop could not finish the header
  bool has_carry = false;
  std::int16_t carry[kGsmSamplesPerBlock / 2] = {};
  std::int16_t block[kGsmSamplesPerBlock] = {};
  std::uint8_t out[kGsmBlockBytes] = {};
  // Provisional header values; a finished file leaves its own values here
  // for the next recording's provisional header.
  std::uint32_t size_value = kPlaceholderSizeValue;
  std::uint32_t sample_count = kPlaceholderSampleCount;
};

// The module-level recorder behind the exported entry points.
GsmRecorder* TheGsmRecorder();

std::int32_t GsmRecorderStart(GsmRecorder* r, const KivPathChar* path);
std::int32_t GsmRecorderStop(GsmRecorder* r);
// At process exit, with the delivery thread already gone: finishes the
// file from what reached it, without touching the device.
void GsmRecorderFinishAtExit(GsmRecorder* r);
// The capture channel's consumer (`owner` is the recorder).
void GsmRecorderConsume(void* owner, const unsigned char* copy);

}  // namespace kiv
