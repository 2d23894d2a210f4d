// SPDX-License-Identifier: MIT
// One conversion as the tool does it: any input (raw, a container, standard
// input, a pipe) decoded, resampled and pushed into the library's GSM
// writer in memory, writing a file beside the destination that is renamed
// into place at the end, so that an existing output is never lost to a
// failed or interrupted conversion. All state is in the call, so
// conversions run side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kiv::tool {

struct ConvertRequest {
  std::string in, out;     // names as given; "-" is standard input, or standard output
  bool raw = false;        // every input is raw, whatever its first bytes
  int resampler_threads = 0;
  bool no_clobber = false;  // an existing output is left as it is (skipped)
};

// What a conversion in progress has done, for a progress display.
struct ConvertProgress {
  std::atomic<double> seconds{0};  // audio length of the input, once known
  std::atomic<double> done{0};     // fraction of the input read
  std::atomic<bool> finished{false};

  // Made ready for the next file of a batch worker.
  void Reset() {
    seconds = 0;
    done = 0;
    finished = false;
  }
};

struct ConvertResult {
  int code = 0;  // 0, or the converter's code (4, 5, 6, 7, 9, 10), or -1 when interrupted
  std::string error;    // "IN: why" when code != 0
  std::string warning;  // worth saying even on success
  std::string source;   // "44100 Hz stereo FLAC"; empty for raw input
  std::string detail;   // what the input was found to be and how it was decoded, for -v
  std::uint64_t blocks = 0, bytes = 0;
  std::uint64_t clipped = 0;
  std::uint64_t silenced = 0;  // non-finite input samples made silent
  double seconds = 0;  // audio in the output
  bool written = false;  // OUT now holds the result (on 0, 7 and 10)
  bool skipped = false;  // OUT existed, and no_clobber left it as it was (code 0)
};

ConvertResult ConvertFile(const ConvertRequest& request, ConvertProgress* progress);

}  // namespace kiv::tool
