// The value codec of the exported interface, where a host's bytes enter the
// library. The first byte picks the path:
//   0: the rest is the construction record handed to the exported
//      constructor through the C interface, as a host calls it;
//   1-4: the rest is read as one of the records hosts send (the
//      construction record, rich message options, media metadata, relay
//      tunables); what reads is written, and writing what that reads again
//      gives the same bytes.
#include "bindings/ffi_types.h"
#include "brenvik_ffi.h"
#include "fuzz_target.h"

using namespace brenvik;
using namespace brenvik::ffi;

namespace {

template <typename T>
void record(ByteView in) {
  Reader r(in);
  auto v = Codec<T>::read(r);
  if (!v.ok()) return;
  Writer w1;
  Codec<T>::write(w1, *v);
  const Bytes once = w1.copy();
  Reader r2(once);
  auto again = Codec<T>::read(r2);
  fuzz::fuzz_check(again.ok() && r2.remaining() == 0, "a record written reads back whole");
  Writer w2;
  Codec<T>::write(w2, *again);
  fuzz::fuzz_check(w2.copy() == once, "writing a record read back gives the same bytes");
}

void construct(ByteView in) {
  BrenvikFfiCallStatus st{};
  BrenvikFfiHostBytes hb{int32_t(in.size()), in.data()};
  BrenvikFfiByteBuffer buf = brenvik_ffi_buffer_from_bytes(hb, &st);
  fuzz::fuzz_check(st.code == 0, "a host buffer is accepted");
  st = BrenvikFfiCallStatus{};
  const uint64_t handle = brenvik_ffi_fn_constructor_brenvikprotocol_new(buf, &st);
  if (st.code != 0) {
    fuzz::fuzz_check(st.code == 1, "a bad construction record is an interface error");
    fuzz::fuzz_check(handle == 0, "a failed constructor gives no handle");
    BrenvikFfiCallStatus free_st{};
    brenvik_ffi_buffer_free(st.error_buf, &free_st);
    return;
  }
  fuzz::fuzz_check(handle != 0, "a constructor that succeeds gives a handle");
  BrenvikFfiCallStatus free_st{};
  brenvik_ffi_fn_free_brenvikprotocol(handle, &free_st);
}

}  // namespace

BRENVIK_FUZZ_TARGET(ffi_value_codec) {
  if (input.empty()) return;
  const ByteView rest = input.subspan(1);
  switch (input[0] % 5) {
    case 0:
      construct(rest);
      break;
    case 1:
      record<BrenvikProtocolConfig>(rest);
      break;
    case 2:
      record<RichMessageOptions>(rest);
      break;
    case 3:
      record<MediaMetadata>(rest);
      break;
    case 4:
      record<MeshRelayTunables>(rest);
      break;
  }
}
