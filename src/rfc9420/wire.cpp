// Out-of-line encoders for the to-be-signed forms and the MLSMessage entry
// points, so that their templates are instantiated once.
#include "rfc9420/key_package.h"
#include "rfc9420/mls_message.h"

namespace brenvik::rfc9420 {

const Extension* find_extension(std::span<const Extension> list, ExtensionType type) {
  for (const auto& e : list)
    if (e.extension_type == type) return &e;
  return nullptr;
}

Bytes leaf_node_tbs(const LeafNode& leaf, const std::optional<LeafNodeGroupContext>& group) {
  TlsWriter w;
  tls_write_prefix<tls_field_count<LeafNode>() - 1>(w, leaf);
  if (leaf.leaf_node_source() != LeafNodeSource::key_package) {
    // Update and commit leaves are bound to their group; a missing context
    // here would sign something no member can verify.
    if (!group) throw std::logic_error("LeafNodeTBS of an update/commit leaf needs its group");
    w.opaque(group->group_id);
    w.u32(group->leaf_index);
  }
  return w.take();
}

Bytes key_package_tbs(const KeyPackage& kp) {
  TlsWriter w;
  tls_write_prefix<tls_field_count<KeyPackage>() - 1>(w, kp);
  return w.take();
}

Bytes group_info_tbs(const GroupInfo& gi) {
  TlsWriter w;
  tls_write_prefix<tls_field_count<GroupInfo>() - 1>(w, gi);
  return w.take();
}

Result<MlsMessage, TlsError> decode_mls_message(ByteView in) {
  return tls_decode<MlsMessage>(in);
}

Bytes encode_mls_message(const MlsMessage& m) {
  return tls_encode(m);
}

std::optional<uint64_t> peek_message_epoch(ByteView in) {
  TlsReader r(in);
  uint16_t version = r.u16();
  uint16_t wire_format = r.u16();
  if (!r.ok() || version != uint16_t(ProtocolVersion::mls10)) return std::nullopt;
  // Both message kinds start with group_id<V> then uint64 epoch (the
  // PublicMessage through its FramedContent).
  if (wire_format != uint16_t(WireFormat::public_message) &&
      wire_format != uint16_t(WireFormat::private_message))
    return std::nullopt;
  uint64_t group_id_len = r.varint();
  if (!r.ok() || group_id_len > r.remaining()) return std::nullopt;
  r.raw(static_cast<size_t>(group_id_len));
  uint64_t epoch = r.u64();
  if (!r.ok()) return std::nullopt;
  return epoch;
}

}  // namespace brenvik::rfc9420
