// ContainerIdx: a document's short name for a container, an index into its
// SharedArena. Bits 0-26 hold the arena slot; bits 27-31 the container
// type's wire code. An unknown type k sets bit 31 and puts k << 27 there in
// 32-bit arithmetic, so its low four bits land in bits 27-30.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>

#include "kesu/common/container_id.h"

namespace kesu {

class ContainerIdx {
 public:
  static constexpr uint32_t kSlotMask = (1u << 27) - 1;

  constexpr ContainerIdx() = default;
  static ContainerIdx from_raw(uint32_t raw) {
    ContainerIdx i;
    i.raw_ = raw;
    return i;
  }
  static ContainerIdx make(uint32_t slot, ContainerType t) {
    uint32_t code = t.is_unknown() ? (0x80000000u | (uint32_t(t.unknown_code()) << 27))
                                   : (uint32_t(t.wire_code()) << 27);
    return from_raw((slot & kSlotMask) | code);
  }

  uint32_t raw() const { return raw_; }
  uint32_t slot() const { return raw_ & kSlotMask; }
  // The in-memory type of the wire code; codes of 6 and above are Unknown.
  ContainerType type() const {
    uint32_t code = raw_ >> 27;
    if (code <= 5) return ContainerType::from_wire_code(uint8_t(code));
    return ContainerType::unknown(uint8_t(code & 0x0F));
  }

  auto operator<=>(const ContainerIdx&) const = default;

 private:
  uint32_t raw_ = 0;
};

}  // namespace kesu

template <>
struct std::hash<kesu::ContainerIdx> {
  size_t operator()(const kesu::ContainerIdx& i) const { return std::hash<uint32_t>()(i.raw()); }
};
