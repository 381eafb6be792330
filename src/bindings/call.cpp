#include "bindings/call.h"

namespace brenvik::ffi {

std::string arg_failure(std::string_view name, std::string_view message) {
  std::string out = "Failed to convert arg '";
  out += name;
  out += "':\n";
  out += message;
  return out;
}

LiftResult<bool> lift_bool(int8_t v, std::string_view name) {
  if (v == 0) return false;
  if (v == 1) return true;
  return Err(arg_failure(name, "unexpected byte for Boolean"));
}

void set_status(BrenvikFfiCallStatus* status, int8_t code, ByteView error) {
  if (status == nullptr) return;
  status->code = code;
  status->error_buf = buffer_from(error);
}

}  // namespace brenvik::ffi
