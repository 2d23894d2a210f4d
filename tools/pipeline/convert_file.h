// SPDX-License-Identifier: MIT
// One conversion as the tool does it: any input (raw, a container that
// libsndfile reads, standard input, a pipe) to a GSM WAVE file written
// beside its destination and renamed into place, so that an existing
// output is never lost to a failed or interrupted conversion. All state is
// in the call, so conversions run side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kiv::tool {

struct ConvertRequest {
  std::string in, out;  // UTF-8; "-" as input is standard input
  bool raw = false;     // every input is raw, whatever its first bytes
  int resampler_threads = 0;
  // Decode on one thread while the library encodes on another, handing the
  // samples over through a FIFO beside the output (where there can be one).
  bool overlap = false;
};

// What a conversion in progress has done, for a progress display.
struct ConvertProgress {
  std::atomic<double> seconds{0};  // audio length of the input, once known
  std::atomic<double> decoded{0};  // fraction of a container's input decoded
  std::atomic<double> decode_share{0};  // of the whole job's work
  std::atomic<bool> finished{false};
  std::mutex mutex;
  std::string encoding;  // the GSM file being written, while it is

  // Made ready for the next file of a batch worker.
  void Reset() {
    seconds = 0;
    decoded = 0;
    decode_share = 0;
    finished = false;
    std::lock_guard<std::mutex> lock(mutex);
    encoding.clear();
  }
};

struct ConvertResult {
  int code = 0;  // 0, or the converter's code (4, 5, 6, 7, 9, 10), or -1 when interrupted
  std::string error;    // "IN: why" when code != 0
  std::string warning;  // worth saying even on success
  std::string source;   // "44100 Hz stereo FLAC"; empty for raw input
  std::uint64_t blocks = 0, bytes = 0;
  std::uint64_t clipped = 0;
  std::uint64_t silenced = 0;  // non-finite input samples made silent
  double seconds = 0;  // audio in the output
  bool written = false;  // OUT now holds the result (on 0, 7 and 10)
};

ConvertResult ConvertFile(const ConvertRequest& request, ConvertProgress* progress);

}  // namespace kiv::tool
