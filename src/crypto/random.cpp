#include "crypto/random.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <climits>

namespace brenvik::crypto {
namespace {
thread_local std::string t_last_reason;
}

Result<void, CryptoError> random_fill(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t chunk = std::min<size_t>(out.size() - done, INT_MAX);
    if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) {
      unsigned long code = ERR_get_error();
      char buf[256];
      ERR_error_string_n(code, buf, sizeof buf);
      ERR_clear_error();
      t_last_reason = code ? buf : "random source unavailable";
      return Err(CryptoError::RandomFailure);
    }
    done += chunk;
  }
  return Ok<CryptoError>();
}

Result<Bytes, CryptoError> random_bytes(size_t n) {
  Bytes out(n);
  BRENVIK_TRY_VOID(random_fill(out));
  return out;
}

Result<SecretArray<32>, CryptoError> random_secret_32() {
  SecretArray<32> s;
  BRENVIK_TRY_VOID(random_fill(s.span()));
  return s;
}

std::string last_random_failure_reason() {
  return t_last_reason;
}

}  // namespace brenvik::crypto
