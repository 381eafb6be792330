// What a data-store media transfer carries (an attachment blob or a document
// snapshot), as the JSON kept in the media envelope and in the stored
// transfer descriptor: {"p":"attachment","hash":"..."} or
// {"p":"snapshot","doc":"..."}. Also the readers of the string-collection
// and failure-code fields of the data-store and welcome records.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "protocol/events/event_enums.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

struct DataPurpose {
  struct Attachment {
    std::string hash;
    bool operator==(const Attachment&) const = default;
  };
  struct Snapshot {
    std::string doc;
    bool operator==(const Snapshot&) const = default;
  };
  std::variant<Attachment, Snapshot> v;

  bool operator==(const DataPurpose&) const = default;
};

// A whole envelope section: one purpose (object or array form), then only
// whitespace.
Result<DataPurpose, JsonError> read_data_purpose_json(ByteView input);
// The value at the reader's position; refuses null.
Result<DataPurpose, JsonError> read_data_purpose(JsonReader& r);
// As the `data_purpose` field of a stored descriptor: null is no purpose.
Result<std::optional<DataPurpose>, JsonError> read_data_purpose_field(JsonReader& r);

// {"p":...,"hash"|"doc":...}; the descriptor's writer leaves the key out
// entirely when there is no purpose.
void write_data_purpose(JsonWriter& w, const DataPurpose& purpose);
std::string write_data_purpose_json(const DataPurpose& purpose);

// `docs` of a data space: an array of strings read as a set (repeats
// collapse, order does not matter).
Result<std::set<std::string>, JsonError> read_string_set_field(JsonReader& r);
// `quarantined` of a sync record: an array of strings, order and repeats
// kept.
Result<std::vector<std::string>, JsonError> read_string_list_field(JsonReader& r);
// `last_reason_code` of a welcome lifecycle: null is no code; otherwise one
// of the six upper-case codes ("TIMEOUT") or its one-key object form.
Result<std::optional<WelcomeFailureReason>, JsonError> read_failure_reason_code_field(
    JsonReader& r);
void write_failure_reason_code_field(JsonWriter& w, std::string_view key,
                                     std::optional<WelcomeFailureReason> code);

}  // namespace brenvik
