#include "decode_command.h"

#include <gsm.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <type_traits>
#include <vector>

#include "kivgsm.h"
#include "output_target.h"
#include "temp_file.h"
#include "utf8_path.h"
#include "wave_info.h"

namespace kiv::tool {
namespace {

constexpr int kBlockBytes = 65;
constexpr int kBlockSamples = 320;
// The converter's and recorders' placeholder for a count never finished.
constexpr std::uint32_t kPlaceholderCount = 0xFFFFFFFFu;

int Fail(int code, const std::string& named, const std::string& why) {
  std::fprintf(stderr, "kivgsm: %s: %s\n", named.c_str(), why.c_str());
  return code;
}

struct GsmDeleter {
  void operator()(gsm g) const { gsm_destroy(g); }
};

}  // namespace

int DecodeCommand(const std::string& in, const std::string& out_name) {
  FileBytes file(in);
  if (!file.ok()) return Fail(KIV_ERR_INPUT_READ, in, "cannot open or read the input file");
  WaveInfo info = InspectWave(file);
  if (info.kind != WaveKind::kGsm || !info.has_data)
    return Fail(KIV_ERR_INPUT_READ, in, "not a GSM WAVE file (format 0x0031); nothing to decode");
  OutputTarget target = ResolveOutput(out_name, in);
  if (target.path.empty()) return Fail(target.code, out_name, target.why);
  const std::string& out = target.path;

  // Exactly the samples the header counts, when it has a finished count
  // that the blocks present can give.
  std::uint64_t blocks = std::min<std::uint64_t>(info.data_present, info.data_size) / kBlockBytes;
  if (info.unfinished) blocks = info.data_present / kBlockBytes;
  std::uint64_t samples = blocks * kBlockSamples;
  if (info.has_fact && info.fact_samples != kPlaceholderCount && info.fact_samples < samples)
    samples = info.fact_samples;

  std::unique_ptr<std::remove_pointer_t<gsm>, GsmDeleter> codec(gsm_create());
  int on = 1;
  if (!codec || gsm_option(codec.get(), GSM_OPT_WAV49, &on) == -1)
    return Fail(KIV_ERR_CODEC, in, "the GSM codec cannot be created (libgsm lacks WAV49 support)");

  std::unique_ptr<TempFile> temp = TempFile::Beside(out, ".part");
  if (!temp) return Fail(KIV_ERR_OUTPUT_CREATE, out, "cannot create the output file");
  SF_INFO format{};
  format.samplerate = 8000;
  format.channels = 1;
  format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* pcm = sf_open(temp->path().c_str(), SFM_WRITE, &format);
  if (pcm == nullptr) return Fail(KIV_ERR_OUTPUT_CREATE, out, "cannot create the output file");

  std::vector<gsm_byte> block(kBlockBytes);
  short decoded[kBlockSamples];
  std::uint64_t written = 0;
  bool read_ok = true, write_ok = true;
  for (std::uint64_t b = 0; b < blocks && written < samples; ++b) {
    if (!file.Read(info.data_offset + b * kBlockBytes, block.data(), kBlockBytes)) {
      read_ok = false;
      break;
    }
    // A 65-byte block holds two frames: 33 bytes, then 32.
    if (gsm_decode(codec.get(), block.data(), decoded) != 0 ||
        gsm_decode(codec.get(), block.data() + 33, decoded + 160) != 0) {
      read_ok = false;
      break;
    }
    auto n = static_cast<sf_count_t>(std::min<std::uint64_t>(kBlockSamples, samples - written));
    if (sf_write_short(pcm, decoded, n) != n) {
      write_ok = false;
      break;
    }
    written += static_cast<std::uint64_t>(n);
  }
  if (sf_close(pcm) != 0) write_ok = false;
  if (!read_ok) return Fail(KIV_ERR_INPUT_READ, in, "cannot read or decode block " + std::to_string(written / 320));
  if (!write_ok) return Fail(KIV_ERR_WRITE, out, "writing the output failed (disk full or I/O error)");
  std::string why;
  if (!temp->RenameTo(out, &why)) return Fail(KIV_ERR_OUTPUT_CREATE, out, "cannot rename into place: " + why);
  std::printf("%llu samples, %.2f s of audio, decoded from %llu blocks into %s\n",
              static_cast<unsigned long long>(written), static_cast<double>(written) / 8000.0,
              static_cast<unsigned long long>(blocks), out.c_str());
  return 0;
}

}  // namespace kiv::tool
