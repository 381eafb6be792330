// The storage conformance runner: thirteen named checks of a protocol-state
// storage provider, in a fixed order, reported as compact JSON
// {"passed":[...],"failures":[{"check":...,"detail":...}]}. Touches only its
// probe key types and deletes what it wrote. Never fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/state_storage_provider.h"

namespace brenvik::store {

struct StorageConformanceReport {
  struct Failure {
    std::string check;
    std::string detail;
  };
  std::vector<std::string> passed;
  std::vector<Failure> failures;

  void record(std::string_view check, const std::optional<std::string>& failure_detail);
  std::string to_json() const;
};

// True when one of the keys is "storage_conformance_isolation_listing".
bool listing_names_isolation_key(const std::vector<std::string>& keys);

StorageConformanceReport run_storage_conformance_checks(StateStorageProvider& provider);
inline std::string run_storage_conformance(StateStorageProvider& provider) {
  return run_storage_conformance_checks(provider).to_json();
}

}  // namespace brenvik::store
