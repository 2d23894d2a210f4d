// SPDX-License-Identifier: MIT
#include "convert/gsm_file_converter.h"

#include <bit>

#include "convert/gsm_wave_writer.h"
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

  // The output must be known not to be the input before it is opened
  // (which empties it): when either cannot be identified, nothing is
  // written.
  FileIdentity inputId;
  if (!StreamIdentify(input, &inputId) || inputId.is_directory) {
    StreamClose(input);
    return KIV_ERR_INPUT_READ;
  }
  FileIdentity outputId;
  NameLookup output = fs->identify(fs, outputName, &outputId);
  if (output == NameLookup::kFailed || (output == NameLookup::kFound && SameFile(inputId, outputId))) {
    StreamClose(input);
    return output == NameLookup::kFailed ? KIV_ERR_OUTPUT_CREATE : KIV_ERR_ARGUMENT;
  }

  // The output is claimed (opened and locked) before anything is read, so
  // that a refused output costs a pipe none of its input, but emptied only
  // once the first block has been read: an input that fails at once (a
  // device that refuses reads) is refused and an existing output keeps
  // what it held. A new name is still finished as an empty file.
  GsmWaveWriter writer;
  if (std::int32_t rc = GsmWaveWriterClaim(&writer, fs, outputName, maxBlocks); rc != KIV_OK) {
    StreamClose(input);
    return rc;
  }
  std::int16_t samples[kGsmSamplesPerBlock];
  bool more = ReadBlock(input, samples);
  if (!more && StreamFailed(input) && output == NameLookup::kFound) {
    GsmWaveWriterAbandon(&writer);
    StreamClose(input);
    return KIV_ERR_INPUT_READ;
  }
  GsmWaveWriterBegin(&writer);
  bool readFailed = false;
  for (;;) {
    if (!more) {
      readFailed = StreamFailed(input);
      break;
    }
    if (!GsmWaveWriterPush(&writer, samples, kGsmSamplesPerBlock)) break;
    more = ReadBlock(input, samples);
  }
  StreamClose(input);
  std::int32_t rc = GsmWaveWriterFinish(&writer);
  if (rc == KIV_OK && readFailed) return KIV_ERR_INPUT_READ;
  return rc;
}

}  // namespace kiv
