// FileChunk: one slice of a file on its way between two devices, carried by
// one message of content type file_chunk. Every device of the mesh reads the
// binary form, so its layout is fixed:
//
//   u32 file_id_len | file_id | u32 file_name_len | file_name |
//   u64 file_size | u32 total_chunks | u32 chunk_index |
//   u32 chunk_data_len | chunk_data | u32 checksum_len | checksum
//
// all integers little-endian, 32 + the four variable lengths in all. The
// JSON form is only read (from the text content of a chunk message that
// carries no binary content); nothing here writes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/result.h"
#include "util/utf8.h"

namespace brenvik {

struct FileChunk {
  static constexpr uint32_t kMaxTextLen = 4096;            // file_id, file_name, checksum
  static constexpr uint32_t kMaxChunkDataLen = 134217728;  // 128 MiB

  std::string file_id;
  std::string file_name;
  uint64_t file_size = 0;
  uint32_t total_chunks = 0;
  uint32_t chunk_index = 0;
  Bytes chunk_data;
  std::string file_checksum;

  // Writes exactly what it is given, in one allocation of the exact length.
  // Lengths are written as their low 32 bits; no reader maximum is enforced,
  // so an over-long field encodes fine and is refused by every reader.
  Bytes encode_binary() const;
  bool operator==(const FileChunk&) const = default;
};

// The binary reader's refusal. Never thrown: every short, oversized or
// non-UTF-8 field ends the read with one of these.
struct FileChunkDecodeError {
  enum class Kind : uint8_t { UnexpectedEnd, ExceedsMax, InvalidUtf8 };
  Kind kind = Kind::UnexpectedEnd;
  std::string field;  // "u32"/"u64"/"bytes", a length field's name, or a text field's name
  uint64_t value = 0;
  uint64_t max = 0;
  Utf8Error utf8;

  // "unexpected end of data reading u32", "file_id_len 4097 exceeds maximum
  // 4096", "invalid file_name UTF-8: <utf-8 error>".
  std::string message() const;
  bool operator==(const FileChunkDecodeError&) const = default;
};

// Reads one chunk from the front of `data`; bytes after the checksum are
// ignored. Each length is compared with its maximum before the remaining
// input is looked at. The counts are not checked against each other here:
// the file-transfer manager judges them.
Result<FileChunk, FileChunkDecodeError> decode_file_chunk(ByteView data);

// One JSON object with the seven keys in any order (each exactly once,
// unknown keys skipped; chunk_data as base64 text), or an array of the seven
// values in declared order; then only whitespace.
Result<FileChunk, JsonError> file_chunk_from_json(std::string_view text);

}  // namespace brenvik
