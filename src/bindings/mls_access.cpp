#include "bindings/mls_access.h"

namespace brenvik::ffi {
namespace {

brenvik::StateStorageError core_error(const StateStorageError& e) {
  using F = StateStorageError::Kind;
  using C = brenvik::StateStorageError::Kind;
  C kind = C::Load;
  switch (e.kind) {
    case F::StoreFailed:
      kind = C::Store;
      break;
    case F::LoadFailed:
      kind = C::Load;
      break;
    case F::DeleteFailed:
      kind = C::Delete;
      break;
    case F::NotFound:
      kind = C::NotFound;
      break;
    case F::Corrupted:
      kind = C::Corrupted;
      break;
  }
  return {kind, e.text};
}

template <typename T>
Result<T, brenvik::StateStorageError> to_core(Result<T, StateStorageError> r) {
  if (!r.ok()) return Err(core_error(r.error()));
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return std::move(r).value();
}

}  // namespace

InterfaceError mls_interface_error(const mls::MlsError& e) {
  if (e.kind() == mls::MlsError::Kind::NotInitialized) return InterfaceError::mls_not_initialized();
  return InterfaceError::with_message(InterfaceError::Kind::Mls, e.message());
}

Result<std::shared_ptr<MlsManagerCell>, InterfaceError> mls_manager_handle(BrenvikProtocol& self) {
  std::shared_ptr<MlsManagerCell> cell;
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    cell = (*g)->mls_state().manager_handle();
  }
  if (!cell) return Err(InterfaceError::mls_not_initialized());
  return cell;
}

Result<void, brenvik::StateStorageError> StateStorageBridge::store(std::string_view category,
                                                                   std::string_view key,
                                                                   ByteView value) {
  return to_core(adapter_.store(category, key, value));
}

Result<std::optional<Bytes>, brenvik::StateStorageError> StateStorageBridge::load(
    std::string_view category, std::string_view key) {
  return to_core(adapter_.load(category, key));
}

Result<void, brenvik::StateStorageError> StateStorageBridge::delete_(std::string_view category,
                                                                     std::string_view key) {
  return to_core(adapter_.delete_(category, key));
}

Result<std::vector<std::string>, brenvik::StateStorageError> StateStorageBridge::list_keys(
    std::string_view category) {
  return to_core(adapter_.list_keys(category));
}

}  // namespace brenvik::ffi
