// Bodies that send a file or media item to one peer, and the host's direct
// access to the inbound side of the file-transfer manager.
#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "bindings/send_conversions.h"

namespace brenvik::ffi::body {

namespace {

// Chunks the host feeds itself carry no transport sender; they are bound to
// this label so they never mix with a peer's transfer of the same id.
constexpr std::string_view kManualChunkSender = "manual:ffi";

Result<std::string, InterfaceError> send_media_request(BrenvikProtocol& self,
                                                       const std::string& recipient,
                                                       const Bytes& file_data,
                                                       const std::string& file_name,
                                                       brenvik::ContentType content_type,
                                                       const MediaSendRequest& request) {
  BRENVIK_TRY(auto g, self.lock_inner());
  // Media sends never take the forced transport: the transfer picks one
  // transport for all of its chunks.
  auto r = (*g)->send_media(recipient, file_data, file_name, content_type, request);
  if (!r.ok()) return Err(map_send_error(r.error()));
  return std::move(r).value();
}

}  // namespace

Result<std::string, InterfaceError> brenvikprotocol_send_media(
    BrenvikProtocol& self, std::string recipient, ::brenvik::Bytes file_data, std::string file_name,
    ContentType content_type, std::optional<MediaMetadata> media_metadata) {
  MediaSendRequest req;
  if (media_metadata) req.media_metadata = core_media(*media_metadata);
  return send_media_request(self, recipient, file_data, file_name, core_content_type(content_type),
                            req);
}

Result<std::string, InterfaceError> brenvikprotocol_send_file(BrenvikProtocol& self,
                                                              std::string recipient,
                                                              ::brenvik::Bytes file_data,
                                                              std::string file_name) {
  return send_media_request(self, recipient, file_data, file_name, brenvik::ContentType::File,
                            MediaSendRequest{});
}

Result<std::string, InterfaceError> brenvikprotocol_send_media_rich(
    BrenvikProtocol& self, std::string recipient, ::brenvik::Bytes file_data, std::string file_name,
    ContentType content_type, RichMediaOptions options) {
  BRENVIK_TRY(auto reply_context, convert_reply_context(options.reply_context));
  BRENVIK_TRY(auto forward_info, convert_forward_info(options.forward_info));
  MediaSendRequest req;
  if (options.media_metadata) req.media_metadata = core_media(*options.media_metadata);
  req.reply_context = std::move(reply_context);
  req.caption = std::move(options.caption);
  req.reply_to_msg = std::move(options.reply_to_msg);
  req.forward_info = std::move(forward_info);
  req.file_id = std::move(options.file_id);
  req.app_id = std::move(options.app_id);
  return send_media_request(self, recipient, file_data, file_name, core_content_type(content_type),
                            req);
}

Result<void, InterfaceError> brenvikprotocol_process_file_chunk(
    BrenvikProtocol& self, std::string file_id, uint32_t chunk_index, uint32_t total_chunks,
    uint64_t file_size, std::string file_name, std::string file_checksum, ::brenvik::Bytes data) {
  BRENVIK_TRY(auto g, self.lock_inner());
  FileChunk chunk{std::move(file_id), std::move(file_name),    file_size, total_chunks, chunk_index,
                  std::move(data),    std::move(file_checksum)};
  auto r =
      (*g)->file_transfers().process_file_chunk(std::string(kManualChunkSender), std::move(chunk));
  if (r.ok()) return {};
  const ChunkRejection why = r.error();
  std::string text = "File chunk rejected: " + std::string(chunk_rejection_code(why));
  const bool argument = why == ChunkRejection::InvalidChunk ||
                        why == ChunkRejection::MetadataMismatch ||
                        why == ChunkRejection::SenderMismatch;
  return Err(InterfaceError::with_message(
      argument ? InterfaceError::Kind::InvalidArgument : InterfaceError::Kind::InvalidState,
      std::move(text)));
}

Result<void, InterfaceError> brenvikprotocol_cancel_file_transfer(BrenvikProtocol& self,
                                                                  std::string file_id) {
  BRENVIK_TRY(auto g, self.lock_inner());
  if ((*g)->file_transfers().cancel_transfer(file_id)) return {};
  return Err(
      InterfaceError::with_message(InterfaceError::Kind::InvalidState, "File transfer not found"));
}

Result<void, InterfaceError> brenvikprotocol_finalize_file(BrenvikProtocol& self,
                                                           std::string file_id) {
  BRENVIK_TRY(auto g, self.lock_inner());
  // The assembled bytes are checked and released; the host gets none here.
  if ((*g)->file_transfers().finalize_file(file_id)) return {};
  return Err(InterfaceError::with_message(InterfaceError::Kind::InvalidState,
                                          "File not found or incomplete"));
}

std::optional<FileProgress> brenvikprotocol_get_file_progress(BrenvikProtocol& self,
                                                              std::string file_id) {
  auto g = self.lock_inner_or_recover();
  auto p = (*g)->file_transfers().progress(file_id);
  if (!p) return std::nullopt;
  return FileProgress{p->file_id, p->received_chunks, p->total_chunks, p->percentage};
}

}  // namespace brenvik::ffi::body
