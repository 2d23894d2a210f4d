// SPDX-License-Identifier: MIT
#include "commands/record_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "commands/repair_command.h"
#include "exit_codes.h"
#include "messages.h"
#include "platform/audio_system_messages.h"
#include "file_bytes.h"
#include "kivgsm.h"
#include "pipeline/output_target.h"
#include "pipeline/temp_file.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#include "wave_format.h"
#include "wave_reader.h"

namespace kiv::tool {
namespace {

// The file not growing for this long means no audio is arriving; a sound
// server may take up to 2 s to deliver its first data.
constexpr double kSilentSeconds = 2.5;
// Audio the file may lack against the wall time: the first data's latency
// and the partial buffer that Stop discards.
constexpr double kShortfallSeconds = 1.5;

// Seconds of audio in a file of `size` bytes that is being recorded: its
// whole blocks or samples past the header.
double GrowingAudioSeconds(std::uint64_t size, bool pcm) {
  if (pcm) return size > kPcmHeaderBytes ? static_cast<double>(size - kPcmHeaderBytes) / kPcmBytesPerSecond : 0;
  return static_cast<double>(GsmBlocksInFile(size)) / kGsmBlocksPerSecond;
}

// Cuts a finished recording back to `seconds` of audio (a whole GSM block
// more, when they end inside one); its header's sizes, which then exceed
// the file, are mended as `repair` mends any file cut short. Audio arrives
// half a second at a time and the file is watched more often than that,
// so only a device faster than real time leaves more than was asked for.
// False when the file was cut but could not be mended (or memory ran out
// doing it): it then needs `repair`.
bool CutToSeconds(const std::string& path, bool pcm, double seconds) try {
  std::uint64_t size = SizeOrZero(path);
  std::uint64_t header = pcm ? kPcmHeaderBytes : kGsmHeaderBytes;
  std::uint64_t unit = pcm ? kBytesPerSample : kGsmBlockBytes;
  double units_per_second = pcm ? kSampleRate : kGsmBlocksPerSecond;
  // Rounded up, but a hair's float error must not add a whole unit.
  auto units = static_cast<std::uint64_t>(std::ceil(seconds * units_per_second - 1e-6));
  if (size < header || (size - header) / unit <= units) return true;
  std::error_code ec;
  std::filesystem::resize_file(FsPath(path), header + units * unit, ec);
  if (ec) return true;  // not cut: still the finished file Stop left
  RepairPlan plan;
  {
    FileBytes file(path);
    if (!file.ok()) return false;
    plan = PlanRepair(file);
  }
  std::string error;
  if (plan.action == RepairPlan::Action::kRepair && !ApplyRepairToFile(path, plan, &error)) return false;
  return IsFinishedWave(path);
} catch (const std::bad_alloc&) {
  return false;
}

// How the recording went while the tool waited for its end.
struct Waited {
  double elapsed = 0;     // seconds from Start to the end of the wait
  double first_data = 0;  // seconds from Start until the file first grew
  bool went_silent = false;
};

// Waits for Enter, a stop request, or --seconds of audio in the file,
// showing the live line on a terminal.
Waited WaitForTheEnd(const char* out, bool pcm, double seconds, bool live) {
  Waited w;
  bool watching_stdin = true;
  const auto begin = std::chrono::steady_clock::now();
  auto last_growth = begin;
  bool any_data = false;
  bool gone = false;  // the input went away, and it was said
  std::uint64_t last_size = SizeOrZero(out);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    w.elapsed = std::chrono::duration<double>(now - begin).count();
    if (StopRequest() || EnterPressed(&watching_stdin)) break;
    const std::uint64_t size = SizeOrZero(out);
    double silent = std::chrono::duration<double>(now - last_growth).count();
    if (size != last_size) {
      // The library fills the time the input was gone with silence once it
      // is back, so that the file keeps the wall clock's time.
      if (gone && !Quiet())
        Print(stderr, "%skivgsm: audio arrives again after %.1f s without; silence stands in for the gap\n",
                     live ? "\n" : "", silent);
      gone = false;
      last_growth = now;
      silent = 0;
      if (!any_data) w.first_data = w.elapsed;
      any_data = true;
    }
    last_size = size;
    if (silent >= kSilentSeconds) w.went_silent = true;
    if (silent >= kSilentSeconds && any_data && !gone) {
      gone = true;
      if (!Quiet())
        Print(stderr, "%skivgsm: no audio has arrived since %.1f s; an input that went away (a sound server "
                     "restarting) is reopened for up to a minute\n", live ? "\n" : "", w.elapsed - silent);
    }
    // --seconds counts the audio in the file, as a device delivers it; a
    // device that has stopped delivering ends the wait once the time is up.
    if (seconds >= 0 &&
        (GrowingAudioSeconds(size, pcm) >= seconds || (silent >= kSilentSeconds && w.elapsed >= seconds)))
      break;
    if (live) {
      if (silent >= kSilentSeconds)
        Print(stderr, "\r%8.1f s  %10llu bytes  no audio arriving for %.0f s ", w.elapsed,
                     static_cast<unsigned long long>(size), silent);
      else
        Print(stderr, "\r%8.1f s  %10llu bytes%32s", w.elapsed, static_cast<unsigned long long>(size), "");
    }
    SleepMilliseconds(seconds >= 0 && seconds < 0.1 ? 1 : 100);
  }
  return w;
}

// Says what the finished file holds, and warns when it holds less than was
// recorded: 0, 7 (a full disk) or 14 (the device stopped delivering).
int Report(const char* out, bool pcm, const Waited& waited) {
  const double elapsed = waited.elapsed;
  const bool went_silent = waited.went_silent;
  // The finished file, read once: the audio it holds and its size.
  double held = 0;
  std::uint64_t bytes = 0;
  {
    FileBytes file(out);
    if (file.ok()) {
      held = InspectWave(file).seconds;
      bytes = file.size();
    }
  }
  if (!Quiet())
    Print(stdout, "recorded %.1f s of %s audio into %s (%llu bytes)\n", held, pcm ? "PCM" : "GSM", out,
                static_cast<unsigned long long>(bytes));
  // The file must hold what was recorded since the first data arrived (a
  // sound server may take a second or two), give or take a delivery's
  // polling delay and the partial buffer that Stop discards.
  int status = 0;
  // The file first grows once the first half second has been captured.
  double late = waited.first_data - 0.6;
  double expected = elapsed - (late > 0 ? late : 0);
  if (held + kShortfallSeconds < expected) {
    if (DiskFull(out)) {
      Print(stderr, "kivgsm: warning: the disk is full: %s holds %.1f s of the %.1f s recorded\n", out,
                   held, elapsed);
      status = KIV_ERR_WRITE;
    } else {
      Print(stderr,
                   "kivgsm: warning: the audio device stopped delivering%s: %s holds %.1f s of the %.1f s "
                   "recorded\n",
                   went_silent ? " (unplugged, or the sound server went away)" : "", out, held, elapsed);
      status = kExitDeviceSilent;
    }
  }
  return status;
}

// A file that a recording is to replace, moved aside until the audio
// input has opened, so that a recording that cannot start leaves it as it
// was. (Only SIGKILL in that moment can leave it under its hidden name.)
// Where it cannot be moved (a folder this user may not write, which the
// file itself may be), it is recorded over in place, as the library does.
class SetAside {
 public:
  // 0, or 9 (with `why`) while another program writes the file.
  int Take(const std::string& path, std::string* why) {
    HeldLock held{LockForEditing(path)};
    if (held.lock.being_written) {
      *why = std::string(ExitMessage(KIV_ERR_ARGUMENT)) + ": the file is being written by another program";
      return KIV_ERR_ARGUMENT;
    }
    UnlockAfterEditing(held.lock);  // Windows renames no file that is open
    held.lock.handle = -1;
    std::string aside = TempFile::NameBeside(path, ".old");
    std::error_code ec;
    std::filesystem::rename(FsPath(path), FsPath(aside), ec);
    if (ec) return 0;
    path_ = path;
    aside_ = std::move(aside);
    return 0;
  }
  // Puts the file back: over whatever a start that failed left at its
  // name, or (`replace` false) only where the name is still free.
  bool Restore(bool replace) {
    if (aside_.empty()) return false;
    bool taken = false;
    std::error_code ec;
    if (replace) std::filesystem::rename(FsPath(aside_), FsPath(path_), ec);
    const bool back = replace ? !ec : RenameWithoutReplacing(aside_, path_, &taken);
    aside_.clear();
    return back;
  }
  // The recording replaces it.
  void Drop() {
    std::error_code ec;
    if (!aside_.empty()) std::filesystem::remove(FsPath(aside_), ec);
    aside_.clear();
  }
  ~SetAside() { Restore(false); }

 private:
  std::string path_, aside_;
};

}  // namespace

int RecordCommand(const std::string& out_name, bool pcm, double seconds) {
  const char* out = out_name.c_str();
  std::basic_string<KivPathChar> path;
  if (!Utf8ToPath(out, &path) || path.empty()) {
    // The library takes UTF-16 names, and a recording is written where it is named.
    Print(stderr, "kivgsm: %s: %s: a recording needs a name in UTF-8; rename the file afterwards\n",
                 Shown(out_name).c_str(), ExitMessage(KIV_ERR_ARGUMENT));
    return KIV_ERR_ARGUMENT;
  }
  // The library writes any seekable file, /dev/null too; the tool, as for
  // its other outputs, takes only a regular file or a new name.
  const OutputTarget target = ResolveOutput(out_name, "");
  if (target.code != 0) {
    Print(stderr, "kivgsm: %s: %s\n", out, target.why.c_str());
    return target.code;
  }
  auto start_fn = pcm ? KivGSMWAVSoundRecorderStart : KivGSMSoundRecorderStart;
  auto stop_fn = pcm ? KivGSMWAVSoundRecorderStop : KivGSMSoundRecorderStop;

  CatchStopRequests();
  KeepAudioSystemMessagesForVerbose();

  SetAside existing;
  std::string why;
  if (int rc = target.existed ? existing.Take(target.path, &why) : 0; rc != 0) {
    Print(stderr, "kivgsm: %s: %s\n", out, why.c_str());
    return rc;
  }
  int rc = start_fn(path.c_str());
  if (rc != KIV_OK) {
    // The path was checked above: a 9 now means the file is being written.
    Print(stderr, "kivgsm: %s: %s%s\n", out, ExitMessage(rc),
                 rc == KIV_ERR_ARGUMENT ? ": the file is being written by another program" : "");
    const bool at_the_input = rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START;
    if (at_the_input) stop_fn();  // finishes the file as an empty recording
    // The file replaced goes back over what the start left; after a 9,
    // another program has taken the name meanwhile, and keeps it.
    const bool restored = existing.Restore(rc != KIV_ERR_ARGUMENT);
    if (at_the_input) Print(stderr, "kivgsm: %s was left %s\n", out, restored ? "as it was" : "as an empty recording");
    if (StopRequest()) EndAsRequested(StopRequest());
    return rc;
  }
  existing.Drop();
  // Whatever ends the wait early (memory running out included), the
  // recording is stopped and its file finished on the way out.
  struct StopOnUnwind {
    std::int32_t(KIV_CALL* stop)();
    ~StopOnUnwind() {
      if (stop != nullptr) stop();
    }
  } unwind{stop_fn};
  const bool live = IsTerminal(2) && !Quiet();
  if (live) Print(stderr, "recording %s to %s; press Enter or Ctrl-C to stop\n", pcm ? "PCM" : "GSM", out);
  const Waited waited = WaitForTheEnd(out, pcm, seconds, live);
  unwind.stop = nullptr;
  const std::int32_t stopped = stop_fn();
  if (live) Print(stderr, "%c", '\n');
  if (stopped == KIV_STOP_UNFINISHED) {
    Print(stderr, "kivgsm: %s: %s: its header could not be finished (kivgsm repair %s finishes it)\n", out,
                 ExitMessage(KIV_ERR_WRITE), ShellQuoted(out).c_str());
    if (StopRequest()) EndAsRequested(StopRequest());
    return KIV_ERR_WRITE;
  }
  if (seconds >= 0 && !CutToSeconds(out, pcm, seconds)) {
    Print(stderr, "kivgsm: %s: %s: cut to %g s, its header could not be mended (kivgsm repair %s finishes it)\n",
                 out, ExitMessage(KIV_ERR_WRITE), seconds, ShellQuoted(out).c_str());
    if (StopRequest()) EndAsRequested(StopRequest());
    return KIV_ERR_WRITE;
  }
  const int status = Report(out, pcm, waited);
  if (StopRequest()) EndAsRequested(StopRequest());
  return status;
}

}  // namespace kiv::tool
