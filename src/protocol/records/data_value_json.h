// The value a host stores in and reads from the replicated data store, in
// its JSON form: one object whose "kind" names the variant, beside the
// variant's fields ({"kind":"int","value":5}), or the array form
// ["int",5]. The host never sees the document engine's own value type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

struct DataValue {
  struct Null {
    bool operator==(const Null&) const = default;
  };
  struct Bool {
    bool value = false;
    bool operator==(const Bool&) const = default;
  };
  struct Int {
    int64_t value = 0;
    bool operator==(const Int&) const = default;
  };
  struct Float {
    double value = 0;
    bool operator==(const Float&) const = default;  // NaN never equals itself
  };
  struct Text {
    std::string value;
    bool operator==(const Text&) const = default;
  };
  struct Bytes {
    brenvik::Bytes value;
    bool operator==(const Bytes&) const = default;
  };
  // A content-addressed blob held elsewhere; the contents are not checked
  // here (the data store does that after reading).
  struct Attachment {
    std::string hash;
    uint64_t size = 0;
    std::optional<std::string> name;  // absent differs from ""
    std::optional<std::string> mime;
    bool operator==(const Attachment&) const = default;
  };

  std::variant<Null, Bool, Int, Float, Text, Bytes, Attachment> v;

  bool operator==(const DataValue&) const = default;
};

// Reads the value at the reader's position (object or array form).
Result<DataValue, JsonError> read_data_value(JsonReader& r);
// Reads a whole host text: one value, then only whitespace. With bytes every
// string read must be valid UTF-8.
Result<DataValue, JsonError> read_data_value_json(ByteView input);
Result<DataValue, JsonError> read_data_value_json(std::string_view input);

// Compact object, "kind" first; a whole Float keeps ".0", a non-finite one is
// null; Attachment leaves out an absent name or mime. Never fails.
void write_data_value(JsonWriter& w, const DataValue& value);
std::string write_data_value_json(const DataValue& value);

}  // namespace brenvik
