// Bech32 (BIP-173) and bech32m (BIP-350) strings, and the regrouping of bytes
// into 5-bit values that their data part carries. Address rules (which
// human-readable part, which payload) belong to the callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

enum class Bech32Variant { Bech32, Bech32m };

enum class Bech32Error {
  TooLong,               // more characters than the caller's limit
  MissingSeparator,      // no '1'
  EmptyHrp,              // nothing before the last '1'
  InvalidHrpCharacter,   // outside US-ASCII 33..126
  InvalidDataCharacter,  // not in the 32-character alphabet
  MixedCase,
  TooShortChecksum,  // fewer than 6 characters after the separator
  InvalidChecksum,   // checksum matches neither variant (or not the wanted one)
  InvalidPadding,    // 5-to-8 regrouping left non-zero or too many bits
};

// Fixed description of each fault, e.g. "invalid checksum".
std::string_view bech32_error_message(Bech32Error e);

// BIP-173 limits a whole string to 90 characters; callers with longer data
// (up to 1023 characters) pass their own limit.
inline constexpr size_t kBech32MaxLength = 90;

struct Bech32Decoded {
  std::string hrp;  // lowercased
  Bytes data;       // 5-bit values, checksum removed
  Bech32Variant variant;
};

// Writes hrp + "1" + data characters + 6 checksum characters, all lowercase.
// Requires: hrp non-empty, characters 33..126; every data value < 32. The
// hrp is lowercased before use.
std::string bech32_encode(std::string_view hrp, ByteView data5, Bech32Variant variant);

// Decodes either variant and reports which one verified. Accepts all-lower or
// all-upper text; refuses mixed case.
Result<Bech32Decoded, Bech32Error> bech32_decode(std::string_view text,
                                                 size_t max_length = kBech32MaxLength);

// Regroups `in` (values of `from_bits` bits each) into values of `to_bits`
// bits. With `pad`, a final partial group is zero-filled; without, leftover
// bits must number fewer than `from_bits` and be zero (else InvalidPadding).
// Input values wider than `from_bits` are InvalidDataCharacter.
Result<Bytes, Bech32Error> convert_bits(ByteView in, unsigned from_bits, unsigned to_bits,
                                        bool pad);

}  // namespace brenvik
