// SPDX-License-Identifier: MIT
// The tool's exit codes and their messages, in one table: `kivgsm --help`,
// the converter's, decoder's and recorder's messages and doc/tool.md's
// table all come from here, so that one code never has two wordings. Codes
// 1-10 are the library's own results (kivgsm.h); the rest are the tool's.
#pragma once

#include <string>

#include "kivgsm.h"

namespace kiv::tool {

enum ExitCode : int {
  kExitOk = 0,
  kExitDeviceOpen = KIV_ERR_DEVICE_OPEN,
  kExitBufferQueue = KIV_ERR_BUFFER_QUEUE,
  kExitInputStart = KIV_ERR_INPUT_START,
  kExitOutputCreate = KIV_ERR_OUTPUT_CREATE,
  kExitInputRead = KIV_ERR_INPUT_READ,
  kExitCodec = KIV_ERR_CODEC,
  kExitWrite = KIV_ERR_WRITE,
  kExitBusy = KIV_ERR_BUSY,
  kExitArgument = KIV_ERR_ARGUMENT,
  kExitTooLong = KIV_ERR_TOO_LONG,
  kExitInfoDisagree = 11,
  kExitInfoUnreadable = 12,
  kExitRepairRefused = 13,
  kExitDeviceSilent = 14,
  kExitResources = 15,
  kExitUsage = 64,
};

// The message for `code`: what went wrong, in the words every command uses.
const char* ExitMessage(int code);

// What the output holds after `code`, for the two failures that leave a
// partial output ("; it holds the whole blocks written"); "" for the rest.
std::string PartialOutput(int code);

// The whole table, one code a line with what it means in each command, for
// `kivgsm --help`.
std::string ExitCodeTable();

}  // namespace kiv::tool
