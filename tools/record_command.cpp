#include "record_command.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivgsm.h"
#include "utf8_path.h"
#include "wave_info.h"

namespace kiv::tool {
namespace {

constexpr int kExitUsage = 64;
constexpr int kExitDeviceSilent = 14;
// The file not growing for this long means no audio is arriving; a sound
// server may take up to 2 s to deliver its first data.
constexpr double kSilentSeconds = 2.5;
// Audio the file may lack against the wall time: the first data's latency
// and the partial buffer that Stop discards.
constexpr double kShortfallSeconds = 1.5;

volatile std::sig_atomic_t g_stop_signal = 0;

void OnSignal(int sig) { g_stop_signal = sig; }

// Every signal whose default action ends the process, and that can be
// caught: each one finishes the file first.
constexpr int kTerminatingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
                                       SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,  SIGPWR};

void CatchTerminatingSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kTerminatingSignals) sigaction(sig, &sa, nullptr);
}

// Ends the process as the signal that stopped the recording would have.
[[noreturn]] void ExitBySignal(int sig) {
  std::fflush(nullptr);
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigaction(sig, &sa, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  std::_Exit(128 + sig);
}

// Seconds of audio in the finished file.
double AudioSeconds(const char* path) {
  FileBytes file(path);
  return file.ok() ? InspectWave(file).seconds : 0;
}

// True when the folder of `path` has no room left for another delivery.
bool DiskFull(const char* path) {
  std::string dir(path);
  std::size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return false;
  unsigned long long blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
  return blocks * fs.f_frsize < 16384;
}

const char* StartFailure(int code) {
  switch (code) {
    case KIV_ERR_DEVICE_OPEN: return "no audio input device could be opened";
    case KIV_ERR_BUFFER_QUEUE: return "the audio input device refused the capture buffer";
    case KIV_ERR_INPUT_START: return "audio input could not be started";
    case KIV_ERR_OUTPUT_CREATE: return "cannot create the output file";
    case KIV_ERR_CODEC: return "the GSM codec cannot be created (libgsm lacks WAV49 support)";
    case KIV_ERR_BUSY: return "a recording is already running";
    case KIV_ERR_ARGUMENT: return "the path is empty or not valid UTF-8";
    default: return "unexpected result";
  }
}

long long FileSize(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// True once Enter was pressed; stops watching stdin at its end.
bool EnterPressed(bool* watching) {
  if (!*watching) return false;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char buf[256];
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    *watching = false;
    return false;
  }
  return std::memchr(buf, '\n', static_cast<std::size_t>(n)) != nullptr;
}

}  // namespace

int RecordCommand(int argc, char** argv) {
  bool pcm = false;
  double seconds = -1;
  const char* out = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--pcm")) {
      pcm = true;
    } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      char* end = nullptr;
      seconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(seconds >= 0)) {
        std::fprintf(stderr, "kivgsm: --seconds needs a number of seconds, not '%s'\n", argv[i]);
        return kExitUsage;
      }
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "kivgsm: unknown option '%s'\n", argv[i]);
      return kExitUsage;
    } else if (out == nullptr) {
      out = argv[i];
    } else {
      std::fprintf(stderr, "kivgsm: record takes one output file\n");
      return kExitUsage;
    }
  }
  if (out == nullptr) {
    std::fprintf(stderr, "usage: kivgsm record [--pcm] OUT.wav [--seconds N]\n");
    return kExitUsage;
  }
  std::basic_string<KivPathChar> path;
  if (!Utf8ToPath(out, &path) || path.empty()) {
    std::fprintf(stderr, "kivgsm: %s: %s\n", out, StartFailure(KIV_ERR_ARGUMENT));
    return KIV_ERR_ARGUMENT;
  }
  auto start_fn = pcm ? KivGSMWAVSoundRecorderStart : KivGSMSoundRecorderStart;
  auto stop_fn = pcm ? KivGSMWAVSoundRecorderStop : KivGSMSoundRecorderStop;

  CatchTerminatingSignals();

  int rc = start_fn(path.c_str());
  if (rc != KIV_OK) {
    std::fprintf(stderr, "kivgsm: %s: %s\n", out, StartFailure(rc));
    if (rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START) {
      stop_fn();  // finishes the file as an empty recording
      std::fprintf(stderr, "kivgsm: %s was left as an empty recording\n", out);
    }
    if (g_stop_signal) ExitBySignal(g_stop_signal);
    return rc;
  }
  bool live = ::isatty(STDERR_FILENO);
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
    if (g_stop_signal || (seconds >= 0 && elapsed >= seconds) || EnterPressed(&watching_stdin)) break;
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
    ::usleep(seconds >= 0 && seconds < 0.1 ? 1000 : 100000);
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
  if (g_stop_signal) ExitBySignal(g_stop_signal);
  return status;
}

}  // namespace kiv::tool
