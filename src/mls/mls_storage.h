// The MLS storage: where the identity, the engine's group state and the
// manager's own records live (the host's storage or the library's sealed
// file store), and the bridge through which the RFC 9420 engine writes into
// it.
//
// One rule for "absent" versus "failed", for every implementation: a key
// that holds nothing loads as std::nullopt; an error means the storage could
// not answer, and says nothing about whether a value exists.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mls/mls_error.h"
#include "rfc9420/group_store.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

// Key-value storage addressed by (type, key). Implementations make each call
// atomic and may be called from several threads.
class MlsStorage {
 public:
  virtual ~MlsStorage() = default;
  virtual Result<void, MlsStorageError> store(std::string_view type, std::string_view key,
                                              ByteView value) = 0;
  virtual Result<std::optional<Bytes>, MlsStorageError> load(std::string_view type,
                                                             std::string_view key) = 0;
  // Deleting a key that holds nothing is the storage's decision.
  virtual Result<void, MlsStorageError> delete_(std::string_view type, std::string_view key) = 0;
  // The keys stored under a type, in the storage's order.
  virtual Result<std::vector<std::string>, MlsStorageError> list_keys(std::string_view type) = 0;
};

// The engine's storage provider over an MlsStorage: every engine call is one
// call of the storage. A storage failure reaches the engine as a
// StorageFailure whose text is the MlsStorageError's message, so that
// mls_error_from_engine() can give the caller the storage error back.
class EngineStorage final : public rfc9420::StorageProvider {
 public:
  explicit EngineStorage(std::shared_ptr<MlsStorage> storage) : storage_(std::move(storage)) {}
  Result<void, rfc9420::StorageFailure> store(std::string_view type, std::string_view key,
                                              ByteView value) override;
  Result<std::optional<Bytes>, rfc9420::StorageFailure> load(std::string_view type,
                                                             std::string_view key) override;
  Result<void, rfc9420::StorageFailure> delete_(std::string_view type,
                                                std::string_view key) override;

 private:
  std::shared_ptr<MlsStorage> storage_;
};

// An engine storage failure as an MLS error: Storage with the storage's own
// error, Serialization or Deserialization with the engine's text.
MlsError mls_error_from_engine(const rfc9420::StorageAdapterError& e);

// An in-memory MlsStorage for tests and benchmarks. Thread-safe. Calls can be
// logged, and one later call armed to fail.
class MemoryMlsStorage final : public MlsStorage {
 public:
  enum class Op { Store, Load, Delete, List };
  struct Call {
    Op op;
    std::string type;
    std::string key;
    bool operator==(const Call&) const = default;
  };

  Result<void, MlsStorageError> store(std::string_view type, std::string_view key,
                                      ByteView value) override;
  Result<std::optional<Bytes>, MlsStorageError> load(std::string_view type,
                                                     std::string_view key) override;
  Result<void, MlsStorageError> delete_(std::string_view type, std::string_view key) override;
  Result<std::vector<std::string>, MlsStorageError> list_keys(std::string_view type) override;

  // The n-th call from now on (1 = the next) fails with `error`, touching
  // nothing; later calls succeed again.
  void fail_nth_call(uint64_t n, MlsStorageError error);
  // Every call from now on of this operation fails with `error` (nullopt
  // stops it).
  void fail_every(Op op, std::optional<MlsStorageError> error);
  void record_calls(bool on);
  std::vector<Call> calls() const;
  void clear_calls();
  std::optional<Bytes> peek(std::string_view type, std::string_view key) const;
  void poke(std::string_view type, std::string_view key, ByteView value);
  size_t size() const;

 private:
  std::optional<MlsStorageError> begin_call(Op op, std::string_view type, std::string_view key);

  mutable std::mutex mu_;
  std::map<std::pair<std::string, std::string>, Bytes, std::less<>> values_;
  std::vector<Call> calls_;
  bool record_ = false;
  uint64_t countdown_ = 0;
  MlsStorageError fail_error_;
  std::map<Op, MlsStorageError> fail_every_;
};

}  // namespace brenvik::mls
