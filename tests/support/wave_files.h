// SPDX-License-Identifier: MIT
// WAVE files for the reader, repair and tool tests: built chunk by chunk,
// or as a crash leaves a recording; and the reader's judgement in words.
#pragma once

#include <string>
#include <vector>

#include "formats/wave_reader.h"
#include "support/test_files.h"

namespace kiv::test {

// The file a recording leaves on disk when its host dies after three
// deliveries; `previous` first records and stops once, so that the PCM
// provisional header is the last recording's instead of 44 zero bytes.
Bytes CrashedRecording(bool gsm, bool previous);

// A chunk: id, 32-bit size, body and a pad byte after an odd body.
Bytes Chunk(const char* id, const Bytes& body);
// A RIFF/WAVE file of these chunks, its RIFF size right.
Bytes Riff(const std::vector<Bytes>& chunks);
// Format chunk bodies: 8000 Hz mono 16-bit PCM, and GSM 06.10.
extern const Bytes kPcmFmt;
extern const Bytes kGsmFmt;
// A GSM file of `blocks` blocks with sample count `samples` (16 bits of
// it), and chunks after the data.
Bytes GsmWith(std::size_t blocks, std::uint32_t samples, const std::vector<Bytes>& after);

// The reader's problems, one a line, for failure messages.
std::string Problems(const WaveInfo& info);

}  // namespace kiv::test
