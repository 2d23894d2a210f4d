// SPDX-License-Identifier: MIT
#include "pipeline/audio_source.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kivgsm.h"
#include "pipeline/container_signature.h"
#include "pipeline/stream_segments.h"
#include "platform/utf8_path.h"
#include "platform/utf8_sndfile.h"
#include "wave_format.h"

namespace kiv::tool {
namespace {

constexpr int kTargetRate = static_cast<int>(kSampleRate);
constexpr std::size_t kChunkFrames = 16384;
constexpr char kTempWriteFailure[] = "cannot write the 8000 Hz samples beside the output (disk full?)";

// Float samples (full scale +-1.0) to s16le, rounded and held at the 16-bit
// limits; out-of-range and non-finite samples are counted.
void Quantize(const float* in, std::size_t n, unsigned char* out, std::uint64_t* clipped) {
  for (std::size_t i = 0; i < n; ++i) {
    float v = in[i] * 32768.0f;
    long s;
    if (!(v > -32768.5f)) {  // also NaN
      s = -32768;
      if (!(v == -32768.5f)) ++*clipped;
    } else if (v >= 32767.5f) {
      s = 32767;
      ++*clipped;
    } else {
      s = std::lrintf(v);
    }
    out[2 * i] = static_cast<unsigned char>(s & 0xff);
    out[2 * i + 1] = static_cast<unsigned char>((s >> 8) & 0xff);
  }
}

const char* ContainerName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr) return info.name;
  return "audio";
}

// What a container's header claims beyond the file's end. libsndfile
// quietly shortens a chunk that runs past the end of the file (a WAVE,
// AIFF or W64 file cut short) to what is there, and says so only in its
// log, as "data : 128000 (should be 63978)": the header's size, then the
// size the file allows.
struct Shortfall {
  unsigned long long declared = 0, present = 0;
};

Shortfall HeaderShortfall(SNDFILE* file) {
  std::vector<char> log(1 << 14);
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
  Shortfall worst;
  const char* p = log.data();
  while (*p != '\0') {
    const char* end = std::strchr(p, '\n');
    std::string line(p, end ? static_cast<std::size_t>(end - p) : std::strlen(p));
    p = end ? end + 1 : p + line.size();
    char id[8] = {};
    unsigned long long declared = 0, present = 0;
    if (std::sscanf(line.c_str(), " %7s : %llu (should be %llu)", id, &declared, &present) != 3) continue;
    bool chunk = std::strcmp(id, "data") == 0 || std::strcmp(id, "SSND") == 0 || std::strcmp(id, "RIFF") == 0 ||
                 std::strcmp(id, "riff") == 0 || std::strcmp(id, "FORM") == 0;
    // One byte more is a missing final pad byte, not missing audio.
    if (chunk && declared > present + 1 && declared - present > worst.declared - worst.present)
      worst = {declared, present};
  }
  return worst;
}

// A stretch of a file, for libsndfile's virtual I/O: one stream of a
// chained Ogg file or of concatenated MPEG files, seen as a file of its own.
struct ByteRange {
  std::FILE* file = nullptr;
  sf_count_t begin = 0, length = 0, pos = 0;
  sf_count_t file_pos = -1;  // where `file` is, to seek only when needed
  ~ByteRange() {
    if (file != nullptr) std::fclose(file);
  }
};

sf_count_t RangeLength(void* user) { return static_cast<ByteRange*>(user)->length; }
sf_count_t RangeSeek(sf_count_t offset, int whence, void* user) {
  auto* r = static_cast<ByteRange*>(user);
  sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? r->pos + offset : r->length + offset;
  if (to < 0) return -1;
  r->pos = to;
  return to;
}
sf_count_t RangeRead(void* dst, sf_count_t count, void* user) {
  auto* r = static_cast<ByteRange*>(user);
  sf_count_t n = std::min(count, r->length - r->pos);
  if (n <= 0) return 0;
  if (r->file_pos != r->begin + r->pos && fseeko(r->file, static_cast<off_t>(r->begin + r->pos), SEEK_SET) != 0)
    return 0;
  auto got = static_cast<sf_count_t>(std::fread(dst, 1, static_cast<std::size_t>(n), r->file));
  r->pos += got;
  r->file_pos = r->begin + r->pos;
  return got;
}
sf_count_t RangeWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t RangeTell(void* user) { return static_cast<ByteRange*>(user)->pos; }

class SndFileSource : public AudioSource {
 public:
  SndFileSource(SNDFILE* file, const SF_INFO& info, std::unique_ptr<ByteRange> range = nullptr)
      : file_(file), info_(info), shortfall_(HeaderShortfall(file)), range_(std::move(range)) {}
  ~SndFileSource() override { sf_close(file_); }

  int rate() const override { return info_.samplerate; }
  std::int64_t frames() const override { return info_.frames; }
  bool is_gsm() const override { return (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_GSM610; }
  std::string Describe() const override {
    std::string ch = info_.channels == 1   ? "mono"
                     : info_.channels == 2 ? "stereo"
                                           : std::to_string(info_.channels) + "-channel";
    return std::to_string(info_.samplerate) + " Hz " + ch + " " + ContainerName(info_.format);
  }

  int WriteRaw8k(std::FILE* out, int threads, std::atomic<double>* done, ResampleStats* stats,
                 std::string* error) override;

 private:
  int Fail(std::string* error, int code, const std::string& what) {
    *error = what;
    return code;
  }
  int DecodeFailure(std::string* error) {
    return Fail(error, KIV_ERR_INPUT_READ, std::string("cannot decode the input: ") + sf_strerror(file_));
  }
  // Every container follows one rule: all the audio that can be decoded
  // is converted. An input that ends before its header says (cut short, or
  // damaged past some point) is converted as far as it goes and the note
  // says how far; only an input of which nothing at all can be decoded is
  // a read error. An MPEG stream's length is only an estimate, bare or
  // inside WAVE, so falling short of it is no news.
  int CheckComplete(std::int64_t read, ResampleStats* stats, std::string* error) {
    bool failed = sf_error(file_) != SF_ERR_NO_ERROR;
    if (read == 0 && info_.frames > 0 && failed) return DecodeFailure(error);
    const int sub = info_.format & SF_FORMAT_SUBMASK;
    bool estimated = (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG || sub == SF_FORMAT_MPEG_LAYER_I ||
                     sub == SF_FORMAT_MPEG_LAYER_II || sub == SF_FORMAT_MPEG_LAYER_III;
    const double seconds = static_cast<double>(read) / info_.samplerate;
    if (shortfall_.declared != 0 && !failed) {
      char what[200];
      std::snprintf(what, sizeof what,
                    "the input ends at %llu of the %llu bytes its header gives (cut short); the %.2f s there were "
                    "converted",
                    shortfall_.present, shortfall_.declared, seconds);
      stats->note = what;
      return KIV_OK;
    }
    if ((!estimated && info_.frames != SF_COUNT_MAX && read < info_.frames) || failed) {
      char what[200];
      std::snprintf(what, sizeof what,
                    "the input ends at %.2f s of the %.2f s its header gives (cut short or damaged%s%s); "
                    "the %.2f s there were converted",
                    static_cast<double>(read) / info_.samplerate, static_cast<double>(info_.frames) / info_.samplerate,
                    failed ? ": " : "", failed ? sf_strerror(file_) : "", static_cast<double>(read) / info_.samplerate);
      stats->note = what;
    }
    return KIV_OK;
  }
  int CopyPcm16(std::FILE* out, std::atomic<double>* done, ResampleStats* stats, std::string* error);
  void Report(std::atomic<double>* done, std::int64_t read) const {
    if (done != nullptr && info_.frames > 0) done->store(static_cast<double>(read) / static_cast<double>(info_.frames));
  }

  SNDFILE* file_;
  SF_INFO info_;
  Shortfall shortfall_;
  std::unique_ptr<ByteRange> range_;  // closed after file_
};

// Several streams one after another in one file, each decoded on its own
// and converted in order; and bytes after the last that no decoder reads.
class ChainedSource : public AudioSource {
 public:
  ChainedSource(std::vector<std::unique_ptr<AudioSource>> parts, std::uint64_t undecoded, std::string note)
      : parts_(std::move(parts)), undecoded_(undecoded), note_(std::move(note)) {}
  int rate() const override { return parts_[0]->rate(); }
  std::int64_t frames() const override {
    double seconds = 0;  // the parts' rates may differ
    for (const auto& p : parts_) seconds += static_cast<double>(p->frames()) / p->rate();
    return static_cast<std::int64_t>(seconds * rate());
  }
  bool is_gsm() const override { return false; }
  std::string Describe() const override {
    std::string d = parts_[0]->Describe();
    return parts_.size() > 1 ? d + ", " + std::to_string(parts_.size()) + " streams one after another" : d;
  }
  int WriteRaw8k(std::FILE* out, int threads, std::atomic<double>* done, ResampleStats* stats,
                 std::string* error) override {
    std::vector<std::string> notes;
    if (!note_.empty()) notes.push_back(note_);
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      stats->note.clear();
      int rc = parts_[i]->WriteRaw8k(out, threads, done, stats, error);
      if (rc != KIV_OK) return rc;
      if (!stats->note.empty()) notes.push_back("stream " + std::to_string(i + 1) + ": " + stats->note);
    }
    if (undecoded_ > 0)
      notes.push_back(std::to_string(undecoded_) + " bytes after the audio are no stream and were not decoded");
    stats->note.clear();
    for (const std::string& n : notes) stats->note += (stats->note.empty() ? "" : "; ") + n;
    return KIV_OK;
  }

 private:
  std::vector<std::unique_ptr<AudioSource>> parts_;
  std::uint64_t undecoded_;
  std::string note_;
};

// One stream of `path`, the bytes [begin, end), opened through libsndfile.
std::unique_ptr<AudioSource> OpenRange(const std::string& path, std::uint64_t begin, std::uint64_t end) {
  auto range = std::make_unique<ByteRange>();
  range->file = OpenFile(path, "rb");
  if (range->file == nullptr) return nullptr;
  range->begin = static_cast<sf_count_t>(begin);
  range->length = static_cast<sf_count_t>(end - begin);
  SF_VIRTUAL_IO io = {RangeLength, RangeSeek, RangeRead, RangeWrite, RangeTell};
  SF_INFO info{};
  SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, range.get());
  if (file == nullptr) return nullptr;
  if (info.channels < 1 || info.samplerate < 1) {
    sf_close(file);
    return nullptr;
  }
  return std::make_unique<SndFileSource>(file, info, std::move(range));
}

int SndFileSource::CopyPcm16(std::FILE* out, std::atomic<double>* done, ResampleStats* stats, std::string* error) {
  std::vector<short> samples(kChunkFrames);
  std::vector<unsigned char> bytes(2 * kChunkFrames);
  std::int64_t read = 0;
  for (;;) {
    sf_count_t n = sf_read_short(file_, samples.data(), static_cast<sf_count_t>(kChunkFrames));
    if (n <= 0) break;
    for (sf_count_t i = 0; i < n; ++i) {
      auto u = static_cast<std::uint16_t>(samples[static_cast<std::size_t>(i)]);
      bytes[2 * i] = static_cast<unsigned char>(u & 0xff);
      bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    if (std::fwrite(bytes.data(), 2, static_cast<std::size_t>(n), out) != static_cast<std::size_t>(n))
      return Fail(error, KIV_ERR_WRITE, kTempWriteFailure);
    read += n;
    Report(done, read);
  }
  return CheckComplete(read, stats, error);
}

int SndFileSource::WriteRaw8k(std::FILE* out, int threads, std::atomic<double>* done, ResampleStats* stats,
                              std::string* error) {
  if (info_.samplerate == kTargetRate && info_.channels == 1 &&
      (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16)
    return CopyPcm16(out, done, stats, error);

  const auto channels = static_cast<std::size_t>(info_.channels);
  soxr_t resampler = nullptr;
  if (info_.samplerate != kTargetRate) {
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(static_cast<unsigned>(threads));
    resampler = soxr_create(info_.samplerate, kTargetRate, 1, &err, &io, &quality, &runtime);
    if (resampler == nullptr) return Fail(error, KIV_ERR_INPUT_READ, std::string("cannot resample: ") + err);
  }
  std::vector<float> frames(kChunkFrames * channels);
  std::vector<float> mono(kChunkFrames);
  // Enough for one chunk's output at any input rate above 8000 Hz, and for
  // the resampler's flush in pieces.
  const std::size_t out_capacity = kChunkFrames;
  std::vector<float> resampled(out_capacity);
  std::vector<unsigned char> bytes(2 * out_capacity);
  auto emit = [&](const float* samples, std::size_t n) {
    Quantize(samples, n, bytes.data(), &stats->clipped);
    return std::fwrite(bytes.data(), 2, n, out) == n;
  };
  // Feeds `n` mono samples (or, with in == nullptr, the end of the input)
  // through the resampler, writing everything that comes out.
  auto resample = [&](const float* in, std::size_t n) {
    std::size_t offset = 0;
    for (;;) {
      std::size_t used = 0, produced = 0;
      soxr_error_t err = soxr_process(resampler, in ? in + offset : nullptr, in ? n - offset : 0, &used,
                                      resampled.data(), out_capacity, &produced);
      if (err != nullptr) return false;
      if (produced > 0 && !emit(resampled.data(), produced)) return false;
      offset += used;
      if (in != nullptr && offset >= n && produced < out_capacity) return true;
      if (in == nullptr && produced == 0) return true;
    }
  };
  bool ok = true;
  std::int64_t read = 0;
  for (;;) {
    sf_count_t n = sf_readf_float(file_, frames.data(), static_cast<sf_count_t>(kChunkFrames));
    if (n <= 0) break;
    auto count = static_cast<std::size_t>(n);
    // A NaN or infinite sample would ring through the resampler as a burst
    // at full scale: it is silence instead, and counted.
    for (std::size_t i = 0; i < count * channels; ++i) {
      if (!std::isfinite(frames[i])) {
        frames[i] = 0.0f;
        ++stats->silenced;
      }
    }
    const float* src = frames.data();
    if (channels > 1) {
      const float scale = 1.0f / static_cast<float>(channels);
      for (std::size_t i = 0; i < count; ++i) {
        float sum = 0;
        for (std::size_t c = 0; c < channels; ++c) sum += frames[i * channels + c];
        mono[i] = sum * scale;
      }
      src = mono.data();
    }
    ok = resampler ? resample(src, count) : emit(src, count);
    if (!ok) break;
    read += n;
    Report(done, read);
  }
  if (ok && resampler) ok = resample(nullptr, 0);
  if (resampler) soxr_delete(resampler);
  if (!ok) return Fail(error, KIV_ERR_WRITE, kTempWriteFailure);
  return CheckComplete(read, stats, error);
}


// Opens the whole file as one stream.
std::unique_ptr<SndFileSource> OpenWhole(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = OpenSndFile(path, SFM_READ, &info);
  if (file == nullptr) {
    *error = sf_strerror(nullptr);
    return nullptr;
  }
  const char* wrong = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW ? "no container that libsndfile knows"
                      : info.channels < 1                                 ? "no channels"
                      : info.samplerate < 1                               ? "no sample rate"
                                                                          : nullptr;
  if (wrong != nullptr) {
    *error = wrong;
    sf_close(file);
    return nullptr;
  }
  return std::make_unique<SndFileSource>(file, info);
}

}  // namespace

std::unique_ptr<AudioSource> AudioSource::Open(const std::string& path, const ByteSource& bytes,
                                               const std::string& container, std::string* error) {
  // Bare MPEG, named so but with no signature, must start with its frames.
  if (container == kMpegContainer && !StartsWithMpegFrames(bytes)) {
    *error = "its name says MPEG audio, but it does not start with MPEG frames";
    return nullptr;
  }
  // Ogg and MPEG files may hold several streams one after another, of which
  // a decoder reads the first only; they are found before anything decodes.
  StreamSegments segments{{0}, 0};
  if (container == kOggContainer)
    segments = OggSegments(bytes);
  else if (container == kMpegId3Container || container == kMpegContainer)
    segments = MpegSegments(bytes);
  std::uint64_t undecoded = segments.end > 0 && segments.end < bytes.size() ? bytes.size() - segments.end : 0;
  if (segments.starts.size() < 2) {
    std::unique_ptr<SndFileSource> whole = OpenWhole(path, error);
    if (!whole || undecoded == 0) return whole;
    std::vector<std::unique_ptr<AudioSource>> parts;
    parts.push_back(std::move(whole));
    return std::make_unique<ChainedSource>(std::move(parts), undecoded, "");
  }
  std::vector<std::unique_ptr<AudioSource>> parts;
  std::string note;
  for (std::size_t i = 0; i < segments.starts.size(); ++i) {
    std::uint64_t begin = segments.starts[i];
    std::uint64_t end = i + 1 < segments.starts.size() ? segments.starts[i + 1] : segments.end;
    std::unique_ptr<AudioSource> part = OpenRange(path, begin, end);
    if (part) {
      parts.push_back(std::move(part));
    } else {
      note += (note.empty() ? "" : "; ") + std::string("stream ") + std::to_string(i + 1) + " (bytes " +
              std::to_string(begin) + " to " + std::to_string(end) + ") cannot be decoded";
    }
  }
  if (parts.empty()) {
    *error = "none of its streams can be decoded";
    return nullptr;
  }
  return std::make_unique<ChainedSource>(std::move(parts), undecoded, note);
}

}  // namespace kiv::tool
