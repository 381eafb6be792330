// The two adapters through which the library's storage layers reach the host's
// storage interfaces, turning host replies into each layer's own errors.
//
// A declared host error maps by the operation that was attempted: variants 1-3
// become that operation's failure (the variant only picks the text), 4 becomes
// not-found holding the key, 5 corrupted data. An unexpected host failure
// (status code 2 or above) also becomes that operation's failure, carrying the
// host's message: a storage hiccup must reach the caller as an ordinary storage
// error it already handles, not as a fault unwinding through the facade's locks.
// list_keys counts as a load with an empty key; the deletes of clear as deletes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/callbacks.h"
#include "mls/mls_storage.h"
#include "util/result.h"

namespace brenvik::ffi {

enum class StorageOp { Store, Load, Delete };

// The MLS layer's storage error as the adapter produces it (never
// Unavailable: every host failure names the operation that failed).
using MlsStorageError = mls::MlsStorageError;

// The protocol-state layer's storage error as the adapter produces it.
struct StateStorageError {
  enum class Kind { StoreFailed, LoadFailed, DeleteFailed, NotFound, Corrupted };
  Kind kind;
  std::string text;
  // "Failed to store protocol state: ...", "Protocol state entry not found: <key>", ...
  std::string display() const;
  bool operator==(const StateStorageError&) const = default;
};

MlsStorageError to_mls_storage_error(const HostStorageFailure& f, StorageOp op,
                                     std::string_view key);
StateStorageError to_state_storage_error(const HostStorageFailure& f, StorageOp op,
                                         std::string_view key);

// The four host calls both adapters make; a host failure becomes the layer's
// error through `Convert`, named by the operation that was attempted.
template <typename Proxy, typename E,
          E (*Convert)(const HostStorageFailure&, StorageOp, std::string_view)>
class HostStorageAdapter {
 public:
  explicit HostStorageAdapter(std::shared_ptr<Proxy> host) : host_(std::move(host)) {}
  Result<void, E> store(std::string_view key_type, std::string_view key, ByteView value) const {
    return done(host_->store(key_type, key, value), StorageOp::Store, key);
  }
  Result<std::optional<Bytes>, E> load(std::string_view key_type, std::string_view key) const {
    return lift(host_->load(key_type, key), StorageOp::Load, key);
  }
  Result<void, E> delete_(std::string_view key_type, std::string_view key) const {
    return done(host_->delete_(key_type, key), StorageOp::Delete, key);
  }
  Result<std::vector<std::string>, E> list_keys(std::string_view key_type) const {
    return lift(host_->list_keys(key_type), StorageOp::Load, "");
  }

 private:
  template <typename R>
  static Result<R, E> lift(HostStorageResult<R> r, StorageOp op, std::string_view key) {
    if (!r.ok()) return Err(Convert(r.error(), op, key));
    return std::move(r).value();
  }
  static Result<void, E> done(HostStorageResult<std::monostate> r, StorageOp op,
                              std::string_view key) {
    if (!r.ok()) return Err(Convert(r.error(), op, key));
    return {};
  }

  std::shared_ptr<Proxy> host_;
};

// The MLS layer's storage over the host's MlsStorageProvider.
class MlsStorageAdapter final : public mls::MlsStorage {
 public:
  explicit MlsStorageAdapter(std::shared_ptr<MlsStorageProviderProxy> host)
      : host_(std::move(host)) {}
  Result<void, MlsStorageError> store(std::string_view key_type, std::string_view key,
                                      ByteView value) override {
    return host_.store(key_type, key, value);
  }
  Result<std::optional<Bytes>, MlsStorageError> load(std::string_view key_type,
                                                     std::string_view key) override {
    return host_.load(key_type, key);
  }
  Result<void, MlsStorageError> delete_(std::string_view key_type, std::string_view key) override {
    return host_.delete_(key_type, key);
  }
  Result<std::vector<std::string>, MlsStorageError> list_keys(std::string_view key_type) override {
    return host_.list_keys(key_type);
  }
  // One host load; the value, when there is one, is dropped unread.
  Result<bool, MlsStorageError> exists(std::string_view key_type, std::string_view key);
  // One list_keys, then one delete per key in listed order; stops at the first
  // failure, leaving the later keys in place.
  Result<void, MlsStorageError> clear(std::string_view key_type);

 private:
  HostStorageAdapter<MlsStorageProviderProxy, MlsStorageError, &to_mls_storage_error> host_;
};

class StateStorageAdapter final
    : public HostStorageAdapter<ProtocolStateStorageProviderProxy, StateStorageError,
                                &to_state_storage_error> {
 public:
  using HostStorageAdapter::HostStorageAdapter;
};

}  // namespace brenvik::ffi
