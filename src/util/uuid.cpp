#include "util/uuid.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "util/hex.h"

namespace brenvik {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 hex digits, skipping hyphens exactly at the hyphenated positions
// when `hyphens` is set.
Result<Uuid, UuidError> parse_digits(std::string_view s, bool hyphens) {
  Uuid u;
  size_t pos = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) {
      if (s[pos] != '-') return Err(UuidError::InvalidGroups);
      ++pos;
    }
    const int hi = hex_digit(s[pos]), lo = hex_digit(s[pos + 1]);
    if (hi < 0 || lo < 0) {
      if (s[pos] == '-' || s[pos + 1] == '-') return Err(UuidError::InvalidGroups);
      return Err(UuidError::InvalidCharacter);
    }
    u.bytes[i] = uint8_t(hi << 4 | lo);
    pos += 2;
  }
  return u;
}

// Random bytes for identifiers, drawn from the secure source in blocks.
// Asking the source for 16 bytes at a time cost more than the rest of a
// message's send path (each call locks the generator and checks for a fork
// with a system call); one draw now serves many identifiers. Every byte is
// handed out once and wiped as it leaves.
//
// A forked child starts with a copy of its parent's unused bytes; the fork
// epoch makes it throw them away so that the two processes never share an
// identifier.
std::atomic<uint64_t> fork_epoch{1};

void on_fork_child() {
  fork_epoch.fetch_add(1, std::memory_order_relaxed);
}

class RandomBlock {
 public:
  RandomBlock() = default;
  RandomBlock(const RandomBlock&) = delete;
  RandomBlock& operator=(const RandomBlock&) = delete;
  ~RandomBlock() { OPENSSL_cleanse(bytes_, sizeof bytes_); }

  void take(uint8_t* out, size_t n) {
    static const bool registered = [] {
      return pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
    }();
    (void)registered;
    const uint64_t epoch = fork_epoch.load(std::memory_order_relaxed);
    if (epoch != epoch_ || sizeof bytes_ - pos_ < n) refill(epoch);
    std::memcpy(out, bytes_ + pos_, n);
    OPENSSL_cleanse(bytes_ + pos_, n);
    pos_ += n;
  }

 private:
  void refill(uint64_t epoch) {
    if (RAND_bytes(bytes_, int(sizeof bytes_)) != 1) {
      // Without a working random source no identifier would be unique.
      std::abort();
    }
    pos_ = 0;
    epoch_ = epoch;
  }

  uint8_t bytes_[1024];
  size_t pos_ = sizeof bytes_;
  uint64_t epoch_ = 0;
};

}  // namespace

std::string_view uuid_error_message(UuidError e) {
  switch (e) {
    case UuidError::InvalidLength:
      return "invalid length";
    case UuidError::InvalidCharacter:
      return "invalid character";
    case UuidError::InvalidGroups:
      return "invalid group layout";
  }
  return "invalid uuid";
}

Uuid Uuid::random_v4() {
  thread_local RandomBlock block;
  Uuid u;
  block.take(u.bytes.data(), u.bytes.size());
  u.bytes[6] = uint8_t((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = uint8_t((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

Uuid Uuid::from_bytes(ByteView b) {
  assert(b.size() == 16);
  Uuid u;
  std::copy(b.begin(), b.begin() + 16, u.bytes.begin());
  return u;
}

Result<Uuid, UuidError> Uuid::parse(std::string_view text) {
  switch (text.size()) {
    case 32:
      return parse_digits(text, false);
    case 36:
      return parse_digits(text, true);
    case 38:
      if (text.front() != '{' || text.back() != '}') return Err(UuidError::InvalidGroups);
      return parse_digits(text.substr(1, 36), true);
    case 45:
      if (text.substr(0, 9) != "urn:uuid:") return Err(UuidError::InvalidGroups);
      return parse_digits(text.substr(9), true);
    default:
      return Err(UuidError::InvalidLength);
  }
}

std::string Uuid::to_simple() const {
  return hex_encode(bytes);
}

std::string Uuid::to_string() const {
  const std::string h = to_simple();
  std::string out;
  out.reserve(36);
  out.append(h, 0, 8).append("-").append(h, 8, 4).append("-").append(h, 12, 4).append("-");
  out.append(h, 16, 4).append("-").append(h, 20, 12);
  return out;
}

bool Uuid::is_nil() const {
  for (uint8_t b : bytes)
    if (b) return false;
  return true;
}

}  // namespace brenvik
