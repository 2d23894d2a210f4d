// Runs a fuzz target without libFuzzer: each file named on the command line
// once, or, with none, a fixed number of seeded random and mutated inputs.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(b.data(), b.size());
  }
  if (argc > 1) return 0;
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
