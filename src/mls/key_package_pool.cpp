// MlsManager: the pool of this device's key packages and its upkeep.
#include "mls/mls_manager.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/mls_message.h"
#include "rfc9420/stored_group.h"
#include "rfc9420/tls_codec.h"
#include "util/log.h"
#include "util/uuid.h"

namespace brenvik::mls {
namespace {

Result<void, MlsError> store_bundle(MlsStorage& storage, const KeyPackageBundle& b) {
  const std::string text = write_key_package_bundle(b);
  auto st = storage.store(kKeyPackagePoolType, b.package_id, as_bytes(text));
  if (!st.ok()) return Err(MlsError::storage(st.error()));
  return {};
}

MlsError creation_error(const std::string& text) {
  return MlsError::with_text(MlsError::Kind::KeyPackageCreation, text);
}

}  // namespace

std::optional<Bytes> MlsManager::key_package_hash_ref(const KeyPackageBundle& bundle) {
  if (bundle.provider_hash_ref) {
    auto ref = rfc9420::tls_decode<Bytes>(*bundle.provider_hash_ref);
    if (ref.ok()) return std::move(ref).value();
  }
  auto kp = rfc9420::tls_decode<rfc9420::KeyPackage>(bundle.key_package_data);
  if (!kp.ok()) return std::nullopt;
  if (!rfc9420::validate_key_package(*kp, 0, false).ok()) return std::nullopt;
  return rfc9420::make_key_package_ref(*kp);
}

Result<KeyPackageBundle, MlsError> MlsManager::generate_key_package(bool reserved) const {
  BRENVIK_TRY(rfc9420::CredentialWithKey credential, credential_with_key());
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  auto built =
      rfc9420::generate_stored_key_package(*provider_.engine, credential, signer, now_ms / 1000);
  if (!built.ok()) return Err(creation_error(built.error().message()));
  const rfc9420::KeyPackage& kp = built.value().key_package;
  KeyPackageBundle b =
      KeyPackageBundle::make(Uuid::random_v4().to_string(), user_id_, rfc9420::tls_encode(kp),
                             now_ms, kPoolLifetimeMs / 1000);
  b.reserved_for_publication = reserved;
  b.provider_hash_ref = rfc9420::tls_encode(Bytes(rfc9420::make_key_package_ref(kp)));
  BRENVIK_TRY_VOID(store_bundle(storage(), b));
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Generated new key package"},
              {"package_id", b.package_id});
  return b;
}

Result<std::optional<KeyPackageBundle>, MlsError> MlsManager::prune_key_packages(
    std::string_view package_id) const {
  auto loaded = storage().load(kKeyPackagePoolType, package_id);
  if (!loaded.ok()) return Err(MlsError::storage(loaded.error()));
  if (!loaded.value()) return std::optional<KeyPackageBundle>();
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  KeyPackageBundle b;
  if (auto read = read_key_package_bundle(*loaded.value()); read.ok()) {
    b = std::move(read).value();
  } else {
    // An entry of the older form: the bare package bytes.
    b = KeyPackageBundle::make(std::string(package_id), user_id_, *loaded.value(), now_ms,
                               kPoolLifetimeMs / 1000);
    BRENVIK_TRY_VOID(store_bundle(storage(), b));
  }
  if (now_ms < b.expires_at_ms) {
    auto ref = key_package_hash_ref(b);
    auto drop = [&](std::string_view why) -> Result<std::optional<KeyPackageBundle>, MlsError> {
      BRENVIK_LOG(LogLevel::Warn, kManagerLogTarget, {"message", why}, {"package_id", package_id});
      auto d = storage().delete_(kKeyPackagePoolType, package_id);
      if (!d.ok()) return Err(MlsError::storage(d.error()));
      return std::optional<KeyPackageBundle>();
    };
    if (!ref)
      return drop("Key package bytes no longer parse as a key package, pruning stale entry");
    auto priv = rfc9420::read_key_package(*provider_.engine, *ref);
    if (!priv.ok() || !priv.value())
      return drop("Key package private key no longer in provider storage, pruning stale entry");
    if (!b.provider_hash_ref) {
      b.provider_hash_ref = rfc9420::tls_encode(*ref);
      BRENVIK_TRY_VOID(store_bundle(storage(), b));
    }
    return std::optional<KeyPackageBundle>(std::move(b));
  }
  const uint64_t purge_at =
      b.expires_at_ms > UINT64_MAX - kPoolGraceMs ? UINT64_MAX : b.expires_at_ms + kPoolGraceMs;
  if (now_ms < purge_at) return std::optional<KeyPackageBundle>();
  BRENVIK_TRY_VOID(purge_key_package(b));
  return std::optional<KeyPackageBundle>();
}

Result<void, MlsError> MlsManager::purge_key_package(const KeyPackageBundle& b) const {
  if (auto ref = key_package_hash_ref(b)) {
    auto d = rfc9420::delete_key_package(*provider_.engine, *ref);
    if (!d.ok()) {
      BRENVIK_LOG(
          LogLevel::Warn, kManagerLogTarget,
          {"message",
           "Failed to delete a key package's private init key; keeping the record to retry"},
          {"package_id", b.package_id}, {"error", mls_error_from_engine(d.error()).message()});
      return {};
    }
  }
  auto d = storage().delete_(kKeyPackagePoolType, b.package_id);
  if (!d.ok()) return Err(MlsError::storage(d.error()));
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget,
              {"message", "Purged key package and its init key"}, {"package_id", b.package_id});
  return {};
}

namespace {
// Every readable entry, in listing order.
template <typename Visit>
Result<void, MlsError> for_each_entry(const MlsManager& m, Visit&& visit) {
  auto ids = m.storage().list_keys(kKeyPackagePoolType);
  if (!ids.ok()) return Err(MlsError::storage(ids.error()));
  for (const std::string& id : ids.value()) {
    BRENVIK_TRY(auto entry, m.prune_key_packages(id));
    if (entry) visit(std::move(*entry));
  }
  return {};
}
}  // namespace

Result<KeyPackageBundle, MlsError> MlsManager::get_or_create_key_package() const {
  std::lock_guard lock(pool_mu_);
  std::optional<KeyPackageBundle> found;
  BRENVIK_TRY_VOID(for_each_entry(*this, [&](KeyPackageBundle b) {
    if (!found && b.live() && !b.assigned_peer) found = std::move(b);
  }));
  if (found) return std::move(*found);
  return generate_key_package(false);
}

Result<std::vector<KeyPackageBundle>, MlsError> MlsManager::pending_key_packages() const {
  std::lock_guard lock(pool_mu_);
  std::vector<KeyPackageBundle> out;
  BRENVIK_TRY_VOID(for_each_entry(*this, [&](KeyPackageBundle b) {
    if (b.live() && !b.assigned_peer) out.push_back(std::move(b));
  }));
  return out;
}

Result<void, MlsError> MlsManager::mark_key_package_synced(std::string_view package_id) const {
  std::lock_guard lock(pool_mu_);
  BRENVIK_TRY(auto entry, prune_key_packages(package_id));
  if (!entry) {
    BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget,
                {"message", "No live key package to mark synced"}, {"package_id", package_id});
    return {};
  }
  if (entry->synced) return {};
  if (entry->assigned_peer)
    BRENVIK_LOG(
        LogLevel::Warn, kManagerLogTarget,
        {"message", "Marking a key package synced that the push path already handed to a peer"},
        {"package_id", package_id}, {"peer_id", *entry->assigned_peer});
  entry->synced = true;
  BRENVIK_TRY_VOID(store_bundle(storage(), *entry));
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Marked key package as synced"},
              {"package_id", package_id});
  return {};
}

Result<KeyPackageBundle, MlsError> MlsManager::assign_key_package_to_peer(
    KeyPackageBundle bundle, std::string_view peer_id) const {
  bundle.assigned_peer = std::string(peer_id);
  BRENVIK_TRY_VOID(store_bundle(storage(), bundle));
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Assigned key package to peer"},
              {"package_id", bundle.package_id}, {"peer_id", peer_id});
  return bundle;
}

Result<MlsManager::PushKeyPackage, MlsError> MlsManager::key_package_for_push(
    std::string_view peer_id) const {
  // Choosing and assigning is one step: without the lock two peers could
  // both take the same unassigned entry.
  std::lock_guard lock(pool_mu_);
  std::optional<KeyPackageBundle> mine, unassigned, newest;
  size_t live = 0;
  auto newer = [](const std::optional<KeyPackageBundle>& cur, const KeyPackageBundle& b) {
    return !cur || b.created_at_ms > cur->created_at_ms;
  };
  BRENVIK_TRY_VOID(for_each_entry(*this, [&](KeyPackageBundle b) {
    if (!b.live()) return;
    ++live;
    if (b.assigned_peer && *b.assigned_peer == peer_id && newer(mine, b)) mine = b;
    if (!b.assigned_peer && newer(unassigned, b)) unassigned = b;
    if (newer(newest, b)) newest = std::move(b);
  }));
  if (mine) return PushKeyPackage{std::move(*mine), false};
  if (unassigned) {
    BRENVIK_TRY(KeyPackageBundle b, assign_key_package_to_peer(std::move(*unassigned), peer_id));
    return PushKeyPackage{std::move(b), false};
  }
  if (live < kPushPoolCapacity) {
    BRENVIK_TRY(KeyPackageBundle fresh, generate_key_package(false));
    BRENVIK_TRY(KeyPackageBundle b, assign_key_package_to_peer(std::move(fresh), peer_id));
    return PushKeyPackage{std::move(b), false};
  }
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget,
              {"message", "Push key-package pool at capacity; reusing an existing package"},
              {"peer_id", peer_id}, {"live", uint64_t(live)});
  return PushKeyPackage{std::move(*newest), true};
}

bool MlsManager::is_mls_message(ByteView bytes) {
  auto m = rfc9420::decode_mls_message(bytes);
  if (!m.ok()) return false;
  const auto wf = m.value().wire_format();
  return wf == rfc9420::WireFormat::public_message || wf == rfc9420::WireFormat::private_message;
}

Result<std::optional<rfc9420::HpkeKeyPair>, MlsError> MlsManager::load_encryption_key_pair(
    ByteView public_key) const {
  auto pair = rfc9420::read_encryption_key_pair(*provider_.engine, public_key);
  if (!pair.ok()) return Err(mls_error_from_engine(pair.error()));
  return std::move(pair).value();
}

}  // namespace brenvik::mls
