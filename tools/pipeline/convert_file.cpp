// SPDX-License-Identifier: MIT
#include "pipeline/convert_file.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <memory>
#include <vector>

#include "exit_codes.h"
#include "file_bytes.h"
#include "kivgsm.h"
#include "pipeline/container_signature.h"
#include "pipeline/output_target.h"
#include "platform/console.h"
#include "pipeline/temp_file.h"
#include "platform/utf8_path.h"
#include "wave_format.h"
#include "wave_reader.h"
#if defined(KIV_HAVE_SNDFILE)
#include "pipeline/audio_source.h"
#endif
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kiv::tool {
namespace {

namespace fs = std::filesystem;

// The converter's result in the table's words, with what a partial output
// then holds.
std::string ConverterFailure(int code) { return ExitMessage(code) + PartialOutput(code); }

ConvertResult Failed(int code, const std::string& named, const std::string& why) {
  ConvertResult r;
  r.code = code;
  r.error = named + ": " + why;
  return r;
}

// The most input a GSM WAVE file can take, and one block more, so that
// the converter still says when an endless stream was cut.
constexpr std::uint64_t kSpoolLimit = (std::uint64_t{kMaxGsmBlocks} + 1) * kGsmBlockInputBytes;

// Copies a stream that cannot seek (standard input, a pipe, a FIFO, a
// device) into a file, so that it converts exactly as the same bytes in a
// file would. Returns 0, 5 when the input cannot be read, or 7 when the
// copy cannot be written (a full disk), which `why` then names.
int Spool(std::FILE* from, const std::string& to, std::string* why) {
  std::FILE* out = OpenFile(to, "wb");
  if (out == nullptr) {
    *why = "cannot create a copy of the input beside the output";
    return KIV_ERR_OUTPUT_CREATE;
  }
  std::vector<char> buf(1 << 16);
  bool written = true;
  for (std::uint64_t total = 0; total < kSpoolLimit;) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), kSpoolLimit - total));
    std::size_t n = std::fread(buf.data(), 1, want, from);
    total += n;
    if (n > 0 && std::fwrite(buf.data(), 1, n, out) != n) written = false;
    if (n < want || !written) break;
  }
  const bool read = !std::ferror(from);
  if (std::fclose(out) != 0) written = false;
  if (!written) {
    *why = std::string(ExitMessage(KIV_ERR_WRITE)) + " while copying the input beside the output";
    return KIV_ERR_WRITE;
  }
  if (!read) {
    *why = "cannot read the input";
    return KIV_ERR_INPUT_READ;
  }
  return KIV_OK;
}

}  // namespace

ConvertResult ConvertFile(const ConvertRequest& request, ConvertProgress* progress) {
  struct Finished {
    ConvertProgress* p;
    ~Finished() { p->finished = true; }
  } finished{progress};
  const std::string& in = request.in;
  std::basic_string<KivPathChar> probe16;
  if (in.empty() || request.out.empty() || !Utf8ToPath(in, &probe16) || !Utf8ToPath(request.out, &probe16))
    return Failed(KIV_ERR_ARGUMENT, in + " -> " + request.out, "paths must be non-empty UTF-8");
  OutputTarget target = ResolveOutput(request.out, in);
  if (target.path.empty()) return Failed(target.code, request.out, target.why);
  const std::string& out = target.path;

  // Input that cannot seek is first copied to a file beside the output.
  std::unique_ptr<TempFile> spooled;
  std::string source = in;
  if (in == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    spooled = TempFile::Beside(out, ".in");
    if (!spooled) return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE));
    std::string why;
    int rc = Spool(stdin, spooled->path(), &why);
    if (rc != KIV_OK) return Failed(rc, rc == KIV_ERR_INPUT_READ ? in : out, why);
    source = spooled->path();
  } else {
    std::error_code ec;
    fs::file_status in_status = fs::status(FsPath(in), ec);
    if (!fs::exists(in_status) || fs::is_directory(in_status))
      return Failed(KIV_ERR_INPUT_READ, in, ConverterFailure(KIV_ERR_INPUT_READ));
    if (!fs::is_regular_file(in_status)) {
      spooled = TempFile::Beside(out, ".in");
      if (!spooled) return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE));
      std::FILE* pipe = OpenFile(in, "rb");
      if (pipe == nullptr) return Failed(KIV_ERR_INPUT_READ, in, ConverterFailure(KIV_ERR_INPUT_READ));
      std::string why;
      int rc = Spool(pipe, spooled->path(), &why);
      std::fclose(pipe);
      if (rc != KIV_OK) return Failed(rc, rc == KIV_ERR_INPUT_READ ? in : out, why);
      source = spooled->path();
    }
  }

  FileBytes bytes(source);
  const WaveInfo wave = bytes.ok() ? InspectWave(bytes) : WaveInfo{};
  if (wave.kind == WaveKind::kGsm)
    return Failed(KIV_ERR_ARGUMENT, in,
                  "already a GSM WAVE file; not encoded again ('kivgsm decode' turns it back into PCM)");

  // A container is known by its own signature; everything else is raw,
  // byte for byte, whatever a decoder's probing would make of it.
  unsigned char head[kSignatureBytes] = {};
  std::size_t head_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), sizeof head));
  const char* container =
      request.raw || !bytes.Read(0, head, head_bytes) ? nullptr : ContainerSignature(head, head_bytes, in);
  const std::string kRawHint = "; --raw encodes its bytes as raw 8000 Hz mono s16le";
  if (!request.raw && container == nullptr && ContainerByName(in) != nullptr)
    return Failed(KIV_ERR_INPUT_READ, in,
                  std::string("named as ") + ContainerByName(in) + " but does not start like such a file" + kRawHint);

  ConvertResult result;
  // 8000 Hz mono samples for the converter: the input itself when it is
  // raw, else its decoded and resampled audio, in a file beside the output
  // or streamed through a FIFO there while the library encodes.
  std::unique_ptr<TempFile> samples;
  std::string raw = source;
  std::function<int(std::FILE*, std::string*)> decode;
#if defined(KIV_HAVE_SNDFILE)
  std::unique_ptr<AudioSource> audio;
  ResampleStats stats;
  if (container != nullptr) {
    std::string why;
    audio = AudioSource::Open(source, bytes, container, &why);
    if (!audio)
      return Failed(KIV_ERR_INPUT_READ, in, std::string("cannot be read as ") + container + ": " + why + kRawHint);
  }
  if (audio) {
    if (audio->is_gsm()) return Failed(KIV_ERR_ARGUMENT, in, "already GSM 06.10 audio; not encoded again");
    result.source = audio->Describe();
    progress->seconds = audio->rate() > 0 ? static_cast<double>(audio->frames()) / audio->rate() : 0;
    decode = [&](std::FILE* f, std::string* why) {
      std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
      int rc = audio->WriteRaw8k(f, request.resampler_threads, &progress->decoded, &stats, why);
      if (std::fclose(f) != 0 && rc == KIV_OK) {
        rc = KIV_ERR_WRITE;
        *why = "cannot write the 8000 Hz samples beside the output (disk full?)";
      }
      return rc;
    };
  }
#else
  if (container != nullptr)
    return Failed(KIV_ERR_INPUT_READ, in,
                  std::string("starts like ") + container + ", which this build cannot read (it reads raw audio only)" + kRawHint);
#endif
  if (!decode) progress->seconds = static_cast<double>(bytes.size()) / kPcmBytesPerSecond;
  if (decode && request.overlap) samples = TempFile::Beside(out, ".fifo", true);
  const bool streamed = samples != nullptr;
  if (decode && !streamed) {
    progress->decode_share = 0.5;
    samples = TempFile::Beside(out, ".raw");
    std::FILE* f = samples ? OpenFile(samples->path(), "wb") : nullptr;
    if (f == nullptr) return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE));
    std::string why;
    int rc = decode(f, &why);
    // Nothing of the output exists yet, so a failure here leaves it as it was.
    if (rc != KIV_OK) return Failed(rc, rc == KIV_ERR_INPUT_READ ? in : out, why);
  }
  if (samples) raw = samples->path();

  std::unique_ptr<TempFile> gsm = TempFile::Beside(out, ".part");
  if (!gsm) return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE));
  std::basic_string<KivPathChar> raw16, gsm16;
  Utf8ToPath(raw, &raw16);
  Utf8ToPath(gsm->path(), &gsm16);
  int decoded_rc = KIV_OK;
  std::string decode_why;
  std::atomic<bool> converter_done{false};
  std::thread decoder;
  if (streamed) {
    progress->decode_share = 1.0;
    decoder = std::thread([&] {
      std::FILE* f = OpenFifoForWriting(raw, converter_done);
      decoded_rc = f ? decode(f, &decode_why) : KIV_ERR_WRITE;
    });
  } else {
    std::lock_guard<std::mutex> lock(progress->mutex);
    progress->encoding = gsm->path();
  }
  int rc = KivWave2GSM610(raw16.c_str(), gsm16.c_str());
  converter_done = true;
  if (decoder.joinable()) decoder.join();
  {
    std::lock_guard<std::mutex> lock(progress->mutex);
    progress->encoding.clear();
  }
  if (StopRequest() != 0) return Failed(-1, in, "interrupted");
  if (rc != KIV_OK && rc != KIV_ERR_WRITE && rc != KIV_ERR_TOO_LONG)
    return Failed(rc, rc == KIV_ERR_INPUT_READ ? in : out, ConverterFailure(rc));
  // A converter that read to the end read everything the decoder wrote;
  // if the decoder stopped early, that end was not the input's.
  if (rc == KIV_OK && decoded_rc != KIV_OK)
    return Failed(decoded_rc, decoded_rc == KIV_ERR_INPUT_READ ? in : out, decode_why);
#if defined(KIV_HAVE_SNDFILE)
  result.clipped = stats.clipped;
  result.silenced = stats.silenced;
  std::string note = stats.note;
  // A WAVE whose data chunk ends before bytes that are no chunks: a decoder
  // stops where the header says, so the rest is named, not dropped silently.
  if (container != nullptr && std::strcmp(container, kWaveContainer) == 0 && wave.has_data && !wave.data_fits &&
      wave.data_present > wave.data_size) {
    note += (note.empty() ? "" : "; ") + std::to_string(wave.data_present - wave.data_size) +
            " bytes after the data chunk are no chunks and were not decoded (a header never finished?";
    note += wave.kind == WaveKind::kPcm ? " 'kivgsm repair' makes them part of the audio)" : ")";
  }
  if (!note.empty()) result.warning = in + ": " + note;
#endif

  // Success, and the two failures whose partial files are documented,
  // replace the output; everything else has left it as it was.
  result.bytes = SizeOrZero(gsm->path());
  // A disk that filled before even the header fitted leaves a file that
  // describes nothing: the output is left as it was.
  if (rc == KIV_ERR_WRITE && result.bytes < kGsmHeaderBytes)
    return Failed(rc, out, std::string(ExitMessage(rc)) + "; not even the header fitted, so the output was left as it was");
  std::string why;
  if (int rc = gsm->RenameTo(out, &why); rc != 0) return Failed(rc, out, "cannot rename into place: " + why);
  result.written = true;
  result.blocks = GsmBlocksInFile(result.bytes);
  result.seconds = static_cast<double>(result.blocks) * kGsmSamplesPerBlock / kSampleRate;
  if (rc != KIV_OK) {
    result.code = rc;
    result.error = out + ": " + ConverterFailure(rc);
  }
  return result;
}

}  // namespace kiv::tool
