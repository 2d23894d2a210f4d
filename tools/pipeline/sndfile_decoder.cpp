// SPDX-License-Identifier: MIT
#include "pipeline/sndfile_decoder.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kivgsm.h"
#include "pipeline/declared_audio.h"
#include "wave_format.h"

namespace kiv::tool {
namespace {

constexpr sf_count_t kChunkFrames = 16384;

// libsndfile's view of the input: a length it cannot reach, so that a
// header's sizes are taken as they stand and a cut shows as frames missing.
// Where the input ends is known from the start for a file, and once a read
// comes back short for a pipe.
struct Source {
  InputStream* in;
  std::int64_t end;  // -1 while unknown
  sf_count_t length = std::numeric_limits<sf_count_t>::max() / 4;
  std::int64_t stop_at = -1;  // reads end here, once the header is read
  std::int64_t size_at = -1;  // a data chunk's size here reads as `size`
  std::uint64_t size = 0;
  int size_bytes = 8;  // big-endian (CAF); 4 little-endian (WAVE)
  // While libsndfile opens the input, the bytes it asked for past the end.
  // A header cut inside a chunk's size sends its chunk walk on through the
  // zeros it takes for chunk headers there, towards the length it was told.
  bool opening = true;
  std::int64_t asked_past_end = 0;
};

// More than any header asks for past the end of a whole file (a chunk
// header or two); far less than a walk through nothing takes.
constexpr std::int64_t kPastEndAllowance = 64 * 1024;

// The length told for a header refused at the file's real length: claims
// up to this far are believed, none further.
constexpr sf_count_t ProportionalLength(std::int64_t known) { return known * 16 + (64 << 20); }

// A CAF file streamed by a program that could not know its audio's size
// (ffmpeg's -f caf -) gives its data chunk, the last, the size -1: "to the
// end of the file". libsndfile refuses that, so it reads the real size
// there instead for a file, and for a pipe one that no audio will reach.
void OpenCafDataSize(Source* source) {
  const InputStream& in = *source->in;
  const unsigned char* h = in.head();
  const std::size_t n = in.head_size();
  if (n < 8 || std::memcmp(h, "caff", 4) != 0) return;
  for (std::size_t at = 8; at + 12 <= n;) {
    std::uint64_t size = 0;
    for (std::size_t i = 4; i < 12; ++i) size = size << 8 | h[at + i];
    if (std::memcmp(h + at, "data", 4) == 0) {
      if (size != UINT64_MAX) return;
      source->size_at = static_cast<std::int64_t>(at + 4);
      source->size = in.size() < 0 ? std::uint64_t{1} << 40 : static_cast<std::uint64_t>(in.size()) - (at + 12);
      return;
    }
    if (size > n - at - 12) return;
    at += 12 + static_cast<std::size_t>(size);
  }
}

// An IMA ADPCM WAVE file's frames are counted by libsndfile in an int, so it
// refuses a data chunk larger than that count can reach: the size "to the
// end" of a file streamed by a program that could not know it (ffmpeg's
// 4 GiB). From a pipe such a chunk reads as the largest size it can count.
// (From a file, libsndfile is told the file's real length instead.)
void OpenImaWaveDataSize(Source* source, const WaveInfo& wave) {
  constexpr std::uint16_t kImaAdpcm = 0x11;
  const std::int64_t align = wave.block_align, channels = wave.channels;
  if (source->in->seekable() || !wave.has_data || wave.format_tag != kImaAdpcm || channels < 1 ||
      align < 8 * channels)
    return;
  const std::int64_t per_block = (align - 4 * channels) / (4 * channels) * 8 + 1;
  const std::int64_t most = (std::numeric_limits<std::int32_t>::max() / per_block - 1) * align;
  if (wave.data_size <= most) return;
  source->size_at = static_cast<std::int64_t>(wave.data_offset) - 4;
  source->size = static_cast<std::uint64_t>(most);
  source->size_bytes = 4;
}

sf_count_t Length(void* user) { return static_cast<Source*>(user)->length; }
sf_count_t Seek(sf_count_t offset, int whence, void* user) {
  InputStream* in = static_cast<Source*>(user)->in;
  const sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? in->Tell() + offset : -1;
  if (to < 0 || !in->Seek(to)) return -1;
  return to;
}
sf_count_t Read(void* dst, sf_count_t count, void* user) {
  auto* source = static_cast<Source*>(user);
  // Audio read from past where reads were to end is another data chunk's
  // (libsndfile takes the last of two): it is not held back.
  if (source->stop_at >= 0 && source->in->Tell() > source->stop_at) source->stop_at = -1;
  if (source->stop_at >= 0) count = std::clamp<sf_count_t>(source->stop_at - source->in->Tell(), 0, count);
  const std::int64_t from = source->in->Tell();
  const std::size_t got = source->in->Read(dst, static_cast<std::size_t>(count));
  if (got < static_cast<std::size_t>(count) && !source->in->failed()) source->end = source->in->Tell();
  if (source->opening && source->end >= 0)
    source->asked_past_end += std::max<std::int64_t>(0, from + count - source->end);
  // The bytes of a data chunk's size read as the size meant.
  const int width = source->size_bytes;
  for (int i = 0; source->size_at >= 0 && i < width; ++i)
    if (const std::int64_t at = source->size_at + i - from; at >= 0 && at < static_cast<std::int64_t>(got))
      static_cast<unsigned char*>(dst)[at] =
          static_cast<unsigned char>(source->size >> (width == 8 ? 56 - 8 * i : 8 * i));
  return static_cast<sf_count_t>(got);
}
sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
// Past the allowance, the walk is told it reached the length it was given,
// which ends it as the end of any file does.
sf_count_t Tell(void* user) {
  const auto* source = static_cast<Source*>(user);
  return source->opening && source->asked_past_end > kPastEndAllowance ? source->length : source->in->Tell();
}

std::string Describe(const SF_INFO& info) {
  SF_FORMAT_INFO format{};
  format.format = info.format & SF_FORMAT_TYPEMASK;
  const char* name = sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format) == 0 && format.name != nullptr
                         ? format.name
                         : "audio";
  const std::string ch = info.channels == 1   ? "mono"
                         : info.channels == 2 ? "stereo"
                                              : std::to_string(info.channels) + "-channel";
  return std::to_string(info.samplerate) + " Hz " + ch + " " + name;
}

DecodeResult Failure(int code, std::string why) {
  DecodeResult r;
  r.code = code;
  r.error = std::move(why);
  return r;
}

// Reads frames as floats. A 64-bit float beyond what a 32-bit one holds
// (1e300) is finite still: it is held at twice full scale, so that the sink
// clips and counts it instead of taking it for an infinity.
sf_count_t ReadFloats(SNDFILE* file, const SF_INFO& info, float* out, std::vector<double>* doubles) {
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_DOUBLE) return sf_readf_float(file, out, kChunkFrames);
  const sf_count_t n = sf_readf_double(file, doubles->data(), kChunkFrames);
  for (sf_count_t i = 0; i < n * info.channels; ++i) {
    const double v = (*doubles)[static_cast<std::size_t>(i)];
    out[i] = std::isfinite(v) ? static_cast<float>(std::clamp(v, -2.0, 2.0)) : static_cast<float>(v);
  }
  return n;
}

// The frames that `bytes` of an ADPCM WAVE file's data hold: its whole
// blocks, and the samples of a short last one. libsndfile decodes a short
// or missing block as a whole one, from whatever follows it (silence at the
// end, a chunk of tags after the data), so its frame count cannot be
// taken. -1 for other codecs.
sf_count_t AdpcmFrames(const SF_INFO& info, const WaveInfo& wave, sf_count_t bytes) {
  const int codec = info.format & SF_FORMAT_SUBMASK;
  if ((codec != SF_FORMAT_MS_ADPCM && codec != SF_FORMAT_IMA_ADPCM) || !wave.has_data || info.channels < 1 ||
      wave.block_align == 0)
    return -1;
  // Each channel's block header holds its first sample (IMA: 4 bytes, then
  // 8 samples a channel in each 4 bytes) or its first two (MS: 7 bytes, then
  // two samples a byte).
  const sf_count_t channels = info.channels, align = wave.block_align;
  const auto samples = [&](sf_count_t n) -> sf_count_t {
    if (codec == SF_FORMAT_IMA_ADPCM) return n < 4 * channels ? 0 : (n - 4 * channels) / (4 * channels) * 8 + 1;
    return n < 7 * channels ? 0 : (n - 7 * channels) * 2 / channels + 2;
  };
  return samples(align) < 1 ? -1 : bytes / align * samples(align) + samples(bytes % align);
}

// The frames of an ADPCM WAVE file that its bytes hold, as far as the input
// is known to go; -1 where there is no such limit.
sf_count_t FramesPresent(const SF_INFO& info, const WaveInfo& wave, const Source& source) {
  const auto declared = static_cast<sf_count_t>(wave.data_size);
  const sf_count_t present =
      source.end < 0 ? declared
                     : std::clamp<sf_count_t>(source.end - static_cast<sf_count_t>(wave.data_offset), 0, declared);
  return AdpcmFrames(info, wave, present);
}

// Pulls every frame through the sink: 8000 Hz mono 16-bit PCM as integers,
// untouched; anything else as floats. Returns the frames read, or -1 when
// the sink refused more.
sf_count_t Pump(SNDFILE* file, const SF_INFO& info, const WaveInfo& wave, const Source& source, SampleSink& sink) {
  const bool exact = info.samplerate == static_cast<int>(kSampleRate) && info.channels == 1 &&
                     (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  const std::size_t samples = static_cast<std::size_t>(kChunkFrames) * static_cast<std::size_t>(info.channels);
  std::vector<std::int16_t> shorts(exact ? kChunkFrames : 0);
  std::vector<float> floats(exact ? 0 : samples);
  std::vector<double> doubles((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE ? samples : 0);
  sf_count_t read = 0;
  for (;;) {
    sf_count_t n = exact ? sf_read_short(file, shorts.data(), kChunkFrames)
                         : ReadFloats(file, info, floats.data(), &doubles);
    if (const sf_count_t present = FramesPresent(info, wave, source); present >= 0)
      n = std::min(n, present - read);
    if (n <= 0) return read;
    const bool more = exact ? sink.PushShort(shorts.data(), static_cast<std::size_t>(n), 1, info.samplerate)
                            : sink.PushFloat(floats.data(), static_cast<std::size_t>(n), info.channels, info.samplerate);
    if (!more) return -1;
    read += n;
  }
}

// Bytes of one sample as stored; 2 where samples are packed otherwise.
sf_count_t BytesPerSample(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: return 1;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 2;
  }
}

// The frames the header declares. libsndfile measures some containers'
// audio by the length it is told, which is none, and takes the header's
// size for it only in others; for the first the size is read here.
sf_count_t HeaderFrames(const InputStream& in, const SF_INFO& info) {
  const std::int64_t bytes = DeclaredAudioBytes(in.head(), in.head_size());
  const int sub = info.format & SF_FORMAT_SUBMASK;
  const bool plain = (sub >= SF_FORMAT_PCM_S8 && sub <= SF_FORMAT_DOUBLE) || sub == SF_FORMAT_ULAW ||
                     sub == SF_FORMAT_ALAW;
  if (bytes < 0 || !plain) return info.frames;
  return bytes / (info.channels * BytesPerSample(info.format));
}

// The `n` bytes at `offset`: from the kept start, or read from a file, its
// position kept.
bool BytesAt(InputStream& in, std::int64_t offset, unsigned char* dst, std::size_t n) {
  const auto end = offset + static_cast<std::int64_t>(n);
  if (end <= static_cast<std::int64_t>(in.head_size())) {
    std::memcpy(dst, in.head() + offset, n);
    return true;
  }
  if (!in.seekable() || end > in.size()) return false;
  const std::int64_t resume = in.Tell();
  const bool read = in.Seek(offset) && in.Read(dst, n) == n;
  return in.Seek(resume) && read;
}

// Whether another block follows a VOC file's first block of sound (more
// sound, silence, a marker), not the closing byte: a block header whose
// size leads to the end of the file or to another block's type. (sox
// gives the block of a stereo file a size 8 bytes short: audio follows,
// which seldom passes for two blocks.)
bool VocBlocksFollowSound(InputStream& in) {
  const std::int64_t end = VocFirstSoundEnd(in.head(), in.head_size());
  unsigned char h[4];
  if (end < 0 || !BytesAt(in, end, h, sizeof h) || h[0] == 0 || h[0] > 9) return false;
  const std::int64_t next = VocBlockEnd(h, end);
  unsigned char type = 0;
  return next == in.size() || (BytesAt(in, next, &type, 1) && type <= 9);
}

// A header that gives no length promises nothing to fall short of. A
// program that streams a header before its audio cannot come back to write
// the size, and writes one no audio will reach instead: in WAVE the largest
// a 32-bit field holds (ffmpeg), or just under 2 GiB (sox); in AIFF 2 GiB
// less 16 MiB (sox). Rounded down to whole frames, whatever the sample
// size, and whether the stream was then saved to a file or not. A real
// file of about those sizes cut short is the one such case missed. On a
// pipe, any container's sizes from there on mean the same. `bytes` is the
// audio's size as declared: a WAVE file's data chunk's (ADPCM included).
bool LengthLeftOpen(const SF_INFO& info, sf_count_t bytes, bool seekable) {
  const int type = info.format & SF_FORMAT_TYPEMASK;
  const auto just_under = [bytes](sf_count_t mark) { return bytes <= mark && bytes > mark - 65536; };
  if ((type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX) && (just_under(0xFFFFFFFF) || just_under(0x7FFFF000)))
    return true;
  if (type == SF_FORMAT_AIFF && just_under(0x7F000000)) return true;
  return !seekable && bytes >= 0x7F000000;
}

// Opens the input in libsndfile. Where the input's length is known, it is
// first opened with that length, as any reader would. A header that passes
// there is then read again told no length, so that its sizes stand. One
// refused there (a chunk that claims more than the file holds: cut short, or
// a tag chunk of 4 GiB) is read told a length in proportion to the file's,
// so that libsndfile believes a claim only that far and neither allocates
// nor walks further: a CAF or PAF file cut short in its audio still reads.
// A file that it refuses, or in which it finds no frames, when told no
// length (PAF; a W64 file of IMA ADPCM, whose chunk walk then runs past the
// audio and gives up) is opened again with its real length.
SNDFILE* Open(Source* source, SF_INFO* info) {
  static SF_VIRTUAL_IO io = {Length, Seek, Read, Write, Tell};
  const auto open_told = [&](sf_count_t length) {
    *info = {};
    source->length = length;
    source->asked_past_end = 0;
    return sf_open_virtual(&io, SFM_READ, info, source);
  };
  // libsndfile wants the length of a VOC file of 8-bit sound (a block of
  // type 1) to be where that block ends, with the closing byte: a file cut
  // short, or a pipe, is told that. (It reads the sizes of a block of type
  // 9 as they stand; sox writes them 8 bytes short.)
  unsigned voc_block = 0;
  if (const std::int64_t end = VocFirstSoundEnd(source->in->head(), source->in->head_size(), &voc_block);
      end >= 0 && voc_block == 1)
    return open_told(end + 1);
  SNDFILE* file = nullptr;
  if (const std::int64_t known = source->in->known_size(); known >= 0) {
    const sf_count_t unknown = source->length;
    SNDFILE* probe = open_told(known);
    if (!source->in->Seek(0)) return probe;
    if (probe != nullptr) sf_close(probe);
    file = open_told(probe != nullptr ? unknown : ProportionalLength(known));
  } else {
    file = open_told(source->length);
  }
  if ((file != nullptr && info->frames > 0) || !source->in->seekable() || !source->in->Seek(0)) return file;
  if (file != nullptr) sf_close(file);
  return open_told(source->in->size());
}

// What libsndfile opened but cannot decode as it is, or what is not to be
// encoded again.
std::optional<DecodeResult> Refusal(const SF_INFO& info, InputStream& in) {
  const int container = info.format & SF_FORMAT_TYPEMASK;
  if (container == SF_FORMAT_RAW) return Failure(KIV_ERR_INPUT_READ, "no container that libsndfile knows");
  if (info.channels < 1 || info.samplerate < 1)
    return Failure(KIV_ERR_INPUT_READ, info.channels < 1 ? "no channels" : "no sample rate");
  if ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_GSM610)
    return Failure(KIV_ERR_ARGUMENT, "already GSM 06.10 audio; not encoded again");
  if (container == SF_FORMAT_VOC && VocBlocksFollowSound(in))
    return Failure(KIV_ERR_INPUT_READ, "a VOC file of more than one block, whose later blocks libsndfile would read "
                                       "as samples");
  // Stereo 8SVX holds all of one channel, then all of the other; libsndfile
  // would pair its samples as if interleaved, garbling both.
  if (container == SF_FORMAT_SVX && info.channels > 1)
    return Failure(KIV_ERR_INPUT_READ, "a stereo 8SVX file keeps one channel after the other, which libsndfile "
                                       "reads as interleaved");
  return std::nullopt;
}

}  // namespace

DecodeResult DecodeSndfile(InputStream& in, SampleSink& sink, const WaveInfo& wave) {
  SF_INFO info{};
  Source source{&in, in.size()};
  // From a pipe, libsndfile reads ahead past a WAVE file's audio, and
  // while opening it looks past the data chunk for more chunks: a look
  // beyond the kept start of the stream would leave it no way back to the
  // audio. What follows the data chunk is left for the tool to judge.
  const bool piped_wave = !in.seekable() && wave.has_data && wave.kind != WaveKind::kNotWave;
  if (piped_wave) source.stop_at = static_cast<std::int64_t>(in.head_size());
  OpenCafDataSize(&source);
  OpenImaWaveDataSize(&source, wave);
  SNDFILE* file = Open(&source, &info);
  source.opening = false;
  if (file == nullptr) return Failure(KIV_ERR_INPUT_READ, sf_strerror(nullptr));
  struct Closer {
    SNDFILE* f;
    ~Closer() { sf_close(f); }
  } closer{file};
  if (std::optional<DecodeResult> refused = Refusal(info, in)) return *refused;

  DecodeResult r;
  r.format = Describe(info);
  r.streams = 1;
  if (piped_wave)
    source.stop_at = LengthLeftOpen(info, static_cast<sf_count_t>(wave.data_size), false)
                         ? -1
                         : static_cast<std::int64_t>(wave.data_offset + wave.data_size);
  const sf_count_t read = Pump(file, info, wave, source, sink);
  if (read < 0) {
    r.code = KIV_ERR_WRITE;
    return r;
  }
  const bool failed = sf_error(file) != SF_ERR_NO_ERROR || in.failed();
  const char* why = in.failed() ? "a read error" : sf_strerror(file);
  if (read == 0 && failed) return Failure(KIV_ERR_INPUT_READ, std::string("cannot decode the input: ") + why);
  // An RF64 header that gives no audio, with bytes after it: a recording
  // killed before its 64-bit sizes were written. (A WAVE file's are named
  // from its own reader; other containers may end in chunks of tags.)
  if (read == 0 && info.frames == 0 && !failed && (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64) {
    if (const std::uint64_t left = in.Skip(UINT64_MAX); left > 0)
      r.note = std::to_string(left) + " bytes follow a header that gives no audio; none were converted (a header "
               "never finished?)";
    return r;
  }
  const sf_count_t adpcm = AdpcmFrames(info, wave, static_cast<sf_count_t>(wave.data_size));
  const sf_count_t header = HeaderFrames(in, info);
  const sf_count_t frames = adpcm >= 0 ? adpcm : header;
  const bool counted = frames > 0 && frames < SF_COUNT_MAX / 64;  // not MPEG's "unknown", nor a length unreached
  const sf_count_t bytes = adpcm >= 0 ? static_cast<sf_count_t>(wave.data_size)
                           : counted  ? std::min<sf_count_t>(header, sf_count_t{1} << 40) * info.channels *
                                             BytesPerSample(info.format)
                                      : 0;
  const bool declared = counted && !LengthLeftOpen(info, bytes, in.seekable());
  if (failed || (declared && read < frames)) {
    char what[240];
    const double rate = info.samplerate;
    if (declared)
      std::snprintf(what, sizeof what,
                    "the input ends at %.2f s of the %.2f s its header gives (cut short or damaged%s%s); the %.2f s "
                    "there were converted",
                    static_cast<double>(read) / rate, static_cast<double>(frames) / rate, failed ? ": " : "",
                    failed ? why : "", static_cast<double>(read) / rate);
    else
      std::snprintf(what, sizeof what, "decoding stopped at %.2f s (%s); the audio before it was converted",
                    static_cast<double>(read) / rate, why);
    r.note = what;
  }
  return r;
}

}  // namespace kiv::tool
