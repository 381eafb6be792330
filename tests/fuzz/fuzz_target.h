// One fuzz target: a function from bytes to nothing that must neither crash,
// hang, leak nor trip a sanitizer, whatever the bytes. A target that checks a
// property of its own (a round trip, a documented limit) calls fuzz_check,
// which aborts with the property's text so that the fuzzer keeps the input.
//
// The same source builds two ways: under libFuzzer (BRENVIK_FUZZ_LIBFUZZER,
// one executable per target, LLVMFuzzerTestOneInput calling the function)
// and into the plain replay driver, where every target registers itself by
// name so that one executable replays every saved corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "util/bytes.h"

namespace brenvik::fuzz {

using TargetFn = void (*)(ByteView input);

// Targets by name, for the replay driver.
inline std::map<std::string, TargetFn>& registry() {
  static std::map<std::string, TargetFn> targets;
  return targets;
}

// Takes the library's log slot with a sink that formats every record (so the
// logging code is fuzzed too) and writes none: a fuzzer must not spend its
// time on standard error. Defined in fuzz_support.cpp.
void install_discarding_log_sink();

struct Registrar {
  Registrar(const char* name, TargetFn fn) { registry()[name] = fn; }
};

// Aborts (the fuzzer records the input as a crash) when `ok` is false.
inline void fuzz_check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

}  // namespace brenvik::fuzz

#define BRENVIK_FUZZ_CAT2(a, b) a##b
#define BRENVIK_FUZZ_CAT(a, b) BRENVIK_FUZZ_CAT2(a, b)

#ifdef BRENVIK_FUZZ_LIBFUZZER
#define BRENVIK_FUZZ_ENTRY(name)                                            \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                      \
    ::brenvik::fuzz::install_discarding_log_sink();                         \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    BRENVIK_FUZZ_CAT(fuzz_target_, name)(::brenvik::ByteView(data, size));  \
    return 0;                                                               \
  }
#else
#define BRENVIK_FUZZ_ENTRY(name)                                                   \
  static const ::brenvik::fuzz::Registrar BRENVIK_FUZZ_CAT(fuzz_registrar_, name){ \
      #name, &BRENVIK_FUZZ_CAT(fuzz_target_, name)};
#endif

// BRENVIK_FUZZ_TARGET(name) { ... uses `input` ... }
#define BRENVIK_FUZZ_TARGET(name)                                        \
  static void BRENVIK_FUZZ_CAT(fuzz_target_, name)(::brenvik::ByteView); \
  BRENVIK_FUZZ_ENTRY(name)                                               \
  static void BRENVIK_FUZZ_CAT(fuzz_target_, name)(::brenvik::ByteView input)
