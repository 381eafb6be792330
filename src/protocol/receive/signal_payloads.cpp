#include "protocol/receive/signal_payloads.h"

#include "protocol/records/receive_enums.h"

namespace brenvik {

namespace {
constexpr JsonField kPresenceFields[] = {{"status", FieldRule::Required},
                                         {"timestamp_ms", FieldRule::Required}};
constexpr JsonField kTypingFields[] = {{"conversation_id", FieldRule::Required},
                                       {"is_typing", FieldRule::Required},
                                       {"timestamp_ms", FieldRule::Required}};
constexpr JsonField kReceiptFields[] = {{"message_ids", FieldRule::Required},
                                        {"timestamp_ms", FieldRule::Required}};
}  // namespace

Result<PresencePayload, JsonError> parse_presence_payload(std::string_view body) {
  return read_whole_record<PresencePayload>(body, [](JsonReader& r, PresencePayload& p) {
    return read_record(r, "struct PresencePayload", kPresenceFields, [&](size_t i) -> JsonStatus {
      if (i == 0) {
        BRENVIK_TRY(p.status, read_presence_status(r));
      } else {
        BRENVIK_TRY(p.timestamp_ms, r.read_i64());
      }
      return {};
    });
  });
}

Result<TypingIndicatorPayload, JsonError> parse_typing_payload(std::string_view body) {
  return read_whole_record<TypingIndicatorPayload>(
      body, [](JsonReader& r, TypingIndicatorPayload& p) {
        return read_record(r, "struct TypingIndicatorPayload", kTypingFields,
                           [&](size_t i) -> JsonStatus {
                             switch (i) {
                               case 0: {
                                 BRENVIK_TRY(p.conversation_id, r.read_string());
                                 return {};
                               }
                               case 1: {
                                 BRENVIK_TRY(p.is_typing, r.read_bool());
                                 return {};
                               }
                               default: {
                                 BRENVIK_TRY(p.timestamp_ms, r.read_i64());
                                 return {};
                               }
                             }
                           });
      });
}

Result<ReadReceiptPayload, JsonError> parse_read_receipt_payload(std::string_view body) {
  return read_whole_record<ReadReceiptPayload>(body, [](JsonReader& r, ReadReceiptPayload& p) {
    return read_record(r, "struct ReadReceiptPayload", kReceiptFields, [&](size_t i) -> JsonStatus {
      if (i == 0) {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          BRENVIK_TRY(std::string id, r.read_string());
          p.message_ids.push_back(std::move(id));
        }
      } else {
        BRENVIK_TRY(p.timestamp_ms, r.read_i64());
      }
      return {};
    });
  });
}

}  // namespace brenvik
