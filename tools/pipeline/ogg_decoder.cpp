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
#include "platform/console.h"

namespace kiv::tool {
namespace {

enum class Codec { kNone, kVorbis, kOpus };

// What a beginning-of-stream page opens.
struct StreamHead {
  Codec codec = Codec::kNone;  // of the streams kivgsm decodes
  bool audio = false;          // Vorbis, Opus, FLAC or Speex; not a Skeleton index or video
};

StreamHead HeadOf(const ogg_page& page) {
  auto starts = [&page](const char* head, std::size_t n) {
    return page.body_len >= static_cast<long>(n) && std::memcmp(page.body, head, n) == 0;
  };
  if (starts("OpusHead", 8)) return {Codec::kOpus, true};
  if (starts("\x01vorbis", 7)) return {Codec::kVorbis, true};
  return {Codec::kNone, starts("\x7f" "FLAC", 5) || starts("Speex   ", 8)};
}

// The libraries' input: the stream, read front to back, never sought,
// framed into pages here and handed to a decoder one link at a time. A
// link ends where the next one starts: its decoder reads the end of its
// input there, and the next link gets a decoder of its own codec (a chain
// may mix Vorbis and Opus), started afresh. A link starts with a
// beginning-of-stream page after the link's data, after damage, or of a
// stream the link has already begun; and with a page of a stream the link
// never began (a link whose first page was lost). Every byte is seen once;
// what lies outside pages, which neither library reports, is counted here
// and not passed on.
class LinkReader {
 public:
  explicit LinkReader(InputStream* in) : in_(in) { ogg_sync_init(&sync_); }
  ~LinkReader() { ogg_sync_clear(&sync_); }
  LinkReader(const LinkReader&) = delete;
  LinkReader& operator=(const LinkReader&) = delete;

  // Moves on to the next link, passing over what the last link's decoder
  // left unread, and reads its beginning-of-stream pages ahead (they all
  // come before its data): `codec` is that of its first audio stream.
  // False at the end of the input.
  bool NextLink(Codec* codec) {
    while (link_open_) Take(nullptr);
    out_.clear();
    at_ = 0;
    if (held_.empty() && !Pull(&held_, &held_head_)) return false;
    out_.swap(held_);
    held_.clear();
    link_open_ = true;
    data_seen_ = !IsBeginning(out_);
    serials_.assign(1, SerialOf(out_));
    if (!data_seen_) ++links_;
    StreamHead head = held_head_;
    *codec = head.codec;
    int audio = head.audio ? 1 : 0;
    while (!data_seen_ && Take(&head)) {
      if (!head.audio) continue;
      if (*codec == Codec::kNone) *codec = head.codec;
      if (++audio > 1) ++beside_;
    }
    return true;
  }

  // Up to `n` bytes of the link's pages; 0 at the link's end, -1 when
  // reading failed.
  long Read(void* dst, std::size_t n) {
    while (at_ == out_.size()) {
      out_.clear();
      at_ = 0;
      StreamHead unused;
      if (!Take(&unused)) return failed_ ? -1 : 0;
    }
    const std::size_t part = std::min(n, out_.size() - at_);
    std::memcpy(dst, out_.data() + at_, part);
    at_ += part;
    return static_cast<long>(part);
  }

  bool failed() const { return failed_; }
  std::uint64_t links() const { return links_; }
  std::uint64_t bytes() const { return bytes_; }    // skipped, with pages after them
  std::uint64_t places() const { return places_; }  // runs of such bytes
  // Audio streams that began beside another in the same link (multiplexed):
  // a decoder takes one stream of a link, the first of its codec.
  std::uint64_t beside() const { return beside_; }
  // What follows the last whole page: a page cut short, or bytes that are
  // no page at all.
  bool CutShort() const { return Unframed() >= 4 && std::memcmp(sync_.data + sync_.returned, "OggS", 4) == 0; }
  std::uint64_t Trailing() const { return since_page_ + (CutShort() ? 0 : Unframed()); }
  std::int64_t position() const { return in_->Tell(); }  // bytes read from the input

 private:
  static constexpr long kChunk = 4096;

  std::uint64_t Unframed() const { return static_cast<std::uint64_t>(sync_.fill - sync_.returned); }

  // The link's next page, appended to what its decoder is handed (or, with
  // `head` null, passed over); false once the link has ended. A
  // beginning-of-stream page after the link's data begins the next link.
  bool Take(StreamHead* head) {
    if (!link_open_) return false;
    StreamHead h;
    bool damaged = false;
    if (!Pull(&page_, &h, &damaged)) {
      link_open_ = false;
      return false;
    }
    const bool begins = IsBeginning(page_);
    const std::uint32_t serial = SerialOf(page_);
    const bool known = std::find(serials_.begin(), serials_.end(), serial) != serials_.end();
    if (begins ? data_seen_ || damaged || known : !known) {
      held_.swap(page_);
      held_head_ = h;
      link_open_ = false;
      return false;
    }
    if (begins) serials_.push_back(serial);
    data_seen_ = data_seen_ || !begins;
    if (head != nullptr) {
      *head = h;
      out_.insert(out_.end(), page_.begin(), page_.end());
    }
    return true;
  }

  static bool IsBeginning(const std::vector<unsigned char>& page) { return (page[5] & 0x02) != 0; }
  static std::uint32_t SerialOf(const std::vector<unsigned char>& page) {
    return page[14] | (page[15] << 8) | (page[16] << 16) | (std::uint32_t{page[17]} << 24);
  }

  // The next whole page of the input, header and body, and whether bytes
  // that are no page came before it; false at its end, when reading fails,
  // or when a stop is asked for.
  bool Pull(std::vector<unsigned char>* bytes, StreamHead* head, bool* damaged = nullptr) {
    ogg_page page;
    for (long r; (r = ogg_sync_pageseek(&sync_, &page)) <= 0;) {
      if (r < 0) {
        since_page_ += static_cast<std::uint64_t>(-r);
        continue;
      }
      if (StopRequest() != 0) return false;
      char* buffer = ogg_sync_buffer(&sync_, kChunk);
      const std::size_t got = buffer == nullptr ? 0 : in_->Read(buffer, kChunk);
      if (got == 0) {
        failed_ = failed_ || buffer == nullptr || in_->failed();
        return false;
      }
      ogg_sync_wrote(&sync_, static_cast<long>(got));
    }
    if (damaged != nullptr) *damaged = since_page_ > 0;
    if (since_page_ > 0) {
      bytes_ += since_page_;
      ++places_;
      since_page_ = 0;
    }
    bytes->assign(page.header, page.header + page.header_len);
    bytes->insert(bytes->end(), page.body, page.body + page.body_len);
    *head = ogg_page_bos(&page) ? HeadOf(page) : StreamHead{};
    return true;
  }

  InputStream* in_;
  ogg_sync_state sync_;
  std::vector<unsigned char> out_;  // the link's pages, for its decoder
  std::size_t at_ = 0;
  std::vector<unsigned char> page_;  // the page just read
  std::vector<unsigned char> held_;  // the next link's first page, read ahead
  StreamHead held_head_;
  std::vector<std::uint32_t> serials_;  // of the streams the link began
  bool link_open_ = false, data_seen_ = false, failed_ = false;
  std::uint64_t links_ = 0, bytes_ = 0, places_ = 0, since_page_ = 0, beside_ = 0;
};

std::size_t ReadForVorbis(void* dst, std::size_t size, std::size_t count, void* source) {
  const long got = static_cast<LinkReader*>(source)->Read(dst, size * count);
  if (got < 0) {
    errno = EIO;  // how libvorbisfile tells a failed read from the end
    return 0;
  }
  return static_cast<std::size_t>(got) / std::max<std::size_t>(size, 1);
}

#if defined(KIV_HAVE_OPUS)
int ReadForOpus(void* source, unsigned char* dst, int n) {
  return static_cast<int>(static_cast<LinkReader*>(source)->Read(dst, static_cast<std::size_t>(n)));
}
#endif

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

// What both codecs' loops keep track of, and how they hand samples on.
struct Tally {
  DecodeResult result;
  std::uint64_t frames = 0;  // pushed, over all links
  std::uint64_t holes = 0;
  std::uint64_t failures = 0;  // runs of errors other than holes
  std::string last_error;
  bool in_error = false;
  std::int64_t error_at = -1;  // where the library stood at the last error

  // False when the sink wants no more.
  bool Push(SampleSink& sink, const float* pcm, std::size_t count, int channels, int rate, const char* codec) {
    in_error = false;
    error_at = -1;
    if (frames == 0) {
      result.format = std::to_string(rate) + " Hz " + ChannelsName(channels) + " " + codec;
    }
    frames += count;
    if (count > 0 && !sink.PushFloat(pcm, count, channels, rate)) {
      result.code = 7;
      return false;
    }
    return true;
  }

  // A hole is counted and passed. Any other error (a packet that fails)
  // too, while the library moves on through the link; when it stands
  // still, decoding of the link ends there.
  bool Pass(bool hole, const std::string& why, std::int64_t position) {
    if (hole) {
      ++holes;
      return true;
    }
    last_error = why;
    if (!in_error) ++failures;
    in_error = true;
    const bool stuck = position == error_at;
    error_at = position;
    return !stuck;
  }

  // A link that cannot be decoded at all (headers damaged, or another
  // codec) is passed over as one failure.
  void SkipLink(const std::string& why) {
    last_error = why;
    ++failures;
  }
  // Each link starts a decoder afresh.
  void StartLink() {
    in_error = false;
    error_at = -1;
  }
};

void DecodeVorbis(LinkReader& src, SampleSink& sink, Tally& t) {
  OggVorbis_File vf;
  // No seek callback: libvorbisfile reads the link as a stream.
  const ov_callbacks callbacks{ReadForVorbis, nullptr, nullptr, nullptr};
  const int opened = ov_open_callbacks(&src, &vf, nullptr, 0, callbacks);
  if (opened < 0) return t.SkipLink(VorbisError(opened));
  std::vector<float> interleaved;
  for (;;) {
    float** pcm = nullptr;
    int link = 0;
    const long n = ov_read_float(&vf, &pcm, 1024, &link);
    if (n == 0) break;
    if (n < 0) {
      if (!t.Pass(n == OV_HOLE, VorbisError(n), vf.offset)) break;
      continue;
    }
    const vorbis_info* vi = ov_info(&vf, -1);
    const std::size_t channels = static_cast<std::size_t>(vi->channels), count = static_cast<std::size_t>(n);
    interleaved.resize(count * channels);
    for (std::size_t c = 0; c < channels; ++c)
      for (std::size_t i = 0; i < count; ++i) interleaved[i * channels + c] = pcm[c][i];
    if (!t.Push(sink, interleaved.data(), count, vi->channels, static_cast<int>(vi->rate), "Ogg Vorbis")) break;
  }
  ov_clear(&vf);
}

#if defined(KIV_HAVE_OPUS)
void DecodeOpus(LinkReader& src, SampleSink& sink, Tally& t) {
  // No seek or tell callback: libopusfile reads the link as a stream.
  const OpusFileCallbacks callbacks{ReadForOpus, nullptr, nullptr, nullptr};
  int error = 0;
  std::unique_ptr<OggOpusFile, decltype(&op_free)> of(op_open_callbacks(&src, &callbacks, nullptr, 0, &error),
                                                      &op_free);
  if (!of) return t.SkipLink(OpusError(error));
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
    if (!t.Push(sink, pcm.data(), static_cast<std::size_t>(n), channels, 48000, "Ogg Opus")) break;
  }
}
#else
// A build without libopusfile (the ARM cross builds) reads Vorbis only.
void DecodeOpus(LinkReader&, SampleSink&, Tally& t) { t.SkipLink("this build has no Ogg Opus decoder (libopusfile)"); }
#endif

std::string Note(const Tally& t, const LinkReader& src) {
  std::string note;
  auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
  if (t.holes > 0)
    add(Plural(t.holes, "hole", "holes") + " in the stream (damaged or missing pages) " +
        (t.holes == 1 ? "was" : "were") + " skipped");
  if (t.failures > 0)
    add(Plural(t.failures, "part", "parts") + " of the stream could not be decoded and " +
        (t.failures == 1 ? "was" : "were") + " skipped (" + t.last_error + ")");
  if (src.bytes() > 0)
    add(Plural(src.bytes(), "byte", "bytes") + " that are not Ogg pages skipped (in " +
        Plural(src.places(), "place", "places") + ")");
  if (src.beside() > 0)
    add(Plural(src.beside(), "stream", "streams") + " multiplexed beside the one decoded " +
        (src.beside() == 1 ? "was" : "were") + " not converted");
  if (src.Trailing() > 0)
    add(Plural(src.Trailing(), "byte", "bytes") + " after the last page are not Ogg");
  if (src.CutShort()) add("the last page is cut short");
  if (src.failed()) add("reading the input failed after " + Plural(static_cast<std::uint64_t>(src.position()), "byte", "bytes"));
  return note;
}

}  // namespace

DecodeResult DecodeOgg(InputStream& in, SampleSink& sink) {
  Tally t;
  if (!in.Seek(0)) {
    t.result.code = 5;
    t.result.error = "the input cannot be read from its start";
    return t.result;
  }
  LinkReader src(&in);
  for (Codec codec; t.result.code != 7 && src.NextLink(&codec);) {
    t.StartLink();
    if (codec == Codec::kVorbis)
      DecodeVorbis(src, sink, t);
    else if (codec == Codec::kOpus)
      DecodeOpus(src, sink, t);
    else
      t.SkipLink("a link with no Vorbis or Opus stream, or whose first page is damaged or missing");
  }
  if (t.result.code == 7) return t.result;
  t.result.streams = src.links();
  if (t.frames == 0) {
    t.result.code = 5;
    t.result.error = src.failed()             ? "the input could not be read"
                     : src.links() == 0          ? "no Ogg Vorbis or Ogg Opus stream at the start"
                     : t.last_error.empty()      ? "no audio in the stream"
                                                 : t.last_error;
    return t.result;
  }
  t.result.note = Note(t, src);
  return t.result;
}

}  // namespace kiv::tool
