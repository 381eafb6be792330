#include "bindings/send_conversions.h"

#include "core/identifier.h"
#include "core/message_id.h"
#include "protocol/core/protocol_core.h"

namespace brenvik::ffi::body {

namespace {
Result<void, std::string> check_user_id(std::string_view id) {
  auto r = validate_identifier(id, kUserIdLabel);
  if (!r.ok()) return Err(r.error().message());
  return {};
}
}  // namespace

brenvik::MessagePriority core_priority(MessagePriority p) {
  return static_cast<brenvik::MessagePriority>(static_cast<int32_t>(p) - 1);
}

brenvik::ContentType core_content_type(ContentType t) {
  return static_cast<brenvik::ContentType>(static_cast<int32_t>(t) - 1);
}

InterfaceError invalid_argument(std::string text) {
  return InterfaceError::with_message(InterfaceError::Kind::InvalidArgument, std::move(text));
}

brenvik::MediaMetadata core_media(const MediaMetadata& m) {
  return brenvik::MediaMetadata{
      m.mime_type,       m.file_name,        m.file_size,         m.duration_ms,
      m.width,           m.height,           m.thumbnail_base64,  m.media_id,
      m.download_url,    m.thumbnail_url,    m.encryption_key,    m.iv,
      m.ciphertext_hash, m.sticker_provider, m.sticker_remote_id, m.sticker_kind};
}

Result<std::optional<brenvik::ReplyContext>, InterfaceError> convert_reply_context(
    const std::optional<ReplyContext>& rc) {
  if (!rc) return std::optional<brenvik::ReplyContext>();
  if (auto r = check_user_id(rc->sender); !r.ok())
    return Err(invalid_argument("Invalid reply_context.sender: " + r.error()));
  return std::optional<brenvik::ReplyContext>(brenvik::ReplyContext{
      rc->sender, rc->text, rc->timestamp, rc->reply_media_label, rc->reply_content_type});
}

Result<std::optional<brenvik::ForwardInfo>, InterfaceError> convert_forward_info(
    const std::optional<ForwardInfo>& fi) {
  if (!fi) return std::optional<brenvik::ForwardInfo>();
  if (auto r = check_user_id(fi->original_sender); !r.ok())
    return Err(invalid_argument("Invalid forward_info.original_sender: " + r.error()));
  auto id = parse_message_id(fi->original_message_id);
  if (!id.ok())
    return Err(
        invalid_argument("Invalid forward_info.original_message_id: " + id.error().message()));
  return std::optional<brenvik::ForwardInfo>(brenvik::ForwardInfo{
      fi->original_sender, id.value(), fi->original_timestamp, fi->forward_count});
}

Result<brenvik::Message, InterfaceError> parse_original_message(std::string_view json) {
  auto original = parse_message_json(json);
  if (!original.ok())
    return Err(
        InterfaceError::with_message(InterfaceError::Kind::InvalidConfig,
                                     "Failed to parse original message JSON: " + original.error()));
  return std::move(original).value();
}

}  // namespace brenvik::ffi::body
