#include "mls/mls_storage.h"

namespace brenvik::mls {

Result<void, rfc9420::StorageFailure> EngineStorage::store(std::string_view type,
                                                           std::string_view key, ByteView value) {
  auto r = storage_->store(type, key, value);
  if (!r.ok()) return Err(rfc9420::StorageFailure{r.error().message()});
  return {};
}

Result<std::optional<Bytes>, rfc9420::StorageFailure> EngineStorage::load(std::string_view type,
                                                                          std::string_view key) {
  auto r = storage_->load(type, key);
  if (!r.ok()) return Err(rfc9420::StorageFailure{r.error().message()});
  return std::move(r).value();
}

Result<void, rfc9420::StorageFailure> EngineStorage::delete_(std::string_view type,
                                                             std::string_view key) {
  auto r = storage_->delete_(type, key);
  if (!r.ok()) return Err(rfc9420::StorageFailure{r.error().message()});
  return {};
}

MlsError mls_error_from_engine(const rfc9420::StorageAdapterError& e) {
  using K = rfc9420::StorageAdapterError::Kind;
  switch (e.kind()) {
    case K::Serialization:
      return MlsError::serialization(e.detail());
    case K::Deserialization:
      return MlsError::deserialization(e.detail());
    case K::Storage:
      return MlsError::storage(mls_storage_error_from_message(e.detail()));
  }
  return MlsError::deserialization(e.detail());
}

std::optional<MlsStorageError> MemoryMlsStorage::begin_call(Op op, std::string_view type,
                                                            std::string_view key) {
  if (record_) calls_.push_back({op, std::string(type), std::string(key)});
  if (auto it = fail_every_.find(op); it != fail_every_.end()) return it->second;
  if (countdown_ == 0) return std::nullopt;
  if (--countdown_ == 0) return fail_error_;
  return std::nullopt;
}

Result<void, MlsStorageError> MemoryMlsStorage::store(std::string_view type, std::string_view key,
                                                      ByteView value) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Store, type, key)) return Err(std::move(*f));
  values_[{std::string(type), std::string(key)}] = Bytes(value.begin(), value.end());
  return {};
}

Result<std::optional<Bytes>, MlsStorageError> MemoryMlsStorage::load(std::string_view type,
                                                                     std::string_view key) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Load, type, key)) return Err(std::move(*f));
  auto it = values_.find(std::pair{std::string(type), std::string(key)});
  if (it == values_.end()) return std::optional<Bytes>();
  return std::optional<Bytes>(it->second);
}

Result<void, MlsStorageError> MemoryMlsStorage::delete_(std::string_view type,
                                                        std::string_view key) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Delete, type, key)) return Err(std::move(*f));
  values_.erase(std::pair{std::string(type), std::string(key)});
  return {};
}

Result<std::vector<std::string>, MlsStorageError> MemoryMlsStorage::list_keys(
    std::string_view type) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::List, type, {})) return Err(std::move(*f));
  std::vector<std::string> out;
  for (const auto& [k, v] : values_)
    if (k.first == type) out.push_back(k.second);
  return out;
}

void MemoryMlsStorage::fail_nth_call(uint64_t n, MlsStorageError error) {
  std::lock_guard lock(mu_);
  countdown_ = n;
  fail_error_ = std::move(error);
}

void MemoryMlsStorage::fail_every(Op op, std::optional<MlsStorageError> error) {
  std::lock_guard lock(mu_);
  if (error)
    fail_every_[op] = std::move(*error);
  else
    fail_every_.erase(op);
}

void MemoryMlsStorage::record_calls(bool on) {
  std::lock_guard lock(mu_);
  record_ = on;
}

std::vector<MemoryMlsStorage::Call> MemoryMlsStorage::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

void MemoryMlsStorage::clear_calls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

std::optional<Bytes> MemoryMlsStorage::peek(std::string_view type, std::string_view key) const {
  std::lock_guard lock(mu_);
  auto it = values_.find(std::pair{std::string(type), std::string(key)});
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void MemoryMlsStorage::poke(std::string_view type, std::string_view key, ByteView value) {
  std::lock_guard lock(mu_);
  values_[{std::string(type), std::string(key)}] = Bytes(value.begin(), value.end());
}

size_t MemoryMlsStorage::size() const {
  std::lock_guard lock(mu_);
  return values_.size();
}

}  // namespace brenvik::mls
