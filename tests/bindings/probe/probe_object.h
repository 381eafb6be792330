// A test-only object behind generated export wrappers: it records what its
// bodies received so that tests can see what the call frame handed over.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "bindings/handle.h"

namespace brenvik::ffi {

struct Probe {
  std::atomic<int> calls{0};
  std::atomic<bool>* destroyed = nullptr;  // set to true by the destructor
  std::string last_text;
  ~Probe() {
    if (destroyed) *destroyed = true;
  }
};

}  // namespace brenvik::ffi
