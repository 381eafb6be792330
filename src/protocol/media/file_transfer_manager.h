// FileTransferManager: cuts outgoing files into chunks and collects inbound
// chunks per file id until the file is whole, then assembles it and checks
// its size and SHA-256.
//
// Inbound collection faces hostile or broken peers, so every chunk's claims
// are bounded, a transfer belongs to the sender that opened it, transfers in
// progress are limited globally and per sender, the bytes held across all of
// them are limited by a budget (64 bytes per distinct chunk index plus the
// chunk bytes), and a transfer that was refused, abandoned, timed out or
// found corrupt is remembered (as a 64-bit keyed hash of its id, at most
// 1024 of them) so that the rest of its chunks are dropped cheaply.
//
// No lock of its own: the owning core serialises every call. Times come from
// the injected clock's monotonic side.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/common/protocol_error.h"
#include "protocol/media/file_chunk.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

struct FileTransferConfig {
  uint64_t chunk_size = 32768;
  uint64_t max_file_size = 104857600;
  uint64_t max_concurrent_transfers = 32;
  uint64_t max_transfers_per_sender = 16;
  uint64_t max_total_buffered_bytes = 134217728;
};

struct ChunkProgress {
  std::string file_id;
  std::string file_name;
  uint64_t file_size = 0;
  uint32_t received_chunks = 0;
  uint32_t total_chunks = 0;
  uint8_t percentage = 0;
  bool operator==(const ChunkProgress&) const = default;
};

enum class ChunkRejection : uint8_t {
  InvalidChunk = 0,
  MetadataMismatch = 1,
  SenderMismatch = 2,
  TooManyTransfers = 3,
  SenderQuotaExceeded = 4,
  BufferBudgetExhausted = 5,
  PreviouslyFailed = 6,
};
// "invalid_chunk", "metadata_mismatch", ... (stable codes for events and logs).
std::string_view chunk_rejection_code(ChunkRejection r);

struct StaleTransfer {
  std::string file_id;
  std::string file_name;
  std::string sender;
};

// received / total x 100 in single precision, truncated, capped at 255; 0
// when total is 0. Shared by inbound progress and outbound acknowledgements.
uint8_t chunk_percentage(uint32_t done, uint32_t total);

// File ids whose transfer failed, kept as keyed 64-bit hashes. At most 1024:
// the oldest insertion goes first whatever its later touches.
class SeenIdSet {
 public:
  static constexpr size_t kCapacity = 1024;
  SeenIdSet(const Clock& clock, std::pair<uint64_t, uint64_t> keys)
      : clock_(clock), k0_(keys.first), k1_(keys.second) {}
  // Touches a present id (its place in the queue stays), else adds it.
  void insert(std::string_view file_id);
  // True when present; touches the entry.
  bool contains_and_touch(std::string_view file_id);
  // Forgets every id last touched more than `timeout` ago.
  void prune(Nanos timeout);
  size_t size() const { return touched_.size(); }

 private:
  uint64_t key(std::string_view file_id) const;
  const Clock& clock_;
  uint64_t k0_, k1_;
  std::unordered_map<uint64_t, MonoTime> touched_;
  std::deque<uint64_t> order_;
};

class FileTransferManager {
 public:
  static constexpr uint64_t kChunkOverhead = 64;
  static constexpr std::string_view kLogTarget = "brenvik_protocol::file_transfer";

  // Clamps a budget below what one largest transfer charges (with a WARN).
  explicit FileTransferManager(FileTransferConfig config, const Clock& clock = system_clock());
  FileTransferManager(const FileTransferManager&) = delete;
  FileTransferManager& operator=(const FileTransferManager&) = delete;

  const FileTransferConfig& config() const { return config_; }
  // 1024 below 1 MiB files, else max_file_size / 1024 + 1.
  uint64_t max_total_chunks() const { return max_total_chunks_; }

  // Cuts `data` into chunks of `chunk_size` (the configured size when
  // absent), each carrying the file's SHA-256 as 64 lowercase hex digits.
  // Refuses empty, oversized and over-fragmented files (InvalidInput).
  Result<std::vector<FileChunk>, ProtocolError> split_file(
      const std::string& file_id, const std::string& file_name, ByteView data,
      std::optional<uint64_t> chunk_size = std::nullopt) const;

  // Judges and stores one inbound chunk from `sender`.
  Result<ChunkProgress, ChunkRejection> process_file_chunk(const std::string& sender,
                                                           FileChunk chunk);
  bool is_complete(const std::string& file_id) const;
  // The assembled bytes of a complete transfer whose size and checksum hold;
  // none otherwise. A corrupt transfer is dropped and marked failed.
  std::optional<Bytes> finalize_file(const std::string& file_id);
  std::optional<ChunkProgress> progress(const std::string& file_id) const;
  // Removes the transfer without marking it failed.
  bool cancel_transfer(const std::string& file_id);
  // Removes the transfer if any and marks the id failed in every case.
  void abandon_transfer(const std::string& file_id);
  bool has_failed(const std::string& file_id);
  void mark_failed(const std::string& file_id) { failed_.insert(file_id); }
  // Drops transfers idle for more than `timeout` (marking them failed) and
  // forgets failed ids untouched for as long.
  std::vector<StaleTransfer> prune_stale(Nanos timeout);
  uint64_t total_buffered_bytes() const;
  size_t active_transfers() const { return transfers_.size(); }
  // Sender of the transfer in progress, if any.
  std::optional<std::string> transfer_sender(const std::string& file_id) const;

 private:
  struct InboundAssembly {
    std::string sender;
    std::string file_name;
    std::string file_checksum;
    MonoTime last_activity;
    std::unordered_map<uint32_t, Bytes> chunks;
    uint64_t file_size = 0;
    uint64_t received_bytes = 0;
    uint32_t total_chunks = 0;
  };
  static uint64_t charge_of(const InboundAssembly& a) {
    return a.received_bytes + a.chunks.size() * kChunkOverhead;
  }
  ChunkProgress progress_of(const std::string& file_id, const InboundAssembly& a) const;

  FileTransferConfig config_;
  const Clock& clock_;
  uint64_t max_total_chunks_;
  std::unordered_map<std::string, InboundAssembly> transfers_;
  SeenIdSet failed_;
};

}  // namespace brenvik
