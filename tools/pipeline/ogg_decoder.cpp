// SPDX-License-Identifier: MIT
#include "pipeline/ogg_decoder.h"

#include <ogg/ogg.h>
#if defined(KIV_HAVE_OPUS)
#include <opusfile.h>
#endif
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kiv::tool {
namespace {

// Counts what lies outside Ogg pages in the bytes read: neither library
// says what it skipped while looking for the next page. A framer of its
// own sees every byte once; a page is only checked, not kept.
class PageCount {
 public:
  PageCount() { ogg_sync_init(&sync_); }
  ~PageCount() { ogg_sync_clear(&sync_); }
  PageCount(const PageCount&) = delete;
  PageCount& operator=(const PageCount&) = delete;

  void Add(const void* p, std::size_t n) {
    char* buffer = ogg_sync_buffer(&sync_, static_cast<long>(n));
    if (buffer == nullptr) return;
    std::memcpy(buffer, p, n);
    ogg_sync_wrote(&sync_, static_cast<long>(n));
    ogg_page page;
    for (long r; (r = ogg_sync_pageseek(&sync_, &page)) != 0;) {
      if (r < 0) {
        since_page_ += static_cast<std::uint64_t>(-r);
        continue;
      }
      if (since_page_ > 0) {
        bytes_ += since_page_;
        ++places_;
        since_page_ = 0;
      }
      Page(page);
    }
  }
  std::uint64_t bytes() const { return bytes_; }    // skipped, with pages after them
  std::uint64_t places() const { return places_; }  // runs of such bytes
  std::uint64_t links() const { return links_; }
  // Links that start with the serial number the one before ended with (the
  // same file twice): both libraries take that for one stream with a hole.
  std::uint64_t restarts() const { return restarts_; }
  // Audio streams that began beside another in the same link (multiplexed):
  // each library decodes one stream of a link, the first of its codec.
  // Streams that are no audio (a Skeleton index, video) do not count.
  std::uint64_t beside() const { return beside_; }
  // What follows the last whole page: a page cut short, or bytes that are
  // no page at all.
  bool CutShort() const { return Unframed() >= 4 && std::memcmp(sync_.data + sync_.returned, "OggS", 4) == 0; }
  std::uint64_t Trailing() const { return since_page_ + (CutShort() ? 0 : Unframed()); }

 private:
  std::uint64_t Unframed() const { return static_cast<std::uint64_t>(sync_.fill - sync_.returned); }
  static bool IsAudioHead(const ogg_page& page) {
    auto starts = [&page](const char* head, std::size_t n) {
      return page.body_len >= static_cast<long>(n) && std::memcmp(page.body, head, n) == 0;
    };
    return starts("\x01vorbis", 7) || starts("OpusHead", 8) || starts("\x7f" "FLAC", 5) || starts("Speex   ", 8);
  }
  // A link begins with beginning-of-stream pages (several when streams
  // are multiplexed).
  void Page(ogg_page& page) {
    const bool begins = ogg_page_bos(&page) != 0;
    const long serial = ogg_page_serialno(&page);
    if (begins && !last_began_) {
      if (links_ > 0 && serial == last_serial_) ++restarts_;
      ++links_;
      audio_in_link_ = 0;
    }
    if (begins && IsAudioHead(page) && ++audio_in_link_ > 1) ++beside_;
    last_began_ = begins;
    last_serial_ = serial;
  }

  ogg_sync_state sync_;
  std::uint64_t bytes_ = 0, places_ = 0, since_page_ = 0, links_ = 0, restarts_ = 0, beside_ = 0;
  std::uint64_t audio_in_link_ = 0;
  bool last_began_ = false;
  long last_serial_ = 0;
};

// The libraries' input: the stream, read front to back, never sought.
struct Source {
  InputStream* in;
  PageCount pages;
  bool failed = false;
  bool ended = false;  // the end of the input was read

  long Read(void* dst, std::size_t n) {
    const std::size_t got = in->Read(dst, n);
    if (got == 0 && in->failed()) {
      failed = true;
      return -1;
    }
    ended = ended || got == 0;
    pages.Add(dst, got);
    return static_cast<long>(got);
  }
};

std::size_t ReadForVorbis(void* dst, std::size_t size, std::size_t count, void* source) {
  const long got = static_cast<Source*>(source)->Read(dst, size * count);
  if (got < 0) {
    errno = EIO;  // how libvorbisfile tells a failed read from the end
    return 0;
  }
  return static_cast<std::size_t>(got) / std::max<std::size_t>(size, 1);
}

#if defined(KIV_HAVE_OPUS)
int ReadForOpus(void* source, unsigned char* dst, int n) {
  return static_cast<int>(static_cast<Source*>(source)->Read(dst, static_cast<std::size_t>(n)));
}
#endif

enum class Codec { kNone, kVorbis, kOpus };

// The codec of the first Vorbis or Opus stream among the beginning-of-
// stream pages that open `p` (several when streams are multiplexed).
Codec FirstCodec(const unsigned char* p, std::size_t n) {
  const unsigned char* start = std::search(p, p + n, "OggS", "OggS" + 4);
  for (std::size_t at = static_cast<std::size_t>(start - p); at + 27 <= n;) {
    if (std::memcmp(p + at, "OggS", 4) != 0 || (p[at + 5] & 0x02) == 0) break;
    const std::size_t body = at + 27 + p[at + 26];
    if (body > n) break;
    std::size_t length = 0;
    for (std::size_t i = at + 27; i < body; ++i) length += p[i];
    if (body + 8 <= n && std::memcmp(p + body, "OpusHead", 8) == 0) return Codec::kOpus;
    if (body + 7 <= n && std::memcmp(p + body, "\x01vorbis", 7) == 0) return Codec::kVorbis;
    at = body + length;
  }
  return Codec::kNone;
}

std::string VorbisError(long code) {
  switch (code) {
    case OV_EREAD: return "a read failed";
    case OV_ENOTVORBIS: return "a link without Vorbis headers: damaged, or of another codec";
    case OV_EBADHEADER: return "a damaged Vorbis header";
    case OV_EVERSION: return "an unknown Vorbis version";
    case OV_EBADLINK: return "a damaged link";
    default: return "libvorbisfile error " + std::to_string(code);
  }
}

#if defined(KIV_HAVE_OPUS)
std::string OpusError(int code) {
  switch (code) {
    case OP_EREAD: return "a read failed";
    case OP_EIMPL: return "an Opus feature not supported";
    case OP_ENOTFORMAT: return "a link without Opus headers: damaged, or of another codec";
    case OP_EBADHEADER: return "a damaged Opus header";
    case OP_EVERSION: return "an unknown Opus version";
    case OP_EBADPACKET: return "a damaged packet";
    case OP_EBADLINK: return "a damaged link";
    case OP_EBADTIMESTAMP: return "a bad timestamp";
    default: return "libopusfile error " + std::to_string(code);
  }
}
#endif

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What both codecs' loops keep track of, and how they hand samples on.
struct Tally {
  DecodeResult result;
  std::uint64_t frames = 0;  // pushed, over all links
  std::uint64_t holes = 0;
  std::uint64_t failures = 0;  // runs of errors other than holes
  std::string last_error;
  int last_link = -1;
  bool in_error = false;
  bool stuck = false;          // decoding ended at an error it could not pass
  std::int64_t error_at = -1;  // where the library stood at the last error

  // False when the sink wants no more.
  bool Push(SampleSink& sink, const float* pcm, std::size_t count, int channels, int rate, int link,
            const char* codec) {
    in_error = false;
    error_at = -1;
    if (link != last_link) {
      last_link = link;
      ++result.streams;
    }
    if (frames == 0) {
      result.format = std::to_string(rate) + " Hz " +
                      (channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels") +
                      " " + codec;
    }
    frames += count;
    if (count > 0 && !sink.PushFloat(pcm, count, channels, rate)) {
      result.code = 7;
      return false;
    }
    return true;
  }

  // A hole is counted and passed. Any other error (a link that cannot be
  // set up, a packet that fails) too, while the library moves on through
  // the input; when it stands still, decoding ends there.
  bool Pass(bool hole, const std::string& why, std::int64_t position) {
    if (hole) {
      ++holes;
      return true;
    }
    last_error = why;
    if (!in_error) ++failures;
    in_error = true;
    stuck = position == error_at;
    error_at = position;
    return !stuck;
  }
};

void DecodeVorbis(Source& src, SampleSink& sink, Tally& t) {
  OggVorbis_File vf;
  // No seek callback: libvorbisfile reads as a stream and holds one link.
  const ov_callbacks callbacks{ReadForVorbis, nullptr, nullptr, nullptr};
  const int opened = ov_open_callbacks(&src, &vf, nullptr, 0, callbacks);
  if (opened < 0) {
    t.last_error = VorbisError(opened);
    return;
  }
  std::vector<float> interleaved;
  int boundary = 0;  // the last link whose start showed a hole
  for (;;) {
    float** pcm = nullptr;
    int link = 0;
    const long n = ov_read_float(&vf, &pcm, 1024, &link);
    if (n == 0) break;
    // Reading as a stream, libvorbisfile hands the last header page of
    // each new link in twice, which shows as one hole before the link's
    // first audio: no damage, and not counted.
    if (n == OV_HOLE && vf.current_link > boundary && vf.current_link != t.last_link) {
      boundary = vf.current_link;
      continue;
    }
    if (n < 0) {
      if (!t.Pass(n == OV_HOLE, VorbisError(n), vf.offset)) break;
      continue;
    }
    const vorbis_info* vi = ov_info(&vf, -1);
    const std::size_t channels = static_cast<std::size_t>(vi->channels), count = static_cast<std::size_t>(n);
    interleaved.resize(count * channels);
    for (std::size_t c = 0; c < channels; ++c)
      for (std::size_t i = 0; i < count; ++i) interleaved[i * channels + c] = pcm[c][i];
    if (!t.Push(sink, interleaved.data(), count, vi->channels, static_cast<int>(vi->rate), link, "Ogg Vorbis")) break;
  }
  ov_clear(&vf);
}

#if defined(KIV_HAVE_OPUS)
void DecodeOpus(Source& src, SampleSink& sink, Tally& t) {
  // No seek or tell callback: libopusfile reads as a stream and holds one link.
  const OpusFileCallbacks callbacks{ReadForOpus, nullptr, nullptr, nullptr};
  int error = 0;
  std::unique_ptr<OggOpusFile, decltype(&op_free)> of(op_open_callbacks(&src, &callbacks, nullptr, 0, &error),
                                                      &op_free);
  if (!of) {
    t.last_error = OpusError(error);
    return;
  }
  // 120 ms at 48000 Hz, the longest packet, for 8 channels; more channels
  // are read in smaller steps.
  std::vector<float> pcm(5760 * 8);
  for (;;) {
    int link = 0;
    const int n = op_read_float(of.get(), pcm.data(), static_cast<int>(pcm.size()), &link);
    if (n == 0) break;
    if (n < 0) {
      if (!t.Pass(n == OP_HOLE, OpusError(n), op_raw_tell(of.get()))) break;
      continue;
    }
    const int channels = op_channel_count(of.get(), link);
    if (!t.Push(sink, pcm.data(), static_cast<std::size_t>(n), channels, 48000, link, "Ogg Opus")) break;
  }
}
#else
// A build without libopusfile (the ARM cross builds) reads Vorbis only.
void DecodeOpus(Source&, SampleSink&, Tally& t) { t.last_error = "this build has no Ogg Opus decoder (libopusfile)"; }
#endif

std::string Note(const Tally& t, const Source& src) {
  std::string note;
  auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
  if (t.holes > 0)
    add(Plural(t.holes, "hole", "holes") + " in the stream (damaged or missing pages) " +
        (t.holes == 1 ? "was" : "were") + " skipped");
  if (t.failures > 0)
    add(Plural(t.failures, "part", "parts") + " of the stream could not be decoded and " +
        (t.failures == 1 ? "was" : "were") + " skipped (" + t.last_error + ")");
  if (src.pages.bytes() > 0)
    add(Plural(src.pages.bytes(), "byte", "bytes") + " that are not Ogg pages skipped (in " +
        Plural(src.pages.places(), "place", "places") + ")");
  if (src.pages.beside() > 0)
    add(Plural(src.pages.beside(), "stream", "streams") + " multiplexed beside the one decoded " +
        (src.pages.beside() == 1 ? "was" : "were") + " not converted");
  if (src.pages.Trailing() > 0)
    add(Plural(src.pages.Trailing(), "byte", "bytes") + " after the last page are not Ogg");
  if (src.pages.CutShort()) add("the last page is cut short");
  if (src.failed) add("reading the input failed after " + Plural(src.in->Tell(), "byte", "bytes"));
  if (t.stuck && !src.ended && !src.failed)
    add("decoding stopped after " + Plural(src.in->Tell(), "byte", "bytes") + " (" + t.last_error + ")");
  return note;
}

}  // namespace

DecodeResult DecodeOgg(InputStream& in, SampleSink& sink) {
  Tally t;
  const Codec codec = FirstCodec(in.head(), in.head_size());
  if (codec == Codec::kNone || !in.Seek(0)) {
    t.result.code = 5;
    t.result.error = codec == Codec::kNone ? "no Ogg Vorbis or Ogg Opus stream at the start"
                                           : "the input cannot be read from its start";
    return t.result;
  }
  Source src{&in, {}, false, false};
  if (codec == Codec::kVorbis)
    DecodeVorbis(src, sink, t);
  else
    DecodeOpus(src, sink, t);
  if (t.result.code == 7) return t.result;
  // Links are counted on the pages, where one of the same serial number
  // as the link before is seen too.
  t.holes -= std::min(t.holes, src.pages.restarts());
  t.result.streams = std::max(t.result.streams, src.pages.links());
  if (t.frames == 0) {
    t.result.code = 5;
    t.result.error = src.failed ? "the input could not be read"
                                : t.last_error.empty() ? "no audio in the stream" : t.last_error;
    return t.result;
  }
  t.result.note = Note(t, src);
  return t.result;
}

}  // namespace kiv::tool
