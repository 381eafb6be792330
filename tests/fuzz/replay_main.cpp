// The plain driver: feeds every saved input of a target's corpus to the same
// function the fuzzer calls, so that a build without libFuzzer (GCC with
// ASan+UBSan in CI) checks that no saved input, regression cases included,
// fails again.
//
//   fuzz_replay TARGET DIR   every file of DIR through TARGET
//   fuzz_replay --list       the registered targets, one per line
//
// Fails when the target is unknown or DIR holds no input: a target without
// a corpus would pass without testing anything.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  brenvik::fuzz::install_discarding_log_sink();
  const auto& targets = brenvik::fuzz::registry();
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const auto& [name, fn] : targets) std::printf("%s\n", name.c_str());
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TARGET CORPUS_DIR | --list\n", argv[0]);
    return 2;
  }
  auto it = targets.find(argv[1]);
  if (it == targets.end()) {
    std::fprintf(stderr, "unknown fuzz target %s\n", argv[1]);
    return 2;
  }
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(argv[2], ec)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  if (ec || files.empty()) {
    std::fprintf(stderr, "no inputs in %s\n", argv[2]);
    return 1;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    const brenvik::Bytes data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    it->second(data);
  }
  std::printf("%s: replayed %zu inputs\n", argv[1], files.size());
  return 0;
}
