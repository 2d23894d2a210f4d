// SPDX-License-Identifier: MIT
// kivgsm: the command-line tool. It records through the library's entry
// points as a host application would, and converts by pushing decoded
// samples into the library's GSM writer.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "commands/convert_command.h"
#include "commands/decode_command.h"
#include "commands/info_command.h"
#include "commands/record_command.h"
#include "commands/repair_command.h"
#include "exit_codes.h"
#include "messages.h"
#include "platform/console.h"
#include "record/wave_input.h"
#include "versions.h"

using namespace kiv::tool;

// The convert command's options, into `o`.
CLI::App* AddConvert(CLI::App* app, ConvertOptions* o) {
  CLI::App* convert = app->add_subcommand(
      "convert",
      "Convert to a GSM 06.10 WAVE file: IN OUT, or -o DIR IN... for many files at once. Raw input is 8000 Hz "
      "mono s16le; an audio file (WAVE, FLAC, Ogg, MP3, AIFF...) is mixed down to mono and "
      "resampled to 8000 Hz. IN may be - for standard input, and OUT - for standard output.");
  convert->add_option("FILES", o->files, "IN OUT, or the inputs with -o");
  convert->add_option("-o,--out-dir", o->out_dir,
                      "write DIR/NAME.wav for each input; DIR is made, with its parents, if it does not exist");
  convert->add_option("--files-from", o->files_from,
                      "with -o: more inputs, one name per line, from FILE (- for standard input)");
  convert->add_flag("-0,--null", o->null_separated,
                    "the names in --files-from end with NUL (find -print0, tar --null)");
  convert->add_flag("--keep-tree", o->keep_tree,
                    "with -o: write DIR/PATH/NAME.wav, keeping each input's folders, so that equal names in "
                    "different folders do not clash");
  convert->add_option("-j,--jobs", o->jobs, "conversions at once (default: one per core)")
      ->check(
          [](const std::string& text) {
            char* end = nullptr;
            unsigned long v = std::strtoul(text.c_str(), &end, 10);
            bool ok = !text.empty() && text[0] != '-' && *end == '\0' && v >= 1;
            return ok ? std::string() : "--jobs needs a whole number of conversions, 1 or more, not '" + text + "'";
          },
          "N");
  convert->add_flag("--raw", o->raw, "treat every input as raw 8000 Hz mono s16le");
  convert->add_flag("-n,--no-clobber", o->no_clobber,
                    "leave an existing output as it is and count it as skipped, so that a batch run again "
                    "converts only what it has not done");

  return convert;
}

struct RecordOptions {
  std::string path;
  bool pcm = false;
  double seconds = -1;
};

// The record command's options, into `o`.
CLI::App* AddRecord(CLI::App* app, RecordOptions* o) {
  CLI::App* record = app->add_subcommand(
      "record", "Record from the default audio input until N seconds of audio, Enter, Ctrl-C or SIGTERM");
  record->add_option("OUT", o->path, "WAVE file to write")->required();
  record->add_flag("--pcm", o->pcm, "16-bit PCM instead of GSM");
  record->add_option("--seconds", o->seconds, "stop after N seconds of audio in the file")
      ->check(
          [](const std::string& text) {
            char* end = nullptr;
            double v = std::strtod(text.c_str(), &end);
            bool ok = end != text.c_str() && *end == '\0' && v >= 0 && v < 1e9;
            return ok ? std::string() : "--seconds needs a number of seconds, not '" + text + "'";
          },
          "SECONDS");

  return record;
}

// A usage error in the tool's own voice, as other tools say theirs.
int UsageError(const CLI::ParseError& e) {
  Print(stderr, "kivgsm: %s\nRun with --help for more information.\n", Shown(e.what()).c_str());
  return kExitUsage;
}

int Dispatch(int argc, char** argv) {
  ReserveStandardStreams();
  // Named here, so that usage lines say "kivgsm", not the path it was run by.
  CLI::App app{"kivgsm: GSM 06.10 WAVE files from raw speech, any audio file or the audio input", "kivgsm"};
  app.set_version_flag("--version", [] { return VersionText(KIVGSM_VERSION); });
  app.require_subcommand(1);
  // Paths start with '/' on every platform the tool runs on (Wine too).
  app.allow_windows_style_options(false);
  // -q and -v may come before the command or after it (the commands,
  // made below, pass options they do not know to the tool).
  app.fallthrough();
  bool quiet = false, verbose = false;
  app.add_flag("-q,--quiet", quiet, "errors only: no summaries, warnings or progress");
  app.add_flag("-v,--verbose", verbose, "also say what each input was found to be and how it was decoded");

  ConvertOptions convert_options;
  CLI::App* convert = AddConvert(&app, &convert_options);

  std::string decode_in, decode_out;
  CLI::App* decode = app.add_subcommand("decode", "Decode a GSM WAVE file to a 16-bit PCM WAVE file");
  decode->add_option("IN", decode_in, "GSM WAVE file")->required();
  decode->add_option("OUT", decode_out, "PCM WAVE file to write (- for standard output)")->required();

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

  RecordOptions record_options;
  CLI::App* record = AddRecord(&app, &record_options);

  // The code table once, under `kivgsm --help` (subcommands, made above,
  // took no footer).
  app.footer(ExitCodeTable());

  try {
    app.parse(argc, argv);
  } catch (const CLI::RequiredError& e) {
    // CLI11 says "A subcommand is required" for a misspelt one too.
    if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
      Print(stderr, "kivgsm: unknown command '%s'; the commands are convert, decode, info, repair and record\n"
                           "Run with --help for more information.\n", Shown(argv[1]).c_str());
      return kExitUsage;
    }
    return UsageError(e);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  } catch (const CLI::ParseError& e) {
    return UsageError(e);
  }
  if (quiet && verbose) {
    Print(stderr, "%s", "kivgsm: --quiet and --verbose cannot go together\nRun with --help for more information.\n");
    return kExitUsage;
  }
  SetVerbosity(quiet ? Verbosity::kQuiet : verbose ? Verbosity::kVerbose : Verbosity::kNormal);
  if (*convert) return ConvertCommand(convert_options);
  if (*decode) return DecodeCommand(decode_in, decode_out);
  if (*info) return InfoCommand(info_path, info_json);
  if (*repair) return RepairCommand(repair_path, dry_run);
  if (*record) return RecordCommand(record_options.path, record_options.pcm, record_options.seconds);
  return kExitUsage;
}

// A report, summary or help text that could not be written is a failed
// write, as for any other output: a full disk must not pass for success.
int Main(int argc, char** argv) {
  int rc;
  // Memory or threads running out anywhere ends the command with its code
  // and a message; unwinding removes the files that were not finished.
  try {
    rc = Dispatch(argc, argv);
  } catch (const std::bad_alloc&) {
    Print(stderr, "kivgsm: %s: out of memory\n", ExitMessage(kExitResources));
    return kExitResources;
  } catch (const std::system_error& e) {
    // A thread that could not be started (std::thread says so this way).
    if (e.code() != std::errc::resource_unavailable_try_again && e.code() != std::errc::not_enough_memory) throw;
    Print(stderr, "kivgsm: %s: %s\n", ExitMessage(kExitResources), e.what());
    return kExitResources;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Print(stderr, "kivgsm: cannot write to standard output: %s\n", std::strerror(errno));
    if (rc == kExitOk) rc = kExitWrite;
  }
  // An audio service that stopped answering may hold threads of its own
  // (Wine's pulse driver) even once every device of ours has closed.
  if (kiv::AbandonedWaveInDevices() > 0 || rc == kExitDeviceSilent) EndLeavingAudioThreads(rc);
  return rc;
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
