// Host callback interfaces: the registered tables, the proxies that call
// through them, and the replies the library makes of each status.
//
// The host registers one table per interface (slot 0 free, slot 1 clone, then
// the methods). A proxy stands for one host handle; the library shares it by
// its own count and calls the free slot exactly once when the last reference
// goes. Proxies copy their arguments into fresh buffers that the host owns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "brenvik_ffi.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::ffi {

enum class CallbackInterface : int {
  EventCallback,
  BleTransportCallback,
  WifiDirectTransportCallback,
  NostrTransportCallback,
  ReticulumTransportCallback,
  MlsStorageProvider,
  ProtocolStateStorageProvider,
};
inline constexpr int kCallbackInterfaceCount = 7;

// Stores the table pointer in the interface's process-wide slot; a later call
// replaces it. The table must outlive every call through it.
void register_callback_table(CallbackInterface which, const void* table);
const void* callback_table(CallbackInterface which);

// An internal fault raised by a host callback: a reply the library cannot read,
// a missing table, or a failure of a method that declares no error.
class CallbackFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "UnexpectedCallbackError(reason: \"...\")" with debug escapes.
std::string unexpected_callback_error_display(std::string_view reason);

class CallbackProxy {
 public:
  CallbackProxy(CallbackInterface which, uint64_t handle) : which_(which), handle_(handle) {}
  // Calls the table's free slot with the handle, once; nothing without a table.
  virtual ~CallbackProxy();
  CallbackProxy(const CallbackProxy&) = delete;
  CallbackProxy& operator=(const CallbackProxy&) = delete;

  uint64_t handle() const { return handle_; }
  CallbackInterface interface() const { return which_; }
  // "callback table not set for <Interface>: register it before passing a handle"
  std::string missing_table_message() const;
  // Leaves the handle with the host: the free slot is never called for it.
  void forget_handle() { forgotten_ = true; }

 protected:
  // The registered table; throws CallbackFault when none is registered.
  template <typename VT>
  const VT& table() const {
    const void* t = callback_table(which_);
    if (t == nullptr) throw CallbackFault(missing_table_message());
    return *static_cast<const VT*>(t);
  }

 private:
  CallbackInterface which_;
  uint64_t handle_;
  bool forgotten_ = false;
};

// Outcome of a host method that declares no error: success, or the fault text
// ("Callback interface method returned unexpected error" for code 1,
// "Callback interface failure: UnexpectedCallbackError(reason: ...)" otherwise).
using NotifyResult = Result<void, std::string>;

class EventCallbackProxy final : public CallbackProxy {
 public:
  explicit EventCallbackProxy(uint64_t h) : CallbackProxy(CallbackInterface::EventCallback, h) {}
  NotifyResult on_event(std::string_view event_json) const;
};

class BleTransportCallbackProxy final : public CallbackProxy {
 public:
  explicit BleTransportCallbackProxy(uint64_t h)
      : CallbackProxy(CallbackInterface::BleTransportCallback, h) {}
  NotifyResult on_fragments_available() const;
};

class WifiDirectTransportCallbackProxy final : public CallbackProxy {
 public:
  explicit WifiDirectTransportCallbackProxy(uint64_t h)
      : CallbackProxy(CallbackInterface::WifiDirectTransportCallback, h) {}
  NotifyResult on_messages_available() const;
};

class NostrTransportCallbackProxy final : public CallbackProxy {
 public:
  explicit NostrTransportCallbackProxy(uint64_t h)
      : CallbackProxy(CallbackInterface::NostrTransportCallback, h) {}
  NotifyResult on_messages_available() const;
};

class ReticulumTransportCallbackProxy final : public CallbackProxy {
 public:
  explicit ReticulumTransportCallbackProxy(uint64_t h)
      : CallbackProxy(CallbackInterface::ReticulumTransportCallback, h) {}
  NotifyResult on_messages_available() const;
};

// The declared error of the host's storage interfaces; the host sends only the
// variant number.
enum class StorageError : int32_t {
  StoreFailed = 1,
  LoadFailed = 2,
  DeleteFailed = 3,
  NotFound = 4,
  DataCorrupted = 5,
};

// How a storage call failed on the host's side: its declared error, or an
// unexpected failure (status code 2 or above) with the host's message.
struct HostStorageFailure {
  std::variant<StorageError, std::string> what;
};
template <typename T>
using HostStorageResult = Result<T, HostStorageFailure>;

// A proxy over one storage interface (both have the same shape). Unreadable
// replies and a missing table throw CallbackFault; declared and unexpected host
// failures are returned.
class StorageProviderProxy : public CallbackProxy {
 public:
  using CallbackProxy::CallbackProxy;
  HostStorageResult<std::monostate> store(std::string_view key_type, std::string_view key,
                                          ByteView value) const;
  HostStorageResult<std::optional<Bytes>> load(std::string_view key_type,
                                               std::string_view key) const;
  HostStorageResult<std::monostate> delete_(std::string_view key_type, std::string_view key) const;
  HostStorageResult<std::vector<std::string>> list_keys(std::string_view key_type) const;
};

class MlsStorageProviderProxy final : public StorageProviderProxy {
 public:
  explicit MlsStorageProviderProxy(uint64_t h)
      : StorageProviderProxy(CallbackInterface::MlsStorageProvider, h) {}
};

class ProtocolStateStorageProviderProxy final : public StorageProviderProxy {
 public:
  explicit ProtocolStateStorageProviderProxy(uint64_t h)
      : StorageProviderProxy(CallbackInterface::ProtocolStateStorageProvider, h) {}
};

// Wraps a host handle in a new proxy; takes no table lookup and cannot fail.
template <typename P>
std::shared_ptr<P> make_proxy(uint64_t handle) {
  return std::make_shared<P>(handle);
}

// Refuses a proxy the host passed as an argument while the interface's table
// is not registered (CallbackFault, status code 2), so that a call through it
// cannot fail later where nobody sees it. The host keeps a refused handle.
void require_registered(CallbackProxy& proxy);

}  // namespace brenvik::ffi
