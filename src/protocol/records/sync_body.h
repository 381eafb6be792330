// The body of a data-sync frame ("__DATA_V1__" followed by one JSON object
// holding "v":1 and the body's keys, "k" first). The frame text is parsed into
// a generic value before the body is read, so repeated keys have already
// collapsed to their last value and errors carry no position.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/result.h"

namespace brenvik {

struct SyncBody {
  // Offer of the sender's document versions (docs: name -> version token,
  // gone: name -> removal floor, want: interest patterns).
  struct Versions {
    bool reply = false;
    bool partial = false;
    std::map<std::string, std::string> docs;
    std::map<std::string, std::string> gone;
    std::optional<std::vector<std::string>> want;
    bool operator==(const Versions&) const = default;
  };
  struct Delta {
    std::string doc;
    std::string blob;  // base64, decoded by the data store
    bool operator==(const Delta&) const = default;
  };
  struct Snapshot {
    std::string doc;
    std::string blob;
    bool operator==(const Snapshot&) const = default;
  };
  struct NeedSnapshot {
    std::string doc;
    bool operator==(const NeedSnapshot&) const = default;
  };
  struct NeedBlob {
    std::string hash;
    std::optional<std::string> to;
    bool operator==(const NeedBlob&) const = default;
  };
  struct BlobGone {
    std::string hash;
    bool operator==(const BlobGone&) const = default;
  };
  struct Chunk {
    std::string hash;
    uint32_t i = 0;
    uint32_t n = 0;
    std::string blob;
    bool operator==(const Chunk&) const = default;
  };

  std::variant<Versions, Delta, Snapshot, NeedSnapshot, NeedBlob, BlobGone, Chunk> v;

  bool operator==(const SyncBody&) const = default;
};

// Reads the body from the whole frame object (the caller has already
// checked that it is an object whose "v" is the integer 1). Keys the kind
// does not name, "v" included, are ignored. Refusals: "missing field `k`",
// "unknown variant `x`, expected one of `vv`, ...", "invalid type: ...",
// "invalid value: ...", "missing field `<field>`".
Result<SyncBody, std::string> read_sync_body(const nlohmann::json& frame);

// The frame object as the data store writes it: {"v":1,"k":...,fields in
// declared order}; Versions always carries reply, partial and docs, gone
// only when not empty and want only when present; NeedBlob carries to only
// when present. Without the marker.
std::string write_sync_frame_json(const SyncBody& body);

}  // namespace brenvik
