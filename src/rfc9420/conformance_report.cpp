#include "rfc9420/conformance_report.h"

namespace brenvik::rfc9420 {

void ConformanceReport::record(std::string_view check, const Result<void, std::string>& outcome) {
  if (outcome.ok())
    record_pass(check);
  else
    record_failure(check, outcome.error());
}

}  // namespace brenvik::rfc9420
