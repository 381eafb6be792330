// A host implemented in C function tables, as a real host registers them:
// storage kept in a map, replies scripted per call, every call and free logged.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bindings/callbacks.h"
#include "brenvik_ffi.h"
#include "ffi_test_util.h"

namespace brenvik::ffi::testing {

// One scripted answer: the status code, the error buffer's bytes, and for load
// and list_keys the raw result bytes (nullopt: answer from the stored data).
struct Reply {
  int8_t code = 0;
  Bytes error;
  std::optional<Bytes> result;
};

struct FakeHost {
  std::map<std::string, Bytes> data;  // key -> value
  std::deque<Reply> script;           // consumed one per call, before the data
  std::vector<std::string> calls;     // "store k", "load k", "delete k", "list t", "event {...}"
  std::vector<uint64_t> freed;

  static FakeHost*& current() {
    static FakeHost* h = nullptr;
    return h;
  }
  FakeHost() { current() = this; }
  ~FakeHost() { current() = nullptr; }

  // Applies the next scripted reply, if any; true when one was applied.
  bool scripted(BrenvikFfiCallStatus* st, BrenvikFfiByteBuffer* result) {
    if (script.empty()) return false;
    Reply r = script.front();
    script.pop_front();
    st->code = r.code;
    if (r.code != 0) st->error_buf = host_buffer(r.error);
    if (r.result && result) *result = host_buffer(*r.result);
    return r.code != 0 || r.result.has_value();
  }

  static void free_fn(uint64_t h) { current()->freed.push_back(h); }
  static uint64_t clone_fn(uint64_t h) { return h; }

  static void store(uint64_t, BrenvikFfiByteBuffer kt, BrenvikFfiByteBuffer key,
                    BrenvikFfiByteBuffer value, uint8_t*, BrenvikFfiCallStatus* st) {
    take(kt);
    std::string k = take_text(key);
    Bytes v = take(value);
    auto* h = current();
    h->calls.push_back("store " + k);
    if (h->scripted(st, nullptr)) return;
    // The value arrives as an i32 length and the bytes.
    h->data[k] = Bytes(v.begin() + 4, v.end());
  }
  static void load(uint64_t, BrenvikFfiByteBuffer kt, BrenvikFfiByteBuffer key,
                   BrenvikFfiByteBuffer* out, BrenvikFfiCallStatus* st) {
    take(kt);
    std::string k = take_text(key);
    auto* h = current();
    h->calls.push_back("load " + k);
    if (h->scripted(st, out)) return;
    auto it = h->data.find(k);
    Bytes reply = {0};
    if (it != h->data.end()) reply = cat({{1}, be32(int32_t(it->second.size())), it->second});
    *out = host_buffer(reply);
  }
  static void delete_fn(uint64_t, BrenvikFfiByteBuffer kt, BrenvikFfiByteBuffer key, uint8_t*,
                        BrenvikFfiCallStatus* st) {
    take(kt);
    std::string k = take_text(key);
    auto* h = current();
    h->calls.push_back("delete " + k);
    if (h->scripted(st, nullptr)) return;
    h->data.erase(k);
  }
  static void list_keys(uint64_t, BrenvikFfiByteBuffer kt, BrenvikFfiByteBuffer* out,
                        BrenvikFfiCallStatus* st) {
    auto* h = current();
    h->calls.push_back("list " + take_text(kt));
    if (h->scripted(st, out)) return;
    Bytes reply = be32(int32_t(h->data.size()));
    for (const auto& [k, v] : h->data) append(reply, str_field(k));
    *out = host_buffer(reply);
  }
  static void on_event(uint64_t, BrenvikFfiByteBuffer event, uint8_t*, BrenvikFfiCallStatus* st) {
    auto* h = current();
    h->calls.push_back("event " + take_text(event));
    h->scripted(st, nullptr);
  }

  static const BrenvikFfiVTableMlsStorageProvider* mls_table() {
    static const BrenvikFfiVTableMlsStorageProvider t{&free_fn, &clone_fn,  &store,
                                                      &load,    &delete_fn, &list_keys};
    return &t;
  }
  static const BrenvikFfiVTableProtocolStateStorageProvider* state_table() {
    static const BrenvikFfiVTableProtocolStateStorageProvider t{&free_fn, &clone_fn,  &store,
                                                                &load,    &delete_fn, &list_keys};
    return &t;
  }
  static const BrenvikFfiVTableEventCallback* event_table() {
    static const BrenvikFfiVTableEventCallback t{&free_fn, &clone_fn, &on_event};
    return &t;
  }
  void register_all() {
    brenvik_ffi_fn_init_callback_vtable_mlsstorageprovider(mls_table());
    brenvik_ffi_fn_init_callback_vtable_protocolstatestorageprovider(state_table());
    brenvik_ffi_fn_init_callback_vtable_eventcallback(event_table());
  }
};

}  // namespace brenvik::ffi::testing
