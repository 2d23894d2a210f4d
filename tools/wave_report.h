// SPDX-License-Identifier: MIT
// What `info` and `repair` print: a WAVE file's header and judgement as
// text or as one JSON object, and a repair plan as steps. The reading and
// judging are the format's own (wave_reader.h, wave_repair.h); this is
// presentation only.
#pragma once

#include <string>

#include "wave_reader.h"
#include "wave_repair.h"

namespace kiv::tool {

// Multi-line human-readable report.
std::string FormatWaveInfo(const WaveInfo& info);
// The same fields as one JSON object on one line, for scripts.
std::string FormatWaveInfoJson(const WaveInfo& info);
// A file that could not be read at all, as a JSON object on one line.
std::string FormatErrorJson(const std::string& path, const std::string& error);
// One line per step of a repair plan, for the user.
std::string DescribeRepair(const RepairPlan& plan);

}  // namespace kiv::tool
