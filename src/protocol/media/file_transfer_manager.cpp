#include "protocol/media/file_transfer_manager.h"

#include <algorithm>

#include "crypto/random.h"
#include "crypto/sha256.h"
#include "util/hash.h"
#include "util/hex.h"
#include "util/log.h"

namespace brenvik {

namespace {

uint64_t sat_add(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}
uint64_t sat_mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

std::pair<uint64_t, uint64_t> random_keys() {
  uint8_t b[16] = {};
  (void)crypto::random_fill(b);
  uint64_t k0 = 0, k1 = 0;
  for (int i = 0; i < 8; ++i) {
    k0 |= uint64_t(b[i]) << (8 * i);
    k1 |= uint64_t(b[8 + i]) << (8 * i);
  }
  return {k0, k1};
}

std::string sha256_hex(ByteView data) {
  auto d = crypto::sha256(data);
  return hex_encode(ByteView(d.data(), d.size()));
}

}  // namespace

std::string_view chunk_rejection_code(ChunkRejection r) {
  switch (r) {
    case ChunkRejection::InvalidChunk:
      return "invalid_chunk";
    case ChunkRejection::MetadataMismatch:
      return "metadata_mismatch";
    case ChunkRejection::SenderMismatch:
      return "sender_mismatch";
    case ChunkRejection::TooManyTransfers:
      return "too_many_transfers";
    case ChunkRejection::SenderQuotaExceeded:
      return "sender_quota_exceeded";
    case ChunkRejection::BufferBudgetExhausted:
      return "buffer_budget_exhausted";
    case ChunkRejection::PreviouslyFailed:
      return "previously_failed";
  }
  return "invalid_chunk";
}

uint8_t chunk_percentage(uint32_t done, uint32_t total) {
  if (total == 0) return 0;
  float pct = float(done) / float(total) * 100.0f;
  if (!(pct < 255.0f)) return 255;
  return uint8_t(pct);
}

// ------------------------------------------------------------- SeenIdSet

uint64_t SeenIdSet::key(std::string_view file_id) const {
  return siphash13(as_bytes(file_id), k0_, k1_);
}

void SeenIdSet::insert(std::string_view file_id) {
  uint64_t k = key(file_id);
  MonoTime now = clock_.monotonic();
  auto [it, added] = touched_.insert_or_assign(k, now);
  (void)it;
  if (!added) return;
  order_.push_back(k);
  while (touched_.size() > kCapacity && !order_.empty()) {
    touched_.erase(order_.front());
    order_.pop_front();
  }
}

bool SeenIdSet::contains_and_touch(std::string_view file_id) {
  auto it = touched_.find(key(file_id));
  if (it == touched_.end()) return false;
  it->second = clock_.monotonic();
  return true;
}

void SeenIdSet::prune(Nanos timeout) {
  MonoTime now = clock_.monotonic();
  std::erase_if(touched_, [&](const auto& kv) { return now - kv.second > timeout; });
  std::erase_if(order_, [&](uint64_t k) { return !touched_.contains(k); });
}

// ---------------------------------------------------- FileTransferManager

FileTransferManager::FileTransferManager(FileTransferConfig config, const Clock& clock)
    : config_(config),
      clock_(clock),
      max_total_chunks_(config.max_file_size < 1048576 ? 1024 : config.max_file_size / 1024 + 1),
      failed_(clock, random_keys()) {
  // One transfer of the largest allowed file must fit in the budget, or
  // that file could never be received.
  uint64_t one =
      sat_add(config_.max_file_size,
              sat_mul(std::min(config_.max_file_size, max_total_chunks_), kChunkOverhead));
  if (config_.max_total_buffered_bytes < one) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message",
                 "max_total_buffered_bytes below what one max_file_size transfer charges; "
                 "clamping"},
                {"configured", config_.max_total_buffered_bytes}, {"clamped_to", one});
    config_.max_total_buffered_bytes = one;
  }
}

Result<std::vector<FileChunk>, ProtocolError> FileTransferManager::split_file(
    const std::string& file_id, const std::string& file_name, ByteView data,
    std::optional<uint64_t> chunk_size_in) const {
  const uint64_t len = data.size();
  if (len > config_.max_file_size)
    return Err(ProtocolError::invalid_input("File size " + std::to_string(len) +
                                            " exceeds maximum " +
                                            std::to_string(config_.max_file_size)));
  if (len == 0) return Err(ProtocolError::invalid_input("File is empty"));
  const uint64_t chunk_size = chunk_size_in.value_or(config_.chunk_size);
  if (chunk_size == 0)
    return Err(ProtocolError::invalid_input("Chunk size must be greater than zero"));
  const uint64_t total = len / chunk_size + (len % chunk_size != 0);
  if (total > max_total_chunks_)
    return Err(ProtocolError::invalid_input(
        "Chunk size " + std::to_string(chunk_size) + " splits " + std::to_string(len) +
        " bytes into " + std::to_string(total) + " chunks, exceeding the receive-side cap of " +
        std::to_string(max_total_chunks_) + "; use a larger chunk size"));
  const std::string checksum = sha256_hex(data);
  std::vector<FileChunk> chunks;
  chunks.reserve(size_t(total));
  for (uint64_t i = 0; i < total; ++i) {
    uint64_t begin = i * chunk_size;
    uint64_t end = std::min(begin + chunk_size, len);
    chunks.push_back(FileChunk{file_id, file_name, len, uint32_t(total), uint32_t(i),
                               Bytes(data.begin() + begin, data.begin() + end), checksum});
  }
  return chunks;
}

ChunkProgress FileTransferManager::progress_of(const std::string& file_id,
                                               const InboundAssembly& a) const {
  uint32_t received = uint32_t(a.chunks.size());
  return ChunkProgress{file_id,  a.file_name,    a.file_size,
                       received, a.total_chunks, chunk_percentage(received, a.total_chunks)};
}

uint64_t FileTransferManager::total_buffered_bytes() const {
  uint64_t sum = 0;
  for (const auto& [_, a] : transfers_) sum = sat_add(sum, charge_of(a));
  return sum;
}

Result<ChunkProgress, ChunkRejection> FileTransferManager::process_file_chunk(
    const std::string& sender, FileChunk chunk) {
  const std::string& id = chunk.file_id;
  const uint64_t chunk_len = chunk.chunk_data.size();
  if (chunk.total_chunks == 0 || chunk.chunk_index >= chunk.total_chunks)
    return Err(ChunkRejection::InvalidChunk);
  if (chunk.file_size == 0 || chunk.file_size > config_.max_file_size) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Rejecting file chunk: claimed file_size out of bounds"},
                {"file_id", id}, {"file_size", chunk.file_size},
                {"max_file_size", config_.max_file_size});
    return Err(ChunkRejection::InvalidChunk);
  }
  if (chunk.total_chunks > chunk.file_size || chunk.total_chunks > max_total_chunks_) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Rejecting file chunk: claimed total_chunks out of bounds"},
                {"file_id", id}, {"total_chunks", chunk.total_chunks},
                {"file_size", chunk.file_size}, {"max_total_chunks", max_total_chunks_});
    return Err(ChunkRejection::InvalidChunk);
  }
  if (chunk_len == 0 || chunk_len > chunk.file_size) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message",
                 "Rejecting file chunk: chunk data length inconsistent with claimed "
                 "file_size"},
                {"file_id", id}, {"chunk_len", chunk_len}, {"file_size", chunk.file_size});
    return Err(ChunkRejection::InvalidChunk);
  }
  if (has_failed(id)) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Dropping chunk of a previously failed transfer"}, {"file_id", id});
    return Err(ChunkRejection::PreviouslyFailed);
  }

  uint64_t charge = 0;
  auto it = transfers_.find(id);
  if (it != transfers_.end()) {
    const InboundAssembly& a = it->second;
    if (sender != a.sender) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Rejecting file chunk: sender does not match the assembly's sender"},
                  {"file_id", id}, {"sender", sender});
      return Err(ChunkRejection::SenderMismatch);
    }
    if (chunk.total_chunks != a.total_chunks || chunk.file_size != a.file_size ||
        chunk.file_checksum != a.file_checksum) {
      BRENVIK_LOG(
          LogLevel::Warn, kLogTarget,
          {"message", "Rejecting file chunk: metadata does not match the existing assembly"},
          {"file_id", id});
      return Err(ChunkRejection::MetadataMismatch);
    }
    auto held_it = a.chunks.find(chunk.chunk_index);
    uint64_t held = held_it == a.chunks.end() ? 0 : held_it->second.size();
    if (a.received_bytes - held + chunk_len > a.file_size) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Rejecting file chunk: received bytes exceed claimed file_size"},
                  {"file_id", id}, {"received_bytes", a.received_bytes}, {"chunk_len", chunk_len},
                  {"file_size", a.file_size});
      return Err(ChunkRejection::InvalidChunk);
    }
    // A replaced copy is charged only for its growth; a shrink costs nothing.
    charge = held_it != a.chunks.end() ? (chunk_len > held ? chunk_len - held : 0)
                                       : chunk_len + kChunkOverhead;
  } else {
    if (transfers_.size() >= config_.max_concurrent_transfers) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Rejecting file chunk: too many concurrent inbound transfers"},
                  {"file_id", id}, {"active", uint64_t(transfers_.size())},
                  {"max", config_.max_concurrent_transfers});
      failed_.insert(id);
      return Err(ChunkRejection::TooManyTransfers);
    }
    uint64_t from_sender =
        uint64_t(std::count_if(transfers_.begin(), transfers_.end(),
                               [&](const auto& kv) { return kv.second.sender == sender; }));
    if (from_sender >= config_.max_transfers_per_sender) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Rejecting file chunk: sender's concurrent-transfer quota reached"},
                  {"file_id", id}, {"sender", sender}, {"sender_active", from_sender},
                  {"max", config_.max_transfers_per_sender});
      failed_.insert(id);
      return Err(ChunkRejection::SenderQuotaExceeded);
    }
    charge = chunk_len + kChunkOverhead;
  }
  uint64_t buffered = total_buffered_bytes();
  if (sat_add(buffered, charge) > config_.max_total_buffered_bytes) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message",
                 "Rejecting file chunk: buffered-bytes budget exhausted, dropping "
                 "transfer"},
                {"file_id", id}, {"buffered", buffered}, {"chunk_len", chunk_len},
                {"budget", config_.max_total_buffered_bytes});
    transfers_.erase(id);
    failed_.insert(id);
    return Err(ChunkRejection::BufferBudgetExhausted);
  }

  if (it == transfers_.end()) {
    InboundAssembly a;
    a.sender = sender;
    a.file_name = chunk.file_name;
    a.file_checksum = chunk.file_checksum;
    a.file_size = chunk.file_size;
    a.total_chunks = chunk.total_chunks;
    it = transfers_.emplace(id, std::move(a)).first;
  }
  InboundAssembly& a = it->second;
  auto [slot, added] = a.chunks.try_emplace(chunk.chunk_index);
  if (!added) a.received_bytes -= slot->second.size();
  slot->second = std::move(chunk.chunk_data);
  a.received_bytes += chunk_len;
  a.last_activity = clock_.monotonic();
  return progress_of(id, a);
}

bool FileTransferManager::is_complete(const std::string& file_id) const {
  auto it = transfers_.find(file_id);
  if (it == transfers_.end()) return false;
  const InboundAssembly& a = it->second;
  if (a.total_chunks == 0 || a.chunks.size() != a.total_chunks) return false;
  for (uint32_t i = 0; i < a.total_chunks; ++i)
    if (!a.chunks.contains(i)) return false;
  return true;
}

std::optional<Bytes> FileTransferManager::finalize_file(const std::string& file_id) {
  if (!is_complete(file_id)) return std::nullopt;
  auto it = transfers_.find(file_id);
  InboundAssembly& a = it->second;
  Bytes out;
  out.reserve(size_t(a.received_bytes));
  for (uint32_t i = 0; i < a.total_chunks; ++i) {
    const Bytes& c = a.chunks[i];
    out.insert(out.end(), c.begin(), c.end());
  }
  if (out.size() != a.file_size) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "File size mismatch \xE2\x80\x94 corrupted or tampered transfer"},
                {"file_id", file_id}, {"claimed", a.file_size}, {"actual", uint64_t(out.size())});
    transfers_.erase(it);
    failed_.insert(file_id);
    return std::nullopt;
  }
  std::string actual = sha256_hex(out);
  if (actual != a.file_checksum) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "File checksum mismatch \xE2\x80\x94 corrupted or tampered transfer"},
                {"file_id", file_id}, {"expected", a.file_checksum}, {"actual", actual});
    transfers_.erase(it);
    failed_.insert(file_id);
    return std::nullopt;
  }
  transfers_.erase(it);
  return out;
}

std::optional<ChunkProgress> FileTransferManager::progress(const std::string& file_id) const {
  auto it = transfers_.find(file_id);
  if (it == transfers_.end()) return std::nullopt;
  return progress_of(file_id, it->second);
}

bool FileTransferManager::cancel_transfer(const std::string& file_id) {
  return transfers_.erase(file_id) > 0;
}

void FileTransferManager::abandon_transfer(const std::string& file_id) {
  transfers_.erase(file_id);
  failed_.insert(file_id);
}

bool FileTransferManager::has_failed(const std::string& file_id) {
  return failed_.contains_and_touch(file_id);
}

std::optional<std::string> FileTransferManager::transfer_sender(const std::string& file_id) const {
  auto it = transfers_.find(file_id);
  if (it == transfers_.end()) return std::nullopt;
  return it->second.sender;
}

std::vector<StaleTransfer> FileTransferManager::prune_stale(Nanos timeout) {
  MonoTime now = clock_.monotonic();
  failed_.prune(timeout);
  std::vector<StaleTransfer> stale;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (now - it->second.last_activity > timeout) {
      stale.push_back(StaleTransfer{it->first, it->second.file_name, it->second.sender});
      failed_.insert(it->first);
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
  return stale;
}

}  // namespace brenvik
