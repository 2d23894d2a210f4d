// SPDX-License-Identifier: MIT
#include "commands/decode_command.h"

#include <gsm.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <vector>

#include "exit_codes.h"
#include "file_bytes.h"
#include "messages.h"
#include "pipeline/output_target.h"
#include "pipeline/standard_output.h"
#include "pipeline/temp_file.h"
#include "platform/console.h"
#include "platform/utf8_sndfile.h"
#include "pcm_wave_file.h"
#include "wave_format.h"
#include "wave_reader.h"

namespace kiv::tool {
namespace {

int Fail(int code, const std::string& named, const std::string& why) {
  Print(stderr, "kivgsm: %s: %s\n", Shown(named).c_str(), Shown(why).c_str());
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

// Where the decoded samples go: a file written by libsndfile, or standard
// output. libsndfile finishes a header by seeking back, which a regular file
// allows; it writes no WAVE into a pipe, so there the canonical header goes
// first with its sizes at 0xFFFFFFFF, which readers take as "read on to
// the end of the stream", and the samples follow it.
class PcmOutput {
 public:
  bool Open(const std::string& path, bool rf64) {
    SF_INFO format{};
    format.samplerate = static_cast<int>(kSampleRate);
    format.channels = kChannels;
    format.format = (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    if (path != "-") return (file_ = OpenSndFile(path, SFM_WRITE, &format)) != nullptr;
    if (StandardOutputIsSeekable())
      return CutStandardOutputHere() && (file_ = sf_open_fd(1, SFM_WRITE, &format, 0)) != nullptr;
    PcmWaveHeader header;
    FillPcmWaveHeader(&header, 0);
    for (std::size_t at : {std::size_t{4}, std::size_t{kPcmHeaderBytes - 4}}) std::memset(header.bytes + at, 0xff, 4);
    return WriteStandardOutput(header.bytes, sizeof header.bytes);
  }
  bool Write(const short* samples, std::size_t n) {
    if (file_ != nullptr) return sf_write_short(file_, samples, static_cast<sf_count_t>(n)) == static_cast<sf_count_t>(n);
    unsigned char bytes[2 * kGsmSamplesPerBlock];
    for (std::size_t i = 0; i < n; ++i) {
      bytes[2 * i] = static_cast<unsigned char>(samples[i] & 0xff);
      bytes[2 * i + 1] = static_cast<unsigned char>((samples[i] >> 8) & 0xff);
    }
    return WriteStandardOutput(bytes, 2 * n);
  }
  bool Close() { return file_ == nullptr || sf_close(file_) == 0; }

 private:
  SNDFILE* file_ = nullptr;
};

// Decodes `samples` samples, block by block, into `pcm` until a stop is
// requested. False when a write fails; `read_ok` is cleared when a block
// cannot be read or decoded.
bool DecodeBlocks(FileBytes& file, const WaveInfo& info, std::uint64_t samples, gsm codec, PcmOutput& pcm,
                  std::uint64_t* written, bool* read_ok) {
  gsm_byte block[kGsmBlockBytes];
  short decoded[kGsmSamplesPerBlock];
  for (std::uint64_t b = 0; *written < samples && StopRequest() == 0; ++b) {
    if (!file.Read(info.data_offset + b * kGsmBlockBytes, block, kGsmBlockBytes) ||
        gsm_decode(codec, block, decoded) != 0 ||
        gsm_decode(codec, block + kGsmFirstFrameBytes, decoded + kGsmSamplesPerFrame) != 0) {
      *read_ok = false;
      return true;
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kGsmSamplesPerBlock, samples - *written));
    if (!pcm.Write(decoded, n)) return false;
    *written += n;
  }
  return true;
}

// What a file that is not GSM audio to decode was found to be.
std::string NotGsm(const WaveInfo& info) {
  if (info.kind == WaveKind::kNotWave) return "not a WAVE file (decode takes GSM 06.10 WAVE, format 0x0031)";
  if (info.zero_header) return "a PCM recording whose header was never written (kivgsm repair finishes it)";
  if (!info.has_fmt) return "a WAVE file with no format chunk";
  if (info.kind == WaveKind::kGsm) return "a GSM WAVE file with no data chunk";
  char tag[8];
  std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(info.format_tag));
  return std::string("a WAVE file of format ") + tag + ", not GSM 06.10 (0x0031)";
}

}  // namespace

int DecodeCommand(const std::string& in, const std::string& out_name) {
  RemoveTrackedFilesOnInterrupt();
  FileBytes file(in);
  if (!file.ok()) return Fail(kExitInputRead, in, file.error());
  WaveInfo info = InspectWave(file);
  if (file.read_failed()) return Fail(kExitInputRead, in, "cannot read the file: an I/O error");
  if (info.kind != WaveKind::kGsm || !info.has_data)
    return Fail(kExitInputRead, in, NotGsm(info) + "; nothing to decode");
  if (!info.format_ok)
    return Fail(kExitInputRead, in,
                "the file claims " + DescribeFormat(info) +
                    "; kivgsm decodes only 8000 Hz mono GSM 06.10 in 65-byte blocks of 320 samples");
  const bool to_stdout = out_name == "-";
  if (std::string why = to_stdout ? StandardOutputRefusal() : ""; !why.empty()) return Fail(kExitOutputCreate, "-", why);
  if (to_stdout && StandardOutputIsFile(in)) return Fail(kExitArgument, "-", "bad argument: the output is the input file");
  OutputTarget target = to_stdout ? OutputTarget{"-", 0, ""} : ResolveOutput(out_name, in);
  if (target.path.empty()) return Fail(target.code, out_name, target.why);
  const std::string& out = target.path;
  HeldLock held{HoldExistingOutput(target)};
  if (held.lock.being_written) return Fail(kExitArgument, out, kOutputBeingWritten);

  // The same judgement as `info`: the header's count when it agrees with
  // the blocks present, otherwise every whole block there is.
  const std::uint64_t samples = GsmSamplesToDecode(info);
  const std::uint64_t blocks = (samples + kGsmSamplesPerBlock - 1) / kGsmSamplesPerBlock;
  std::string doubt = Doubt(info);
  if (!doubt.empty() && !Quiet()) Print(stderr, "kivgsm: %s: warning: %s\n", Shown(in).c_str(), doubt.c_str());

  std::unique_ptr<std::remove_pointer_t<gsm>, GsmDeleter> codec(gsm_create());
  int on = 1;
  if (!codec || gsm_option(codec.get(), GSM_OPT_WAV49, &on) == -1)
    return Fail(kExitCodec, in, ExitMessage(kExitCodec));

  std::unique_ptr<TempFile> temp = to_stdout ? nullptr : TempFile::Beside(out, ".part");
  if (!temp && !to_stdout)
    return Fail(kExitOutputCreate, out, std::string(ExitMessage(kExitOutputCreate)) + ": " + std::strerror(errno));
  // A decode that a RIFF size cannot describe (from 74.6 hours on) is
  // written as RF64, never with a wrapped size; shorter ones as WAVE.
  const bool rf64 = kPcmHeaderBytes + samples * kBytesPerSample > kMaxRiffFileBytes;
  PcmOutput pcm;
  if (!pcm.Open(temp ? temp->path() : "-", rf64)) return Fail(kExitOutputCreate, out, ExitMessage(kExitOutputCreate));

  std::uint64_t written = 0;
  bool read_ok = true;
  bool write_ok = DecodeBlocks(file, info, samples, codec.get(), pcm, &written, &read_ok);
  if (!pcm.Close()) write_ok = false;
  // Standard output in a file is taken back after a failure, as a named
  // output's partial file is removed.
  if (to_stdout && (StopRequest() != 0 || !read_ok || !write_ok)) DiscardStandardOutput();
  if (StopRequest() != 0) {
    temp.reset();  // the partial file goes before the tool ends
    EndAsRequested(StopRequest());
  }
  if (!read_ok)
    return Fail(kExitInputRead, in, "cannot read or decode block " + std::to_string(written / kGsmSamplesPerBlock));
  // The writer may not hear of a failed rewrite of its header: the file
  // is judged as `info` would before it is put in place (RF64, which the
  // reader does not take, is not).
  if (write_ok && temp && !rf64 && !IsFinishedWave(temp->path())) write_ok = false;
  if (!write_ok) return Fail(kExitWrite, out, ExitMessage(kExitWrite));
  std::string why;
  if (int rc = temp ? temp->RenameTo(out, target.existed, &why, false, &held.lock) : 0; rc != 0) return Fail(rc, out, "cannot rename into place: " + why);
  if (!Quiet())
    Print(to_stdout ? stderr : stdout, "%llu samples, %.2f s of audio, decoded from %llu blocks into %s%s\n",
                 static_cast<unsigned long long>(written), static_cast<double>(written) / kSampleRate,
                 static_cast<unsigned long long>(blocks), to_stdout ? "standard output" : Shown(out).c_str(),
                 rf64 ? " (RF64)" : "");
  return kExitOk;
}

}  // namespace kiv::tool
