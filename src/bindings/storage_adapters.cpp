#include "bindings/storage_adapters.h"

namespace brenvik::ffi {
namespace {

const char* variant_text(StorageError e) {
  switch (e) {
    case StorageError::StoreFailed:
      return "Store failed";
    case StorageError::LoadFailed:
      return "Load failed";
    case StorageError::DeleteFailed:
      return "Delete failed";
    case StorageError::NotFound:
      return "";
    case StorageError::DataCorrupted:
      return "Data corrupted";
  }
  return "";
}

const char* op_text(StorageOp op) {
  switch (op) {
    case StorageOp::Store:
      return "Store failed";
    case StorageOp::Load:
      return "Load failed";
    case StorageOp::Delete:
      return "Delete failed";
  }
  return "";
}

// Classifies a host failure: 0 operation failure, 1 not found, 2 corrupted.
struct Mapped {
  int cls;
  std::string text;
};

Mapped classify(const HostStorageFailure& f, StorageOp op, std::string_view key) {
  if (const auto* declared = std::get_if<StorageError>(&f.what)) {
    switch (*declared) {
      case StorageError::StoreFailed:
      case StorageError::LoadFailed:
      case StorageError::DeleteFailed:
        return {0, variant_text(*declared)};
      case StorageError::NotFound:
        return {1, std::string(key)};
      case StorageError::DataCorrupted:
        return {2, "Data corrupted"};
    }
  }
  const std::string& message = std::get<std::string>(f.what);
  return {0, message.empty() ? std::string(op_text(op)) : message};
}

}  // namespace

namespace {

// Where each outcome of classify() lands in one storage error enum.
template <typename Kind>
struct KindTable {
  Kind not_found, corrupted, store_failed, load_failed, delete_failed;
};

template <typename E>
E to_storage_error(const HostStorageFailure& f, StorageOp op, std::string_view key,
                   const KindTable<typename E::Kind>& kinds) {
  Mapped m = classify(f, op, key);
  if (m.cls == 1) return {kinds.not_found, std::move(m.text)};
  if (m.cls == 2) return {kinds.corrupted, std::move(m.text)};
  switch (op) {
    case StorageOp::Store:
      return {kinds.store_failed, std::move(m.text)};
    case StorageOp::Delete:
      return {kinds.delete_failed, std::move(m.text)};
    case StorageOp::Load:
      break;
  }
  return {kinds.load_failed, std::move(m.text)};
}

}  // namespace

MlsStorageError to_mls_storage_error(const HostStorageFailure& f, StorageOp op,
                                     std::string_view key) {
  using K = MlsStorageError::Kind;
  static constexpr KindTable<K> kKinds{K::KeyNotFound, K::CorruptedData, K::StoreFailed,
                                       K::LoadFailed, K::DeleteFailed};
  return to_storage_error<MlsStorageError>(f, op, key, kKinds);
}

StateStorageError to_state_storage_error(const HostStorageFailure& f, StorageOp op,
                                         std::string_view key) {
  using K = StateStorageError::Kind;
  static constexpr KindTable<K> kKinds{K::NotFound, K::Corrupted, K::StoreFailed, K::LoadFailed,
                                       K::DeleteFailed};
  return to_storage_error<StateStorageError>(f, op, key, kKinds);
}

std::string StateStorageError::display() const {
  switch (kind) {
    case Kind::StoreFailed:
      return "Failed to store protocol state: " + text;
    case Kind::LoadFailed:
      return "Failed to load protocol state: " + text;
    case Kind::DeleteFailed:
      return "Failed to delete protocol state: " + text;
    case Kind::NotFound:
      return "Protocol state entry not found: " + text;
    case Kind::Corrupted:
      return "Protocol state entry corrupted: " + text;
  }
  return text;
}

// ---- MLS adapter

Result<bool, MlsStorageError> MlsStorageAdapter::exists(std::string_view key_type,
                                                        std::string_view key) {
  auto r = load(key_type, key);
  if (!r.ok()) return Err(std::move(r).error());
  return r->has_value();
}

Result<void, MlsStorageError> MlsStorageAdapter::clear(std::string_view key_type) {
  auto keys = list_keys(key_type);
  if (!keys.ok()) return Err(std::move(keys).error());
  for (const auto& key : *keys) {
    auto r = delete_(key_type, key);
    if (!r.ok()) return r;
  }
  return {};
}

}  // namespace brenvik::ffi
