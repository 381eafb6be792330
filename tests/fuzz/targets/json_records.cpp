// The strict JSON reader and every record reader that takes text from a
// peer or from storage. The first byte picks the reader, the rest is its
// input. Records that have a writer are written back, and what the writer
// gives must read again.
#include <array>
#include <functional>
#include <string_view>
#include <vector>

#include "bindings/send_conversions.h"
#include "core/address.h"
#include "fuzz_target.h"
#include "json_record_kinds.h"
#include "protocol/media/file_chunk.h"
#include "protocol/receive/signal_payloads.h"
#include "protocol/records/data_purpose_json.h"
#include "protocol/records/data_value_json.h"
#include "protocol/records/encrypted_message_json.h"
#include "protocol/records/group_payloads.h"
#include "protocol/records/key_package_payload.h"
#include "protocol/records/media_rich_extras.h"
#include "protocol/records/pending_message.h"
#include "protocol/records/relay_group_records.h"
#include "protocol/records/sync_body.h"
#include "protocol/records/welcome_message_json.h"
#include "transport/message_json.h"
#include "util/json_reader.h"
#include "util/rfc3339.h"

using namespace brenvik;

namespace {

std::string_view text_of(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// T::from_json(text); what reads is written with to_json and must read again.
template <typename T>
void record_round_trip(ByteView in) {
  auto v = T::from_json(text_of(in));
  if (!v.ok()) return;
  fuzz::fuzz_check(T::from_json(v->to_json()).ok(), "a record written reads again");
}

void generic_json(ByteView in, const std::function<void(const nlohmann::json&)>& then) {
  auto j = parse_json(text_of(in));
  if (j.ok()) then(*j);
}

// In the order of JsonReaderKind.
const std::array<void (*)(ByteView), fuzz::kJsonReaderCount>& readers() {
  static const auto all = std::to_array<void (*)(ByteView)>({
      [](ByteView in) { generic_json(in, [](const nlohmann::json& j) { (void)j.dump(); }); },
      [](ByteView in) { (void)read_message_json(in); },
      [](ByteView in) {
        auto v = encrypted_message_from_json(in);
        if (v.ok())
          fuzz::fuzz_check(encrypted_message_from_json(encrypted_message_to_json(*v)).ok(),
                           "an encrypted message written reads again");
      },
      [](ByteView in) {
        auto v = welcome_message_from_json(in);
        if (v.ok())
          fuzz::fuzz_check(welcome_message_from_json(welcome_message_to_json(*v)).ok(),
                           "a welcome message written reads again");
      },
      [](ByteView in) { (void)read_rich_extras_json(in); },
      [](ByteView in) { (void)read_media_metadata_document(in); },
      [](ByteView in) { (void)read_data_purpose_json(in); },
      [](ByteView in) { (void)read_data_value_json(in); },
      [](ByteView in) { (void)parse_presence_payload(text_of(in)); },
      [](ByteView in) { (void)parse_typing_payload(text_of(in)); },
      [](ByteView in) { (void)parse_read_receipt_payload(text_of(in)); },
      [](ByteView in) { (void)file_chunk_from_json(text_of(in)); },
      [](ByteView in) { (void)decode_file_chunk(in); },
      record_round_trip<GroupRenamePayload>,
      record_round_trip<GroupMlsCommitPayload>,
      record_round_trip<GroupMlsWelcomePayload>,
      record_round_trip<GroupRoleChangePayload>,
      record_round_trip<GroupMemberRemovedPayload>,
      record_round_trip<KeyPackagePayload>,
      [](ByteView in) { (void)PeerCapabilities::from_json(in); },
      [](ByteView in) { (void)EncryptionCapableEntry::from_json(in); },
      [](ByteView in) { (void)read_session_confirmation_state(in); },
      [](ByteView in) {
        auto v = PendingMessage::from_json_text(text_of(in));
        if (v.ok())
          fuzz::fuzz_check(PendingMessage::from_json_text(v->to_json_text()).ok(),
                           "a pending message written reads again");
      },
      [](ByteView in) { (void)GroupErrorPayload::from_json(text_of(in)); },
      [](ByteView in) { (void)UserGroupsPayload::from_json(text_of(in)); },
      [](ByteView in) { (void)GroupInfoPayload::from_json(text_of(in)); },
      [](ByteView in) { (void)RelayGroupDeliveryReport::from_json(text_of(in)); },
      [](ByteView in) {
        generic_json(in, [](const nlohmann::json& j) { (void)read_sync_body(j); });
      },
      [](ByteView in) { (void)parse_rfc3339(text_of(in)); },
      [](ByteView in) { (void)parse_address(text_of(in)); },
      [](ByteView in) { (void)ffi::body::parse_original_message(text_of(in)); },
  });
  static_assert(std::tuple_size_v<decltype(all)> == fuzz::kJsonReaderCount);
  return all;
}

}  // namespace

BRENVIK_FUZZ_TARGET(json_records) {
  if (input.empty()) return;
  const auto& all = readers();
  all[input[0] % all.size()](input.subspan(1));
}
