// SPDX-License-Identifier: MIT
#include "record/pcm_wave_recorder.h"

#include "formats/little_endian.h"
#include "io/output_registry.h"
#include "io/utf16_path.h"

namespace kiv {
namespace {

PcmWaveRecorder g_recorder{.channel = PcmCaptureChannel(), .control = {}, .output = {}};

// After a failed write: cuts the file back to the header and the whole
// samples that reached it, and counts them. False when the file's length
// could not be learnt or it could not be cut.
bool TrimToWholeSamples(PcmWaveRecorder* r) {
  if (!StreamSeek(r->file, 0, SeekOrigin::kEnd)) return false;
  std::int64_t length = StreamTell(r->file);
  if (length < 0) return false;
  std::int64_t audio = length > kPcmHeaderBytes ? (length - kPcmHeaderBytes) & ~std::int64_t{1} : 0;
  if (audio > r->data_bytes) audio = r->data_bytes;
  r->data_bytes = static_cast<std::uint32_t>(audio);
  return StreamTruncate(r->file, length >= kPcmHeaderBytes ? kPcmHeaderBytes + audio : 0);
}

// Without `device`, see the GSM recorder's Finish.
void Finish(PcmWaveRecorder* r, bool device = true) {
  if (device) CaptureChannelStop(r->channel);
  if (!StreamFlush(r->file)) r->write_failed = true;
  // The header is rewritten only where it is known to be: after a failed
  // seek the provisional one stays, and Stop says the file is unfinished.
  bool finished = !(r->write_failed || !device) || TrimToWholeSamples(r);
  FillPcmWaveHeader(&r->header, r->data_bytes);
  finished = finished && StreamSeek(r->file, 0, SeekOrigin::kStart) &&
             StreamWrite(r->file, r->header.bytes, 1, kPcmHeaderBytes) == kPcmHeaderBytes;
  if (!StreamClose(r->file)) finished = false;
  r->unfinished = !finished;
  ReleaseOutput(r->output);
  r->file = nullptr;
  r->state = RecorderState::kIdle;
}

}  // namespace

PcmWaveRecorder* ThePcmWaveRecorder() { return &g_recorder; }

std::int32_t PcmWaveRecorderStart(PcmWaveRecorder* r, const KivPathChar* path) {
  std::lock_guard<std::mutex> lock(r->control);
  if (r->state == RecorderState::kRecording) return KIV_ERR_BUSY;
  if (r->state == RecorderState::kFailedStart) Finish(r);
  if (!IsValidPath(path)) return KIV_ERR_ARGUMENT;
  FileStream* file = nullptr;
  OutputOpen opened = OpenOutput(ActiveFileSystem(), path, &file, &r->output, OpenMode::kWriteOver);
  if (opened != OutputOpen::kOpened) return opened == OutputOpen::kInUse ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  // The provisional header goes to disk at once, then the rest of an
  // existing file is cut away (see the GSM recorder); without room for it
  // the device is never opened, and an existing file keeps what it held.
  if (StreamWrite(file, r->header.bytes, kPcmHeaderBytes, 1) != 1 || !StreamFlush(file) ||
      !StreamTruncate(file, kPcmHeaderBytes)) {
    StreamClose(file);
    ReleaseOutput(r->output);
    return KIV_ERR_WRITE;
  }
  r->channel->duration = 0;
  r->file = file;
  r->data_bytes = 0;
  r->full = false;
  r->write_failed = false;
  r->channel->consumer = PcmWaveRecorderConsume;
  r->channel->owner = r;
  std::int32_t rc = CaptureChannelStart(r->channel);
  r->state = rc == KIV_OK ? RecorderState::kRecording : RecorderState::kFailedStart;
  return rc;
}

std::int32_t PcmWaveRecorderStop(PcmWaveRecorder* r) {
  std::lock_guard<std::mutex> lock(r->control);
  if (r->state == RecorderState::kIdle) return 0;
  Finish(r);
  if (r->unfinished) return kStopUnfinished;
  if (r->write_failed || r->full) return static_cast<std::int32_t>(r->data_bytes / kPcmBytesPerSecond);
  return static_cast<std::int32_t>(r->channel->duration);
}

void PcmWaveRecorderFinishAtExit(PcmWaveRecorder* r) {
  if (r->state != RecorderState::kIdle) Finish(r, false);
}

void PcmWaveRecorderConsume(void* owner, const unsigned char* copy) {
  auto* r = static_cast<PcmWaveRecorder*>(owner);
  if (r->write_failed || r->full) return;
  if (r->max_data_bytes - r->data_bytes < kCaptureBufferBytes) {
    r->full = true;
    return;
  }
  // Written through at once (see the GSM recorder): a crash loses at most
  // the delivery in flight.
  if (StreamWrite(r->file, copy, 2, kCaptureBufferBytes / 2) != kCaptureBufferBytes / 2) {
    r->write_failed = true;
    return;
  }
  r->data_bytes += kCaptureBufferBytes;
  // A failed flush leaves part of the delivery on disk; Stop keeps the
  // whole samples of it that arrived.
  if (!StreamFlush(r->file)) r->write_failed = true;
}

}  // namespace kiv
