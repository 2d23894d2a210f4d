// SPDX-License-Identifier: MIT
// The library's five exported entry points, each handing the caller's
// arguments to the part that does the work. Each checks its arguments in
// the order its part documents (a running recorder answers KIV_ERR_BUSY
// before its path is looked at).
#include "kivgsm.h"

#include "convert/gsm_file_converter.h"
#include "io/file_stream.h"
#include "io/utf16_path.h"
#include "record/gsm_recorder.h"
#include "record/pcm_wave_recorder.h"

extern "C" KIV_API int32_t KIV_CALL KivWave2GSM610(const KivPathChar* inputPath, const KivPathChar* outputPath) {
  if (!kiv::IsValidPath(inputPath) || !kiv::IsValidPath(outputPath)) return KIV_ERR_ARGUMENT;
  return kiv::ConvertRawToGsmWave(kiv::ActiveFileSystem(), inputPath, outputPath);
}

extern "C" KIV_API int32_t KIV_CALL KivGSMSoundRecorderStart(const KivPathChar* path) {
  return kiv::GsmRecorderStart(kiv::TheGsmRecorder(), path);
}

extern "C" KIV_API int32_t KIV_CALL KivGSMSoundRecorderStop(void) { return kiv::GsmRecorderStop(kiv::TheGsmRecorder()); }

extern "C" KIV_API int32_t KIV_CALL KivGSMWAVSoundRecorderStart(const KivPathChar* path) {
  return kiv::PcmWaveRecorderStart(kiv::ThePcmWaveRecorder(), path);
}

extern "C" KIV_API int32_t KIV_CALL KivGSMWAVSoundRecorderStop(void) {
  return kiv::PcmWaveRecorderStop(kiv::ThePcmWaveRecorder());
}
