#include "kesu/change_store/encoded_block.h"

#include "kesu/columnar/varint.h"

namespace kesu {

KesuResult<EncodedBlock> parse_encoded_block(ByteView bytes) {
  ByteReader r(bytes);
  EncodedBlock b;
  auto fail = [](const SerdeError& e) {
    return brenvik::Err(KesuError::decode("Decode block error " + e.message()));
  };
  for (uint32_t* f :
       {&b.counter_start, &b.counter_span, &b.lamport_start, &b.lamport_span, &b.change_count}) {
    auto v = r.read_uvarint32();
    if (!v.ok()) return fail(v.error());
    *f = *v;
  }
  for (ByteView* f : {&b.header, &b.change_meta, &b.cids, &b.keys, &b.positions, &b.ops,
                      &b.delete_id_starts, &b.values}) {
    auto v = r.read_bytes();
    if (!v.ok()) return fail(v.error());
    *f = *v;
  }
  return b;
}

void write_encoded_block(const EncodedBlock& b, Bytes& out) {
  for (uint32_t v :
       {b.counter_start, b.counter_span, b.lamport_start, b.lamport_span, b.change_count})
    write_uvarint32(out, v);
  for (ByteView v :
       {b.header, b.change_meta, b.cids, b.keys, b.positions, b.ops, b.delete_id_starts, b.values})
    write_bytes(out, v);
}

}  // namespace kesu
