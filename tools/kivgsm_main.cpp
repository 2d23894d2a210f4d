// kivgsm: command-line front end of the library, calling its public entry
// points exactly as a host application would.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kivgsm.h"
#include "record_command.h"
#include "utf8_path.h"
#include "wave_info.h"
#include "wave_repair.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitInfoDisagree = 11;
constexpr int kExitInfoUnreadable = 12;
constexpr int kExitRepairRefused = 13;

const char kUsage[] =
    "usage: kivgsm convert IN.raw OUT.wav   raw 8000 Hz mono s16le PCM to GSM 06.10 WAVE\n"
    "       kivgsm info FILE.wav            print a GSM or PCM WAVE file's header\n"
    "       kivgsm record [--pcm] OUT.wav [--seconds N]\n"
    "                                       record from the default audio input into a GSM\n"
    "                                       (or, with --pcm, 16-bit PCM) WAVE file until N\n"
    "                                       seconds, Enter, Ctrl-C or SIGTERM\n"
    "       kivgsm repair [--dry-run] FILE.wav\n"
    "                                       finish a GSM or PCM WAVE file left unfinished by a\n"
    "                                       crash or cut off: sizes from its real length\n"
    "       kivgsm --help | --version\n"
    "\n"
    "exit codes:\n"
    "  0   success (info: the header agrees with the file)\n"
    "  1   record: no audio input device could be opened\n"
    "  2   record: the audio device refused the capture buffer\n"
    "  3   record: audio input could not be started\n"
    "  4   the output file cannot be created\n"
    "  5   the input file cannot be opened or read\n"
    "  6   the GSM codec cannot be created (libgsm without WAV49)\n"
    "  7   writing the output failed (disk full, I/O error); it holds the whole blocks written\n"
    "      (record: the file holds less than was recorded)\n"
    "  9   bad argument: empty or malformed path, or the output is the input file\n"
    "  10  input longer than a GSM WAVE file can describe; its first 13421772 blocks were written\n"
    "  11  info: the header is unfinished or disagrees with the file\n"
    "  12  info: the file cannot be read or is not a WAVE file\n"
    "  13  repair: not a file kivgsm can repair (another format, a cut-off header); left as it was\n"
    "  14  record: the audio device stopped delivering; the file holds what arrived\n"
    "  64  usage error\n";

const char* ConvertFailure(int code) {
  switch (code) {
    case KIV_ERR_OUTPUT_CREATE: return "cannot create the output file";
    case KIV_ERR_INPUT_READ: return "cannot open or read the input file";
    case KIV_ERR_CODEC: return "the GSM codec cannot be created (libgsm lacks WAV49 support)";
    case KIV_ERR_WRITE: return "writing the output failed (disk full or I/O error); it holds the whole blocks written";
    case KIV_ERR_ARGUMENT: return "bad argument: the output is the input file, or a path is empty or malformed";
    case KIV_ERR_TOO_LONG: return "the input is longer than a GSM WAVE file can describe; its first 13421772 blocks were written";
    default: return "unexpected result";
  }
}

bool StartsWithRiff(const char* path) {
  std::ifstream in(kiv::tool::FsPath(path), std::ios::binary);
  char head[4] = {};
  return in.read(head, 4) && std::memcmp(head, "RIFF", 4) == 0;
}

int Convert(const char* in, const char* out) {
  std::basic_string<KivPathChar> in16, out16;
  if (!kiv::tool::Utf8ToPath(in, &in16) || !kiv::tool::Utf8ToPath(out, &out16) || in16.empty() || out16.empty()) {
    std::fprintf(stderr, "kivgsm: '%s' -> '%s': paths must be non-empty UTF-8\n", in, out);
    return KIV_ERR_ARGUMENT;
  }
  if (StartsWithRiff(in)) {
    std::fprintf(stderr, "kivgsm: warning: '%s' starts with \"RIFF\"; its header will be encoded as audio\n", in);
  }
  auto start = std::chrono::steady_clock::now();
  int32_t rc = KivWave2GSM610(in16.c_str(), out16.c_str());
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (rc != KIV_OK) {
    const char* named = (rc == KIV_ERR_INPUT_READ) ? in : out;
    std::fprintf(stderr, "kivgsm: %s: %s\n", named, ConvertFailure(rc));
    if (rc != KIV_ERR_WRITE && rc != KIV_ERR_TOO_LONG) return rc;
  }
  std::error_code ec;
  unsigned long long bytes = std::filesystem::file_size(kiv::tool::FsPath(out), ec);
  if (ec) return rc == KIV_OK ? KIV_ERR_WRITE : rc;
  unsigned long long blocks = bytes >= 60 ? (bytes - 60) / 65 : 0;
  double seconds = blocks * 0.04;
  double speed = elapsed > 0 ? seconds / elapsed : 0;
  std::printf("%llu blocks, %.2f s of audio, %llu bytes written to %s, %.0fx real time\n", blocks, seconds, bytes,
              out, speed);
  return rc == KIV_OK ? 0 : rc;
}

int Info(const char* path) {
  kiv::tool::FileBytes file(path);
  if (!file.ok()) {
    std::fprintf(stderr, "kivgsm: %s: cannot read the file (missing, unreadable or a directory)\n", path);
    return kExitInfoUnreadable;
  }
  kiv::tool::WaveInfo info = kiv::tool::InspectWave(file);
  std::fputs(kiv::tool::FormatWaveInfo(info).c_str(), stdout);
  if (info.kind == kiv::tool::WaveKind::kNotWave && !info.zero_header) return kExitInfoUnreadable;
  if (!info.consistent && kiv::tool::PlanRepair(file).action == kiv::tool::RepairPlan::Action::kRepair)
    std::printf("hint:              'kivgsm repair %s' makes it a valid file\n", path);
  return info.consistent ? 0 : kExitInfoDisagree;
}

int Repair(int argc, char** argv) {
  bool dry_run = false;
  const char* path = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--dry-run")) {
      dry_run = true;
    } else if (path == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0')) {
      path = argv[i];
    } else {
      std::fputs("usage: kivgsm repair [--dry-run] FILE.wav\n", stderr);
      return kExitUsage;
    }
  }
  if (path == nullptr) {
    std::fputs("usage: kivgsm repair [--dry-run] FILE.wav\n", stderr);
    return kExitUsage;
  }
  kiv::tool::FileBytes file(path);
  if (!file.ok()) {
    std::fprintf(stderr, "kivgsm: %s: cannot read the file (missing, unreadable or a directory)\n", path);
    return kExitRepairRefused;
  }
  kiv::tool::RepairPlan plan = kiv::tool::PlanRepair(file);
  if (plan.action == kiv::tool::RepairPlan::Action::kRefuse) {
    std::fprintf(stderr, "kivgsm: %s: not repaired: %s\n", path, plan.what.c_str());
    return kExitRepairRefused;
  }
  std::string steps = kiv::tool::DescribeRepair(plan);
  if (plan.action == kiv::tool::RepairPlan::Action::kNothing || dry_run) {
    std::printf("%s: %s", path, steps.c_str());
    if (dry_run && plan.action == kiv::tool::RepairPlan::Action::kRepair) std::puts("(dry run: nothing written)");
    return 0;
  }
  std::string error;
  if (!kiv::tool::ApplyRepair(path, plan, &error)) {
    std::fprintf(stderr, "kivgsm: %s: repair failed: %s; run it again once the cause is mended\n", path,
                 error.c_str());
    return KIV_ERR_WRITE;
  }
  std::printf("%s: %srepaired\n", path, steps.c_str());
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("kivgsm %s\n", KIVGSM_VERSION);
    return 0;
  }
  if (argc == 4 && !std::strcmp(argv[1], "convert")) return Convert(argv[2], argv[3]);
  if (argc == 3 && !std::strcmp(argv[1], "info")) return Info(argv[2]);
  if (argc >= 2 && !std::strcmp(argv[1], "repair")) return Repair(argc - 2, argv + 2);
  if (argc >= 2 && !std::strcmp(argv[1], "record")) return kiv::tool::RecordCommand(argc - 2, argv + 2);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

#if defined(_WIN32)
#include <windows.h>

// Arguments arrive as UTF-16, so that any name works whatever the
// console's code page; the tool works in UTF-8 from here on.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string a(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, a.data(), n, nullptr, nullptr);
    a.resize(std::strlen(a.c_str()));
    args.push_back(std::move(a));
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return Main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return Main(argc, argv); }
#endif
