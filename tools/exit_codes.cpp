// SPDX-License-Identifier: MIT
#include "exit_codes.h"

#include <cstdio>
#include <string>

#include "wave_format.h"

namespace kiv::tool {
namespace {

struct ExitCodeEntry {
  int code;
  const char* message;  // what every command says for this code
  const char* detail;   // what --help adds after PartialOutput: which commands, and what is left
};

constexpr ExitCodeEntry kExitCodes[] = {
    {kExitOk, "success", "(info: the header agrees with the file)"},
    {kExitDeviceOpen, "no audio input device could be opened", "(record)"},
    {kExitBufferQueue, "the audio input device refused the capture buffer", "(record)"},
    {kExitInputStart, "audio input could not be started", "(record)"},
    {kExitOutputCreate, "cannot create the output file",
     "(also: an output that is not a regular file or a new name, or that this user may not write)"},
    {kExitInputRead, "cannot open, read or decode the input file",
     "(also: a container that cannot be read, not a regular file to decode)"},
    {kExitCodec, "the GSM codec cannot be created (libgsm lacks WAV49 support)", ""},
    {kExitWrite, "writing the output failed (disk full or I/O error)",
     " (record: the file holds less than was recorded; decode puts nothing in place)"},
    {kExitBusy, "a recording is already running", "(record)"},
    {kExitArgument, "bad argument",
     ": an empty or malformed path, an output that is the input or is being written, a GSM input to "
     "convert, or two inputs that would write the same output"},
    {kExitTooLong, "the input is longer than a GSM WAVE file can describe",
     ""},
    {kExitInfoDisagree, "the header is unfinished or disagrees with the file", "(info)"},
    {kExitInfoUnreadable, "the file cannot be read or is not a WAVE file", "(info)"},
    {kExitRepairRefused, "not a file kivgsm can repair", "(repair: another format, a cut-off header); left as it was"},
    {kExitDeviceSilent, "the audio device stopped delivering", "(record); the file holds what arrived"},
    {kExitResources, "out of memory, or no thread could be started", "; outputs not finished were left as they were"},
    {kExitUsage, "usage error", ""},
};

// One entry, folded at spaces to lines of at most 100 columns, continued
// under its text.
std::string Wrapped(const std::string& entry) {
  constexpr std::size_t kWidth = 100, kIndent = 6;
  std::string out;
  std::size_t start = 0;
  while (entry.size() - start > kWidth - (start ? kIndent : 0)) {
    std::size_t limit = start + kWidth - (start ? kIndent : 0);
    std::size_t cut = entry.rfind(' ', limit);
    if (cut == std::string::npos || cut <= start) break;
    out += (start ? std::string(kIndent, ' ') : "") + entry.substr(start, cut - start) + "\n";
    start = cut + 1;
  }
  return out + (start ? std::string(kIndent, ' ') : "") + entry.substr(start) + "\n";
}

}  // namespace

const char* ExitMessage(int code) {
  for (const ExitCodeEntry& e : kExitCodes)
    if (e.code == code) return e.message;
  return "unexpected result";
}

std::string PartialOutput(int code) {
  if (code == kExitWrite) return "; it holds the whole blocks written";
  if (code == kExitTooLong) return "; its first " + std::to_string(kMaxGsmBlocks) + " blocks were written";
  return "";
}

std::string ExitCodeTable() {
  std::string out = "exit codes:\n";
  for (const ExitCodeEntry& e : kExitCodes) {
    std::string detail = PartialOutput(e.code) + e.detail;
    char code[8];
    std::snprintf(code, sizeof code, "  %-3d ", e.code);
    bool joined = detail.empty() || detail[0] == ';' || detail[0] == ':';
    out += Wrapped(code + std::string(e.message) + (joined ? "" : " ") + detail);
  }
  out +=
      "convert and decode write each output beside it and rename it into place, so an existing output\n"
      "is replaced only by a finished one (or, by convert on 7 and 10, by the partial file described);\n"
      "repair edits its file in place, header and length only, and can be run again after an\n"
      "interruption.\n"
      "A batch (-o DIR) exits 0 only if every file converted, else with the first failure's code.\n";
  return out;
}

}  // namespace kiv::tool
