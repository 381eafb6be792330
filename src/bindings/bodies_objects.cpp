// Bodies of the DataStore and MeshServices exports that need nothing beyond the
// objects themselves.
#include "bindings/ffi_bodies.h"
#include "crypto/sha256.h"
#include "util/hex.h"

namespace brenvik::ffi::body {

Ref<DataStore> datastore_ctor_new(Ref<BrenvikProtocol> protocol) {
  return Ref<DataStore>::make(std::move(protocol));
}

Ref<MeshServices> meshservices_ctor_new(Ref<BrenvikProtocol> protocol) {
  return Ref<MeshServices>::make(std::move(protocol));
}

// Content address of an attachment: lowercase hex SHA-256. Needs no lock, no
// storage and no enabled data layer.
std::string datastore_attachment_hash(DataStore& /*self*/, Bytes data) {
  auto digest = crypto::sha256(data);
  return hex_encode(digest);
}

}  // namespace brenvik::ffi::body
