// SPDX-License-Identifier: MIT
#include "commands/convert_command.h"

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <system_error>
#include <filesystem>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>

#include "commands/input_names.h"
#include "exit_codes.h"
#include "messages.h"
#include "pipeline/convert_file.h"
#include "platform/console.h"
#include "platform/folder_case.h"
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

// DIR/NAME.wav for an input DIR2/NAME.EXT, joined with the platform's
// separator (a Windows \\?\ folder takes no '/').
std::string OutputFor(const std::string& dir, const std::string& in) {
  std::filesystem::path stem = FsPath(in).filename().stem();
  return Utf8Name(FsPath(dir) / stem) + ".wav";
}

int Single(const ConvertOptions& options) {
  std::deque<ConvertProgress> progress(1);
  ConvertRequest request{options.files[0], options.files[1], options.raw, 0, options.no_clobber};
  auto start = std::chrono::steady_clock::now();
  ConvertResult r;
  {
    ProgressLine line(&progress);
    r = ConvertFile(request, &progress[0]);
  }
  double elapsed = Since(start);
  if (r.code == -1) EndAsRequested(StopRequest());
  if (Verbose() && !r.detail.empty()) SayAboveProgress("kivgsm: " + r.detail);
  if (!r.warning.empty() && !Quiet()) SayAboveProgress("kivgsm: warning: " + r.warning);
  if (r.code != 0) SayAboveProgress("kivgsm: " + r.error);
  // The summary goes where the audio does not.
  std::FILE* summary = request.out == "-" ? stderr : stdout;
  if (r.skipped && !Quiet())
    Print(summary, "%s exists; left as it is (--no-clobber)\n", Shown(request.out).c_str());
  if (!r.written || Quiet()) return r.code;
  std::string from = r.source.empty() ? "" : ", from " + r.source;
  Print(summary, "%llu blocks, %.2f s of audio, %llu bytes written to %s, %.0fx real time%s%s\n",
               static_cast<unsigned long long>(r.blocks), r.seconds, static_cast<unsigned long long>(r.bytes),
               request.out == "-" ? "standard output" : Shown(request.out).c_str(),
               elapsed > 0 ? r.seconds / elapsed : 0, from.c_str(), Repaired(r.clipped, r.silenced).c_str());
  return r.code;
}

// Each conversion holds a few files open at once: its input, its output
// (the tool's descriptor and the writer's), and the output it replaces,
// locked until it is replaced.
constexpr unsigned kFilesPerJob = 4;
constexpr unsigned kFilesKept = 32;  // the tool's own, and a margin
constexpr unsigned kMostJobs = 256;

// The jobs that the open-file limit (ulimit -n) can serve, and a sane
// maximum; saying so once when fewer than asked.
unsigned CapJobs(unsigned jobs) {
  unsigned allowed = OpenFilesAllowed();
  unsigned most = allowed > kFilesKept + kFilesPerJob ? (allowed - kFilesKept) / kFilesPerJob : 1;
  most = std::min(most, kMostJobs);
  if (jobs <= most || Quiet()) return std::min(jobs, most);
#if defined(_WIN32)
  const std::string limit = "the C runtime's limit on open files is ";
#else
  const std::string limit = "the open-file limit (ulimit -n) is ";
#endif
  Print(stderr, "kivgsm: running %u conversions at once, not %u: %s\n", most, jobs,
               most == kMostJobs ? "more gain nothing" : (limit + std::to_string(allowed)).c_str());
  return most;
}

// DIR/REL/NAME.wav for an input REL/NAME.EXT (an absolute input keeps its
// whole path under DIR); "" when the input's path climbs out with "..".
std::string TreeOutputFor(const std::string& dir, const std::string& in) {
  std::filesystem::path rel = FsPath(in).relative_path().lexically_normal();
  for (const auto& part : rel)
    if (part == "..") return "";
  return Utf8Name(FsPath(dir) / rel.replace_extension(".wav"));
}

// What a batch has done so far, beside the files and audio done that the
// progress line shows (BatchCounters): counts, and the first failure in
// input order, so that nothing grows with the number of files.
struct BatchTally {
  std::mutex mutex;
  std::uint64_t failed = 0;
  std::uint64_t skipped = 0;  // outputs that existed, left as they were (--no-clobber)
  unsigned long long clipped = 0, silenced = 0;
  std::uint64_t first_failure = UINT64_MAX;
  int status = 0;
  // Outputs being written now: a second input for one of them clashes.
  std::set<std::string> in_flight;
  // The files this run has written, by identity: a second input whose
  // output is one of them (by the same name, or by one the file system
  // takes for it) clashes.
  std::unordered_set<std::uint64_t> written;
};

// The output of each input, checked before anything starts for the names on
// the command line: 0, or the exit code after saying why.
int CheckCommandLineOutputs(const ConvertOptions& options) {
  // output -> the input that writes it. Every Windows folder ignores case,
  // so there names that differ only in case are one output; elsewhere that
  // is known only once a file is written (by its identity, as the run goes).
  std::map<std::string, std::string> claimed;
  for (const std::string& in : options.files) {
    if (in == "-") {
      Print(stderr, "%s",
            "kivgsm: standard input has no name to write; convert it with 'kivgsm convert - OUT.wav'\n");
      return kExitUsage;
    }
    std::string out = options.keep_tree ? TreeOutputFor(options.out_dir, in) : OutputFor(options.out_dir, in);
    if (out.empty()) continue;
#if defined(_WIN32)
    auto [it, fresh] = claimed.emplace(NameAsTheFolderKnowsIt(out), in);
#else
    auto [it, fresh] = claimed.emplace(out, in);
#endif
    if (!fresh) {
      Print(stderr, "kivgsm: %s and %s would both be written to %s; nothing converted\n",
                   Shown(it->second).c_str(), Shown(in).c_str(), Shown(out).c_str());
      return KIV_ERR_ARGUMENT;
    }
  }
  return 0;
}

// One batch run: the workers take names one at a time and convert them.
class BatchRun {
 public:
  BatchRun(const ConvertOptions& options, unsigned jobs) : options_(options), names_(options), progress_(jobs) {}
  bool names_ok() const { return names_.ok(); }
  bool names_failed() const { return names_.failed(); }
  BatchCounters& counters() { return counters_; }
  BatchTally& tally() { return tally_; }

  void Run(unsigned jobs) {
    ProgressLine line(&progress_, &counters_, options_.files_from.empty() ? options_.files.size() : 0);
    std::vector<std::thread> workers;
    workers.reserve(jobs);
    // Fewer threads than asked for still do the work; with none, the
    // failure to start one is the command's (as is memory running out in
    // a worker, once the others have stopped).
    for (unsigned w = 0; w < jobs; ++w) {
      try {
        workers.emplace_back([this, w] { Work(w); });
      } catch (const std::system_error&) {
        if (w == 0) throw;
        break;
      }
    }
    // A stop request comes to this thread: a worker waiting in a system
    // call (for an input FIFO's writer, for a name from a silent list) is
    // woken to see it, again at each turn until every worker has ended.
    {
      std::unique_lock<std::mutex> lock(ended_mutex_);
      while (ended_ < workers.size()) {
        if (StopRequest() != 0)
          for (std::thread& t : workers) InterruptThread(t);
        ended_changed_.wait_for(lock, std::chrono::milliseconds(100));
      }
    }
    for (std::thread& t : workers) t.join();
    // A folder sorts before what it holds: the deepest go first, and only
    // empty ones go at all.
    std::error_code ec;
    for (auto folder = made_folders_.rbegin(); folder != made_folders_.rend(); ++folder) std::filesystem::remove(*folder, ec);
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  // One worker: takes names until there are none left, a stop is asked
  // for, or another worker failed. What it throws is kept for Run.
  void Work(unsigned w) {
    LeaveStopRequestsToTheMainThread();
    struct Ended {
      BatchRun* run;
      ~Ended() {
        std::lock_guard<std::mutex> lock(run->ended_mutex_);
        ++run->ended_;
        run->ended_changed_.notify_all();
      }
    } ended{this};
    try {
      std::string in, undecodable;
      while (StopRequest() == 0) {
        std::uint64_t index;
        {
          std::lock_guard<std::mutex> lock(names_mutex_);
          if (failure_ || !names_.Next(&in, &undecodable)) break;
          index = next_index_++;
        }
        if (undecodable.empty()) {
          ConvertOne(index, in, &progress_[w]);
        } else {
          ConvertResult skipped;
          skipped.code = KIV_ERR_INPUT_READ;
          skipped.error = undecodable;
          Count(index, skipped);
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(names_mutex_);
      if (!failure_) failure_ = std::current_exception();
    }
  }

  // A second input for an output being written now, or written earlier in
  // this run (by any name the file system takes for it, in a folder that
  // ignores case too): a failure's result, or code 0 with the output
  // claimed under `key`, the name as its folder knows it.
  ConvertResult Claim(const std::string& in, const std::string& out, const std::string& key) {
    ConvertResult r;
    if (in == "-" || out.empty()) {
      r.code = KIV_ERR_ARGUMENT;
      r.error = in + ": " + ExitMessage(KIV_ERR_ARGUMENT) +
                (in == "-" ? ": standard input has no name to write" : ": its path climbs out of the folder");
      return r;
    }
    std::lock_guard<std::mutex> lock(tally_.mutex);
    const std::uint64_t id = FileIdentityOf(out);
    if (!tally_.in_flight.insert(key).second || (id != 0 && tally_.written.count(id) != 0)) {
      r.code = KIV_ERR_ARGUMENT;
      r.error = in + ": would overwrite " + out + ", written in this run from another input";
    }
    return r;
  }

  // Converts one input; its failure is said at once, so that nothing piles up.
  void ConvertOne(std::uint64_t index, const std::string& in, ConvertProgress* slot) {
    const std::string out =
        options_.keep_tree ? TreeOutputFor(options_.out_dir, in) : OutputFor(options_.out_dir, in);
    const std::string key = out.empty() ? out : NameAsTheFolderKnowsIt(out);
    ConvertResult r = Claim(in, out, key);
    if (r.code == 0) {
      if (options_.keep_tree) MakeTreeFolders(out);
      slot->Reset();
      r = ConvertFile({in, out, options_.raw, 1, options_.no_clobber}, slot);
      const std::uint64_t id = r.written ? FileIdentityOf(out) : 0;
      std::lock_guard<std::mutex> lock(tally_.mutex);
      tally_.in_flight.erase(key);
      if (id != 0) tally_.written.insert(id);
    }
    Count(index, r);
  }

  // The folders --keep-tree makes for an output, noted so that those that
  // failed inputs leave empty are removed when the run ends.
  void MakeTreeFolders(const std::string& out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = FsPath(out).parent_path();
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && !fs::exists(fs::symlink_status(p, ec)); p = p.parent_path())
      missing.push_back(p);
    fs::create_directories(folder, ec);
    std::lock_guard<std::mutex> lock(tally_.mutex);
    made_folders_.insert(missing.begin(), missing.end());
  }

  // One input's result in the batch's counts and messages.
  void Count(std::uint64_t index, const ConvertResult& r) {
    std::lock_guard<std::mutex> lock(tally_.mutex);
    counters_.files_done.fetch_add(1);
    counters_.audio_done = counters_.audio_done + r.seconds;  // every update holds the tally's lock
    tally_.clipped += r.clipped;
    tally_.silenced += r.silenced;
    if (r.skipped) ++tally_.skipped;
    if (Verbose() && !r.detail.empty()) SayAboveProgress("kivgsm: " + r.detail);
    if (!r.warning.empty() && !Quiet()) SayAboveProgress("kivgsm: warning: " + r.warning);
    if (r.code != 0 && r.code != -1) {
      ++tally_.failed;
      SayAboveProgress("kivgsm: failed: " + r.error);
      if (index < tally_.first_failure) {
        tally_.first_failure = index;
        tally_.status = r.code;
      }
    }
  }

  const ConvertOptions& options_;
  InputNames names_;
  std::mutex names_mutex_;
  std::uint64_t next_index_ = 0;
  std::exception_ptr failure_;  // the first thing a worker threw (under names_mutex_)
  std::deque<ConvertProgress> progress_;  // one slot per worker
  BatchCounters counters_;
  BatchTally tally_;
  std::set<std::filesystem::path> made_folders_;  // by --keep-tree (under tally_.mutex)
  std::mutex ended_mutex_;
  std::condition_variable ended_changed_;
  std::size_t ended_ = 0;  // workers that have ended (under ended_mutex_)
};

// The folder of -o, made with its parents when it does not exist: 0, or
// the exit code after saying why not.
int MakeOutputFolder(const ConvertOptions& options) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir = FsPath(options.out_dir);
  const fs::file_status status = fs::status(dir, ec);
  if (fs::is_directory(status)) return 0;
  // "-o out.wav" for one input: the user meant IN OUT.
  std::string ext = dir.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (options.files.size() == 1 && options.files_from.empty() && !fs::exists(status) && ext == ".wav") {
    Print(stderr, "kivgsm: -o takes a folder; to name the output file, write: kivgsm convert %s %s\n",
                 Shown(ShellQuoted(options.files[0])).c_str(), Shown(ShellQuoted(options.out_dir)).c_str());
    return kExitUsage;
  }
  if (fs::exists(status)) {
    Print(stderr, "kivgsm: %s: not a folder\n", Shown(options.out_dir).c_str());
    return KIV_ERR_OUTPUT_CREATE;
  }
  // A status that failed for another reason than a missing name (a loop
  // of links, a name too long, no search permission) says why here.
  std::error_code made, looked;
  if (!fs::create_directories(dir, made) && !fs::is_directory(fs::status(dir, looked))) {
    Print(stderr, "kivgsm: %s: cannot create the folder: %s\n", Shown(options.out_dir).c_str(),
                 (made ? made : looked ? looked : ec).message().c_str());
    return KIV_ERR_OUTPUT_CREATE;
  }
  return 0;
}

int Batch(const ConvertOptions& options) {
  // Names given on the command line are checked for clashes before
  // anything starts; names from a list are checked as they come.
  if (int rc = CheckCommandLineOutputs(options); rc != 0) return rc;
  unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  if (options.files_from.empty()) jobs = std::min<unsigned>(jobs, static_cast<unsigned>(options.files.size()));
  jobs = CapJobs(jobs);
  BatchRun run(options, jobs);
  if (StopRequest() != 0) EndAsRequested(StopRequest());  // while the list's open waited for a writer
  if (!run.names_ok()) {
    Print(stderr, "kivgsm: %s: cannot read the list of inputs\n", Shown(options.files_from).c_str());
    return KIV_ERR_INPUT_READ;
  }
  // The folder is made only once nothing refuses the run.
  if (int rc = MakeOutputFolder(options); rc != 0) return rc;
  const auto start = std::chrono::steady_clock::now();
  run.Run(jobs);
  double elapsed = Since(start);
  if (StopRequest() != 0) EndAsRequested(StopRequest());
  BatchTally& tally = run.tally();
  if (run.names_failed()) {
    SayAboveProgress("kivgsm: failed: " + options.files_from + ": cannot read the list of inputs");
    if (tally.status == 0) tally.status = KIV_ERR_INPUT_READ;
  }
  const std::uint64_t total = run.counters().files_done;
  const double audio = run.counters().audio_done;
  const std::string skipped =
      tally.skipped == 0 ? "" : ", " + std::to_string(tally.skipped) + " skipped (they exist)";
  if (!Quiet())
    Print(stdout, "%llu of %llu files converted into %s%s: %.2f s of audio in %.2f s, %.0fx real time, %u jobs%s\n",
                static_cast<unsigned long long>(total - tally.failed - tally.skipped),
                static_cast<unsigned long long>(total), Shown(options.out_dir).c_str(), skipped.c_str(), audio,
                elapsed, elapsed > 0 ? audio / elapsed : 0, jobs, Repaired(tally.clipped, tally.silenced).c_str());
  return tally.status;
}

}  // namespace

int ConvertCommand(const ConvertOptions& options) {
  RemoveTrackedFilesOnInterrupt();
  if (!options.out_dir.empty()) {
    if (options.files.empty() && options.files_from.empty()) {
      Print(stderr, "%s", "kivgsm: convert -o DIR needs inputs: IN... or --files-from FILE\n");
      return kExitUsage;
    }
    return Batch(options);
  }
  if (!options.files_from.empty() || options.keep_tree) {
    Print(stderr, "%s", "kivgsm: --files-from and --keep-tree go with -o DIR\n");
    return kExitUsage;
  }
  if (options.files.size() != 2) {
    Print(stderr, "%s", "kivgsm: convert takes IN OUT, or -o DIR IN...\n");
    return kExitUsage;
  }
  return Single(options);
}

}  // namespace kiv::tool
