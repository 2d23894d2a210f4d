// SPDX-License-Identifier: MIT
#include "pipeline/mpeg_decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kiv::tool {
namespace {

struct FrameHeader {
  int version = 0;  // the header's bits: 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  int layer = 0;    // the header's bits: 1 Layer III, 2 Layer II, 3 Layer I
  int rate = 0;
  std::size_t length = 0;  // of the whole frame, header included
};

// The 4-byte frame header at `h`; false when it is none, or one whose
// frame length cannot be known (free format).
bool ParseHeader(const unsigned char* h, FrameHeader* out) {
  if (h[0] != 0xff || (h[1] & 0xe0) != 0xe0) return false;
  const int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
  const int bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  const int emphasis = h[3] & 3;
  if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3 || emphasis == 2)
    return false;
  static const int kKbps[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 Layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 Layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 Layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 Layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 Layers II, III
  };
  static const int kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  const bool mpeg1 = version == 3;
  const int row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
  const long bps = kKbps[row][bitrate_index] * 1000L;
  const int rate = kRates[version][rate_index];
  long length;
  if (layer == 3)
    length = (12 * bps / rate + padding) * 4;
  else if (layer == 1 && !mpeg1)
    length = 72 * bps / rate + padding;
  else
    length = 144 * bps / rate + padding;
  *out = FrameHeader{version, layer, rate, static_cast<std::size_t>(length)};
  return true;
}

// What the input held lately, by byte offset: the first 64 KiB from a mark
// (the end of the last frame decoded) and the last 64 KiB read. Between
// them they show what libmpg123 passed over between two frames, however
// long a tag lies in between, in bounded memory.
class RecentBytes {
 public:
  static constexpr std::size_t kKeep = 64 * 1024;

  void Add(std::int64_t at, const unsigned char* p, std::size_t n) {
    if (at != hi_) lo_ = hi_ = at;  // after a seek, start afresh
    for (std::size_t done = 0; done < n;) {
      const std::size_t slot = static_cast<std::size_t>((at + done) % kKeep);
      const std::size_t part = std::min(n - done, kKeep - slot);
      std::memcpy(ring_.data() + slot, p + done, part);
      done += part;
    }
    hi_ = at + static_cast<std::int64_t>(n);
    const std::int64_t want = mark_ + static_cast<std::int64_t>(first_.size());
    if (at <= want && hi_ > want && first_.size() < kKeep) {
      const std::size_t part = std::min<std::size_t>(static_cast<std::size_t>(hi_ - want), kKeep - first_.size());
      first_.insert(first_.end(), p + (want - at), p + (want - at) + part);
    }
  }
  // Keeps the bytes from `from` on (some may have been read already).
  void Mark(std::int64_t from) {
    first_.clear();
    mark_ = from;
    if (from < RingStart() || from >= hi_) return;
    for (std::int64_t at = from; at < hi_ && first_.size() < kKeep; ++at)
      first_.push_back(ring_[static_cast<std::size_t>(at % kKeep)]);
  }
  bool Get(std::int64_t at, unsigned char* out, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i, ++at) {
      if (at >= mark_ && at < mark_ + static_cast<std::int64_t>(first_.size()))
        out[i] = first_[static_cast<std::size_t>(at - mark_)];
      else if (at >= RingStart() && at < hi_)
        out[i] = ring_[static_cast<std::size_t>(at % kKeep)];
      else
        return false;
    }
    return true;
  }
  // The first offset from `at` whose byte is kept (or `at` itself when
  // nothing further is).
  std::int64_t NextKept(std::int64_t at) const {
    if (at < mark_ && mark_ < hi_) return mark_;
    if (at < RingStart() && RingStart() < hi_) return RingStart();
    return at;
  }
  std::int64_t end() const { return hi_; }

 private:
  std::int64_t RingStart() const { return std::max(lo_, hi_ - static_cast<std::int64_t>(kKeep)); }

  std::vector<unsigned char> ring_ = std::vector<unsigned char>(kKeep);
  std::int64_t lo_ = 0, hi_ = 0;  // the ring holds [RingStart(), hi_)
  std::vector<unsigned char> first_;
  std::int64_t mark_ = 0;
};

// libmpg123's input: the stream, with what was read kept in view.
struct Source {
  InputStream* in;
  RecentBytes seen;
  bool read_failed = false;
  bool ended = false;  // the end of the input was read
  // Bytes of a file that libmpg123 sought past, read back in blocks.
  std::vector<unsigned char> block;
  std::int64_t block_at = -1;

  // The `n` bytes at `at`, when they can still be had.
  bool Get(std::int64_t at, unsigned char* out, std::size_t n) {
    if (seen.Get(at, out, n)) return true;
    if (!in->seekable()) return false;
    const std::int64_t block_end = block_at + static_cast<std::int64_t>(block.size());
    if (block_at < 0 || at < block_at || at + static_cast<std::int64_t>(n) > block_end) {
      const std::int64_t resume = in->Tell();
      block.resize(RecentBytes::kKeep);
      block_at = in->Seek(at) ? at : -1;
      block.resize(block_at < 0 ? 0 : in->Read(block.data(), block.size()));
      if (!in->Seek(resume)) return false;
      if (at + static_cast<std::int64_t>(n) > block_at + static_cast<std::int64_t>(block.size())) return false;
    }
    std::memcpy(out, block.data() + (at - block_at), n);
    return true;
  }
  // The first offset from `at` whose byte can be had (or `at` itself).
  std::int64_t NextAvailable(std::int64_t at) const { return in->seekable() ? at : seen.NextKept(at); }
};

mpg123_ssize_t ReadSource(void* handle, void* buf, std::size_t n) {
  auto* s = static_cast<Source*>(handle);
  const std::int64_t at = s->in->Tell();
  const std::size_t got = s->in->Read(buf, n);
  if (got == 0 && s->in->failed()) {
    s->read_failed = true;
    return -1;
  }
  s->ended = s->ended || (got == 0 && n > 0);
  s->seen.Add(at, static_cast<const unsigned char*>(buf), got);
  return static_cast<mpg123_ssize_t>(got);
}

off_t SeekSource(void* handle, off_t offset, int whence) {
  auto* s = static_cast<Source*>(handle);
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = s->in->Tell();
  if (whence == SEEK_END) base = s->in->size();
  if (!s->in->seekable() || base < 0 || !s->in->Seek(base + offset)) return -1;
  return static_cast<off_t>(s->in->Tell());
}

// What lay between frames, other than audio.
struct Skipped {
  std::uint64_t bytes = 0;     // damage or foreign data between frames
  std::uint64_t places = 0;    // runs of such bytes
  std::uint64_t trailing = 0;  // such bytes after the last frame
  bool cut_short = false;      // the input ends inside a frame
};

// The length of the tag or non-audio frame at `at`, when it ends by `to`;
// 0 when there is none. `starts` is set for what begins a file.
std::int64_t ItemLength(Source& src, std::int64_t at, std::int64_t to, bool* starts) {
  unsigned char h[48] = {};
  const std::size_t have = static_cast<std::size_t>(std::min<std::int64_t>(to - at, sizeof h));
  if (have < 3 || !src.Get(at, h, have)) return 0;
  std::int64_t length = 0;
  bool begins = false;
  FrameHeader f;
  if (have >= 10 && std::memcmp(h, "ID3", 3) == 0) {  // ID3v2, with its footer if any
    length = 10 + ((std::int64_t{h[6] & 0x7f} << 21) | ((h[7] & 0x7f) << 14) | ((h[8] & 0x7f) << 7) | (h[9] & 0x7f)) +
             ((h[5] & 0x10) ? 10 : 0);
    begins = true;
  } else if (std::memcmp(h, "TAG", 3) == 0) {  // ID3v1
    length = 128;
  } else if (have >= 32 && std::memcmp(h, "APETAGEX", 8) == 0) {  // APE tag header or footer
    const std::uint32_t size = h[12] | (h[13] << 8) | (h[14] << 16) | (std::uint32_t{h[15]} << 24);
    length = (h[23] & 0x20) ? 32 + std::int64_t{size} : 32;
  } else if (have >= 4 && ParseHeader(h, &f)) {
    // A frame libmpg123 read but gave no audio for: an Info frame, which
    // opens an encoder's file, or one that gapless decoding leaves out (the
    // encoder's delay). Such a frame runs up to another; a header-like
    // pattern in junk almost never does.
    for (std::size_t i = 4; i + 4 <= have && !begins; ++i)
      begins = std::memcmp(h + i, "Xing", 4) == 0 || std::memcmp(h + i, "Info", 4) == 0 ||
               std::memcmp(h + i, "VBRI", 4) == 0;
    const std::int64_t end = at + static_cast<std::int64_t>(f.length);
    unsigned char n[4];
    FrameHeader next;
    const bool chained = end == to || (end + 4 <= to && src.Get(end, n, 4) && ParseHeader(n, &next) &&
                                       next.version == f.version && next.layer == f.layer && next.rate == f.rate);
    if (begins || chained) length = static_cast<std::int64_t>(f.length);
  }
  if (length == 0 || at + length > to) return 0;
  *starts = *starts || begins;
  return length;
}

// Sorts out the bytes from `from` to `to` that libmpg123 passed over;
// true when they hold the start of a file (its ID3v2 tag or Info frame).
// `continuing`: they belong to the same damage as the junk counted last.
bool Account(Source& src, std::int64_t from, std::int64_t to, bool at_end, bool continuing, Skipped* s) {
  std::uint64_t junk = 0;
  bool starts = false;
  for (std::int64_t at = from; at < to;) {
    unsigned char h[4];
    FrameHeader f;
    if (at_end && at == from && src.Get(at, h, 4) && ParseHeader(h, &f) &&
        at + static_cast<std::int64_t>(f.length) > to) {
      s->cut_short = true;
      break;
    }
    const std::int64_t item = ItemLength(src, at, to, &starts);
    if (item > 0) {
      at += item;
      continue;
    }
    // Bytes that can no longer be had are counted as a whole.
    const std::int64_t next = std::min(to, std::max(at + 1, src.NextAvailable(at + 1)));
    junk += static_cast<std::uint64_t>(next - at);
    at = next;
  }
  if (at_end) {
    s->trailing += junk;
  } else {
    s->bytes += junk;
    if (junk > 0 && !continuing) ++s->places;
  }
  return starts && from > 0;
}

struct HandleDeleter {
  void operator()(mpg123_handle* mh) const { mpg123_delete(mh); }
};
using Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

// A decoder that prints nothing, resyncs past damage of any length, keeps
// no tags and gives float samples at whatever rate and channels it meets.
Handle NewHandle(std::string* why) {
  mpg123_init();  // a no-op since libmpg123 1.27, needed before
  int err = MPG123_OK;
  Handle mh(mpg123_new(nullptr, &err));
  if (!mh) {
    *why = std::string("libmpg123: ") + mpg123_plain_strerror(err);
    return nullptr;
  }
  mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2 | MPG123_SEEKBUFFER, 0);
  mpg123_param(mh.get(), MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0);
  mpg123_param(mh.get(), MPG123_RESYNC_LIMIT, -1, 0);
  mpg123_format_none(mh.get());
  const long* rates = nullptr;
  std::size_t count = 0;
  mpg123_rates(&rates, &count);
  for (std::size_t i = 0; i < count; ++i)
    mpg123_format(mh.get(), rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
  return mh;
}

// "44100 Hz stereo MPEG-1 Layer III", from the frame just decoded.
std::string FormatName(mpg123_handle* mh, int channels) {
  mpg123_frameinfo fi{};
  if (mpg123_info(mh, &fi) != MPG123_OK) return "MPEG audio";
  static const char* const kVersions[] = {"MPEG-1", "MPEG-2", "MPEG-2.5"};
  static const char* const kLayers[] = {"", "Layer I", "Layer II", "Layer III"};
  std::string name = std::to_string(fi.rate) + " Hz ";
  name += ChannelsName(channels);
  if (fi.version >= MPG123_1_0 && fi.version <= MPG123_2_5) name += std::string(" ") + kVersions[fi.version];
  if (fi.layer >= 1 && fi.layer <= 3) name += std::string(" ") + kLayers[fi.layer];
  return name;
}

std::string Note(const Skipped& s, const Source& src, const std::string& stopped) {
  std::string note;
  auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
  if (s.bytes > 0)
    add(Plural(s.bytes, "byte", "bytes") + " of damaged or foreign data skipped (in " +
        Plural(s.places, "place", "places") + ")");
  if (s.trailing > 0) add(Plural(s.trailing, "byte", "bytes") + " after the last frame are not MPEG audio");
  if (s.cut_short) add("the last frame is cut short");
  if (src.read_failed) add("reading the input failed after " + Plural(src.seen.end(), "byte", "bytes"));
  // At the end of the input, libmpg123 may call a frame cut short an error.
  if (!stopped.empty() && !src.read_failed && !src.ended) add("decoding stopped early: " + stopped);
  return note;
}

// The decoding loop proper: frames to the sink, and the bytes between them
// sorted into tags and damage.
class Decoding {
 public:
  Decoding(mpg123_handle* mh, Source* src, SampleSink* sink) : mh_(mh), src_(src), sink_(sink) {}

  // False when decoding ends, for good or bad.
  bool Step() {
    off_t num = 0;
    unsigned char* audio = nullptr;
    std::size_t bytes = 0;
    const int err = mpg123_decode_frame(mh_, &num, &audio, &bytes);
    if (err == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(mh_, &rate_, &channels_, &encoding);
      return true;
    }
    if (err == MPG123_DONE) return false;
    if (err != MPG123_OK) {
      stopped_ = src_->read_failed ? "the input could not be read" : mpg123_strerror(mh_);
      return false;
    }
    if (num != last_num_ && !Arrived(num)) return false;
    const auto* pcm = reinterpret_cast<const float*>(audio);
    const std::size_t count = bytes / (sizeof(float) * static_cast<std::size_t>(std::max(channels_, 1)));
    if (held_.valid) {
      held_.audio.insert(held_.audio.end(), pcm, pcm + count * static_cast<std::size_t>(channels_));
      return true;
    }
    return Emit(pcm, count, channels_, rate_, starts_);
  }

  // What is left once libmpg123 is done: a frame still held back, and what
  // follows the last frame.
  DecodeResult Finish() {
    if (result_.code == 7) return result_;
    if (held_.valid && src_->seen.end() <= expected_ && !EmitHeld()) return result_;
    if (held_.valid) skipped_.bytes += static_cast<std::uint64_t>(held_.length);
    if (frames_ == 0) {
      result_.code = 5;
      result_.error = stopped_.empty() ? "no MPEG audio frame found" : stopped_;
      return result_;
    }
    if (src_->seen.end() > expected_) Account(*src_, expected_, src_->seen.end(), true, false, &skipped_);
    result_.note = Note(skipped_, *src_, stopped_);
    return result_;
  }

 private:
  // A frame met for the first time: what lay before it. One found right
  // after junk is held back until the next follows it with no gap and in
  // the same format: in junk a header-like pattern turns up every few
  // kilobytes, and what libmpg123 makes of its "frame" is noise.
  bool Arrived(off_t num) {
    last_num_ = num;
    const std::int64_t at = mpg123_framepos(mh_);
    mpg123_frameinfo fi{};
    mpg123_info(mh_, &fi);
    const std::uint64_t junk_before = skipped_.bytes;
    starts_ = at > expected_ && Account(*src_, expected_, at, false, held_.valid, &skipped_);
    const bool after_junk = skipped_.bytes > junk_before;
    if (held_.valid && (after_junk || channels_ != held_.channels || rate_ != held_.rate)) {
      skipped_.bytes += static_cast<std::uint64_t>(held_.length);
      held_.valid = false;
    }
    if (held_.valid && !EmitHeld()) return false;
    if (result_.format.empty()) format_ = FormatName(mh_, channels_);
    if (after_junk) held_ = Held{{}, channels_, rate_, fi.framesize, starts_, true};
    expected_ = at + fi.framesize;
    src_->seen.Mark(expected_);
    return true;
  }

  bool EmitHeld() {
    held_.valid = false;
    const std::size_t count = held_.audio.size() / static_cast<std::size_t>(std::max(held_.channels, 1));
    return Emit(held_.audio.data(), count, held_.channels, held_.rate, held_.starts);
  }

  // Audio to the sink; a new file begins where a tag or an Info frame
  // came before, or where the format changes.
  bool Emit(const float* pcm, std::size_t count, int channels, long rate, bool starts) {
    if (frames_ == 0) {
      result_.format = format_;
      result_.streams = 1;
    } else if (starts || channels != emitted_channels_ || rate != emitted_rate_) {
      ++result_.streams;
    }
    ++frames_;
    emitted_channels_ = channels;
    emitted_rate_ = rate;
    if (count > 0 && !sink_->PushFloat(pcm, count, channels, static_cast<int>(rate))) {
      result_.code = 7;
      return false;
    }
    return true;
  }

  struct Held {
    std::vector<float> audio;
    int channels = 0;
    long rate = 0;
    std::int64_t length = 0;  // of the frame, in bytes
    bool starts = false;
    bool valid = false;
  };

  mpg123_handle* mh_;
  Source* src_;
  SampleSink* sink_;
  DecodeResult result_;
  Skipped skipped_;
  Held held_;
  std::string format_;         // the first frame's, for the result
  std::string stopped_;        // why libmpg123 gave up, if it did
  std::uint64_t frames_ = 0;   // frames whose audio went out
  std::int64_t expected_ = 0;  // where the frame after the last one should start
  off_t last_num_ = -1;
  int channels_ = 0, emitted_channels_ = 0;
  long rate_ = 0, emitted_rate_ = 0;
  bool starts_ = false;  // the current frame begins a file
};

}  // namespace

DecodeResult DecodeMpeg(InputStream& in, SampleSink& sink) {
  DecodeResult result;
  Handle mh = NewHandle(&result.error);
  Source src{&in, {}, false, false, {}, -1};
  if (mh && !in.Seek(0)) result.error = "the input cannot be read from its start";
  if (!mh || !result.error.empty()) {
    result.code = 5;
    return result;
  }
  if (mpg123_replace_reader_handle(mh.get(), ReadSource, SeekSource, nullptr) != MPG123_OK ||
      mpg123_open_handle(mh.get(), &src) != MPG123_OK) {
    result.code = 5;
    result.error = std::string("libmpg123: ") + mpg123_strerror(mh.get());
    return result;
  }
  if (in.size() >= 0) mpg123_set_filesize(mh.get(), static_cast<off_t>(in.size()));
  Decoding decoding(mh.get(), &src, &sink);
  while (decoding.Step()) {
  }
  return decoding.Finish();
}

}  // namespace kiv::tool
