#include "protocol/media/file_chunk.h"

#include <cstring>

#include "protocol/records/field_assign.h"
#include "protocol/records/small_records.h"

namespace brenvik {

namespace {

void put_u32(uint8_t*& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = uint8_t(v >> (8 * i));
}
void put_u64(uint8_t*& p, uint64_t v) {
  for (int i = 0; i < 8; ++i) *p++ = uint8_t(v >> (8 * i));
}
void put_raw(uint8_t*& p, const void* data, size_t n) {
  if (n == 0) return;
  std::memcpy(p, data, n);
  p += n;
}

class Cursor {
 public:
  explicit Cursor(ByteView d) : d_(d) {}
  size_t remaining() const { return d_.size() - pos_; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(d_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(d_[pos_ + i]) << (8 * i);
    pos_ += 8;
    return v;
  }
  ByteView take(size_t n) {
    ByteView v = d_.subspan(pos_, n);
    pos_ += n;
    return v;
  }

 private:
  ByteView d_;
  size_t pos_ = 0;
};

FileChunkDecodeError unexpected_end(std::string_view what) {
  return FileChunkDecodeError{
      FileChunkDecodeError::Kind::UnexpectedEnd, std::string(what), 0, 0, {}};
}
FileChunkDecodeError exceeds(std::string_view name, uint64_t value, uint64_t max) {
  return FileChunkDecodeError{
      FileChunkDecodeError::Kind::ExceedsMax, std::string(name), value, max, {}};
}

// A length field, checked against its maximum before the input's remaining
// length is looked at.
Result<uint32_t, FileChunkDecodeError> read_len(Cursor& c, std::string_view name, uint32_t max) {
  if (c.remaining() < 4) return Err(unexpected_end("u32"));
  uint32_t n = c.u32();
  if (n > max) return Err(exceeds(name, n, max));
  return n;
}

Result<std::string, FileChunkDecodeError> read_text(Cursor& c, uint32_t n, std::string_view name) {
  if (c.remaining() < n) return Err(unexpected_end("bytes"));
  ByteView b = c.take(n);
  if (auto v = validate_utf8(b); !v.ok())
    return Err(FileChunkDecodeError{FileChunkDecodeError::Kind::InvalidUtf8, std::string(name), 0,
                                    0, v.error()});
  return std::string(as_chars(b));
}

constexpr JsonField kJsonFields[] = {
    {"file_id", FieldRule::Required},      {"file_name", FieldRule::Required},
    {"file_size", FieldRule::Required},    {"total_chunks", FieldRule::Required},
    {"chunk_index", FieldRule::Required},  {"chunk_data", FieldRule::Required},
    {"file_checksum", FieldRule::Required}};

}  // namespace

Bytes FileChunk::encode_binary() const {
  Bytes out(32 + file_id.size() + file_name.size() + chunk_data.size() + file_checksum.size());
  uint8_t* p = out.data();
  put_u32(p, uint32_t(file_id.size()));
  put_raw(p, file_id.data(), file_id.size());
  put_u32(p, uint32_t(file_name.size()));
  put_raw(p, file_name.data(), file_name.size());
  put_u64(p, file_size);
  put_u32(p, total_chunks);
  put_u32(p, chunk_index);
  put_u32(p, uint32_t(chunk_data.size()));
  put_raw(p, chunk_data.data(), chunk_data.size());
  put_u32(p, uint32_t(file_checksum.size()));
  put_raw(p, file_checksum.data(), file_checksum.size());
  return out;
}

std::string FileChunkDecodeError::message() const {
  switch (kind) {
    case Kind::UnexpectedEnd:
      return "unexpected end of data reading " + field;
    case Kind::ExceedsMax:
      return field + " " + std::to_string(value) + " exceeds maximum " + std::to_string(max);
    case Kind::InvalidUtf8:
      return "invalid " + field + " UTF-8: " + utf8.message();
  }
  return field;
}

Result<FileChunk, FileChunkDecodeError> decode_file_chunk(ByteView data) {
  Cursor c(data);
  FileChunk chunk;
  BRENVIK_TRY(uint32_t id_len, read_len(c, "file_id_len", FileChunk::kMaxTextLen));
  BRENVIK_TRY(chunk.file_id, read_text(c, id_len, "file_id"));
  BRENVIK_TRY(uint32_t name_len, read_len(c, "file_name_len", FileChunk::kMaxTextLen));
  BRENVIK_TRY(chunk.file_name, read_text(c, name_len, "file_name"));
  if (c.remaining() < 8) return Err(unexpected_end("u64"));
  if (c.remaining() < 20) return Err(unexpected_end("u32"));
  chunk.file_size = c.u64();
  chunk.total_chunks = c.u32();
  chunk.chunk_index = c.u32();
  uint32_t data_len = c.u32();
  if (data_len > FileChunk::kMaxChunkDataLen)
    return Err(exceeds("chunk_data_len", data_len, FileChunk::kMaxChunkDataLen));
  if (c.remaining() < data_len) return Err(unexpected_end("bytes"));
  ByteView d = c.take(data_len);
  chunk.chunk_data.assign(d.begin(), d.end());
  BRENVIK_TRY(uint32_t sum_len, read_len(c, "checksum_len", FileChunk::kMaxTextLen));
  BRENVIK_TRY(chunk.file_checksum, read_text(c, sum_len, "checksum"));
  return chunk;
}

Result<FileChunk, JsonError> file_chunk_from_json(std::string_view text) {
  JsonReader r(text);
  FileChunk c;
  BRENVIK_TRY_VOID(read_record(r, "struct FileChunk", kJsonFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign_field(r.read_string(), c.file_id);
      case 1:
        return assign_field(r.read_string(), c.file_name);
      case 2:
        return assign_field(r.read_u64(), c.file_size);
      case 3:
        return assign_field(r.read_u32(), c.total_chunks);
      case 4:
        return assign_field(r.read_u32(), c.chunk_index);
      case 5:
        return assign_field(read_bytes_base64(r), c.chunk_data);
      default:
        return assign_field(r.read_string(), c.file_checksum);
    }
  }));
  BRENVIK_TRY_VOID(r.finish());
  return c;
}

}  // namespace brenvik
