// A minimal host written against the exported C interface only, the way a
// platform binding drives the library: objects by handle (each call consumes
// one reference), arguments and results in the interface's byte buffers,
// errors read from the call status. Used by the demo and the end-to-end
// benchmark; a device's BLE radio is simulated by moving the fragments it
// pulls into another device's fragment intake.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brenvik_ffi.h"

namespace brenvik_host {

using Bytes = std::vector<uint8_t>;

inline void put_i32(Bytes& b, int32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(uint32_t(v) >> s));
}
inline void put_u32(Bytes& b, uint32_t v) {
  put_i32(b, int32_t(v));
}
inline void put_u64(Bytes& b, uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
inline void put_str(Bytes& b, std::string_view s) {
  put_i32(b, int32_t(s.size()));
  for (char c : s) b.push_back(uint8_t(c));
}

// Reads what the library lowered into a buffer.
class Reader {
 public:
  explicit Reader(Bytes b) : b_(std::move(b)) {}
  uint8_t u8() { return need(1), b_[pos_++]; }
  int32_t i32() {
    need(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | b_[pos_++];
    return int32_t(v);
  }
  Bytes bytes() {
    int32_t n = i32();
    if (n < 0) throw std::runtime_error("negative length");
    need(size_t(n));
    Bytes out(b_.begin() + long(pos_), b_.begin() + long(pos_ + size_t(n)));
    pos_ += size_t(n);
    return out;
  }
  std::string str() {
    Bytes b = bytes();
    return std::string(b.begin(), b.end());
  }

 private:
  void need(size_t n) const {
    if (b_.size() - pos_ < n) throw std::runtime_error("short buffer");
  }
  Bytes b_;
  size_t pos_ = 0;
};

// A fresh status for one call; check() throws with the library's text on
// any failure.
struct Status {
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  BrenvikFfiCallStatus* operator&() { return &st; }
  void check(const char* what);
};

inline BrenvikFfiByteBuffer buffer(const Bytes& b) {
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  return brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{int32_t(b.size()), b.data()}, &st);
}
inline BrenvikFfiByteBuffer buffer(std::string_view s) {
  return buffer(Bytes(s.begin(), s.end()));
}
inline Bytes take(BrenvikFfiByteBuffer b) {
  Bytes out = b.data ? Bytes(b.data, b.data + b.len) : Bytes{};
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  brenvik_ffi_buffer_free(b, &st);
  return out;
}

inline void Status::check(const char* what) {
  if (st.code == 0) return;
  Bytes payload = take(st.error_buf);
  std::string text;
  if (st.code == 1) {
    Reader r(payload);
    r.i32();
    text = r.str();
  } else {
    text.assign(payload.begin(), payload.end());
  }
  throw std::runtime_error(std::string(what) + ": " + text);
}

// The construction record: BLE only, encryption off (plaintext road).
inline Bytes plain_config(std::string_view app_id, std::string_view user_id) {
  Bytes b;
  put_str(b, app_id);
  put_str(b, user_id);
  for (uint8_t v : {1, 0, 0, 0, 0}) b.push_back(v);  // ble .. nostr
  b.push_back(0);                                    // prefer_internet
  b.push_back(8);                                    // initial_ttl
  for (int i = 0; i < 4; ++i) b.push_back(0);        // encryption switches
  put_u64(b, 100);
  put_u64(b, 1000);
  put_u64(b, 86'400'000);
  put_i32(b, 1);                                // overflow policy DropOldest
  b.push_back(0);                               // retry pacing
  put_u32(b, 50);                               // max group members
  for (int i = 0; i < 11; ++i) b.push_back(0);  // group, identity and feature switches
  b.push_back(0);                               // no mesh relay tunables
  b.push_back(0);                               // no custody settings
  b.push_back(0);                               // data layer
  b.push_back(0);                               // control dispatch
  return b;
}

class Device {
 public:
  Device(std::string name, std::string user_id) : name_(std::move(name)), id_(std::move(user_id)) {
    Status s;
    handle_ =
        brenvik_ffi_fn_constructor_brenvikprotocol_new(buffer(plain_config("demo.chat", id_)), &s);
    s.check("new");
  }
  ~Device() {
    Status s;
    if (handle_) brenvik_ffi_fn_free_brenvikprotocol(handle_, &s);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::string& name() const { return name_; }
  const std::string& id() const { return id_; }

  void start() {
    Status s;
    brenvik_ffi_fn_method_brenvikprotocol_start(ref(), &s);
    s.check("start");
  }
  void process() {
    Status s;
    brenvik_ffi_fn_method_brenvikprotocol_process(ref(), &s);
    s.check("process");
  }
  void discover(const Device& peer, int16_t rssi = -55) {
    Status s;
    brenvik_ffi_fn_method_brenvikprotocol_ble_peer_discovered(ref(), buffer(peer.id()), rssi, &s);
    s.check("ble_peer_discovered");
  }
  // Sends a text; returns the new message's id.
  std::string send(const Device& to, std::string_view text,
                   std::optional<std::string> reply_to = std::nullopt) {
    Bytes prio;
    put_i32(prio, 2);  // Medium
    Bytes reply{0};
    if (reply_to) {
      reply = {1};
      put_str(reply, *reply_to);
    }
    Status s;
    auto out = brenvik_ffi_fn_method_brenvikprotocol_send_message(
        ref(), buffer(to.id()), buffer(text), buffer(prio), buffer(reply), &s);
    s.check("send_message");
    Bytes id = take(out);
    return std::string(id.begin(), id.end());
  }
  // The next fragment the radio should write: (peer, bytes).
  std::optional<std::pair<std::string, Bytes>> next_fragment() {
    Status s;
    auto out = brenvik_ffi_fn_method_brenvikprotocol_ble_get_next_fragment(ref(), &s);
    s.check("ble_get_next_fragment");
    Reader r(take(out));
    if (r.u8() == 0) return std::nullopt;
    std::string peer = r.str();
    return std::make_pair(std::move(peer), r.bytes());
  }
  void fragment_received(const Device& from, const Bytes& fragment) {
    Bytes arg;
    put_i32(arg, int32_t(fragment.size()));
    arg.insert(arg.end(), fragment.begin(), fragment.end());
    Status s;
    brenvik_ffi_fn_method_brenvikprotocol_ble_fragment_received(ref(), buffer(from.id()),
                                                                buffer(arg), &s);
    s.check("ble_fragment_received");
  }
  std::optional<std::string> poll_event() {
    Status s;
    auto out = brenvik_ffi_fn_method_brenvikprotocol_poll_event(ref(), &s);
    s.check("poll_event");
    Reader r(take(out));
    if (r.u8() == 0) return std::nullopt;
    return r.str();
  }
  uint64_t pending_acks() {
    Status s;
    uint64_t n = brenvik_ffi_fn_method_brenvikprotocol_get_pending_ack_count(ref(), &s);
    s.check("get_pending_ack_count");
    return n;
  }

  // A fresh reference for one call: each call consumes one, the device keeps
  // its own.
  uint64_t ref() {
    Status s;
    uint64_t h = brenvik_ffi_fn_clone_brenvikprotocol(handle_, &s);
    s.check("clone");
    return h;
  }

 private:
  std::string name_, id_;
  uint64_t handle_ = 0;
};

// Moves what `from` pulls for `to` into `to`; frames for other peers are not
// on this link and are left out. Returns the number of fragments pulled.
inline size_t carry(Device& from, Device& to) {
  size_t n = 0;
  while (auto f = from.next_fragment()) {
    ++n;
    if (f->first == to.id()) to.fragment_received(from, f->second);
  }
  return n;
}

}  // namespace brenvik_host
