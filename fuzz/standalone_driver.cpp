// SPDX-License-Identifier: MIT
// Runs a fuzz target without libFuzzer: each file named on the command line
// (or in a folder named there) once, or, with none, a fixed number of
// seeded random and mutated inputs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  auto run_file = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(b.data(), b.size());
  };
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& e : std::filesystem::directory_iterator(argv[i])) run_file(e.path()), ++files;
    } else {
      run_file(argv[i]), ++files;
    }
  }
  if (argc > 1) {
    std::printf("%d files\n", files);
    return files > 0 ? 0 : 1;
  }
  std::mt19937 rng(12345);
  // A valid GSM WAVE header to mutate, so that rounds reach the chunk walk.
  const std::uint8_t seed[60] = {'R', 'I', 'F', 'F', 52, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                 20, 0, 0, 0, 0x31, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x59, 6, 0, 0, 65, 0, 0, 0,
                                 2, 0, 0x40, 1, 'f', 'a', 'c', 't', 4, 0, 0, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a',
                                 0, 0, 0, 0};
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> b(seed, seed + 60);
    int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    b.resize(rng() % 61);
    // Exactly-sized heap copy, so an over-read is visible to the sanitizers.
    std::vector<std::uint8_t> exact(b);
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
  }
  std::puts("20000 rounds");
  return 0;
}
