// SPDX-License-Identifier: MIT
#include "pipeline/container_signature.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace kiv::tool {
namespace {

struct Signature {
  const char* bytes;
  std::size_t length;
  InputKind kind;
  const char* container;
};

// Each container as its files begin. W64 starts with the GUID of its RIFF
// chunk, whose first four bytes are "riff".
constexpr Signature kSignatures[] = {
    {"RIFF", 4, InputKind::kSndfile, kWaveContainer},
    {"RIFX", 4, InputKind::kSndfile, "RIFX/WAVE"},
    {"RF64", 4, InputKind::kSndfile, "RF64"},
    {"BW64", 4, InputKind::kSndfile, "BW64"},
    {"riff", 4, InputKind::kSndfile, "W64"},
    {"FORM", 4, InputKind::kSndfile, "AIFF/IFF"},
    {"fLaC", 4, InputKind::kSndfile, kFlacContainer},
    {"caff", 4, InputKind::kSndfile, "CAF"},
    {".snd", 4, InputKind::kSndfile, "AU"},
    {"dns.", 4, InputKind::kSndfile, "AU"},
    {"wvpk", 4, InputKind::kSndfile, "WavPack"},
    {"Creative Voice File", 19, InputKind::kSndfile, "VOC"},
    {"NIST_1A", 7, InputKind::kSndfile, "NIST SPHERE"},
    {" paf", 4, InputKind::kSndfile, "PAF"},
    {"fap ", 4, InputKind::kSndfile, "PAF"},
    // IRCAM, in either byte order, of each of its machine markers.
    {"\x64\xa3\x01\x00", 4, InputKind::kSndfile, "IRCAM"},
    {"\x64\xa3\x02\x00", 4, InputKind::kSndfile, "IRCAM"},
    {"\x64\xa3\x03\x00", 4, InputKind::kSndfile, "IRCAM"},
    {"\x64\xa3\x04\x00", 4, InputKind::kSndfile, "IRCAM"},
    {"\x00\x01\xa3\x64", 4, InputKind::kSndfile, "IRCAM"},
    {"\x00\x02\xa3\x64", 4, InputKind::kSndfile, "IRCAM"},
    {"\x00\x03\xa3\x64", 4, InputKind::kSndfile, "IRCAM"},
    {"\x00\x04\xa3\x64", 4, InputKind::kSndfile, "IRCAM"},
    {"PVF1\n", 5, InputKind::kSndfile, "PVF"},
    {"ALawSoundFile**", 15, InputKind::kSndfile, "Psion WVE"},
    {"MATLAB 5.0", 10, InputKind::kSndfile, "MAT5"},
    {"2BIT", 4, InputKind::kSndfile, "AVR"},
    {"OggS", 4, InputKind::kOgg, "Ogg"},
    {"ID3", 3, InputKind::kMpeg, "MPEG (ID3 tag)"},
};

// Formats that are recognised only to be refused by name.
struct Foreign {
  std::size_t offset;
  const char* bytes;
  std::size_t length;
  const char* what;
};
constexpr Foreign kForeign[] = {
    {4, "ftyp", 4, "an MP4/M4A/3GP file (AAC or other audio kivgsm does not decode)"},
    {0, "#!AMR", 5, "an AMR file"},
    {0, "\x30\x26\xb2\x75\x8e\x66\xcf\x11", 8, "an ASF/WMA file"},
    {0, ".ra\xfd", 4, "a RealAudio file"},
    {0, ".RMF", 4, "a RealMedia file"},
    {0, "MThd", 4, "a MIDI file"},
    {0, "MAC ", 4, "a Monkey's Audio file"},
    {0, "\xff\xf1", 2, "an AAC (ADTS) stream"},
    {0, "\xff\xf9", 2, "an AAC (ADTS) stream"},
};

// Names that say "raw samples"; and names of self-describing formats, whose
// files must start with their signature.
constexpr const char* kRawNames[] = {".raw", ".pcm", ".s16", ".sln", ".sw"};
struct NamedContainer {
  const char* ext;
  const char* container;
};
constexpr NamedContainer kNamedContainers[] = {
    {".wav", "WAVE"}, {".wave", "WAVE"}, {".flac", "FLAC"},  {".ogg", "Ogg"},  {".oga", "Ogg"},
    {".opus", "Ogg"}, {".aif", "AIFF"},  {".aiff", "AIFF"},  {".aifc", "AIFF"}, {".caf", "CAF"},
    {".w64", "W64"},  {".rf64", "RF64"}, {".wv", "WavPack"}, {".voc", "VOC"},  {".pvf", "PVF"},
    {".wve", "Psion WVE"},
};
constexpr const char* kMpegNames[] = {".mp3", ".mp2", ".mpga"};

bool EndsWith(const std::string& name, const char* ext) {
  const std::size_t n = std::strlen(ext);
  if (name.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != ext[i]) return false;
  return true;
}

template <std::size_t N>
bool NamedAs(const std::string& name, const char* const (&exts)[N]) {
  for (const char* e : exts)
    if (EndsWith(name, e)) return true;
  return false;
}

// Printable text (ASCII or UTF-8, with tabs and line ends) in all the first bytes.
bool LooksLikeText(const unsigned char* head, std::size_t n) {
  if (n < 16) return false;
  for (std::size_t i = 0; i < n && i < 512; ++i) {
    const unsigned char c = head[i];
    if (c < 0x20 && c != '\n' && c != '\r' && c != '\t') return false;
    if (c == 0x7f) return false;
  }
  return true;
}

// The length of the MPEG audio frame whose header is `h`, or 0.
std::uint32_t FrameLength(const unsigned char* h, std::uint32_t* id) {
  if (h[0] != 0xff || (h[1] & 0xe0) != 0xe0) return 0;
  const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = (h[1] >> 1) & 3;    // 3: I, 2: II, 1: III
  const int bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) return 0;
  static constexpr int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const int rate = kRates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const int kbps = kBitrates[mpeg1 ? 0 : 1][3 - layer][bitrate_index];
  *id = (h[1] & 0x1e) << 8 | (h[2] & 0x0c);  // version, layer and rate: the same throughout a stream
  if (layer == 3) return static_cast<std::uint32_t>((12 * kbps * 1000 / rate + padding) * 4);
  const int factor = layer == 1 && !mpeg1 ? 72 : 144;
  return static_cast<std::uint32_t>(factor * kbps * 1000 / rate + padding);
}

Recognised Refused(std::string why) { return {InputKind::kRefused, "", std::move(why)}; }

// The container whose signature `head` starts with, or kRefused.
Recognised BySignature(const unsigned char* head, std::size_t n) {
  for (const Signature& s : kSignatures)
    if (n >= s.length && std::memcmp(head, s.bytes, s.length) == 0) return {s.kind, s.container, ""};
  return Refused("");
}

// The bytes an ID3v2 tag at `head` takes (its header, body and footer).
std::size_t Id3v2Length(const unsigned char* head) {
  const std::size_t body = static_cast<std::size_t>((head[6] & 0x7f) << 21 | (head[7] & 0x7f) << 14 |
                                                    (head[8] & 0x7f) << 7 | (head[9] & 0x7f));
  return 10 + body + ((head[5] & 0x10) != 0 ? 10 : 0);
}

}  // namespace

bool MpegFramesAtStart(const unsigned char* data, std::size_t n) {
  constexpr int kChain = 3;
  std::size_t pos = 0;
  std::uint32_t first = 0;
  for (int frames = 0; frames < kChain; ++frames) {
    if (pos == n && frames > 0) return true;  // the frames fill the data
    if (pos + 4 > n) return frames > 0 && pos >= n;
    std::uint32_t id = 0;
    const std::uint32_t length = FrameLength(data + pos, &id);
    if (length < 4 || (frames > 0 && id != first)) return false;
    first = id;
    pos += length;
  }
  return true;
}

Recognised RecogniseInput(const unsigned char* head, std::size_t n, const std::string& name, bool raw) {
  if (raw) return {InputKind::kRaw, "", ""};
  // A tagger may put an ID3v2 tag before a FLAC or Ogg file: the container
  // after it decides, where its decoder passes over the tag (libFLAC, the
  // Ogg page walk). libsndfile would misplace the audio of any other
  // container after one (a WAVE file's end was lost by the tag's size).
  // After a tag that leaves room to see them, MPEG audio must have frames
  // soon after it (a tagger may leave padding), as bare MPEG must start
  // with them. A large tag, such as cover art, hides them.
  if (n >= 10 && std::memcmp(head, "ID3", 3) == 0) {
    const std::size_t tag = Id3v2Length(head);
    const Recognised after = tag + 4 <= n ? BySignature(head + tag, n - tag) : Refused("");
#if defined(KIV_HAVE_FLAC)
    if (after.container == kFlacContainer) return after;
#endif
    if (after.kind == InputKind::kOgg) return after;
    if (after.kind != InputKind::kRefused)
      return Refused("it is " + after.container + " behind an ID3v2 tag, which kivgsm cannot read past; remove the tag");
    if (tag < n && n - tag >= 8192) {
      std::size_t skip = 0;
      while (skip < 4096 && !MpegFramesAtStart(head + tag + skip, n - tag - skip)) ++skip;
      if (skip == 4096) return Refused("it has an ID3v2 tag, but no MPEG audio frames after it");
    }
  }
  if (Recognised known = BySignature(head, n); known.kind != InputKind::kRefused) return known;
  const bool from_stdin = name == "-";
  if (NamedAs(name, kMpegNames) || from_stdin) {
    if (MpegFramesAtStart(head, n)) return {InputKind::kMpeg, "MPEG", ""};
    if (!from_stdin) return Refused("its name says MPEG audio, but it does not start with MPEG frames");
  }
  for (const NamedContainer& c : kNamedContainers)
    if (EndsWith(name, c.ext)) return Refused(std::string("named as ") + c.container + " but does not start like such a file");
  // A raw name is the user's word: its first samples may happen to look
  // like a foreign signature (0xFFF1 is a sample of -3585).
  if (NamedAs(name, kRawNames)) return {InputKind::kRaw, "", ""};
  for (const Foreign& f : kForeign)
    if (n >= f.offset + f.length && std::memcmp(head + f.offset, f.bytes, f.length) == 0)
      return Refused(std::string("it is ") + f.what);
  if (from_stdin) return {InputKind::kRaw, "", ""};
  if (n == 0) return Refused("it is empty, and its name does not say it is raw audio");
  return Refused(LooksLikeText(head, n) ? "it is text, not audio"
                                        : "it starts like no audio format kivgsm knows, and its name does not say raw");
}

}  // namespace kiv::tool
