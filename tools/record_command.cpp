#include "record_command.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivgsm.h"
#include "utf8_path.h"

namespace kiv::tool {
namespace {

constexpr int kExitUsage = 64;
volatile std::sig_atomic_t g_stop_signal = 0;

void OnSignal(int sig) { g_stop_signal = sig; }

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

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  int rc = start_fn(path.c_str());
  if (rc != KIV_OK) {
    std::fprintf(stderr, "kivgsm: %s: %s\n", out, StartFailure(rc));
    if (rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START) {
      stop_fn();  // finishes the file as an empty recording
      std::fprintf(stderr, "kivgsm: %s was left as an empty recording\n", out);
    }
    return rc;
  }
  bool live = ::isatty(STDERR_FILENO);
  bool watching_stdin = true;
  if (live) std::fprintf(stderr, "recording %s to %s; press Enter or Ctrl-C to stop\n", pcm ? "PCM" : "GSM", out);
  auto begin = std::chrono::steady_clock::now();
  for (;;) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (g_stop_signal || (seconds >= 0 && elapsed >= seconds) || EnterPressed(&watching_stdin)) break;
    if (live) std::fprintf(stderr, "\r%8.1f s  %10lld bytes", elapsed, FileSize(out));
    ::usleep(seconds >= 0 && seconds < 0.1 ? 1000 : 100000);
  }
  int recorded = stop_fn();
  if (live) std::fputc('\n', stderr);
  std::printf("recorded %d s of %s audio into %s (%lld bytes)\n", recorded, pcm ? "PCM" : "GSM", out,
              FileSize(out));
  return 0;
}

}  // namespace kiv::tool
