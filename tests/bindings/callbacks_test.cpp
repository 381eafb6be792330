// Host callback interfaces through a C vtable fake: storage replies and their
// conversion by the adapters, unreadable replies, table registration and the
// free slot, and the no-error callbacks.
#include <gtest/gtest.h>

#include "bindings/storage_adapters.h"
#include "fake_host.h"

namespace brenvik::ffi {
namespace {
using testing::be32;
using testing::cat;
using testing::FakeHost;
using testing::Reply;
using testing::str_field;
using MK = MlsStorageError::Kind;
using SK = StateStorageError::Kind;

struct StorageFixture : ::testing::Test {
  FakeHost host;
  std::shared_ptr<MlsStorageProviderProxy> mls_proxy = make_proxy<MlsStorageProviderProxy>(11);
  std::shared_ptr<ProtocolStateStorageProviderProxy> state_proxy =
      make_proxy<ProtocolStateStorageProviderProxy>(22);
  MlsStorageAdapter mls{mls_proxy};
  StateStorageAdapter state{state_proxy};
  StorageFixture() { host.register_all(); }
};

TEST_F(StorageFixture, LoadRepliesAreReadExactly) {
  host.script.push_back(Reply{0, {}, Bytes{0}});
  auto absent = mls.load("t", "k");
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(absent->has_value());

  host.script.push_back(Reply{0, {}, Bytes{1, 0, 0, 0, 3, 'a', 'b', 'c'}});
  auto value = mls.load("t", "k");
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(**value, (Bytes{'a', 'b', 'c'}));

  host.script.push_back(Reply{0, {}, Bytes{1, 0, 0, 0, 1, 'a', 'x'}});
  try {
    (void)mls.load("t", "k");
    FAIL() << "a reply with an extra byte must be a fault";
  } catch (const CallbackFault& f) {
    EXPECT_NE(std::string(f.what()).find("junk data left in buffer after lifting (count: "),
              std::string::npos);
  }
}

TEST_F(StorageFixture, DeclaredErrorsMapByOperation) {
  struct Case {
    const char* what;
    int32_t variant;
    StorageOp op;
    MlsStorageError mls;
    StateStorageError state;
    std::string state_display;
  };
  const std::vector<Case> cases = {
      {"store failed",
       1,
       StorageOp::Store,
       {MK::StoreFailed, "Store failed"},
       {SK::StoreFailed, "Store failed"},
       "Failed to store protocol state: Store failed"},
      {"load answered with StoreFailed",
       1,
       StorageOp::Load,
       {MK::LoadFailed, "Store failed"},
       {SK::LoadFailed, "Store failed"},
       "Failed to load protocol state: Store failed"},
      {"delete failed",
       3,
       StorageOp::Delete,
       {MK::DeleteFailed, "Delete failed"},
       {SK::DeleteFailed, "Delete failed"},
       "Failed to delete protocol state: Delete failed"},
      {"load not found",
       4,
       StorageOp::Load,
       {MK::KeyNotFound, "k"},
       {SK::NotFound, "k"},
       "Protocol state entry not found: k"},
      {"store corrupted",
       5,
       StorageOp::Store,
       {MK::CorruptedData, "Data corrupted"},
       {SK::Corrupted, "Data corrupted"},
       "Protocol state entry corrupted: Data corrupted"},
  };
  for (const auto& c : cases) {
    auto run_mls = [&]() -> std::optional<MlsStorageError> {
      host.script.push_back(Reply{1, be32(c.variant), std::nullopt});
      switch (c.op) {
        case StorageOp::Store: {
          auto r = mls.store("t", "k", Bytes{1});
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
        case StorageOp::Load: {
          auto r = mls.load("t", "k");
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
        case StorageOp::Delete: {
          auto r = mls.delete_("t", "k");
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
      }
      return std::nullopt;
    };
    auto run_state = [&]() -> std::optional<StateStorageError> {
      host.script.push_back(Reply{1, be32(c.variant), std::nullopt});
      switch (c.op) {
        case StorageOp::Store: {
          auto r = state.store("t", "k", Bytes{1});
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
        case StorageOp::Load: {
          auto r = state.load("t", "k");
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
        case StorageOp::Delete: {
          auto r = state.delete_("t", "k");
          return r.ok() ? std::nullopt : std::optional(r.error());
        }
      }
      return std::nullopt;
    };
    auto m = run_mls();
    ASSERT_TRUE(m) << c.what;
    EXPECT_EQ(*m, c.mls) << c.what;
    auto s = run_state();
    ASSERT_TRUE(s) << c.what;
    EXPECT_EQ(*s, c.state) << c.what;
    EXPECT_EQ(s->display(), c.state_display) << c.what;
  }
}

TEST_F(StorageFixture, ListKeysNotFoundHoldsTheEmptyKey) {
  host.script.push_back(Reply{1, be32(4), std::nullopt});
  auto r = mls.list_keys("t");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (MlsStorageError{MK::KeyNotFound, ""}));
}

TEST_F(StorageFixture, UnreadableDeclaredErrorsAreFaults) {
  for (const Bytes& error : {be32(6), be32(0), Bytes{0, 0, 5}, cat({be32(5), {0}})}) {
    host.script.push_back(Reply{1, error, std::nullopt});
    EXPECT_THROW((void)state.store("t", "k", Bytes{1}), CallbackFault);
  }
}

// An unexpected host failure is an ordinary storage error of the operation,
// carrying the host's message, never a fault that would poison a caller's lock.
TEST_F(StorageFixture, UnexpectedHostFailureBecomesTheOperationsFailure) {
  host.script.push_back(Reply{2, to_bytes("disk full"), std::nullopt});
  auto s = state.store("t", "k", Bytes{1});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display(), "Failed to store protocol state: disk full");

  host.script.push_back(Reply{2, to_bytes("io"), std::nullopt});
  auto l = mls.load("t", "k");
  ASSERT_FALSE(l.ok());
  EXPECT_EQ(l.error(), (MlsStorageError{MK::LoadFailed, "io"}));

  host.script.push_back(Reply{7, {}, std::nullopt});
  auto d = mls.delete_("t", "k");
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error(), (MlsStorageError{MK::DeleteFailed, "Delete failed"}));
}

TEST_F(StorageFixture, StoreLoadExistsAndClearStopsAtTheFirstFailure) {
  ASSERT_TRUE(mls.store("t", "a", Bytes{1, 2}).ok());
  ASSERT_TRUE(mls.store("t", "b", Bytes{}).ok());
  ASSERT_TRUE(mls.store("t", "c", Bytes{3}).ok());
  EXPECT_EQ(host.data["a"], (Bytes{1, 2}));
  EXPECT_TRUE(*mls.exists("t", "b"));
  EXPECT_FALSE(*mls.exists("t", "zz"));

  host.calls.clear();
  // The listing answers a, b, c; the second delete fails.
  host.script.push_back(
      Reply{0, {}, cat({be32(3), str_field("a"), str_field("b"), str_field("c")})});
  host.script.push_back(Reply{});  // delete a: answered from the data
  host.script.push_back(Reply{1, be32(3), std::nullopt});
  auto r = mls.clear("t");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (MlsStorageError{MK::DeleteFailed, "Delete failed"}));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"list t", "delete a", "delete b"}));
  EXPECT_FALSE(host.data.count("a"));
  EXPECT_TRUE(host.data.count("c"));

  host.data.clear();
  host.calls.clear();
  EXPECT_TRUE(mls.clear("t").ok());
  EXPECT_EQ(host.calls, (std::vector<std::string>{"list t"}));
}

TEST(CallbackTables, FreeSlotRunsOnceWhenTheLastReferenceGoes) {
  FakeHost host;
  host.register_all();
  {
    auto p = make_proxy<EventCallbackProxy>(5);
    auto q = p;
    p.reset();
    EXPECT_TRUE(host.freed.empty());
  }
  EXPECT_EQ(host.freed, (std::vector<uint64_t>{5}));
}

TEST(CallbackTables, MissingTableIsAFaultAndTheLatestTableWins) {
  FakeHost host;
  register_callback_table(CallbackInterface::ProtocolStateStorageProvider, nullptr);
  {
    auto p = make_proxy<ProtocolStateStorageProviderProxy>(9);
    EXPECT_THROW((void)p->load("t", "k"), CallbackFault);
  }
  EXPECT_TRUE(host.freed.empty()) << "no table, nobody to free through";

  static int second_calls = 0;
  static const BrenvikFfiVTableEventCallback second{
      &FakeHost::free_fn, &FakeHost::clone_fn,
      [](uint64_t, BrenvikFfiByteBuffer e, uint8_t*, BrenvikFfiCallStatus*) {
        testing::take(e);
        ++second_calls;
      }};
  host.register_all();
  brenvik_ffi_fn_init_callback_vtable_eventcallback(&second);
  auto p = make_proxy<EventCallbackProxy>(1);
  EXPECT_TRUE(p->on_event("{}").ok());
  EXPECT_EQ(second_calls, 1);
  EXPECT_TRUE(host.calls.empty());
}

TEST(CallbackTables, NoErrorMethodsReportFailuresAsFaultTexts) {
  FakeHost host;
  host.register_all();
  auto p = make_proxy<EventCallbackProxy>(1);
  host.script.push_back(Reply{1, be32(1), std::nullopt});
  auto r1 = p->on_event("{\"a\":1}");
  ASSERT_FALSE(r1.ok());
  EXPECT_EQ(r1.error(), "Callback interface method returned unexpected error");
  host.script.push_back(Reply{2, to_bytes("boom \"x\"\n"), std::nullopt});
  auto r2 = p->on_event("{}");
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(r2.error(),
            "Callback interface failure: UnexpectedCallbackError(reason: \"boom \\\"x\\\"\\n\")");
  EXPECT_EQ(host.calls.front(), "event {\"a\":1}");
}

}  // namespace
}  // namespace brenvik::ffi
