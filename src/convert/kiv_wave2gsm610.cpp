// The exported conversion entry point.
#include "convert/gsm_file_converter.h"
#include "formats/utf16_path.h"
#include "kivgsm.h"

extern "C" KIV_API int32_t KivWave2GSM610(const KivPathChar* inputPath, const KivPathChar* outputPath) {
  if (!kiv::IsValidPath(inputPath) || !kiv::IsValidPath(outputPath)) return KIV_ERR_ARGUMENT;
  return kiv::ConvertRawToGsmWave(kiv::ActiveFileSystem(), inputPath, outputPath);
}
