// SPDX-License-Identifier: MIT
#include "pipeline/flac_decoder.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"

namespace kiv::tool {
namespace {

// A FLAC stream's first 8 bytes: its signature and the header of its
// STREAMINFO block (type 0, last or not, 34 bytes long).
bool StreamStartsAt(const unsigned char* p) {
  return std::memcmp(p, "fLaC", 4) == 0 && (p[4] & 0x7f) == 0 && p[5] == 0 && p[6] == 0 && p[7] == 34;
}
constexpr std::size_t kStartBytes = 8;

struct State {
  InputStream* in = nullptr;
  SampleSink* sink = nullptr;
  DecodeResult result;
  std::uint64_t declared = 0;  // frames the STREAMINFO blocks give; 0 when one is unknown
  unsigned rate = 0;           // the stream's, once its STREAMINFO is read; 0 before
  std::uint64_t frames = 0;  // pushed, over all streams
  std::uint64_t errors = 0;  // runs of damage passed over
  bool in_error = false;
  bool refused = false;  // the sink wants no more
  bool unknown_length = false;
  std::vector<float> interleaved;
  // Bytes read from the input and not yet handed to libFLAC. Where another
  // stream starts (files joined with cat), the current one ends: libFLAC
  // reads a stream alone, and a fresh decoder takes the next.
  std::vector<unsigned char> carry;
  bool signature_seen = false;  // the current stream's own, handed on
  bool at_next_stream = false;
  bool input_ended = false;
};

FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[], std::size_t* bytes,
                                   void* data) {
  auto* s = static_cast<State*>(data);
  if (StopRequest() != 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  if (s->at_next_stream) {
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
  }
  // Enough ahead to see a whole signature.
  while (!s->input_ended && s->carry.size() < *bytes + kStartBytes) {
    const std::size_t had = s->carry.size(), want = std::max<std::size_t>(*bytes, 16384);
    s->carry.resize(had + want);
    const std::size_t got = s->in->Read(s->carry.data() + had, want);
    s->carry.resize(had + got);
    if (got < want) s->input_ended = true;
  }
  if (s->in->failed()) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  // The first signature is the stream's own (after an ID3 tag, perhaps);
  // the next one starts the next stream.
  std::size_t n = std::min(*bytes, s->carry.size());
  for (std::size_t i = 0; i < n && i + kStartBytes <= s->carry.size(); ++i) {
    if (!StreamStartsAt(s->carry.data() + i)) continue;
    if (!s->signature_seen) {
      s->signature_seen = true;
      continue;
    }
    n = i;
    s->at_next_stream = i == 0;
    break;
  }
  std::memcpy(buffer, s->carry.data(), n);
  s->carry.erase(s->carry.begin(), s->carry.begin() + static_cast<std::ptrdiff_t>(n));
  *bytes = n;
  if (s->at_next_stream && n == 0) return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
  return n > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                     const FLAC__int32* const channel[], void* data) {
  auto* s = static_cast<State*>(data);
  const unsigned channels = frame->header.channels, count = frame->header.blocksize;
  const unsigned bits = frame->header.bits_per_sample;
  if (bits < 1 || bits > 32 || frame->header.sample_rate == 0) return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  if (s->frames == 0)
    s->result.format = std::to_string(frame->header.sample_rate) + " Hz " + ChannelsName(static_cast<int>(channels)) + " FLAC";
  s->in_error = false;
  const float scale = 1.0f / static_cast<float>(std::uint64_t{1} << (bits - 1));
  s->interleaved.resize(std::size_t{count} * channels);
  for (unsigned c = 0; c < channels; ++c)
    for (unsigned i = 0; i < count; ++i)
      s->interleaved[std::size_t{i} * channels + c] = static_cast<float>(channel[c][i]) * scale;
  s->frames += count;
  if (!s->sink->PushFloat(s->interleaved.data(), count, static_cast<int>(channels),
                          static_cast<int>(frame->header.sample_rate))) {
    s->refused = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* data) {
  auto* s = static_cast<State*>(data);
  if (block->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  s->declared += block->data.stream_info.total_samples;
  s->unknown_length = s->unknown_length || block->data.stream_info.total_samples == 0;
  s->rate = block->data.stream_info.sample_rate;
}

// Damage: libFLAC goes on to the next frame it finds; a run of errors with
// no frame between counts once.
void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
  auto* s = static_cast<State*>(data);
  if (!s->in_error) ++s->errors;
  s->in_error = true;
}

std::string Note(const State& s) {
  std::string note;
  auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
  if (s.errors > 0)
    add(Plural(s.errors, "damaged part", "damaged parts") + " of the stream " + (s.errors == 1 ? "was" : "were") +
        " skipped");
  if (!s.unknown_length && s.declared > 0 && s.frames < s.declared && s.rate > 0) {
    char what[160];
    std::snprintf(what, sizeof what, "the input ends at %.2f s of the %.2f s its header gives (cut short%s)",
                  static_cast<double>(s.frames) / s.rate, static_cast<double>(s.declared) / s.rate,
                  s.errors > 0 ? " or damaged" : "");
    add(what);
  }
  if (s.in->failed()) add("reading the input failed after " + Plural(static_cast<std::uint64_t>(s.in->Tell()), "byte", "bytes"));
  return note;
}

}  // namespace

DecodeResult DecodeFlac(InputStream& in, SampleSink& sink) {
  State s;
  s.in = &in;
  s.sink = &sink;
  if (!in.Seek(0)) {
    s.result.code = 5;
    s.result.error = "the input cannot be read from its start";
    return s.result;
  }
  // One decoder a stream. No seek, tell, length or end callbacks: libFLAC
  // reads the input as a stream. The MD5 of the audio is not checked:
  // damage is found frame by frame, and passed over.
  std::uint64_t streams = 0;
  for (bool more = true; more && !s.refused;) {
    std::unique_ptr<FLAC__StreamDecoder, decltype(&FLAC__stream_decoder_delete)> decoder(
        FLAC__stream_decoder_new(), &FLAC__stream_decoder_delete);
    if (!decoder || FLAC__stream_decoder_init_stream(decoder.get(), Read, nullptr, nullptr, nullptr, nullptr, Write,
                                                     Metadata, Error, &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
      s.result.code = 5;
      s.result.error = "libFLAC could not start";
      return s.result;
    }
    s.rate = 0;
    s.signature_seen = false;
    s.at_next_stream = false;
    FLAC__stream_decoder_process_until_end_of_stream(decoder.get());
    FLAC__stream_decoder_finish(decoder.get());
    ++streams;
    more = s.at_next_stream;
  }
  if (s.refused) {
    s.result.code = 7;
    return s.result;
  }
  s.result.streams = streams;
  // A stream whose header was read and no frame: an empty recording, or
  // one cut short or damaged before its first frame, which the note says.
  if (s.frames == 0 && s.rate > 0 && !in.failed()) {
    s.result.format = std::to_string(s.rate) + " Hz FLAC";
    s.result.note = Note(s);
    return s.result;
  }
  if (s.frames == 0) {
    s.result.code = 5;
    s.result.error = in.failed() ? "the input could not be read"
                     : s.errors > 0 ? "no FLAC frame could be decoded"
                                    : "no audio in the stream";
    return s.result;
  }
  s.result.note = Note(s);
  return s.result;
}

}  // namespace kiv::tool
