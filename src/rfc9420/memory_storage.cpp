#include "rfc9420/group_store.h"

namespace brenvik::rfc9420 {

std::string StorageAdapterError::message() const {
  switch (kind_) {
    case Kind::Serialization:
      return "Serialization failed: " + detail_;
    case Kind::Deserialization:
      return "Deserialization failed: " + detail_;
    case Kind::Storage:
      return "Storage error: " + detail_;
  }
  return detail_;
}

std::optional<StorageFailure> MemoryStorageProvider::begin_call(Op op, std::string_view type,
                                                                std::string_view key) {
  calls_.push_back(Call{op, std::string(type), std::string(key)});
  if (countdown_ == 0) return std::nullopt;
  if (--countdown_ != 0) return std::nullopt;
  return StorageFailure{std::move(fail_text_)};
}

Result<void, StorageFailure> MemoryStorageProvider::store(std::string_view type,
                                                          std::string_view key, ByteView value) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Store, type, key)) return Err(std::move(*f));
  values_.insert_or_assign({std::string(type), std::string(key)},
                           Bytes(value.begin(), value.end()));
  return {};
}

Result<std::optional<Bytes>, StorageFailure> MemoryStorageProvider::load(std::string_view type,
                                                                         std::string_view key) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Load, type, key)) return Err(std::move(*f));
  auto it = values_.find(std::pair{std::string(type), std::string(key)});
  if (it == values_.end()) return std::optional<Bytes>();
  return std::optional<Bytes>(it->second);
}

Result<void, StorageFailure> MemoryStorageProvider::delete_(std::string_view type,
                                                            std::string_view key) {
  std::lock_guard lock(mu_);
  if (auto f = begin_call(Op::Delete, type, key)) return Err(std::move(*f));
  values_.erase(std::pair{std::string(type), std::string(key)});
  return {};
}

void MemoryStorageProvider::fail_nth_call(uint64_t n, std::string text) {
  std::lock_guard lock(mu_);
  countdown_ = n;
  fail_text_ = std::move(text);
}

std::vector<MemoryStorageProvider::Call> MemoryStorageProvider::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

void MemoryStorageProvider::clear_calls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

std::optional<Bytes> MemoryStorageProvider::peek(std::string_view type,
                                                 std::string_view key) const {
  std::lock_guard lock(mu_);
  auto it = values_.find(std::pair{std::string(type), std::string(key)});
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void MemoryStorageProvider::poke(std::string_view type, std::string_view key, ByteView value) {
  std::lock_guard lock(mu_);
  values_.insert_or_assign({std::string(type), std::string(key)},
                           Bytes(value.begin(), value.end()));
}

size_t MemoryStorageProvider::size() const {
  std::lock_guard lock(mu_);
  return values_.size();
}

size_t MemoryStorageProvider::count(std::string_view type) const {
  std::lock_guard lock(mu_);
  size_t n = 0;
  for (const auto& [k, v] : values_) n += k.first == type;
  return n;
}

}  // namespace brenvik::rfc9420
