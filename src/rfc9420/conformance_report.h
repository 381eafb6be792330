// The report of a storage conformance run: which checks passed and why the
// others failed, in the order the checks were recorded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace brenvik::rfc9420 {

struct ConformanceFailure {
  std::string check;
  std::string detail;
  bool operator==(const ConformanceFailure&) const = default;
};

class ConformanceReport {
 public:
  // Appends the check's name to passed() on success, or {check, the failure
  // text} to failures() on failure.
  void record(std::string_view check, const Result<void, std::string>& outcome);
  void record_pass(std::string_view check) { passed_.emplace_back(check); }
  void record_failure(std::string_view check, std::string detail) {
    failures_.push_back({std::string(check), std::move(detail)});
  }

  const std::vector<std::string>& passed() const { return passed_; }
  const std::vector<ConformanceFailure>& failures() const { return failures_; }
  bool all_passed() const { return failures_.empty(); }

 private:
  std::vector<std::string> passed_;
  std::vector<ConformanceFailure> failures_;
};

}  // namespace brenvik::rfc9420
