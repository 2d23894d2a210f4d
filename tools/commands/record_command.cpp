#include "commands/record_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "exit_codes.h"
#include "file_bytes.h"
#include "kivgsm.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#include "wave_reader.h"

namespace kiv::tool {
namespace {

// The file not growing for this long means no audio is arriving; a sound
// server may take up to 2 s to deliver its first data.
constexpr double kSilentSeconds = 2.5;
// Audio the file may lack against the wall time: the first data's latency
// and the partial buffer that Stop discards.
constexpr double kShortfallSeconds = 1.5;

long long FileSize(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(FsPath(path), ec);
  return ec ? -1 : static_cast<long long>(n);
}

// Seconds of audio in the finished file.
double AudioSeconds(const std::string& path) {
  FileBytes file(path);
  return file.ok() ? InspectWave(file).seconds : 0;
}

}  // namespace

int RecordCommand(const std::string& out_name, bool pcm, double seconds) {
  const char* out = out_name.c_str();
  std::basic_string<KivPathChar> path;
  if (!Utf8ToPath(out, &path) || path.empty()) {
    std::fprintf(stderr, "kivgsm: %s: %s: the path is empty or not valid UTF-8\n", out, ExitMessage(KIV_ERR_ARGUMENT));
    return KIV_ERR_ARGUMENT;
  }
  auto start_fn = pcm ? KivGSMWAVSoundRecorderStart : KivGSMSoundRecorderStart;
  auto stop_fn = pcm ? KivGSMWAVSoundRecorderStop : KivGSMSoundRecorderStop;

  CatchStopRequests();

  int rc = start_fn(path.c_str());
  if (rc != KIV_OK) {
    std::fprintf(stderr, "kivgsm: %s: %s\n", out, ExitMessage(rc));
    if (rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START) {
      stop_fn();  // finishes the file as an empty recording
      std::fprintf(stderr, "kivgsm: %s was left as an empty recording\n", out);
    }
    if (StopRequest()) EndAsRequested(StopRequest());
    return rc;
  }
  bool live = StderrIsTerminal();
  bool watching_stdin = true;
  if (live) std::fprintf(stderr, "recording %s to %s; press Enter or Ctrl-C to stop\n", pcm ? "PCM" : "GSM", out);
  auto begin = std::chrono::steady_clock::now();
  auto last_growth = begin;
  auto first_data = begin;  // when the file first grew past its header
  bool any_data = false;
  long long last_size = FileSize(out);
  bool went_silent = false;
  double elapsed = 0;
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    elapsed = std::chrono::duration<double>(now - begin).count();
    if (StopRequest() || (seconds >= 0 && elapsed >= seconds) || EnterPressed(&watching_stdin)) break;
    long long size = FileSize(out);
    if (size != last_size) {
      last_growth = now;
      if (!any_data) first_data = now;
      any_data = true;
    }
    last_size = size;
    double silent = std::chrono::duration<double>(now - last_growth).count();
    if (silent >= kSilentSeconds) went_silent = true;
    if (live) {
      if (silent >= kSilentSeconds)
        std::fprintf(stderr, "\r%8.1f s  %10lld bytes  no audio arriving for %.0f s ", elapsed, size, silent);
      else
        std::fprintf(stderr, "\r%8.1f s  %10lld bytes%32s", elapsed, size, "");
    }
    SleepMilliseconds(seconds >= 0 && seconds < 0.1 ? 1 : 100);
  }
  int recorded = stop_fn();
  if (live) std::fputc('\n', stderr);
  std::printf("recorded %d s of %s audio into %s (%lld bytes)\n", recorded, pcm ? "PCM" : "GSM", out,
              FileSize(out));
  // The file must hold what was recorded since the first data arrived (a
  // sound server may take a second or two), give or take a delivery's
  // polling delay and the partial buffer that Stop discards.
  int status = 0;
  double held = AudioSeconds(out);
  // The file first grows once the first half second has been captured.
  double late = std::chrono::duration<double>(first_data - begin).count() - 0.6;
  double expected = elapsed - (late > 0 ? late : 0);
  if (held + kShortfallSeconds < expected) {
    if (DiskFull(out)) {
      std::fprintf(stderr, "kivgsm: warning: the disk is full: %s holds %.1f s of the %.1f s recorded\n", out,
                   held, elapsed);
      status = KIV_ERR_WRITE;
    } else {
      std::fprintf(stderr,
                   "kivgsm: warning: the audio device stopped delivering%s: %s holds %.1f s of the %.1f s "
                   "recorded\n",
                   went_silent ? " (unplugged, or the sound server went away)" : "", out, held, elapsed);
      status = kExitDeviceSilent;
    }
  }
  if (StopRequest()) EndAsRequested(StopRequest());
  return status;
}

}  // namespace kiv::tool
