// RFC 9420 wire structures as they arrive from peers. The first byte picks
// the structure; the rest is decoded. Whatever decodes must encode to the
// same bytes (the encoding is canonical), a KeyPackage is also validated,
// and a ratchet tree is built and hashed.
#include "fuzz_support.h"
#include "fuzz_target.h"
#include "rfc9420/key_package_ops.h"
#include "rfc9420/mls_message.h"
#include "rfc9420/ratchet_tree.h"

using namespace brenvik;
using namespace brenvik::rfc9420;

namespace {

template <typename T>
void round_trip(ByteView in) {
  auto v = tls_decode<T>(in);
  if (!v.ok()) return;
  const Bytes again = tls_encode(*v);
  fuzz::fuzz_check(
      ByteView(again).size() == in.size() && std::equal(again.begin(), again.end(), in.begin()),
      "a decoded structure encodes to the bytes it came from");
}

}  // namespace

BRENVIK_FUZZ_TARGET(mls_wire) {
  if (input.empty()) return;
  const ByteView body = input.subspan(1);
  switch (input[0] % 5) {
    case 0: {
      auto m = decode_mls_message(body);
      if (m.ok()) {
        const Bytes again = encode_mls_message(*m);
        fuzz::fuzz_check(
            again.size() == body.size() && std::equal(again.begin(), again.end(), body.begin()),
            "an MLSMessage encodes to the bytes it came from");
      }
      (void)peek_message_epoch(body);
      break;
    }
    case 1:
      round_trip<Welcome>(body);
      break;
    case 2:
      round_trip<KeyPackage>(body);
      (void)decode_and_validate_key_package(body, fuzz::kMlsNow);
      break;
    case 3:
      round_trip<GroupInfo>(body);
      break;
    case 4: {
      round_trip<RatchetTree>(body);
      auto wire = tls_decode<RatchetTree>(body);
      if (!wire.ok()) break;
      auto tree = PublicTree::from_wire(*wire);
      if (!tree.ok()) break;
      (void)tree->tree_hash();
      (void)tree->parent_hashes_valid();
      const RatchetTree back = tree->to_wire();
      fuzz::fuzz_check(back == *wire, "a tree gives back the wire form it was built from");
      break;
    }
  }
}
