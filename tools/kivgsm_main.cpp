// kivgsm: command-line front end of the library, calling its public entry
// points exactly as a host application would.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert_command.h"
#include "kivgsm.h"
#include "platform/console.h"
#include "record_command.h"
#include "wave_info.h"
#include "wave_repair.h"
#if defined(KIV_HAVE_SNDFILE)
#include "decode_command.h"
#endif

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitInfoDisagree = 11;
constexpr int kExitInfoUnreadable = 12;
constexpr int kExitRepairRefused = 13;

const char kExitCodes[] =
    "exit codes:\n"
    "  0   success (info: the header agrees with the file)\n"
    "  1   record: no audio input device could be opened\n"
    "  2   record: the audio device refused the capture buffer\n"
    "  3   record: audio input could not be started\n"
    "  4   the output file cannot be created (also: an output that is not a regular file or a new name)\n"
    "  5   the input file cannot be opened, read or decoded\n"
    "  6   the GSM codec cannot be created (libgsm without WAV49)\n"
    "  7   writing the output failed (disk full, I/O error); it holds the whole blocks written\n"
    "      (record: the file holds less than was recorded)\n"
    "  9   bad argument: empty or malformed path, the output is the input file, a GSM input to convert,\n"
    "      or two inputs that would write the same output\n"
    "  10  input longer than a GSM WAVE file can describe; its first 13421772 blocks were written\n"
    "  11  info: the header is unfinished or disagrees with the file\n"
    "  12  info: the file cannot be read or is not a WAVE file\n"
    "  13  repair: not a file kivgsm can repair (another format, a cut-off header); left as it was\n"
    "  14  record: the audio device stopped delivering; the file holds what arrived\n"
    "  64  usage error\n"
    "convert, decode and repair write each output beside it and rename it into place, so an existing\n"
    "output is replaced only by a finished one (or, on 7 and 10, by the partial file described).\n"
    "A batch (-o DIR) exits 0 only if every file converted, else with the first failure's code.\n";

// Says on stderr when `file` could not be opened for reading.
bool Readable(const kiv::tool::FileBytes& file, const std::string& path) {
  if (!file.ok())
    std::fprintf(stderr, "kivgsm: %s: cannot read the file (missing, unreadable or a directory)\n", path.c_str());
  return file.ok();
}

int Info(const std::string& path, bool json) {
  kiv::tool::FileBytes file(path);
  if (!Readable(file, path)) return kExitInfoUnreadable;
  kiv::tool::WaveInfo info = kiv::tool::InspectWave(file);
  std::fputs((json ? kiv::tool::FormatWaveInfoJson(info) : kiv::tool::FormatWaveInfo(info)).c_str(), stdout);
  if (info.kind == kiv::tool::WaveKind::kNotWave && !info.zero_header) return kExitInfoUnreadable;
  if (!json && !info.consistent &&
      kiv::tool::PlanRepair(file).action == kiv::tool::RepairPlan::Action::kRepair)
    std::printf("hint:              'kivgsm repair %s' makes it a valid file\n", path.c_str());
  return info.consistent ? 0 : kExitInfoDisagree;
}

int Repair(const std::string& path, bool dry_run) {
  kiv::tool::FileBytes file(path);
  if (!Readable(file, path)) return kExitRepairRefused;
  kiv::tool::RepairPlan plan = kiv::tool::PlanRepair(file);
  if (plan.action == kiv::tool::RepairPlan::Action::kRefuse) {
    std::fprintf(stderr, "kivgsm: %s: not repaired: %s\n", path.c_str(), plan.what.c_str());
    return kExitRepairRefused;
  }
  std::string steps = kiv::tool::DescribeRepair(plan);
  if (plan.action == kiv::tool::RepairPlan::Action::kNothing || dry_run) {
    std::printf("%s: %s", path.c_str(), steps.c_str());
    if (dry_run && plan.action == kiv::tool::RepairPlan::Action::kRepair) std::puts("(dry run: nothing written)");
    return 0;
  }
  std::string error;
  if (!kiv::tool::ApplyRepair(path, plan, &error)) {
    std::fprintf(stderr, "kivgsm: %s: repair failed: %s; run it again once the cause is mended\n", path.c_str(),
                 error.c_str());
    return KIV_ERR_WRITE;
  }
  std::printf("%s: %srepaired\n", path.c_str(), steps.c_str());
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  kiv::tool::ReserveStandardStreams();
  CLI::App app{"kivgsm: GSM 06.10 WAVE files from raw speech, any audio file or the audio input"};
  app.footer(kExitCodes);
  app.set_version_flag("--version", std::string("kivgsm ") + KIVGSM_VERSION);
  app.require_subcommand(1);
  // Paths start with '/' on every platform the tool runs on (Wine too).
  app.allow_windows_style_options(false);

  kiv::tool::ConvertOptions convert_options;
  CLI::App* convert = app.add_subcommand(
      "convert",
      "Convert to a GSM 06.10 WAVE file: IN OUT, or -o DIR IN... for many files at once. Raw input is 8000 Hz "
      "mono s16le; an audio file that libsndfile reads (WAVE, FLAC, Ogg, AIFF...) is mixed down to mono and "
      "resampled to 8000 Hz. IN may be - for standard input.");
  convert->add_option("FILES", convert_options.files, "IN OUT, or the inputs with -o")->required();
  convert->add_option("-o,--out-dir", convert_options.out_dir, "write DIR/NAME.wav for each input");
  convert->add_option("-j,--jobs", convert_options.jobs, "conversions at once (default: one per core)")
      ->check(CLI::PositiveNumber);
  convert->add_flag("--raw", convert_options.raw, "treat every input as raw 8000 Hz mono s16le");

  std::string decode_in, decode_out;
  CLI::App* decode = app.add_subcommand("decode", "Decode a GSM WAVE file to a 16-bit PCM WAVE file");
  decode->add_option("IN", decode_in, "GSM WAVE file")->required();
  decode->add_option("OUT", decode_out, "PCM WAVE file to write")->required();

  std::string info_path;
  bool info_json = false;
  CLI::App* info = app.add_subcommand("info", "Print a GSM or PCM WAVE file's header and check it against the file");
  info->add_option("FILE", info_path, "WAVE file")->required();
  info->add_flag("--json", info_json, "one JSON object, for scripts");

  std::string repair_path;
  bool dry_run = false;
  CLI::App* repair = app.add_subcommand(
      "repair", "Finish a GSM or PCM WAVE file left unfinished by a crash or cut off: sizes from its real length");
  repair->add_option("FILE", repair_path, "WAVE file")->required();
  repair->add_flag("--dry-run", dry_run, "say what would be done, write nothing");

  std::string record_path;
  bool record_pcm = false;
  double record_seconds = -1;
  CLI::App* record = app.add_subcommand(
      "record", "Record from the default audio input until N seconds, Enter, Ctrl-C or SIGTERM");
  record->add_option("OUT", record_path, "WAVE file to write")->required();
  record->add_flag("--pcm", record_pcm, "16-bit PCM instead of GSM");
  record->add_option("--seconds", record_seconds, "stop after N seconds")
      ->check(
          [](const std::string& text) {
            char* end = nullptr;
            double v = std::strtod(text.c_str(), &end);
            bool ok = end != text.c_str() && *end == '\0' && v >= 0 && v < 1e9;
            return ok ? std::string() : "--seconds needs a number of seconds, not '" + text + "'";
          },
          "SECONDS");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : kExitUsage;
  }
  if (*convert) return kiv::tool::ConvertCommand(convert_options);
  if (*decode) {
#if defined(KIV_HAVE_SNDFILE)
    return kiv::tool::DecodeCommand(decode_in, decode_out);
#else
    std::fputs("kivgsm: decode needs libsndfile, which this build lacks\n", stderr);
    return kExitUsage;
#endif
  }
  if (*info) return Info(info_path, info_json);
  if (*repair) return Repair(repair_path, dry_run);
  if (*record) return kiv::tool::RecordCommand(record_path, record_pcm, record_seconds);
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
