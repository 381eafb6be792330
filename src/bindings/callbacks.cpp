#include "bindings/callbacks.h"

#include <array>
#include <atomic>

#include "bindings/buffer.h"
#include "bindings/codec.h"
#include "util/debug_string.h"

namespace brenvik::ffi {
namespace {

std::array<std::atomic<const void*>, kCallbackInterfaceCount> g_tables{};

constexpr const char* kInterfaceNames[kCallbackInterfaceCount] = {"EventCallback",
                                                                  "BleTransportCallback",
                                                                  "WifiDirectTransportCallback",
                                                                  "NostrTransportCallback",
                                                                  "ReticulumTransportCallback",
                                                                  "MlsStorageProvider",
                                                                  "ProtocolStateStorageProvider"};

using NoArgsMethod = void (*)(uint64_t, uint8_t*, BrenvikFfiCallStatus*);

// Takes ownership of the reply buffers the host left behind and releases them.
struct ReplyBuffers {
  BrenvikFfiCallStatus status{0, {0, 0, nullptr}};
  ByteBuffer result{0, 0, nullptr};
  ~ReplyBuffers() {
    if (!check_buffer(status.error_buf)) release_buffer(status.error_buf);
    if (!check_buffer(result)) release_buffer(result);
  }
  ByteView error_bytes() const {
    if (check_buffer(status.error_buf) || status.error_buf.data == nullptr) return {};
    return {status.error_buf.data, static_cast<size_t>(status.error_buf.len)};
  }
  ByteView result_bytes() const {
    if (auto broken = check_buffer(result)) throw CallbackFault("callback result: " + *broken);
    if (result.data == nullptr) return {};
    return {result.data, static_cast<size_t>(result.len)};
  }
};

NotifyResult notify_outcome(const ReplyBuffers& r) {
  if (r.status.code == 0) return {};
  if (r.status.code == 1)
    return Err(std::string("Callback interface method returned unexpected error"));
  return Err("Callback interface failure: " +
             unexpected_callback_error_display(as_chars(r.error_bytes())));
}

template <typename VT>
NotifyResult call_no_args(const VT& t, uint64_t handle, NoArgsMethod VT::*slot) {
  ReplyBuffers r;
  uint8_t scratch = 0;
  (t.*slot)(handle, &scratch, &r.status);
  return notify_outcome(r);
}

// Reads the declared error of a code-1 reply; an unreadable one is a fault.
StorageError read_storage_error(ByteView bytes) {
  Reader rd(bytes);
  auto n = Codec<int32_t>::read(rd);
  std::string problem;
  if (!n.ok()) {
    problem = n.error();
  } else if (*n < 1 || *n > 5) {
    problem = "Invalid StorageError enum value: " + std::to_string(*n);
  } else if (rd.remaining() != 0) {
    problem =
        "junk data left in buffer after lifting (count: " + std::to_string(rd.remaining()) + ")";
  }
  if (!problem.empty()) {
    throw CallbackFault("Failed to read the StorageError returned by the host: " + problem);
  }
  return static_cast<StorageError>(*n);
}

HostStorageFailure storage_failure(const ReplyBuffers& r) {
  if (r.status.code == 1) return HostStorageFailure{read_storage_error(r.error_bytes())};
  return HostStorageFailure{to_string(r.error_bytes())};
}

template <typename T>
T read_reply(const ReplyBuffers& r) {
  auto v = read_exact<T>(r.result_bytes());
  if (!v.ok()) throw CallbackFault(v.error());
  return std::move(v).value();
}

}  // namespace

void register_callback_table(CallbackInterface which, const void* table) {
  g_tables[static_cast<int>(which)].store(table, std::memory_order_release);
}

const void* callback_table(CallbackInterface which) {
  return g_tables[static_cast<int>(which)].load(std::memory_order_acquire);
}

std::string unexpected_callback_error_display(std::string_view reason) {
  return "UnexpectedCallbackError(reason: " + debug_quoted(reason) + ")";
}

CallbackProxy::~CallbackProxy() {
  // Every table starts with the free slot; without a table there is nobody to
  // tell, and the handle is simply forgotten.
  const void* t = callback_table(which_);
  if (t == nullptr || forgotten_) return;
  auto free_fn = *static_cast<const BrenvikFfiCallbackFree*>(t);
  if (free_fn) free_fn(handle_);
}

void require_registered(CallbackProxy& proxy) {
  if (callback_table(proxy.interface()) != nullptr) return;
  proxy.forget_handle();
  throw CallbackFault(proxy.missing_table_message());
}

std::string CallbackProxy::missing_table_message() const {
  return std::string("callback table not set for ") + kInterfaceNames[static_cast<int>(which_)] +
         ": register it before passing a handle";
}

NotifyResult EventCallbackProxy::on_event(std::string_view event_json) const {
  const auto& t = table<BrenvikFfiVTableEventCallback>();
  ReplyBuffers r;
  uint8_t scratch = 0;
  t.on_event(handle(), buffer_from(event_json), &scratch, &r.status);
  return notify_outcome(r);
}

NotifyResult BleTransportCallbackProxy::on_fragments_available() const {
  return call_no_args(table<BrenvikFfiVTableBleTransportCallback>(), handle(),
                      &BrenvikFfiVTableBleTransportCallback::on_fragments_available);
}
NotifyResult WifiDirectTransportCallbackProxy::on_messages_available() const {
  return call_no_args(table<BrenvikFfiVTableWifiDirectTransportCallback>(), handle(),
                      &BrenvikFfiVTableWifiDirectTransportCallback::on_messages_available);
}
NotifyResult NostrTransportCallbackProxy::on_messages_available() const {
  return call_no_args(table<BrenvikFfiVTableNostrTransportCallback>(), handle(),
                      &BrenvikFfiVTableNostrTransportCallback::on_messages_available);
}
NotifyResult ReticulumTransportCallbackProxy::on_messages_available() const {
  return call_no_args(table<BrenvikFfiVTableReticulumTransportCallback>(), handle(),
                      &BrenvikFfiVTableReticulumTransportCallback::on_messages_available);
}

// Both storage tables have the same layout; the MLS table type serves both.
using StorageTable = BrenvikFfiVTableMlsStorageProvider;
static_assert(sizeof(BrenvikFfiVTableMlsStorageProvider) ==
              sizeof(BrenvikFfiVTableProtocolStateStorageProvider));

HostStorageResult<std::monostate> StorageProviderProxy::store(std::string_view key_type,
                                                              std::string_view key,
                                                              ByteView value) const {
  const auto& t = table<StorageTable>();
  Bytes encoded = write_value<Bytes>(Bytes(value.begin(), value.end()));
  ReplyBuffers r;
  uint8_t scratch = 0;
  t.store(handle(), buffer_from(key_type), buffer_from(key), buffer_from(encoded), &scratch,
          &r.status);
  if (r.status.code != 0) return Err(storage_failure(r));
  return std::monostate{};
}

HostStorageResult<std::optional<Bytes>> StorageProviderProxy::load(std::string_view key_type,
                                                                   std::string_view key) const {
  const auto& t = table<StorageTable>();
  ReplyBuffers r;
  t.load(handle(), buffer_from(key_type), buffer_from(key), &r.result, &r.status);
  if (r.status.code != 0) return Err(storage_failure(r));
  return read_reply<std::optional<Bytes>>(r);
}

HostStorageResult<std::monostate> StorageProviderProxy::delete_(std::string_view key_type,
                                                                std::string_view key) const {
  const auto& t = table<StorageTable>();
  ReplyBuffers r;
  uint8_t scratch = 0;
  t.delete_(handle(), buffer_from(key_type), buffer_from(key), &scratch, &r.status);
  if (r.status.code != 0) return Err(storage_failure(r));
  return std::monostate{};
}

HostStorageResult<std::vector<std::string>> StorageProviderProxy::list_keys(
    std::string_view key_type) const {
  const auto& t = table<StorageTable>();
  ReplyBuffers r;
  t.list_keys(handle(), buffer_from(key_type), &r.result, &r.status);
  if (r.status.code != 0) return Err(storage_failure(r));
  return read_reply<std::vector<std::string>>(r);
}

}  // namespace brenvik::ffi
