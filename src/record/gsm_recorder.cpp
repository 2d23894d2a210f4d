// SPDX-License-Identifier: MIT
#include "record/gsm_recorder.h"

#include <cstring>
#include "formats/little_endian.h"
#include "io/output_registry.h"
#include "io/utf16_path.h"

namespace kiv {
namespace {

GsmRecorder g_recorder{.channel = GsmCaptureChannel(), .control = {}, .output = {}};

constexpr std::uint32_t kHalf = kGsmSamplesPerBlock / 2;
constexpr std::uint32_t kSamplesPerDelivery = kCaptureBufferBytes / 2;

// Encodes r->block and appends it, unless appending has stopped.
void AppendBlock(GsmRecorder* r) {
  if (r->write_failed || r->full) return;
  if (r->block_count == r->max_blocks) {
    r->full = true;
    return;
  }
  GsmBlockEncode(r->codec, r->block, r->out);
  if (StreamWrite(r->file, r->out, kGsmBlockBytes, 1) != 1) {
    r->write_failed = true;
    return;
  }
  ++r->block_count;
}

// Releases everything a recording holds and finishes its file. Without
// `device` the capture channel is left as it is: the process is ending and
// its delivery thread is gone, possibly in the middle of a block.
void Finish(GsmRecorder* r, bool device = true) {
  if (device) CaptureChannelStop(r->channel);
  if (r->has_carry) {
    std::memcpy(r->block, r->carry, sizeof r->carry);
    std::memset(r->block + kHalf, 0, kHalf * sizeof(std::int16_t));
    AppendBlock(r);
    r->has_carry = false;
  }
  GsmBlockEncoderDestroy(r->codec);
  r->codec = nullptr;
  if (!StreamFlush(r->file)) r->write_failed = true;
  bool finished = !(r->write_failed || !device) || TrimGsmWaveFile(r->file, &r->block_count);
  finished = finished && FinishGsmWaveFile(r->file, r->block_count, &r->size_value, &r->sample_count);
  if (!StreamClose(r->file)) finished = false;
  r->unfinished = !finished;
  ReleaseOutput(r->output);
  r->file = nullptr;
  r->state = RecorderState::kIdle;
}

}  // namespace

GsmRecorder* TheGsmRecorder() { return &g_recorder; }

std::int32_t GsmRecorderStart(GsmRecorder* r, const KivPathChar* path) {
  std::lock_guard<std::mutex> lock(r->control);
  if (r->state == RecorderState::kRecording) return KIV_ERR_BUSY;
  if (r->state == RecorderState::kFailedStart) Finish(r);
  if (!IsValidPath(path)) return KIV_ERR_ARGUMENT;
  GsmHandle codec = GsmBlockEncoderCreate();
  if (codec == nullptr) return KIV_ERR_CODEC;
  FileStream* file = nullptr;
  OutputOpen opened = OpenOutput(ActiveFileSystem(), path, &file, &r->output, OpenMode::kWriteOver);
  if (opened != OutputOpen::kOpened) {
    GsmBlockEncoderDestroy(codec);
    return opened == OutputOpen::kInUse ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  }
  // The provisional header goes to disk at once, so that a recording cut
  // off by a crash is still recognisable for what it is, and only then is
  // the rest of an existing file cut away. Without room for it there is no
  // recording (the device is never opened), and an existing file keeps
  // what it held.
  if (!WriteGsmWaveHeader(file, r->size_value, r->sample_count, r->size_value) || !StreamFlush(file) ||
      !StreamTruncate(file, kGsmHeaderBytes)) {
    StreamClose(file);
    ReleaseOutput(r->output);
    GsmBlockEncoderDestroy(codec);
    return KIV_ERR_WRITE;
  }
  r->channel->duration = 0;
  r->file = file;
  r->codec = codec;
  r->block_count = 0;
  r->has_carry = false;
  r->full = false;
  r->write_failed = false;
  r->channel->consumer = GsmRecorderConsume;
  r->channel->owner = r;
  std::int32_t rc = CaptureChannelStart(r->channel);
  r->state = rc == KIV_OK ? RecorderState::kRecording : RecorderState::kFailedStart;
  return rc;
}

std::int32_t GsmRecorderStop(GsmRecorder* r) {
  std::lock_guard<std::mutex> lock(r->control);
  if (r->state == RecorderState::kIdle) return 0;
  Finish(r);
  if (r->unfinished) return kStopUnfinished;
  // Normally the whole seconds delivered; once appending stopped, the whole
  // seconds that the file holds.
  if (r->write_failed || r->full) return static_cast<std::int32_t>(r->block_count / 25);
  return static_cast<std::int32_t>(r->channel->duration);
}

void GsmRecorderFinishAtExit(GsmRecorder* r) {
  if (r->state != RecorderState::kIdle) Finish(r, false);
}

void GsmRecorderConsume(void* owner, const unsigned char* copy) {
  auto* r = static_cast<GsmRecorder*>(owner);
  std::uint32_t pos = 0;
  if (r->has_carry) {
    std::memcpy(r->block, r->carry, sizeof r->carry);
    for (std::uint32_t i = 0; i < kHalf; ++i) r->block[kHalf + i] = GetLeSample(copy + 2 * i);
    AppendBlock(r);
    r->has_carry = false;
    pos = kHalf;
  }
  for (; pos + kGsmSamplesPerBlock <= kSamplesPerDelivery; pos += kGsmSamplesPerBlock) {
    for (std::uint32_t i = 0; i < kGsmSamplesPerBlock; ++i) r->block[i] = GetLeSample(copy + 2 * (pos + i));
    AppendBlock(r);
  }
  if (pos < kSamplesPerDelivery) {  // the trailing half block waits for the next delivery
    for (std::uint32_t i = 0; i < kHalf; ++i) r->carry[i] = GetLeSample(copy + 2 * (pos + i));
    r->has_carry = true;
  }
  // Hand the delivery's blocks to the operating system now: a host killed
  // at any moment keeps every delivery consumed before the one in flight.
  if (!r->write_failed && !StreamFlush(r->file)) r->write_failed = true;
}

}  // namespace kiv
