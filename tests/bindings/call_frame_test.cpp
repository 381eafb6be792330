// The call frame, driven through generated wrappers: conversion failures with
// their exact texts, reference counts on every path, expected errors, faults,
// and the buffer, handle and future exports.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>

#include "bindings/codec.h"
#include "bindings/ffi_types.h"
#include "bindings/future.h"
#include "bindings/handle.h"
#include "ffi_test_util.h"
#include "probe_exports.h"
#include "probe_object.h"

namespace brenvik::ffi {
namespace {
using testing::be32;
using testing::cat;
using testing::fresh_status;
using testing::host_buffer;
using testing::str_field;
using testing::take;
using testing::take_error_text;
using testing::take_text;

// A probe object the test holds one reference to.
struct ProbeFixture {
  Ref<Probe> owner = Ref<Probe>::make();
  uint64_t h() const { return owner.handle(); }
  // The host's duplicate for one call.
  uint64_t dup() const { return handle_clone(h()); }
  int64_t count() const { return handle_count(h()); }
};

struct MalformedCase {
  const char* what;
  // Calls one wrapper with the malformed argument.
  std::function<void(uint64_t, BrenvikFfiCallStatus*)> call;
  std::string expected;
};

BrenvikFfiByteBuffer buf(const Bytes& b) {
  return host_buffer(b);
}

Bytes valid_metrics() {
  Bytes b;
  for (int i = 0; i < 4; ++i) append(b, be32(0));
  append(b, be32(0));  // failure rate bits
  append(b, be32(0));
  append(b, Bytes(12, 0));  // twelve absent optionals
  return b;
}

TEST(CallFrame, MalformedArgumentOfEachTypeFailsWithCode2AndKeepsCounts) {
  Bytes metrics_bad_seventh = valid_metrics();
  metrics_bad_seventh[24] = 2;  // tag of the seventh field
  Bytes rich_bad_app_id(7, 0);
  rich_bad_app_id[6] = 2;
  const std::vector<MalformedCase> cases = {
      {"bool",
       [](uint64_t h, BrenvikFfiCallStatus* s) { brenvik_ffi_fn_method_probe_take_bool(h, 2, s); },
       "Failed to convert arg 'flag':\nunexpected byte for Boolean"},
      {"enum out of range",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_priority(h, buf(be32(7)), s);
       },
       "Failed to convert arg 'priority':\nInvalid MessagePriority enum value: 7"},
      {"enum short",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_priority(h, buf({0, 0, 2}), s);
       },
       "Failed to convert arg 'priority':\nnot enough bytes remaining in buffer (3 < 4)"},
      {"enum junk",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_priority(h, buf({0, 0, 0, 2, 0}), s);
       },
       "Failed to convert arg 'priority':\njunk data left in buffer after lifting (count: 1)"},
      {"optional tag",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_opt_string(h, buf({2}), s);
       },
       "Failed to convert arg 'reply_to_msg':\nunexpected tag byte for Option"},
      {"optional enum",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_opt_priority(h, buf(cat({{1}, be32(0)})), s);
       },
       "Failed to convert arg 'priority':\nInvalid MessagePriority enum value: 0"},
      {"sequence",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_strings(h, buf(cat({be32(2), str_field("a")})), s);
       },
       "Failed to convert arg 'message_ids':\nnot enough bytes remaining in buffer (0 < 4)"},
      {"map",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_map(h, buf(be32(-1)), s);
       },
       "Failed to convert arg 'capabilities':\nnumber too small to fit in target type"},
      {"record",
       [&](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_rich_options(h, buf(rich_bad_app_id), s);
       },
       "Failed to convert arg 'options':\nunexpected tag byte for Option"},
      {"second argument",
       [&](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_metrics(h, buf(be32(2)), buf(metrics_bad_seventh), s);
       },
       "Failed to convert arg 'metrics':\nunexpected tag byte for Option"},
      {"first of two arguments",
       [&](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_metrics(h, buf(be32(6)), buf(valid_metrics()), s);
       },
       "Failed to convert arg 'transport_type':\nInvalid TransportType enum value: 6"},
      {"bytes",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_probe_take_bytes(h, buf(cat({be32(5), {1, 2, 3}})), s);
       },
       "Failed to convert arg 'data':\nnot enough bytes remaining in buffer (3 < 5)"},
      {"broken buffer",
       [](uint64_t h, BrenvikFfiCallStatus* s) {
         // Allocated by the library as every argument is: refused, and still
         // released (LeakSanitizer reports it otherwise).
         BrenvikFfiByteBuffer b = brenvik_ffi_buffer_alloc(2, s);
         b.len = 4;
         brenvik_ffi_fn_method_probe_take_text(h, b, s);
       },
       "Failed to convert arg 'text':\nByteBuffer length exceeds its capacity"},
  };
  for (const auto& c : cases) {
    ProbeFixture p;
    BrenvikFfiCallStatus st = fresh_status();
    c.call(p.dup(), &st);
    ASSERT_EQ(st.code, 2) << c.what;
    EXPECT_EQ(take_error_text(st), c.expected) << c.what;
    EXPECT_EQ(p.owner->calls.load(), 0) << c.what << ": the body must not run";
    EXPECT_EQ(p.count(), 1) << c.what << ": the duplicate must be released";
  }
}

TEST(CallFrame, SuccessLeavesTheStatusUntouchedAndReleasesTheDuplicate) {
  ProbeFixture p;
  BrenvikFfiCallStatus st = fresh_status();
  auto out =
      brenvik_ffi_fn_method_probe_echo(p.dup(), host_buffer("hi"), buf(be32(2)), buf({0}), &st);
  EXPECT_EQ(st.code, 0);
  EXPECT_EQ(st.error_buf.data, nullptr);
  EXPECT_EQ(take_text(out), "hi/Medium/-");
  EXPECT_EQ(p.count(), 1);

  out = brenvik_ffi_fn_method_probe_echo(p.dup(), host_buffer("x"), buf(be32(4)),
                                         buf(cat({{1}, str_field("r")})), &st);
  EXPECT_EQ(take_text(out), "x/Critical/r");

  // Valid values of every other kind reach the body.
  EXPECT_EQ(brenvik_ffi_fn_method_probe_take_bool(p.dup(), 1, &st), 1u);
  EXPECT_EQ(brenvik_ffi_fn_method_probe_take_opt_priority(p.dup(), buf({0}), &st), 0u);
  EXPECT_EQ(brenvik_ffi_fn_method_probe_take_rich_options(
                p.dup(), buf(cat({{1}, be32(3), Bytes(6, 0)})), &st),
            3u);
  EXPECT_EQ(
      brenvik_ffi_fn_method_probe_take_metrics(p.dup(), buf(be32(5)), buf(valid_metrics()), &st),
      5u);
  EXPECT_EQ(
      brenvik_ffi_fn_method_probe_take_map(
          p.dup(),
          buf(cat({be32(2), str_field("a"), str_field("1"), str_field("a"), str_field("2")})), &st),
      1u);
  EXPECT_EQ(p.owner->last_text, "a=2;");
  EXPECT_EQ(st.code, 0);
  EXPECT_EQ(p.count(), 1);
}

TEST(CallFrame, EmptyTopLevelStringMayComeWithOrWithoutAPointer) {
  ProbeFixture p;
  BrenvikFfiCallStatus st = fresh_status();
  static uint8_t any = 7;
  EXPECT_EQ(
      brenvik_ffi_fn_method_probe_take_text(p.dup(), BrenvikFfiByteBuffer{0, 0, nullptr}, &st), 0u);
  EXPECT_EQ(brenvik_ffi_fn_method_probe_take_text(p.dup(), BrenvikFfiByteBuffer{0, 0, &any}, &st),
            0u);
  EXPECT_EQ(st.code, 0);
  EXPECT_EQ(p.owner->calls.load(), 2);
}

TEST(CallFrame, ExpectedErrorIsLoweredWithCode1AndAZeroResult) {
  ProbeFixture p;
  BrenvikFfiCallStatus st = fresh_status();
  auto out =
      brenvik_ffi_fn_method_probe_echo(p.dup(), host_buffer(""), buf(be32(1)), buf({0}), &st);
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(out.capacity, 0u);
  ASSERT_EQ(st.code, 1);
  Bytes lowered = take(st.error_buf);
  Bytes expected = cat({be32(1), str_field("Protocol not started")});
  EXPECT_EQ(lowered, expected);
  EXPECT_EQ(p.count(), 1);
}

TEST(CallFrame, InternalFaultsBecomeCode2AndTheObjectStaysUsable) {
  ProbeFixture p;
  struct Case {
    uint32_t mode;
    int8_t code;
    std::string text;
  };
  for (const Case& c : {Case{2, 2, "fault with text"}, Case{3, 2, "Unknown panic!"}, Case{1, 1, ""},
                        Case{0, 0, ""}}) {
    BrenvikFfiCallStatus st = fresh_status();
    auto out = brenvik_ffi_fn_method_probe_fail(p.dup(), c.mode, &st);
    EXPECT_EQ(st.code, c.code) << c.mode;
    if (c.code == 2) {
      EXPECT_EQ(take_error_text(st), c.text);
    }
    if (c.code == 1) {
      Bytes e = take(st.error_buf);
      EXPECT_EQ(e, cat({be32(20), str_field("Invalid argument: bad")}));
    }
    if (c.code == 0) {
      EXPECT_EQ(take_text(out), "fine");
    }
    EXPECT_EQ(p.count(), 1) << c.mode;
  }
  EXPECT_EQ(p.owner->calls.load(), 4);
}

TEST(CallFrame, AnObjectArgumentIsTakenOver) {
  ProbeFixture p;
  ProbeFixture other;
  BrenvikFfiCallStatus st = fresh_status();
  EXPECT_EQ(brenvik_ffi_fn_method_probe_take_protocol(p.dup(), other.dup(), &st), 1u);
  EXPECT_EQ(other.count(), 1);
  EXPECT_EQ(p.count(), 1);
}

TEST(CallFrame, LargeValuesRoundTrip) {
  ProbeFixture p;
  Bytes big(64 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 31);
  BrenvikFfiCallStatus st = fresh_status();
  auto out = brenvik_ffi_fn_method_probe_echo_bytes(p.dup(), buf(write_value(big)), &st);
  ASSERT_EQ(st.code, 0);
  EXPECT_EQ(take(out), write_value(big));
}

// ---- buffer exports

TEST(BufferExports, AllocFreeFromBytesReserve) {
  BrenvikFfiCallStatus st = fresh_status();
  auto empty = brenvik_ffi_buffer_alloc(0, &st);
  EXPECT_EQ(empty.capacity, 0u);
  EXPECT_EQ(empty.len, 0u);
  EXPECT_NE(empty.data, nullptr);
  brenvik_ffi_buffer_free(empty, &st);
  EXPECT_EQ(st.code, 0);

  auto five = brenvik_ffi_buffer_alloc(5, &st);
  EXPECT_EQ(five.capacity, 5u);
  EXPECT_EQ(Bytes(five.data, five.data + five.len), Bytes(5, 0));
  // Enough room: the same buffer comes back.
  auto same = brenvik_ffi_buffer_reserve(five, 0, &st);
  EXPECT_EQ(same.data, five.data);
  EXPECT_EQ(same.capacity, 5u);
  five.data[0] = 9;
  auto grown = brenvik_ffi_buffer_reserve(five, 10, &st);
  EXPECT_GE(grown.capacity, 15u);
  EXPECT_EQ(grown.len, 5u);
  EXPECT_EQ(grown.data[0], 9);
  brenvik_ffi_buffer_free(grown, &st);
  EXPECT_EQ(st.code, 0);

  uint8_t src[3] = {1, 2, 3};
  auto copy = brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{3, src}, &st);
  EXPECT_EQ(take(copy), (Bytes{1, 2, 3}));
  auto none = brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{0, nullptr}, &st);
  EXPECT_EQ(none.capacity, 0u);
  EXPECT_EQ(st.code, 0);
}

TEST(BufferExports, RefusalsReportCode2) {
  struct Case {
    const char* what;
    std::function<void(BrenvikFfiCallStatus*)> call;
    std::string prefix;
  };
  static uint8_t bytes[4] = {};
  const std::vector<Case> cases = {
      {"negative host length",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{-1, bytes}, s);
       },
       "bytes length negative or overflowed"},
      {"null host bytes with a length",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{5, nullptr}, s);
       },
       "null HostBytes with non-zero length"},
      {"alloc above i64",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_alloc(uint64_t(std::numeric_limits<int64_t>::max()) + 1, s);
       },
       "buffer size"},
      {"free len above capacity",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_free(BrenvikFfiByteBuffer{1, 4, bytes}, s);
       },
       "ByteBuffer length exceeds its capacity"},
      {"free null with capacity",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_free(BrenvikFfiByteBuffer{4, 0, nullptr}, s);
       },
       "null ByteBuffer with non-zero capacity"},
      {"reserve null with len",
       [](BrenvikFfiCallStatus* s) {
         brenvik_ffi_buffer_reserve(BrenvikFfiByteBuffer{0, 3, nullptr}, 1, s);
       },
       "null ByteBuffer with non-zero length"},
  };
  for (const auto& c : cases) {
    BrenvikFfiCallStatus st = fresh_status();
    c.call(&st);
    ASSERT_EQ(st.code, 2) << c.what;
    EXPECT_EQ(take_error_text(st).rfind(c.prefix, 0), 0u) << c.what;
  }
}

// ---- handles and the DataStore / MeshServices objects

TEST(Handles, CloneFreeAndTheDataStoreKeepsItsProtocolAlive) {
  std::atomic<bool> destroyed{false};
  Ref<Probe> protocol = Ref<Probe>::make();
  protocol->destroyed = &destroyed;
  uint64_t ph = protocol.into_handle();
  BrenvikFfiCallStatus st = fresh_status();

  EXPECT_EQ(brenvik_ffi_fn_clone_brenvikprotocol(ph, &st), ph);
  EXPECT_EQ(handle_count(ph), 2);
  brenvik_ffi_fn_free_brenvikprotocol(ph, &st);
  EXPECT_EQ(handle_count(ph), 1);

  // The store takes over a duplicate of the protocol handle.
  uint64_t ds =
      brenvik_ffi_fn_constructor_datastore_new(brenvik_ffi_fn_clone_brenvikprotocol(ph, &st), &st);
  uint64_t ms = brenvik_ffi_fn_constructor_meshservices_new(
      brenvik_ffi_fn_clone_brenvikprotocol(ph, &st), &st);
  ASSERT_EQ(st.code, 0);
  EXPECT_EQ(handle_count(ph), 3);
  brenvik_ffi_fn_free_brenvikprotocol(ph, &st);
  brenvik_ffi_fn_free_meshservices(ms, &st);
  EXPECT_FALSE(destroyed);

  // Methods on the store work with the protocol's last host handle gone.
  auto hash = brenvik_ffi_fn_method_datastore_attachment_hash(
      brenvik_ffi_fn_clone_datastore(ds, &st), buf(be32(0)), &st);
  EXPECT_EQ(take_text(hash), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(handle_count(ds), 1);

  // A short data buffer fails naming "data", with the store's count intact.
  brenvik_ffi_fn_method_datastore_attachment_hash(brenvik_ffi_fn_clone_datastore(ds, &st),
                                                  buf(cat({be32(5), {1, 2, 3}})), &st);
  ASSERT_EQ(st.code, 2);
  EXPECT_EQ(take_error_text(st),
            "Failed to convert arg 'data':\nnot enough bytes remaining in buffer (3 < 5)");
  EXPECT_EQ(handle_count(ds), 1);

  st = fresh_status();
  brenvik_ffi_fn_free_datastore(ds, &st);
  EXPECT_TRUE(destroyed);
}

TEST(Handles, NullHandleIsAFaultNotACrash) {
  BrenvikFfiCallStatus st = fresh_status();
  EXPECT_EQ(brenvik_ffi_fn_clone_datastore(0, &st), 0u);
  ASSERT_EQ(st.code, 2);
  EXPECT_EQ(take_error_text(st), "null object handle");
}

// ---- futures

TEST(Futures, PollCancelCompleteFree) {
  static std::atomic<int> woken{0};
  static std::atomic<uint64_t> woken_data{0};
  auto cont = [](uint64_t data, int8_t) {
    ++woken;
    woken_data = data;
  };
  auto* f = new Future();
  uint64_t h = future_handle(f);
  brenvik_ffi_future_poll_u32(h, cont, 77);
  EXPECT_EQ(woken.load(), 0);
  f->resolve_scalar(41);
  EXPECT_EQ(woken.load(), 1);
  EXPECT_EQ(woken_data.load(), 77u);
  BrenvikFfiCallStatus st = fresh_status();
  EXPECT_EQ(brenvik_ffi_future_complete_u32(h, &st), 41u);
  EXPECT_EQ(st.code, 0);
  brenvik_ffi_future_free_u32(h);

  auto* g = new Future();
  uint64_t gh = future_handle(g);
  brenvik_ffi_future_poll_buffer(gh, cont, 5);
  brenvik_ffi_future_cancel_buffer(gh);
  EXPECT_EQ(woken.load(), 2);
  auto out = brenvik_ffi_future_complete_buffer(gh, &st);
  EXPECT_EQ(st.code, 3);
  EXPECT_EQ(out.data, nullptr);
  brenvik_ffi_future_free_buffer(gh);
}

}  // namespace
}  // namespace brenvik::ffi
