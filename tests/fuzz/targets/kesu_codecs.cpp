// Kesu's byte decoders below the sorted table: values (compact, nested and
// operation values), the key, container and position arenas, single
// columns of every strategy and framed column sets. The first byte picks the
// decoder. Compact values and columns that decode are encoded and decoded
// again and must come back the same.
#include <functional>
#include <vector>

#include "fuzz_target.h"
#include "kesu/columnar/column_set.h"
#include "kesu/internal/encoding/arena.h"
#include "kesu/internal/encoding/value.h"

using namespace brenvik;
using namespace kesu;

namespace {

constexpr size_t kMaxValues = 1 << 16;

const std::vector<InternalString>& keys() {
  static const std::vector<InternalString> k = {InternalString("a"), InternalString("text"),
                                                InternalString("a longer key than inline")};
  return k;
}
const std::vector<PeerID> kPeers = {1, 7, 0xfffffffffffULL};

template <typename Col>
void column(ByteView in) {
  auto v = Col::decode(in, kMaxValues);
  if (!v.ok()) return;
  auto enc = Col::encode(*v);
  if (!enc.ok()) return;  // a writer may refuse what it cannot represent
  auto back = Col::decode(*enc, kMaxValues);
  fuzz::fuzz_check(back.ok() && *back == *v, "a column written decodes to the same values");
}

void compact_values(ByteView in) {
  ByteReader r(in);
  for (int i = 0; i < 64 && r.remaining() > 0; ++i) {
    auto v = decode_compact_value(r);
    if (!v.ok()) return;
    Bytes out;
    encode_compact_value(*v, out);
    ByteReader again(out);
    auto back = decode_compact_value(again);
    fuzz::fuzz_check(back.ok(), "a compact value written decodes");
    // Compared by encoding: a NaN is not equal to itself.
    Bytes twice;
    encode_compact_value(*back, twice);
    fuzz::fuzz_check(twice == out, "a compact value written decodes to itself");
  }
}

const std::vector<void (*)(ByteView)>& decoders() {
  static const std::vector<void (*)(ByteView)> all = {
      compact_values,
      [](ByteView in) {
        ByteReader r(in);
        (void)read_nested_value(r, keys(), 7, 3);
      },
      [](ByteView in) {
        if (in.empty()) return;
        ByteReader r(in.subspan(1));
        (void)read_op_value(in[0], r, keys(), 7, 3);
      },
      [](ByteView in) { (void)decode_keys(in); },
      [](ByteView in) { (void)decode_containers(in, keys(), kPeers); },
      [](ByteView in) { (void)decode_positions(in); },
      column<AnyRleColumn<uint8_t>>,
      column<AnyRleColumn<uint32_t>>,
      column<AnyRleColumn<uint64_t>>,
      column<AnyRleColumn<int32_t>>,
      column<DeltaRleColumn<int64_t>>,
      column<DeltaRleColumn<uint32_t>>,
      column<BoolRleColumn>,
      column<DeltaOfDeltaColumn<int64_t>>,
      column<PlainColumn<uint64_t>>,
      [](ByteView in) {
        ByteReader r(in);
        (void)decode_columns<DeltaRleColumn<int64_t>, AnyRleColumn<uint64_t>, BoolRleColumn>(
            r, kMaxValues);
      },
      [](ByteView in) {
        ByteReader r(in);
        (void)decode_columns<AnyRleColumn<uint32_t>, DeltaOfDeltaColumn<int64_t>,
                             PlainColumn<uint64_t>>(r, kMaxValues);
      },
      [](ByteView in) {
        ByteReader r(in);
        (void)read_value_list(r);
        (void)read_interned_string(r);
        (void)read_plain_u64_column(r);
      },
  };
  return all;
}

}  // namespace

BRENVIK_FUZZ_TARGET(kesu_codecs) {
  if (input.empty()) return;
  const auto& all = decoders();
  all[input[0] % all.size()](input.subspan(1));
}
