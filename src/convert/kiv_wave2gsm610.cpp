// The exported conversion entry point.
#include <string>

#include "convert/gsm_file_converter.h"
#include "formats/utf16_path.h"
#include "kivgsm.h"

extern "C" KIV_API int32_t KivWave2GSM610(const KivPathChar* inputPath, const KivPathChar* outputPath) {
  try {
    std::string input, output;
    if (!kiv::Utf16PathToUtf8(inputPath, &input) || !kiv::Utf16PathToUtf8(outputPath, &output)) {
      return KIV_ERR_ARGUMENT;
    }
    return kiv::ConvertRawToGsmWave(kiv::ActiveFileSystem(), input.c_str(), output.c_str());
  } catch (...) {
    // Only the path copies can throw (out of memory); nothing was opened.
    return KIV_ERR_INPUT_READ;
  }
}
