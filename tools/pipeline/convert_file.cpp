// SPDX-License-Identifier: MIT
#include "pipeline/convert_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "convert/gsm_wave_writer.h"
#include "exit_codes.h"
#include "file_bytes.h"
#include "io/file_stream.h"
#include "kivgsm.h"
#include "pipeline/container_signature.h"
#include "pipeline/conversion_sink.h"
#include "pipeline/input_stream.h"
#include "pipeline/output_target.h"
#include "pipeline/standard_output.h"
#include "pipeline/temp_file.h"
#include "pipeline/wave_tail.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#include "wave_format.h"
#include "wave_reader.h"
#if defined(KIV_HAVE_SNDFILE)
#include "pipeline/sndfile_decoder.h"
#endif
#if defined(KIV_HAVE_MPG123)
#include "pipeline/mpeg_decoder.h"
#endif
#if defined(KIV_HAVE_OGG)
#include "pipeline/ogg_decoder.h"
#endif
#if defined(KIV_HAVE_FLAC)
#include "pipeline/flac_decoder.h"
#endif

namespace kiv::tool {
namespace {

// How much of a pipe's start is kept, at most, to find a WAVE file's audio
// behind its other chunks.
constexpr std::size_t kWaveHeaderBytes = 16 << 20;

// The converter's result in the table's words, with what a partial output
// then holds.
std::string ConverterFailure(int code) { return ExitMessage(code) + PartialOutput(code); }

ConvertResult Failed(int code, const std::string& named, const std::string& why) {
  ConvertResult r;
  r.code = code;
  r.error = named + ": " + why;
  return r;
}

// An existing output that --no-clobber leaves as it is.
ConvertResult Skipped() {
  ConvertResult r;
  r.skipped = true;
  return r;
}

ConvertResult Written(int rc, const std::string& out, ConvertResult result);

constexpr char kRawHint[] = "; --raw encodes its bytes as raw 8000 Hz mono s16le";

// A regular file's bytes for the WAVE reader, read through the input.
class StreamBytes : public ByteSource {
 public:
  explicit StreamBytes(InputStream& in) : in_(in) {}
  std::uint64_t size() const override { return static_cast<std::uint64_t>(in_.size()); }
  bool Read(std::uint64_t offset, void* dst, std::size_t n) const override {
    return in_.Seek(static_cast<std::int64_t>(offset)) && in_.Read(dst, n) == n;
  }

 private:
  InputStream& in_;
};

// Raw samples go to the writer as they are read, byte for byte.
DecodeResult PumpRaw(InputStream& in, GsmWaveWriter* writer, const std::function<bool()>& keep_going) {
  DecodeResult r;
  std::vector<std::uint8_t> buf(1 << 16);
  for (;;) {
    const std::size_t n = in.Read(buf.data(), buf.size());
    if (n > 0 && !GsmWaveWriterPushBytes(writer, buf.data(), n)) break;
    if (n < buf.size() || !keep_going()) break;
  }
  if (in.failed()) {
    r.code = KIV_ERR_INPUT_READ;
    r.error = ExitMessage(KIV_ERR_INPUT_READ);
  } else if (in.Tell() == 0) {
    // As a program before kivgsm in a pipe leaves it when it fails.
    r.note = "the input is empty: the output holds no audio";
  }
  return r;
}

// The decoder that Recognise chose, or a refusal where this build has none.
DecodeResult Decode(const Recognised& what, InputStream& in, const WaveInfo& wave, ConversionSink& sink,
                    GsmWaveWriter* writer, const std::function<bool()>& keep_going) {
  DecodeResult none;
  none.code = KIV_ERR_INPUT_READ;
  none.error = "starts like " + what.container + ", which this build cannot read" + kRawHint;
  switch (what.kind) {
    case InputKind::kRaw:
      return PumpRaw(in, writer, keep_going);
    case InputKind::kMpeg:
#if defined(KIV_HAVE_MPG123)
      return DecodeMpeg(in, sink);
#else
      return none;
#endif
    case InputKind::kOgg:
#if defined(KIV_HAVE_OGG)
      return DecodeOgg(in, sink);
#else
      return none;
#endif
    case InputKind::kSndfile:
#if defined(KIV_HAVE_FLAC)
      if (what.container == kFlacContainer) return DecodeFlac(in, sink);
#endif
#if defined(KIV_HAVE_SNDFILE)
      return DecodeSndfile(in, sink, wave);
#else
      return none;
#endif
    case InputKind::kRefused:
      break;
  }
  return none;
}

// Bytes after a WAVE file's data chunk that are no chunks (a header never
// finished): a decoder stops where the header says, so they are named.
std::string UndecodedTail(const WaveInfo& wave) {
  if (!wave.has_data || wave.data_fits || wave.data_present <= wave.data_size) return "";
  const std::uint64_t after = wave.data_present - wave.data_size;
  std::string note = std::to_string(after) + (after == 1 ? " byte after the data chunk is no chunk and was"
                                                         : " bytes after the data chunk are no chunks and were") +
                     " not decoded (a header never finished?";
  if (wave.kind != WaveKind::kPcm) return note + ")";
  return note + " 'kivgsm repair' makes " + (after == 1 ? "it" : "them") + " part of the audio)";
}

// The input, opened and recognised.
struct Opened {
  std::unique_ptr<InputStream> input;
  WaveInfo wave;
  Recognised what;
};

// Opens `in` and decides what it is; a failure's result, or code 0.
ConvertResult OpenAndRecognise(const std::string& in, bool raw, Opened* o) {
  std::string why;
  o->input = InputStream::Open(in, &why);
  if (!o->input) return Failed(KIV_ERR_INPUT_READ, in, ConverterFailure(KIV_ERR_INPUT_READ) + ": " + why);
  InputStream& input = *o->input;
  o->wave = input.seekable() ? InspectWave(StreamBytes(input)) : InspectWave(input.head(), input.head_size());
  // From a pipe, a WAVE file's chunks before its audio (tags, a picture)
  // may run past the kept start: libsndfile could neither skip them nor
  // come back to the audio. The start is kept longer until the data
  // chunk's header is in it.
  while (o->wave.kind != WaveKind::kNotWave && !o->wave.has_data &&
         input.ExtendHead(std::min(input.head_size() * 4, kWaveHeaderBytes)))
    o->wave = InspectWave(input.head(), input.head_size());
  if (!input.Seek(0)) return Failed(KIV_ERR_INPUT_READ, in, ConverterFailure(KIV_ERR_INPUT_READ));
  if (o->wave.kind == WaveKind::kGsm)
    return Failed(KIV_ERR_ARGUMENT, in,
                  o->wave.format_ok ? "already a GSM WAVE file; not encoded again ('kivgsm decode' turns it back into PCM)"
                                    : "already GSM 06.10 audio; not encoded again");
  // Standard input by another name (/dev/stdin) is standard input still.
  const std::string as_named = in != "-" && IsStandardStream(in) ? "-" : in;
  o->what = RecogniseInput(input.head(), input.head_size(), as_named, raw);
  if (o->what.kind == InputKind::kRefused)
    return Failed(KIV_ERR_INPUT_READ, in, "cannot be converted: " + o->what.why + kRawHint);
  return {};
}

#if defined(KIV_HAVE_FLAC)
constexpr char kFlacDecoder[] = "libFLAC";
#else
constexpr char kFlacDecoder[] = "libsndfile";
#endif

// What -v says of an input: what it was found to be, and how it was decoded.
std::string Detail(const Recognised& what, const DecodeResult& decoded, const ConversionSink& sink) {
  if (what.kind == InputKind::kRaw) return "raw 8000 Hz mono s16le, encoded sample for sample";
  const char* decoder = what.kind == InputKind::kMpeg    ? "libmpg123"
                        : what.kind == InputKind::kOgg   ? "libvorbisfile/libopusfile"
                        : what.container == kFlacContainer ? kFlacDecoder
                                                           : "libsndfile";
  std::string detail = what.container + ", decoded by " + decoder;
  if (!decoded.format.empty()) detail += ": " + decoded.format;
  if (decoded.streams > 1) detail += ", " + std::to_string(decoded.streams) + " streams one after another";
  if (sink.mixed_down()) detail += "; mixed down to mono";
  if (sink.resampled()) detail += "; resampled to 8000 Hz by libsoxr";
  return detail;
}

// What is worth a warning beside the decoder's own note.
std::string Notes(const Opened& o, const DecodeResult& decoded) {
  std::string note = decoded.note;
  if (o.what.kind == InputKind::kSndfile && o.what.container == kWaveContainer) {
    const std::string tail = UndecodedTail(o.wave);
    if (!tail.empty()) note += (note.empty() ? "" : "; ") + tail;
  }
  return note;
}

// Puts the finished file in place. Success, and the two failures whose
// partial files are documented (7 and 10), replace the output; everything
// else has left it as it was.
ConvertResult PutInPlace(TempFile& part, int rc, const ConvertRequest& request, const OutputTarget& target,
                         EditLock* held, ConvertResult result) {
  const std::string& out = target.path;
  result.bytes = SizeOrZero(part.path());
  // A disk that filled before a single block fitted leaves a file that
  // holds no audio: the output is left as it was.
  if (rc == KIV_ERR_WRITE && result.bytes <= kGsmHeaderBytes)
    return Failed(rc, out, std::string(ExitMessage(rc)) + "; no audio fitted, so the output was left as it was");
  // A partial file whose header could not be finished (its seek or write
  // failed) would put a broken file where the output was.
  if (rc != KIV_OK && !IsFinishedWave(part.path()))
    return Failed(rc, out, std::string(ExitMessage(rc)) + "; the header could not be finished, so the output was left as it was");
  // A batch run again with --no-clobber skips every output in place, so
  // only a finished one may be put there.
  if (request.no_clobber && rc != KIV_OK)
    return Failed(rc, out, std::string(ExitMessage(rc)) + "; with --no-clobber only a finished file is put in place");
  std::string why;
  const int renamed = part.RenameTo(out, target.existed, &why, request.no_clobber, held);
  if (renamed == TempFile::kKeptExisting) return Skipped();
  if (renamed != 0) return Failed(renamed, out, "cannot rename into place: " + why);
  return Written(rc, out, std::move(result));
}

// The output is in place (a file, or standard output): what it holds.
ConvertResult Written(int rc, const std::string& out, ConvertResult result) {
  result.written = true;
  result.blocks = GsmBlocksInFile(result.bytes);
  result.seconds = static_cast<double>(result.blocks) * kGsmSamplesPerBlock / kSampleRate;
  if (rc != KIV_OK) {
    result.code = rc;
    result.error = out + ": " + ConverterFailure(rc);
  }
  return result;
}

// Where the output goes: standard output, or the file named. A failure's
// result, one with `skipped` set when --no-clobber leaves an existing
// output, or code 0 with `target` set.
ConvertResult ChooseOutput(const ConvertRequest& request, OutputTarget* target) {
  if (request.out == "-") {
    if (std::string why = StandardOutputRefusal(); !why.empty()) return Failed(KIV_ERR_OUTPUT_CREATE, "-", why);
    if (StandardOutputIsFile(request.in))
      return Failed(KIV_ERR_ARGUMENT, "-", "bad argument: the output is the input file");
    *target = OutputTarget{"-", 0, ""};
    return {};
  }
  // An output that exists, whatever it is, is left as it is.
  std::error_code ec;
  if (request.no_clobber && std::filesystem::exists(std::filesystem::status(FsPath(request.out), ec))) return Skipped();
  *target = ResolveOutput(request.out, request.in);
  if (target->path.empty()) return Failed(target->code, request.out, target->why);
  return {};
}

// The failure that leaves the output as it was, or code 0: an interrupt,
// nothing decodable, a read error, audio the resampler refused.
ConvertResult Undone(const Opened& o, const DecodeResult& decoded, int rc, const std::string& in) {
  if (StopRequest() != 0) return Failed(-1, in, "interrupted");
  if (decoded.code == KIV_ERR_WRITE && rc == KIV_OK)
    return Failed(KIV_ERR_INPUT_READ, in, "cannot resample the input's audio to 8000 Hz");
  if (decoded.code != 0 && decoded.code != KIV_ERR_WRITE)
    return Failed(decoded.code, in,
                  decoded.code == KIV_ERR_INPUT_READ && o.what.kind != InputKind::kRaw
                      ? "cannot be read as " + o.what.container + ": " + decoded.error + kRawHint
                      : decoded.error);
  return {};
}

}  // namespace

ConvertResult ConvertFile(const ConvertRequest& request, ConvertProgress* progress) {
  struct Finished {
    ConvertProgress* p;
    ~Finished() { p->finished = true; }
  } finished{progress};
  const std::string& in = request.in;
  if (in.empty() || request.out.empty()) return Failed(KIV_ERR_ARGUMENT, in + " -> " + request.out, "empty name");
  OutputTarget target;
  if (ConvertResult refused = ChooseOutput(request, &target); refused.code != 0 || refused.skipped) return refused;
  const std::string& out = target.path;
  const bool to_stdout = out == "-";
  HeldLock held{HoldExistingOutput(target)};
  if (held.lock.being_written) return Failed(KIV_ERR_ARGUMENT, out, kOutputBeingWritten);
  Opened o;
  // A signal that cut an open or a read short (a FIFO with no writer yet)
  // ends the run as the signal would, not as a bad input.
  if (ConvertResult refused = OpenAndRecognise(in, request.raw, &o); refused.code != 0)
    return StopRequest() != 0 ? Failed(-1, in, "interrupted") : refused;
  const std::int64_t size = o.input->size();
  if (o.what.kind == InputKind::kRaw && size > 0) progress->seconds = static_cast<double>(size) / kPcmBytesPerSecond;

  // The library names files in UTF-16; the file it writes is one the tool
  // made, opened by a name the tool gives it (an unnamed file's, or a
  // descriptor's where the temporary name holds bytes that are not UTF-8),
  // so that the user's name may be any bytes the file system holds.
  std::unique_ptr<TempFile> part = to_stdout ? nullptr : TempFile::Beside(out, ".part");
  if (!to_stdout && !part)
    return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE) + ": " + std::strerror(errno));
  std::basic_string<KivPathChar> part16(1, '-');
  if (!to_stdout && !Utf8ToPath(part->NameForLibrary(), &part16))
    return Failed(KIV_ERR_OUTPUT_CREATE, out, ConverterFailure(KIV_ERR_OUTPUT_CREATE));
  GsmWaveWriter writer;
  const FileSystem* files = to_stdout ? StandardOutputFileSystem() : ActiveFileSystem();
  if (int rc = GsmWaveWriterOpen(&writer, files, part16.c_str()); rc != KIV_OK)
    return Failed(rc, out, ConverterFailure(rc));
  InputStream& source = *o.input;
  const std::function<bool()> keep_going = [&] {
    if (size > 0) progress->done = static_cast<double>(source.Tell()) / static_cast<double>(size);
    return StopRequest() == 0;
  };
  ConversionSink sink(&writer, request.resampler_threads, keep_going);
  DecodeResult decoded = Decode(o.what, source, o.wave, sink, &writer, keep_going);
  if (decoded.code == 0) sink.Finish();
  // From a pipe, what follows the data chunk is known only once it is read.
  if (decoded.code == 0 && !source.seekable() && o.what.container == kWaveContainer)
    JudgeStreamedTail(source, &o.wave);
  const int rc = GsmWaveWriterFinish(&writer);

  // Nothing decodable, a read error or an interrupt: the output is left as
  // it was (standard output, where it can be, too).
  ConvertResult result = Undone(o, decoded, rc, in);
  if (result.code != 0) {
    if (to_stdout) DiscardStandardOutput();
    return result;
  }
  result.source = decoded.format;
  result.detail = in + ": " + Detail(o.what, decoded, sink);
  result.clipped = sink.clipped();
  result.silenced = sink.silenced();
  if (const std::string note = Notes(o, decoded); !note.empty()) result.warning = in + ": " + note;
  if (!to_stdout) return PutInPlace(*part, rc, request, target, &held.lock, std::move(result));
  if (rc == KIV_ERR_WRITE)
    return Failed(rc, "-", "writing to standard output failed (its reader ended, or the disk is full); what went out is cut short");
  result.bytes = StandardOutputBytes();
  return Written(rc, out, std::move(result));
}

}  // namespace kiv::tool
