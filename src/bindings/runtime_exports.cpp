// Exports whose bodies are the call frame's own: buffers, futures, object
// handle clone/free and callback table registration.
#include <bit>
#include <cstring>
#include <limits>

#include "bindings/call.h"
#include "bindings/callbacks.h"
#include "bindings/future.h"
#include "bindings/objects.h"
#include "brenvik_ffi.h"

using namespace brenvik;
using namespace brenvik::ffi;

namespace {
// Fails the call with code 2 when `b` breaks an invariant.
void require_sound(const ByteBuffer& b) {
  if (auto broken = check_buffer(b)) throw std::invalid_argument(*broken);
}
}  // namespace

extern "C" {

BRENVIK_FFI_API ByteBuffer brenvik_ffi_buffer_alloc(uint64_t size, BrenvikFfiCallStatus* status) {
  return guarded_call<ByteBuffer>(status, [&]() -> Outcome<ByteBuffer> {
    if (size > uint64_t(std::numeric_limits<int64_t>::max())) {
      return Outcome<ByteBuffer>::failed("buffer size " + std::to_string(size) +
                                         " exceeds the largest i64");
    }
    return Outcome<ByteBuffer>::success(alloc_buffer(size));
  });
}

BRENVIK_FFI_API void brenvik_ffi_buffer_free(ByteBuffer buffer, BrenvikFfiCallStatus* status) {
  guarded_call<void>(status, [&]() -> Outcome<void> {
    require_sound(buffer);
    release_buffer(buffer);
    return Outcome<void>::success();
  });
}

BRENVIK_FFI_API ByteBuffer brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes bytes,
                                                         BrenvikFfiCallStatus* status) {
  return guarded_call<ByteBuffer>(status, [&]() -> Outcome<ByteBuffer> {
    if (bytes.data == nullptr) {
      if (bytes.len != 0) {
        return Outcome<ByteBuffer>::failed("null HostBytes with non-zero length " +
                                           std::to_string(bytes.len));
      }
      return Outcome<ByteBuffer>::success(empty_buffer());
    }
    if (bytes.len < 0) {
      return Outcome<ByteBuffer>::failed("bytes length negative or overflowed: " +
                                         std::to_string(bytes.len));
    }
    return Outcome<ByteBuffer>::success(
        buffer_from(ByteView(bytes.data, static_cast<size_t>(bytes.len))));
  });
}

BRENVIK_FFI_API ByteBuffer brenvik_ffi_buffer_reserve(ByteBuffer buffer, uint64_t additional,
                                                      BrenvikFfiCallStatus* status) {
  return guarded_call<ByteBuffer>(status, [&]() -> Outcome<ByteBuffer> {
    require_sound(buffer);
    if (buffer.capacity - buffer.len >= additional) return Outcome<ByteBuffer>::success(buffer);
    if (additional > uint64_t(std::numeric_limits<int64_t>::max()) - buffer.len) {
      return Outcome<ByteBuffer>::failed("reserve would exceed the largest i64");
    }
    // Grow to at least double, so that repeated small reserves stay linear.
    uint64_t want = std::max(buffer.len + additional, buffer.capacity * 2);
    want = std::min<uint64_t>(want, uint64_t(std::numeric_limits<int64_t>::max()));
    ByteBuffer grown = alloc_buffer(want);
    if (buffer.len) std::memcpy(grown.data, buffer.data, buffer.len);
    grown.len = buffer.len;
    release_buffer(buffer);
    return Outcome<ByteBuffer>::success(grown);
  });
}

#define BRENVIK_OBJECT_HANDLE_EXPORTS(lower)                                            \
  BRENVIK_FFI_API uint64_t brenvik_ffi_fn_clone_##lower(uint64_t handle,                \
                                                        BrenvikFfiCallStatus* status) { \
    return guarded_call<uint64_t>(status, [&]() -> Outcome<uint64_t> {                  \
      return Outcome<uint64_t>::success(handle_clone(handle));                          \
    });                                                                                 \
  }                                                                                     \
  BRENVIK_FFI_API void brenvik_ffi_fn_free_##lower(uint64_t handle,                     \
                                                   BrenvikFfiCallStatus* status) {      \
    guarded_call<void>(status, [&]() -> Outcome<void> {                                 \
      handle_release(handle);                                                           \
      return Outcome<void>::success();                                                  \
    });                                                                                 \
  }

BRENVIK_OBJECT_HANDLE_EXPORTS(brenvikprotocol)
BRENVIK_OBJECT_HANDLE_EXPORTS(datastore)
BRENVIK_OBJECT_HANDLE_EXPORTS(meshservices)

#define BRENVIK_VTABLE_EXPORT(lower, Name)                          \
  BRENVIK_FFI_API void brenvik_ffi_fn_init_callback_vtable_##lower( \
      const BrenvikFfiVTable##Name* vtable) {                       \
    register_callback_table(CallbackInterface::Name, vtable);       \
  }

BRENVIK_VTABLE_EXPORT(eventcallback, EventCallback)
BRENVIK_VTABLE_EXPORT(bletransportcallback, BleTransportCallback)
BRENVIK_VTABLE_EXPORT(wifidirecttransportcallback, WifiDirectTransportCallback)
BRENVIK_VTABLE_EXPORT(nostrtransportcallback, NostrTransportCallback)
BRENVIK_VTABLE_EXPORT(reticulumtransportcallback, ReticulumTransportCallback)
BRENVIK_VTABLE_EXPORT(mlsstorageprovider, MlsStorageProvider)
BRENVIK_VTABLE_EXPORT(protocolstatestorageprovider, ProtocolStateStorageProvider)

#define BRENVIK_FUTURE_COMMON(kind)                                                \
  BRENVIK_FFI_API void brenvik_ffi_future_poll_##kind(                             \
      uint64_t future, BrenvikFfiFutureContinuation continuation, uint64_t data) { \
    try {                                                                          \
      future_from(future)->poll(continuation, data);                               \
    } catch (...) {                                                                \
    }                                                                              \
  }                                                                                \
  BRENVIK_FFI_API void brenvik_ffi_future_cancel_##kind(uint64_t future) {         \
    try {                                                                          \
      future_from(future)->cancel();                                               \
    } catch (...) {                                                                \
    }                                                                              \
  }                                                                                \
  BRENVIK_FFI_API void brenvik_ffi_future_free_##kind(uint64_t future) {           \
    if (future != 0) delete future_from(future);                                   \
  }

#define BRENVIK_FUTURE_SCALAR(kind, T)                                                 \
  BRENVIK_FUTURE_COMMON(kind)                                                          \
  BRENVIK_FFI_API T brenvik_ffi_future_complete_##kind(uint64_t future,                \
                                                       BrenvikFfiCallStatus* status) { \
    return guarded_call<T>(status, [&]() -> Outcome<T> {                               \
      uint64_t bits = future_from(future)->complete_scalar(status);                    \
      if constexpr (std::is_same_v<T, float>) {                                        \
        return Outcome<T>::success(std::bit_cast<float>(static_cast<uint32_t>(bits))); \
      } else if constexpr (std::is_same_v<T, double>) {                                \
        return Outcome<T>::success(std::bit_cast<double>(bits));                       \
      } else {                                                                         \
        return Outcome<T>::success(static_cast<T>(bits));                              \
      }                                                                                \
    });                                                                                \
  }

BRENVIK_FUTURE_SCALAR(u8, uint8_t)
BRENVIK_FUTURE_SCALAR(i8, int8_t)
BRENVIK_FUTURE_SCALAR(u16, uint16_t)
BRENVIK_FUTURE_SCALAR(i16, int16_t)
BRENVIK_FUTURE_SCALAR(u32, uint32_t)
BRENVIK_FUTURE_SCALAR(i32, int32_t)
BRENVIK_FUTURE_SCALAR(u64, uint64_t)
BRENVIK_FUTURE_SCALAR(i64, int64_t)
BRENVIK_FUTURE_SCALAR(f32, float)
BRENVIK_FUTURE_SCALAR(f64, double)

BRENVIK_FUTURE_COMMON(buffer)
BRENVIK_FFI_API ByteBuffer brenvik_ffi_future_complete_buffer(uint64_t future,
                                                              BrenvikFfiCallStatus* status) {
  return guarded_call<ByteBuffer>(status, [&]() -> Outcome<ByteBuffer> {
    return Outcome<ByteBuffer>::success(future_from(future)->complete_buffer(status));
  });
}

BRENVIK_FUTURE_COMMON(void)
BRENVIK_FFI_API void brenvik_ffi_future_complete_void(uint64_t future,
                                                      BrenvikFfiCallStatus* status) {
  guarded_call<void>(status, [&]() -> Outcome<void> {
    future_from(future)->complete_scalar(status);
    return Outcome<void>::success();
  });
}

}  // extern "C"
