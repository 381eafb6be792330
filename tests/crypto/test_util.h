// Helpers shared by the crypto tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "util/bytes.h"
#include "util/hex.h"

namespace brenvik::crypto::test {

inline Bytes H(std::string_view hex) {
  auto r = hex_decode(hex);
  EXPECT_TRUE(r.ok()) << "bad hex in test data: " << hex;
  return r.ok() ? *r : Bytes{};
}

template <typename C>
std::string Hx(const C& c) {
  return hex_encode(ByteView(c.data(), c.size()));
}

}  // namespace brenvik::crypto::test
