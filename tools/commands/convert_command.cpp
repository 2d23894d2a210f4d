#include "commands/convert_command.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <thread>

#include "exit_codes.h"
#include "pipeline/convert_file.h"
#include "platform/console.h"
#include "pipeline/progress_line.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ", 12 samples clipped, 3 NaN or infinite samples made silent", or "".
std::string Repaired(unsigned long long clipped, unsigned long long silenced) {
  std::string out;
  if (clipped != 0) out += ", " + std::to_string(clipped) + " samples clipped";
  if (silenced != 0) out += ", " + std::to_string(silenced) + " NaN or infinite samples made silent";
  return out;
}

// DIR/NAME.wav for an input DIR2/NAME.EXT.
std::string OutputFor(const std::string& dir, const std::string& in) {
  std::filesystem::path stem = FsPath(in).filename().stem();
  std::u8string name = stem.u8string();
  std::string out = dir;
  if (!out.empty() && out.back() != '/' && out.back() != '\\') out += '/';
  return out + std::string(name.begin(), name.end()) + ".wav";
}

int Single(const ConvertOptions& options) {
  std::deque<ConvertProgress> progress(1);
  ConvertRequest request{options.files[0], options.files[1], options.raw, 0, true};
  auto start = std::chrono::steady_clock::now();
  ConvertResult r;
  {
    ProgressLine line(&progress, false);
    r = ConvertFile(request, &progress[0]);
  }
  double elapsed = Since(start);
  if (r.code == -1) EndAsRequested(StopRequest());
  if (!r.warning.empty()) std::fprintf(stderr, "kivgsm: warning: %s\n", r.warning.c_str());
  if (r.code != 0) std::fprintf(stderr, "kivgsm: %s\n", r.error.c_str());
  if (!r.written) return r.code;
  std::string from = r.source.empty() ? "" : ", from " + r.source;
  std::printf("%llu blocks, %.2f s of audio, %llu bytes written to %s, %.0fx real time%s%s\n",
              static_cast<unsigned long long>(r.blocks), r.seconds, static_cast<unsigned long long>(r.bytes),
              request.out.c_str(), elapsed > 0 ? r.seconds / elapsed : 0, from.c_str(), Repaired(r.clipped, r.silenced).c_str());
  return r.code;
}

int Batch(const ConvertOptions& options) {
  std::error_code ec;
  if (!std::filesystem::is_directory(FsPath(options.out_dir), ec)) {
    std::fprintf(stderr, "kivgsm: %s: not a folder; create it first\n", options.out_dir.c_str());
    return KIV_ERR_OUTPUT_CREATE;
  }
  std::vector<ConvertRequest> requests;
  std::map<std::string, std::string> claimed;  // output -> the input that writes it
  for (const std::string& in : options.files) {
    if (in == "-") {
      std::fputs("kivgsm: standard input has no name to write; convert it with 'kivgsm convert - OUT.wav'\n",
                 stderr);
      return kExitUsage;
    }
    std::string out = OutputFor(options.out_dir, in);
    auto [it, fresh] = claimed.emplace(out, in);
    if (!fresh) {
      std::fprintf(stderr, "kivgsm: %s and %s would both be written to %s; nothing converted\n",
                   it->second.c_str(), in.c_str(), out.c_str());
      return KIV_ERR_ARGUMENT;
    }
    requests.push_back({in, out, options.raw, 1, false});
  }

  unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = std::min<unsigned>(jobs, static_cast<unsigned>(requests.size()));
  std::deque<ConvertProgress> progress(requests.size());
  std::vector<ConvertResult> results(requests.size());
  std::atomic<std::size_t> next{0};
  auto start = std::chrono::steady_clock::now();
  {
    ProgressLine line(&progress, true);
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < jobs; ++w)
      workers.emplace_back([&] {
        for (std::size_t i; (i = next.fetch_add(1)) < requests.size() && StopRequest() == 0;)
          results[i] = ConvertFile(requests[i], &progress[i]);
      });
    for (std::thread& t : workers) t.join();
  }
  double elapsed = Since(start);
  if (StopRequest() != 0) EndAsRequested(StopRequest());

  std::size_t failed = 0;
  double audio = 0;
  unsigned long long clipped = 0, silenced = 0;
  int status = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const ConvertResult& r = results[i];
    if (!r.warning.empty()) std::fprintf(stderr, "kivgsm: warning: %s\n", r.warning.c_str());
    audio += r.seconds;
    clipped += r.clipped;
    silenced += r.silenced;
    if (r.code != 0) {
      ++failed;
      if (status == 0) status = r.code;
    }
  }
  std::printf("%zu of %zu files converted into %s: %.2f s of audio in %.2f s, %.0fx real time, %u jobs%s\n",
              results.size() - failed, results.size(), options.out_dir.c_str(), audio, elapsed,
              elapsed > 0 ? audio / elapsed : 0, jobs,
              Repaired(clipped, silenced).c_str());
  for (const ConvertResult& r : results)
    if (r.code != 0) std::fprintf(stderr, "kivgsm: failed: %s\n", r.error.c_str());
  return status;
}

}  // namespace

int ConvertCommand(const ConvertOptions& options) {
  RemoveTrackedFilesOnInterrupt();
  if (!options.out_dir.empty()) return Batch(options);
  if (options.files.size() != 2) {
    std::fputs("kivgsm: convert takes IN OUT, or -o DIR IN...\n", stderr);
    return kExitUsage;
  }
  return Single(options);
}

}  // namespace kiv::tool
