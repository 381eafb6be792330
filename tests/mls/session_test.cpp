// 1:1 sessions over the group store: two devices with their own storages,
// restarts, the key-package checks shared by import and session creation,
// Welcomes for an existing session, concurrency on one session and the
// storage faults that must not lose a message or a Welcome.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>

#include "crypto/aead.h"
#include "mls/mls_manager.h"
#include "mls/pending_welcome.h"
#include "mls_device.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/secret_tree.h"
#include "rfc9420/stored_group.h"
#include "rfc9420/tls_codec.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

using K = MlsError::Kind;

// B's key package imported by A; A opens the session by encrypting `first`;
// B joins through the pending Welcome and decrypts.
void open_session(Device& a, Device& b, std::string_view first = "hi") {
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  auto sent = a->encrypt_for_user(b.id(), as_bytes(first));
  ASSERT_TRUE(sent.ok()) << sent.error().message();
  auto welcome = a->pending_welcome(b.id());
  ASSERT_TRUE(welcome.ok() && welcome.value());
  auto joined = b->process_welcome(*welcome.value());
  ASSERT_TRUE(joined.ok()) << joined.error().message();
  auto got = b->decrypt_from_user(sent.value(), a.id());
  ASSERT_TRUE(got.ok()) << got.error().message();
  ASSERT_EQ(*got.value(), to_bytes(first));
}

std::optional<Bytes> marker(Device& d, std::string_view group_id) {
  return d.storage->peek(kGroupMarkerType, group_id);
}

class Sessions : public ::testing::Test {
 protected:
  ManualClock clock;
  Device a{clock};
  Device b{clock};
};

TEST_F(Sessions, TwoDevicesExchangeAndGoOnAfterRestart) {
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  auto sent = a->encrypt_for_user(b.id(), as_bytes(std::string_view("hi")));
  ASSERT_TRUE(sent.ok()) << sent.error().message();
  const GroupId sid = session_group_id(a.id(), b.id()).value();
  EXPECT_EQ(sid, session_group_id(b.id(), a.id()).value());
  EXPECT_EQ(sent.value().group_id, sid);
  EXPECT_EQ(sent.value().sender_id, a.id());
  EXPECT_FALSE(a.storage->peek(kContactKeyPackageType, b.id()));

  auto welcome = a->pending_welcome(b.id());
  ASSERT_TRUE(welcome.ok() && welcome.value());
  EXPECT_EQ(welcome.value()->group_id, sid);
  EXPECT_EQ(welcome.value()->inviter_id, a.id());

  auto joined = b->process_welcome(*welcome.value());
  ASSERT_TRUE(joined.ok()) << joined.error().message();
  EXPECT_TRUE(joined.value().is_session);
  EXPECT_EQ(joined.value().member_count, 2u);
  EXPECT_EQ(std::set<std::string>(joined.value().members.begin(), joined.value().members.end()),
            (std::set<std::string>{a.id(), b.id()}));
  EXPECT_EQ(*b->decrypt_from_user(sent.value(), a.id()).value(), to_bytes("hi"));

  auto reply = b->encrypt_for_user(a.id(), as_bytes(std::string_view("hello back")));
  ASSERT_TRUE(reply.ok());
  EXPECT_FALSE(b->pending_welcome(a.id()).value());  // B had the session already
  EXPECT_EQ(*a->decrypt_from_user(reply.value(), b.id()).value(), to_bytes("hello back"));

  a.restart();
  b.restart();
  for (int i = 0; i < 3; ++i) {
    auto m = a->encrypt_for_user(b.id(), as_bytes(std::string_view("after restart")));
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(*b->decrypt(m.value(), a.id()).value(), to_bytes("after restart"));
    auto r = b->session_encrypt(a.id(), as_bytes(std::string_view("ok")));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*a->decrypt(r.value(), b.id()).value(), to_bytes("ok"));
  }
  EXPECT_EQ(a->list_sessions().value(), std::vector<std::string>{b.id()});
  EXPECT_EQ(b->list_sessions().value(), std::vector<std::string>{a.id()});
  EXPECT_TRUE(a->list_groups().value().empty());
  EXPECT_EQ(marker(a, sid.str()), encode_group_marker(1));
}

TEST_F(Sessions, CreateSessionConsumesTheKeyPackageAndRefusesASecond) {
  EXPECT_EQ(a->encrypt_for_user(b.id(), as_bytes(std::string_view("x"))).error().message(),
            "No key package available for user: " + b.id());
  EXPECT_EQ(a.storage->size(), 1u);  // the identity record only
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  ASSERT_TRUE(a->create_session(b.id()).ok());
  EXPECT_EQ(a->create_session(b.id()).error().kind(), K::NoKeyPackage);
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  EXPECT_EQ(a->create_session(b.id()).error().message(),
            "Group creation failed: Session already exists with user: " + b.id());
  EXPECT_TRUE(a.storage->peek(kContactKeyPackageType, b.id()));
}

// The same checks and texts for a package given to the import and for one
// found stored when a session is created.
TEST_F(Sessions, ValidityWindowTable) {
  const uint64_t now = a.now_s();
  struct Case {
    const char* name;
    std::function<Bytes(Device&)> make;
    std::optional<K> kind;
    std::string text;
  };
  const std::string prefix = "Invalid key package: ";
  std::vector<Case> cases = {
      {"exactly 90 days",
       [&](Device& d) { return d.key_package_with_window(now - 10, now - 10 + 7'776'000); },
       std::nullopt, ""},
      {"one second wider",
       [&](Device& d) { return d.key_package_with_window(now - 10, now - 10 + 7'776'001); },
       K::InvalidKeyPackage,
       prefix + "key package validity window is 7776001 seconds, wider than the 7776000 seconds "
                "this install admits"},
      {"closed yesterday",
       [&](Device& d) { return d.key_package_with_window(now - 31 * kDay, now - kDay); },
       K::KeyPackageOutsideValidityWindow,
       "Key package is outside its validity window by this device's clock: it has already "
       "closed"},
      {"opens tomorrow",
       [&](Device& d) { return d.key_package_with_window(now + kDay, now + 31 * kDay); },
       K::KeyPackageOutsideValidityWindow,
       "Key package is outside its validity window by this device's clock: it has not started "
       "yet"},
      {"one trailing byte",
       [&](Device& d) {
         Bytes kp = d.key_package();
         kp.push_back(0);
         return kp;
       },
       K::InvalidKeyPackage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Device inviter(clock), peer(clock);
    const Bytes kp = c.make(peer);
    auto imported = inviter->import_key_package(peer.id(), kp);
    inviter.storage->poke(kContactKeyPackageType, peer.id(), kp);
    auto created = inviter->create_session(peer.id());
    if (!c.kind) {
      EXPECT_TRUE(imported.ok()) << imported.error().message();
      EXPECT_TRUE(created.ok()) << created.error().message();
      continue;
    }
    ASSERT_FALSE(imported.ok());
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(imported.error().kind(), *c.kind);
    EXPECT_EQ(created.error().kind(), *c.kind);
    if (!c.text.empty()) {
      EXPECT_EQ(imported.error().message(), c.text);
      EXPECT_EQ(created.error().message(), c.text);
    }
    EXPECT_FALSE(inviter->has_session(peer.id()).value());
  }
}

TEST_F(Sessions, TwoThreadsEncryptingIntoOneSessionNeverShareAGeneration) {
  open_session(a, b);
  constexpr int kPerThread = 2000;
  std::vector<EncryptedMessage> out[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto m = a->session_encrypt(b.id(), as_bytes(std::string_view("payload")));
        ASSERT_TRUE(m.ok());
        out[t].push_back(std::move(m).value());
      }
    });
  for (auto& t : threads) t.join();

  // The generation of each message, read from its sender data.
  auto group = a->groups().load_group(session_group_id(a.id(), b.id()).value().str()).value();
  const crypto::SecretBytes sds = group->group().snapshot().secrets.sender_data_secret;
  auto generation = [&](const EncryptedMessage& m) {
    auto mls = rfc9420::decode_mls_message(m.ciphertext).value();
    const auto* pm = mls.get<rfc9420::PrivateMessage>();
    auto key = rfc9420::sender_data_key_nonce(sds.view(), pm->ciphertext).value();
    Bytes aad =
        rfc9420::tls_encode(rfc9420::SenderDataAad{pm->group_id, pm->epoch, pm->content_type});
    auto plain =
        crypto::aes128gcm_open(key.key.view(), key.nonce.view(), aad, pm->encrypted_sender_data);
    return rfc9420::tls_decode<rfc9420::SenderData>(plain.value()).value().generation;
  };
  std::set<uint32_t> seen;
  for (const auto& list : out)
    for (const auto& m : list) EXPECT_TRUE(seen.insert(generation(m)).second);
  // The first message of open_session took generation 0.
  ASSERT_EQ(seen.size(), size_t(2 * kPerThread));
  EXPECT_EQ(*seen.begin(), 1u);
  EXPECT_EQ(*seen.rbegin(), uint32_t(2 * kPerThread));
  group.reset();
  // The stored ratchet stands after the last of them, even after a restart.
  a.restart();
  EXPECT_EQ(generation(a->session_encrypt(b.id(), as_bytes(std::string_view("n"))).value()),
            uint32_t(2 * kPerThread + 1));
}

TEST_F(Sessions, FailedMarkerRewriteAfterDecryptStillReturnsThePlaintext) {
  open_session(a, b);
  // One decrypt's storage calls: the marker rewrite is the last of them.
  auto probe = a->session_encrypt(b.id(), as_bytes(std::string_view("probe")));
  b.storage->record_calls(true);
  ASSERT_TRUE(b->decrypt_from_user(probe.value(), a.id()).ok());
  const auto calls = b.storage->calls();
  b.storage->record_calls(false);
  ASSERT_EQ(calls.back().op, MemoryMlsStorage::Op::Store);
  ASSERT_EQ(calls.back().type, kGroupMarkerType);

  auto m = a->session_encrypt(b.id(), as_bytes(std::string_view("kept")));
  ScopedLogCapture cap(LogLevel::Warn);
  b.storage->fail_nth_call(calls.size(), {MlsStorageError::Kind::StoreFailed, "disk full"});
  auto got = b->decrypt_from_user(m.value(), a.id());
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(*got.value(), to_bytes("kept"));
  bool warned = false;
  for (const auto& e : cap.entries())
    warned |= e.level == LogLevel::Warn && e.message.find("marker") != std::string::npos;
  EXPECT_TRUE(warned);
  // The ratchet step is stored: the next message decrypts as well.
  auto next = a->session_encrypt(b.id(), as_bytes(std::string_view("next")));
  EXPECT_EQ(*b->decrypt_from_user(next.value(), a.id()).value(), to_bytes("next"));
}

TEST_F(Sessions, StepTwelveDeleteFailureUndoesTheSession) {
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  // Find the position of the contact delete, then fail exactly that call.
  Device probe_a(clock), probe_b(clock);
  ASSERT_TRUE(probe_a->import_key_package(probe_b.id(), probe_b.key_package()).ok());
  probe_a.storage->record_calls(true);
  ASSERT_TRUE(probe_a->create_session(probe_b.id()).ok());
  auto calls = probe_a.storage->calls();
  size_t pos = 0;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].op == MemoryMlsStorage::Op::Delete && calls[i].type == kContactKeyPackageType)
      pos = i + 1;
  ASSERT_GT(pos, 0u);

  a.storage->fail_nth_call(pos, {MlsStorageError::Kind::DeleteFailed, "locked"});
  auto first = a->create_session(b.id());
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().kind(), K::Storage);
  EXPECT_FALSE(a->has_session(b.id()).value());
  EXPECT_TRUE(a.storage->peek(kContactKeyPackageType, b.id()));
  auto retry = a->create_session(b.id());
  ASSERT_TRUE(retry.ok()) << retry.error().message();
  auto joined = b->process_welcome(retry.value());
  ASSERT_TRUE(joined.ok()) << joined.error().message();
}

TEST_F(Sessions, LostPendingWelcomeUndoesTheSessionAndKeepsTheKeyPackage) {
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
  Device probe_a(clock), probe_b(clock);
  ASSERT_TRUE(probe_a->import_key_package(probe_b.id(), probe_b.key_package()).ok());
  probe_a.storage->record_calls(true);
  ASSERT_TRUE(probe_a->encrypt_for_user(probe_b.id(), as_bytes(std::string_view("x"))).ok());
  auto calls = probe_a.storage->calls();
  size_t pos = 0;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].op == MemoryMlsStorage::Op::Store && calls[i].type == kPendingWelcomeType)
      pos = i + 1;
  ASSERT_GT(pos, 0u);

  a.storage->fail_nth_call(pos, {MlsStorageError::Kind::StoreFailed, "disk full"});
  auto sent = a->encrypt_for_user(b.id(), as_bytes(std::string_view("hi")));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind(), K::Storage);
  EXPECT_FALSE(a->has_session(b.id()).value());
  EXPECT_TRUE(a.storage->peek(kContactKeyPackageType, b.id()));
  open_session(a, b);  // the retry goes through end to end
}

TEST_F(Sessions, WelcomesForAnExistingSessionAreRefusedAndTheSessionStillWorks) {
  open_session(a, b);
  const GroupId sid = session_group_id(a.id(), b.id()).value();
  Device c(clock);
  ASSERT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());

  // A fresh Welcome from A for B (the session A holds is replaced locally).
  auto fresh_welcome = [&] {
    EXPECT_TRUE(a->delete_session(b.id()).ok());
    EXPECT_TRUE(a->import_key_package(b.id(), b.key_package()).ok());
    return a->create_session(b.id()).value();
  };
  WelcomeMessage wrong_slot = fresh_welcome();
  wrong_slot.inviter_id = c.id();
  auto r1 = b->process_welcome(wrong_slot);
  ASSERT_FALSE(r1.ok());
  EXPECT_EQ(r1.error().message(), "Welcome session-slot mismatch: inviter maps to slot '" +
                                      session_group_id(b.id(), c.id()).value().str() +
                                      "', Welcome claims '" + sid.str() + "'");

  WelcomeMessage trailing = fresh_welcome();
  trailing.welcome_data.push_back(0);
  EXPECT_EQ(b->process_welcome(trailing).error().kind(), K::Deserialization);

  // B's session with A (from open_session) is untouched by both refusals:
  // it still decrypts what B itself encrypted earlier for the old group...
  // A replaced its side, so check B's group by its marker and epoch.
  auto still = b->groups().load_group(sid.str());
  ASSERT_TRUE(still.ok() && still.value());
  EXPECT_EQ(still.value()->group().epoch(), 1u);
  still.value().reset();

  // The last Welcome is good: B adopts it and the exchange goes on.
  WelcomeMessage good = fresh_welcome();
  ASSERT_TRUE(b->accept_session_welcome(good).ok());
  auto m = a->session_encrypt(b.id(), as_bytes(std::string_view("again")));
  EXPECT_EQ(*b->decrypt_from_user(m.value(), a.id()).value(), to_bytes("again"));
}

TEST_F(Sessions, HostileMessagesLeaveTheSessionWorking) {
  open_session(a, b);
  const GroupId sid = session_group_id(a.id(), b.id()).value();
  auto m = a->session_encrypt(b.id(), as_bytes(std::string_view("real"))).value();
  const Bytes before = *marker(b, sid.str());

  std::vector<std::pair<std::string, EncryptedMessage>> bad;
  for (size_t i : {size_t(5), m.ciphertext.size() / 2, m.ciphertext.size() - 1}) {
    EncryptedMessage flipped = m;
    flipped.ciphertext[i] ^= 0x40;
    bad.push_back({"bit flip at " + std::to_string(i), flipped});
  }
  EncryptedMessage truncated = m;
  truncated.ciphertext.resize(truncated.ciphertext.size() - 3);
  bad.push_back({"truncated", truncated});
  for (auto& [name, msg] : bad) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(b->decrypt_from_user(msg, a.id()).ok());
    EXPECT_EQ(*marker(b, sid.str()), before);
  }
  // Another pair's slot, or a sender claiming to be someone else.
  Device c(clock);
  auto mismatch = b->decrypt_from_user(m, c.id());
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().kind(), K::SessionIdentityMismatch);

  EXPECT_EQ(*b->decrypt_from_user(m, a.id()).value(), to_bytes("real"));
  auto replay = b->decrypt_from_user(m, a.id());
  ASSERT_FALSE(replay.ok());
  EXPECT_EQ(replay.error().kind(), K::Decryption);

  // A message of an epoch B has not reached: SessionDesync, not Decryption.
  EncryptedMessage later = a->session_encrypt(b.id(), as_bytes(std::string_view("x"))).value();
  auto decoded = rfc9420::decode_mls_message(later.ciphertext).value();
  std::visit(
      [](auto& body) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(body.value)>,
                                     rfc9420::PrivateMessage>)
          body.value.epoch += 1;
      },
      decoded.body);
  later.ciphertext = rfc9420::encode_mls_message(decoded);
  auto desync = b->decrypt_from_user(later, a.id());
  ASSERT_FALSE(desync.ok());
  EXPECT_EQ(desync.error().kind(), K::SessionDesync);
  EXPECT_EQ(desync.error().message(),
            "Session out of sync: Message epoch differs from the group's epoch.");
  auto ok = a->session_encrypt(b.id(), as_bytes(std::string_view("still")));
  EXPECT_EQ(*b->decrypt_from_user(ok.value(), a.id()).value(), to_bytes("still"));
}

TEST_F(Sessions, IsMlsMessageAcceptsOnlyOneWholeProtocolMessage) {
  open_session(a, b);
  Bytes m = a->session_encrypt(b.id(), as_bytes(std::string_view("x"))).value().ciphertext;
  EXPECT_TRUE(MlsManager::is_mls_message(m));
  Bytes longer = m;
  longer.push_back(0);
  EXPECT_FALSE(MlsManager::is_mls_message(longer));
  EXPECT_FALSE(MlsManager::is_mls_message(ByteView(m).first(m.size() - 1)));
  EXPECT_FALSE(MlsManager::is_mls_message(a.key_package()));  // bare, not a message
  EXPECT_FALSE(a->load_encryption_key_pair(Bytes(32, 7)).value());
}

TEST(PendingWelcomeRecord, RoundTripsAndReadsTheOtherForms) {
  WelcomeMessage w{GroupId::create("session:a:b").value(), {1, 2, 255}, "a", std::nullopt, 7};
  const std::string text = write_pending_welcome(w);
  EXPECT_EQ(
      text,
      R"({"group_id":"session:a:b","welcome_data":[1,2,255],"inviter_id":"a","group_name":null,"timestamp_ms":7})");
  EXPECT_EQ(read_pending_welcome(as_bytes(text)).value(), w);
  EXPECT_EQ(
      read_pending_welcome(
          as_bytes(std::string_view(
              R"({"timestamp_ms":7,"inviter_id":"a","welcome_data":[1,2,255],"x":1,"group_id":"session:a:b"})")))
          .value(),
      w);
  EXPECT_EQ(
      read_pending_welcome(as_bytes(std::string_view(R"(["session:a:b",[1,2,255],"a",null,7])")))
          .value(),
      w);
  EXPECT_FALSE(read_pending_welcome(as_bytes(std::string_view(R"({"group_id":"a"})"))).ok());
  EXPECT_FALSE(
      read_pending_welcome(
          as_bytes(std::string_view(
              R"({"group_id":"a/b","welcome_data":[],"inviter_id":"a","timestamp_ms":1})")))
          .ok());
}

}  // namespace
}  // namespace brenvik::mls
