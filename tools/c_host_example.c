/* A complete minimal host in plain C, written from include/brenvik_ffi.h and
 * interface/README.md alone: two devices in one process, linked by a
 * simulated BLE radio, exchange one message; alice hears her events through a
 * callback, bob polls his.
 *
 * Build (the library is build/release/lib/libbrenvik_ffi.so after `make demo`):
 *   cc -std=c11 -Iinclude tools/c_host_example.c -Lbuild/release/lib -lbrenvik_ffi
 * Exits 0 when bob received the message and alice saw it delivered. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "brenvik_ffi.h"

/* ---- a growable byte string for the values we write into buffers */
typedef struct {
  uint8_t* data;
  size_t len, cap;
} Bytes;

static void put(Bytes* b, const void* p, size_t n) {
  if (b->len + n > b->cap) {
    b->cap = (b->len + n) * 2 + 16;
    b->data = realloc(b->data, b->cap);
    if (!b->data) abort();
  }
  memcpy(b->data + b->len, p, n);
  b->len += n;
}
static void put_u8(Bytes* b, uint8_t v) { put(b, &v, 1); }
static void put_be(Bytes* b, uint64_t v, int size) { /* big-endian, `size` bytes */
  for (int i = size - 1; i >= 0; --i) put_u8(b, (uint8_t)(v >> (8 * i)));
}
static void put_str(Bytes* b, const char* s) { /* a string inside a value: i32 length, bytes */
  put_be(b, strlen(s), 4);
  put(b, s, strlen(s));
}

/* ---- buffers: every buffer handed to the library is made by the library */
static BrenvikFfiByteBuffer lib_buffer(const void* p, size_t n) {
  BrenvikFfiCallStatus st = {0};
  BrenvikFfiHostBytes hb = {(int32_t)n, (const uint8_t*)p};
  return brenvik_ffi_buffer_from_bytes(hb, &st);
}
static BrenvikFfiByteBuffer text_arg(const char* s) { return lib_buffer(s, strlen(s)); }
static BrenvikFfiByteBuffer value_arg(Bytes* b) {
  BrenvikFfiByteBuffer out = lib_buffer(b->data, b->len);
  free(b->data);
  memset(b, 0, sizeof *b);
  return out;
}
static void release(BrenvikFfiByteBuffer b) {
  BrenvikFfiCallStatus st = {0};
  brenvik_ffi_buffer_free(b, &st);
}

/* A NUL-terminated copy of text the library handed over (its buffers are not
 * terminated); the caller frees it. */
static char* text_of(const uint8_t* p, size_t n) {
  char* s = malloc(n + 1);
  if (!s) abort();
  if (n) memcpy(s, p, n);
  s[n] = 0;
  return s;
}

/* Reports a failed call and exits: code 1 carries an InterfaceError (i32
 * variant, then the text as i32 length and bytes), code 2 a bare UTF-8 text. */
static void check(BrenvikFfiCallStatus* st, const char* what) {
  if (st->code == 0) return;
  const uint8_t* d = st->error_buf.data;
  size_t n = (size_t)st->error_buf.len;
  if (st->code == 1 && n >= 8) {
    d += 8;
    n -= 8;
  }
  fprintf(stderr, "%s failed (status %d): %.*s\n", what, st->code, (int)n, (const char*)d);
  release(st->error_buf);
  exit(1);
}

/* ---- the construction record, field by field in declaration order */
static BrenvikFfiByteBuffer plain_config(const char* user_id) {
  Bytes b = {0};
  put_str(&b, "example.chat"); /* app_id */
  put_str(&b, user_id);        /* user_id */
  put_u8(&b, 1);               /* enable_ble */
  for (int i = 0; i < 5; ++i) put_u8(&b, 0); /* wifi direct, internet, reticulum, nostr, prefer_internet */
  put_u8(&b, 8);                             /* initial_ttl */
  for (int i = 0; i < 4; ++i) put_u8(&b, 0); /* encryption switches: plaintext road */
  put_be(&b, 100, 8);                        /* max_pending_per_peer */
  put_be(&b, 1000, 8);                       /* max_pending_global */
  put_be(&b, 86400000, 8);                   /* pending_ttl_ms */
  put_be(&b, 1, 4);                          /* pending_overflow_policy: DropOldest */
  put_u8(&b, 0);                             /* retry_budgeted */
  put_be(&b, 50, 4);                         /* max_group_members */
  for (int i = 0; i < 11; ++i) put_u8(&b, 0); /* group, identity and feature switches */
  put_u8(&b, 0);                              /* mesh_relay: absent */
  put_u8(&b, 0);                              /* custody: absent */
  put_u8(&b, 0);                              /* data_layer_enabled */
  put_u8(&b, 0);                              /* control_dispatch_flag */
  return value_arg(&b);
}

/* A method call consumes one reference: duplicate our handle for each call. */
static uint64_t ref(uint64_t h) {
  BrenvikFfiCallStatus st = {0};
  uint64_t dup = brenvik_ffi_fn_clone_brenvikprotocol(h, &st);
  check(&st, "clone");
  return dup;
}

/* ---- alice's event callback: runs synchronously, after the library released
 * the object's lock, so it could call alice's methods too. */
static int alice_delivered = 0;
static void on_event(uint64_t handle, BrenvikFfiByteBuffer event, uint8_t* out_return,
                     BrenvikFfiCallStatus* status) {
  (void)handle, (void)out_return, (void)status;
  char* json = text_of(event.data, (size_t)event.len);
  release(event); /* the event buffer is ours */
  printf("alice event:  %s\n", json);
  if (strstr(json, "\"type\":\"message_delivered\"") != NULL) alice_delivered = 1;
  free(json);
}
static void callback_free(uint64_t handle) { (void)handle; }
static uint64_t callback_clone(uint64_t handle) { return handle; }
static const BrenvikFfiVTableEventCallback event_table = {callback_free, callback_clone, on_event};

/* Moves every fragment `from` wants written into `to`'s BLE intake. The
 * result is an optional OutboundFrame: tag byte, peer id, fragment bytes. */
static int carry(uint64_t from, const char* from_id, uint64_t to) {
  int moved = 0;
  for (;;) {
    BrenvikFfiCallStatus st = {0};
    BrenvikFfiByteBuffer out = brenvik_ffi_fn_method_brenvikprotocol_ble_get_next_fragment(ref(from), &st);
    check(&st, "ble_get_next_fragment");
    if (out.len == 0 || out.data[0] == 0) {
      release(out);
      return moved;
    }
    const uint8_t* p = out.data + 1;
    uint32_t peer_len = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    p += 4 + peer_len; /* the peer id: we have one link, so it is `to` */
    uint32_t frag_len = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    /* fragment: bytes = i32 length + bytes, exactly as read */
    BrenvikFfiByteBuffer fragment = lib_buffer(p, 4 + (size_t)frag_len);
    release(out);
    brenvik_ffi_fn_method_brenvikprotocol_ble_fragment_received(ref(to), text_arg(from_id), fragment, &st);
    check(&st, "ble_fragment_received");
    ++moved;
  }
}

int main(void) {
  BrenvikFfiCallStatus st = {0};
  if (brenvik_ffi_contract_version() != BRENVIK_FFI_CONTRACT_VERSION) {
    fprintf(stderr, "header and library disagree on the contract version\n");
    return 1;
  }
  /* Tables first: a callback handle for an unregistered table is refused. */
  brenvik_ffi_fn_init_callback_vtable_eventcallback(&event_table);

  uint64_t alice = brenvik_ffi_fn_constructor_brenvikprotocol_new(plain_config("alice"), &st);
  check(&st, "new alice");
  uint64_t bob = brenvik_ffi_fn_constructor_brenvikprotocol_new(plain_config("bob"), &st);
  check(&st, "new bob");
  brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(ref(alice), 1, &st);
  check(&st, "set_event_callback");

  brenvik_ffi_fn_method_brenvikprotocol_start(ref(alice), &st);
  check(&st, "start alice");
  brenvik_ffi_fn_method_brenvikprotocol_start(ref(bob), &st);
  check(&st, "start bob");
  brenvik_ffi_fn_method_brenvikprotocol_ble_peer_discovered(ref(alice), text_arg("bob"), -50, &st);
  check(&st, "alice discovers bob");
  brenvik_ffi_fn_method_brenvikprotocol_ble_peer_discovered(ref(bob), text_arg("alice"), -50, &st);
  check(&st, "bob discovers alice");

  /* send_message(recipient, content, priority, reply_to_msg): the strings at
   * top level are bare UTF-8; the enum and the optional are encoded values. */
  Bytes priority = {0}, reply = {0};
  put_be(&priority, 2, 4); /* MessagePriority.Medium */
  put_u8(&reply, 0);       /* no reply_to_msg */
  BrenvikFfiByteBuffer id = brenvik_ffi_fn_method_brenvikprotocol_send_message(
      ref(alice), text_arg("bob"), text_arg("hello from C"), value_arg(&priority), value_arg(&reply), &st);
  check(&st, "send_message");
  printf("sent message %.*s\n", (int)id.len, (const char*)id.data);
  release(id);

  for (int round = 0; round < 8; ++round)
    if (carry(alice, "alice", bob) + carry(bob, "bob", alice) == 0) break;

  /* bob polls: each result is an optional string (tag byte, i32 length, bytes). */
  int bob_received = 0;
  for (;;) {
    BrenvikFfiByteBuffer e = brenvik_ffi_fn_method_brenvikprotocol_poll_event(ref(bob), &st);
    check(&st, "poll_event");
    if (e.len == 0 || e.data[0] == 0) {
      release(e);
      break;
    }
    char* json = text_of(e.data + 5, (size_t)e.len - 5);
    release(e);
    printf("bob event:    %s\n", json);
    if (strstr(json, "\"type\":\"message_received\"") != NULL && strstr(json, "hello from C") != NULL)
      bob_received = 1;
    free(json);
  }

  brenvik_ffi_fn_free_brenvikprotocol(alice, &st);
  check(&st, "free alice");
  brenvik_ffi_fn_free_brenvikprotocol(bob, &st);
  check(&st, "free bob");
  printf("bob received: %s; alice saw it delivered: %s\n", bob_received ? "yes" : "no",
         alice_delivered ? "yes" : "no");
  return bob_received && alice_delivered ? 0 : 1;
}
