// SPDX-License-Identifier: MIT
#include "convert/gsm_file_converter.h"

#include <bit>

#include "codec/gsm_block_encoder.h"
#include "io/output_registry.h"
#include "kivgsm.h"

namespace kiv {
namespace {

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

// Reads one 640-byte block as host-order samples; false at the end of the
// input (including a final piece shorter than a block) or on an error.
bool ReadBlock(FileStream* input, std::int16_t* samples) {
  if (StreamRead(input, samples, kGsmBlockInputBytes, 1) != 1) return false;
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint32_t i = 0; i < kGsmSamplesPerBlock; ++i) {
      std::uint16_t v = static_cast<std::uint16_t>(samples[i]);
      samples[i] = static_cast<std::int16_t>((v >> 8) | (v << 8));
    }
  }
  return true;
}

}  // namespace

std::int32_t ConvertRawToGsmWave(const FileSystem* fs, const KivPathChar* inputName, const KivPathChar* outputName,
                                 std::uint32_t maxBlocks) {
  FileStream* input = fs->open(fs, inputName, OpenMode::kRead, nullptr);
  if (input == nullptr) return KIV_ERR_INPUT_READ;

  FileIdentity inputId;
  bool inputKnown = StreamIdentify(input, &inputId);
  if (inputKnown && inputId.is_directory) {
    StreamClose(input);
    return KIV_ERR_INPUT_READ;
  }
  FileIdentity outputId;
  if (inputKnown && fs->identify(fs, outputName, &outputId) && SameFile(inputId, outputId)) {
    StreamClose(input);
    return KIV_ERR_ARGUMENT;
  }

  GsmHandle codec = GsmBlockEncoderCreate();
  if (codec == nullptr) {
    StreamClose(input);
    return KIV_ERR_CODEC;
  }

  // An output that a recording (or another conversion) is writing is
  // refused like an output that is the input: two writers would mix it.
  FileStream* output = nullptr;
  FileIdentity claimed;
  OutputOpen opened = OpenOutput(fs, outputName, &output, &claimed);
  if (opened != OutputOpen::kOpened) {
    GsmBlockEncoderDestroy(codec);
    StreamClose(input);
    return opened == OutputOpen::kInUse ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  }

  std::uint32_t sizeValue = kPlaceholderSizeValue;
  std::uint32_t sampleCount = kPlaceholderSampleCount;
  bool writeFailed = !WriteGsmWaveHeader(output, sizeValue, sampleCount, sizeValue);
  bool readFailed = false;
  bool tooLong = false;

  std::int16_t samples[kGsmSamplesPerBlock];
  std::uint8_t block[kGsmBlockBytes];
  std::uint32_t blockCount = 0;
  while (!writeFailed) {
    if (!ReadBlock(input, samples)) {
      readFailed = StreamFailed(input);
      break;
    }
    if (blockCount == maxBlocks) {
      tooLong = true;
      break;
    }
    GsmBlockEncode(codec, samples, block);
    ++blockCount;
    if (StreamWrite(output, block, kGsmBlockBytes, 1) != 1) writeFailed = true;
  }
  GsmBlockEncoderDestroy(codec);

  // Buffered blocks may still fail on their way to the file; after any
  // failure the header is made to describe only the whole blocks on disk.
  if (!StreamFlush(output)) writeFailed = true;
  if (writeFailed) TrimGsmWaveFile(output, &blockCount);
  if (!FinishGsmWaveFile(output, blockCount, &sizeValue, &sampleCount)) writeFailed = true;
  StreamClose(input);
  if (!StreamClose(output)) writeFailed = true;
  ReleaseOutput(claimed);

  if (writeFailed) return KIV_ERR_WRITE;
  if (readFailed) return KIV_ERR_INPUT_READ;
  if (tooLong) return KIV_ERR_TOO_LONG;
  return KIV_OK;
}

}  // namespace kiv
