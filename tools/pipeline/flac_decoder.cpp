// SPDX-License-Identifier: MIT
#include "pipeline/flac_decoder.h"

#include <FLAC/stream_decoder.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/console.h"

namespace kiv::tool {
namespace {

struct State {
  InputStream* in = nullptr;
  SampleSink* sink = nullptr;
  DecodeResult result;
  std::uint64_t declared = 0;  // frames the STREAMINFO block gives; 0 when unknown
  unsigned rate = 0;
  std::uint64_t frames = 0;  // pushed
  std::uint64_t errors = 0;  // runs of damage passed over
  bool in_error = false;
  bool refused = false;  // the sink wants no more
  std::vector<float> interleaved;
};

FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[], std::size_t* bytes,
                                   void* data) {
  auto* s = static_cast<State*>(data);
  if (StopRequest() != 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  *bytes = s->in->Read(buffer, *bytes);
  if (*bytes > 0) return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
  return s->in->failed() ? FLAC__STREAM_DECODER_READ_STATUS_ABORT : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                     const FLAC__int32* const channel[], void* data) {
  auto* s = static_cast<State*>(data);
  const unsigned channels = frame->header.channels, count = frame->header.blocksize;
  const unsigned bits = frame->header.bits_per_sample;
  if (bits < 1 || bits > 32 || frame->header.sample_rate == 0) return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  if (s->frames == 0) {
    s->result.format = std::to_string(frame->header.sample_rate) + " Hz " +
                       (channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels") +
                       " FLAC";
  }
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
  s->declared = block->data.stream_info.total_samples;
  s->rate = block->data.stream_info.sample_rate;
}

// Damage: libFLAC goes on to the next frame it finds; a run of errors with
// no frame between counts once.
void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
  auto* s = static_cast<State*>(data);
  if (!s->in_error) ++s->errors;
  s->in_error = true;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Note(const State& s) {
  std::string note;
  auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
  if (s.errors > 0)
    add(Plural(s.errors, "damaged part", "damaged parts") + " of the stream " + (s.errors == 1 ? "was" : "were") +
        " skipped");
  if (s.declared > 0 && s.frames < s.declared && s.rate > 0) {
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
  std::unique_ptr<FLAC__StreamDecoder, decltype(&FLAC__stream_decoder_delete)> decoder(FLAC__stream_decoder_new(),
                                                                                         &FLAC__stream_decoder_delete);
  if (!decoder || !in.Seek(0)) {
    s.result.code = 5;
    s.result.error = !decoder ? "libFLAC could not start" : "the input cannot be read from its start";
    return s.result;
  }
  // No seek, tell, length or end callbacks: libFLAC reads the input as a
  // stream. The MD5 of the audio is not checked: damage is found frame by
  // frame, and passed over.
  if (FLAC__stream_decoder_init_stream(decoder.get(), Read, nullptr, nullptr, nullptr, nullptr, Write, Metadata,
                                       Error, &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    s.result.code = 5;
    s.result.error = "libFLAC could not start";
    return s.result;
  }
  FLAC__stream_decoder_process_until_end_of_stream(decoder.get());
  FLAC__stream_decoder_finish(decoder.get());
  if (s.refused) {
    s.result.code = 7;
    return s.result;
  }
  s.result.streams = 1;
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
