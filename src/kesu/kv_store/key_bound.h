// One end of a key range: inclusive key, exclusive key or unbounded.
#pragma once

#include "kesu/kv_store/shared_bytes.h"

namespace kesu {

struct KeyBound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  Bytes key;  // empty when unbounded

  static KeyBound included(ByteView k) { return {Kind::Included, Bytes(k.begin(), k.end())}; }
  static KeyBound excluded(ByteView k) { return {Kind::Excluded, Bytes(k.begin(), k.end())}; }
  static KeyBound unbounded() { return {}; }
  bool bounded() const { return kind != Kind::Unbounded; }
};

// (key, value) as yielded by the store's iterators.
struct KvPair {
  SharedBytes key;
  SharedBytes value;
};

}  // namespace kesu
