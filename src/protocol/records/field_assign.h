// Moves a field reader's value into the record under construction, or
// passes its refusal on: the shape every per-field callback of read_record
// takes.
#pragma once

#include <utility>

#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

template <typename T, typename U>
JsonStatus assign_field(Result<T, JsonError> r, U& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

}  // namespace brenvik
