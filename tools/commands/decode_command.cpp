// SPDX-License-Identifier: MIT
#include "commands/decode_command.h"

#include <gsm.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <vector>

#include "exit_codes.h"
#include "file_bytes.h"
#include "pipeline/output_target.h"
#include "pipeline/temp_file.h"
#include "platform/console.h"
#include "platform/utf8_sndfile.h"
#include "wave_format.h"
#include "wave_reader.h"

namespace kiv::tool {
namespace {

int Fail(int code, const std::string& named, const std::string& why) {
  std::fprintf(stderr, "kivgsm: %s: %s\n", named.c_str(), why.c_str());
  return code;
}

struct GsmDeleter {
  void operator()(gsm g) const { gsm_destroy(g); }
};

// What the decode follows when the header's sample count cannot be
// trusted, said before decoding; empty when the count is used as it is.
std::string Doubt(const WaveInfo& info) {
  std::string blocks = std::to_string(info.frames) + " whole blocks present";
  if (info.unfinished) return "the file was never finished; decoding the " + blocks;
  if (!info.has_fact) return "the file has no sample count; decoding the " + blocks;
  if (!info.count_agrees)
    return "its sample count (" + std::to_string(info.fact_samples) + ") disagrees with the " + blocks +
           "; decoding every block present";
  return "";
}

}  // namespace

int DecodeCommand(const std::string& in, const std::string& out_name) {
  RemoveTrackedFilesOnInterrupt();
  FileBytes file(in);
  if (!file.ok()) return Fail(kExitInputRead, in, file.error());
  WaveInfo info = InspectWave(file);
  if (info.kind != WaveKind::kGsm || !info.has_data)
    return Fail(kExitInputRead, in, "not a GSM WAVE file (format 0x0031); nothing to decode");
  if (!info.format_ok)
    return Fail(kExitInputRead, in,
                "the file claims " + DescribeFormat(info) +
                    "; kivgsm decodes only 8000 Hz mono GSM 06.10 in 65-byte blocks of 320 samples");
  OutputTarget target = ResolveOutput(out_name, in);
  if (target.path.empty()) return Fail(target.code, out_name, target.why);
  const std::string& out = target.path;

  // The same judgement as `info`: the header's count when it agrees with
  // the blocks present, otherwise every whole block there is.
  const std::uint64_t samples = GsmSamplesToDecode(info);
  const std::uint64_t blocks = (samples + kGsmSamplesPerBlock - 1) / kGsmSamplesPerBlock;
  std::string doubt = Doubt(info);
  if (!doubt.empty()) std::fprintf(stderr, "kivgsm: %s: warning: %s\n", in.c_str(), doubt.c_str());

  std::unique_ptr<std::remove_pointer_t<gsm>, GsmDeleter> codec(gsm_create());
  int on = 1;
  if (!codec || gsm_option(codec.get(), GSM_OPT_WAV49, &on) == -1)
    return Fail(kExitCodec, in, ExitMessage(kExitCodec));

  std::unique_ptr<TempFile> temp = TempFile::Beside(out, ".part");
  if (!temp) return Fail(kExitOutputCreate, out, ExitMessage(kExitOutputCreate));
  SF_INFO format{};
  format.samplerate = static_cast<int>(kSampleRate);
  format.channels = kChannels;
  // A decode that a RIFF size cannot describe (from 74.6 hours on) is
  // written as RF64, never with a wrapped size; shorter ones as WAVE.
  const bool rf64 = kPcmHeaderBytes + samples * kBytesPerSample > kMaxRiffFileBytes;
  format.format = (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
  SNDFILE* pcm = OpenSndFile(temp->path(), SFM_WRITE, &format);
  if (pcm == nullptr) return Fail(kExitOutputCreate, out, ExitMessage(kExitOutputCreate));

  std::vector<gsm_byte> block(kGsmBlockBytes);
  short decoded[kGsmSamplesPerBlock];
  std::uint64_t written = 0;
  bool read_ok = true, write_ok = true;
  for (std::uint64_t b = 0; b < blocks && written < samples && StopRequest() == 0; ++b) {
    if (!file.Read(info.data_offset + b * kGsmBlockBytes, block.data(), kGsmBlockBytes)) {
      read_ok = false;
      break;
    }
    if (gsm_decode(codec.get(), block.data(), decoded) != 0 ||
        gsm_decode(codec.get(), block.data() + kGsmFirstFrameBytes, decoded + kGsmSamplesPerFrame) != 0) {
      read_ok = false;
      break;
    }
    auto n = static_cast<sf_count_t>(std::min<std::uint64_t>(kGsmSamplesPerBlock, samples - written));
    if (sf_write_short(pcm, decoded, n) != n) {
      write_ok = false;
      break;
    }
    written += static_cast<std::uint64_t>(n);
  }
  if (sf_close(pcm) != 0) write_ok = false;
  if (StopRequest() != 0) {
    temp.reset();  // the partial file goes before the tool ends
    EndAsRequested(StopRequest());
  }
  if (!read_ok)
    return Fail(kExitInputRead, in, "cannot read or decode block " + std::to_string(written / kGsmSamplesPerBlock));
  if (!write_ok) return Fail(kExitWrite, out, ExitMessage(kExitWrite));
  std::string why;
  if (int rc = temp->RenameTo(out, &why); rc != 0) return Fail(rc, out, "cannot rename into place: " + why);
  std::printf("%llu samples, %.2f s of audio, decoded from %llu blocks into %s%s\n",
              static_cast<unsigned long long>(written), static_cast<double>(written) / kSampleRate,
              static_cast<unsigned long long>(blocks), out.c_str(), rf64 ? " (RF64)" : "");
  return kExitOk;
}

}  // namespace kiv::tool
