// Shared helpers for the test executables: where the public test vectors live.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace brenvik::testing {

// Directory of the public standards' test vectors; BRENVIK_VECTORS overrides
// the default location next to the source tree.
inline std::filesystem::path vectors_dir() {
  if (const char* env = std::getenv("BRENVIK_VECTORS"); env && *env) return env;
  return BRENVIK_VECTORS_DEFAULT;
}

// Directory holding the standards' texts (BIP-173/350 vectors are embedded there).
inline std::filesystem::path standards_dir() {
  if (const char* env = std::getenv("BRENVIK_STANDARDS"); env && *env) return env;
  return BRENVIK_STANDARDS_DEFAULT;
}

// Reads a whole file; returns false when it does not exist so that the caller
// can GTEST_SKIP() with a clear message.
inline bool read_file(const std::filesystem::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

}  // namespace brenvik::testing
