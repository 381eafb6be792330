#include "mls/mls_manager.h"

#include "crypto/sha256.h"
#include "mls/identity.h"
#include "mls/invite.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

MlsError key_generation_error(crypto::CryptoError e) {
  return MlsError::with_text(MlsError::Kind::CryptoGeneration,
                             std::string(crypto::crypto_error_message(e)));
}

MlsError key_read_error(const std::string& cause) {
  return MlsError::deserialization("Failed to deserialize signature keys: " + cause);
}

Result<std::optional<SignatureKeyPair>, MlsError> load_identity_record(
    MlsStorage& storage, std::array<uint8_t, 32>* digest = nullptr) {
  auto loaded = storage.load(kIdentityRecordType, kIdentityRecordKey);
  if (!loaded.ok()) return Err(MlsError::storage(loaded.error()));
  if (!loaded.value()) return std::optional<SignatureKeyPair>();
  Bytes& raw = *loaded.value();
  if (digest) *digest = crypto::sha256(raw);
  auto pair = read_signature_key_pair(raw);
  crypto::secure_wipe(raw.data(), raw.size());
  if (!pair.ok()) return Err(key_read_error(pair.error()));
  return std::optional<SignatureKeyPair>(std::move(pair).value());
}

Result<void, MlsError> store_identity_record(MlsStorage& storage, const SignatureKeyPair& pair,
                                             std::array<uint8_t, 32>* digest = nullptr) {
  crypto::SecretBytes record = write_signature_key_pair(pair);
  if (digest) *digest = crypto::sha256(record.view());
  auto st = storage.store(kIdentityRecordType, kIdentityRecordKey, record.view());
  if (!st.ok()) return Err(MlsError::storage(st.error()));
  return {};
}

}  // namespace

MlsProvider MlsProvider::create(std::shared_ptr<MlsStorage> storage) {
  MlsProvider p;
  p.engine = std::make_shared<EngineStorage>(storage);
  p.storage = std::move(storage);
  return p;
}

Result<IdentityKey, MlsError> MlsManager::load_or_mint_identity_key(MlsStorage& storage) {
  BRENVIK_TRY(auto stored, load_identity_record(storage));
  SignatureKeyPair pair;
  if (stored) {
    pair = std::move(*stored);
  } else {
    auto fresh = generate_ed25519_key_pair();
    if (!fresh.ok()) return Err(key_generation_error(fresh.error()));
    pair = std::move(fresh).value();
    BRENVIK_TRY_VOID(store_identity_record(storage, pair));
    BRENVIK_LOG(LogLevel::Info, kManagerLogTarget, {"message", "Minted a new identity key"});
  }
  BRENVIK_TRY(Address address, address_from_public_key(pair.public_key));
  return IdentityKey{std::move(pair), address};
}

Result<std::shared_ptr<MlsManager>, MlsError> MlsManager::start_up(
    std::shared_ptr<MlsStorage> storage, bool enforce_commit_authorization, const Clock& clock) {
  BRENVIK_TRY(IdentityKey key, load_or_mint_identity_key(*storage));
  std::string user_id = encode_address(key.address);
  key.key_pair = {};  // step 2: the pair itself is not kept past this point
  auto manager =
      std::make_shared<MlsManager>(std::move(user_id), MlsProvider::create(std::move(storage)),
                                   enforce_commit_authorization, clock);
  BRENVIK_TRY_VOID(manager->initialize_identity());
  return manager;
}

MlsManager::MlsManager(std::string user_id, MlsProvider provider, bool enforce_commit_authorization,
                       const Clock& clock)
    : user_id_(std::move(user_id)),
      provider_(std::move(provider)),
      groups_(provider_.storage, provider_.engine),
      enforce_commit_authorization_(enforce_commit_authorization),
      clock_(clock) {}

Result<void, MlsError> MlsManager::initialize_identity() {
  std::array<uint8_t, 32> digest{};
  BRENVIK_TRY(auto stored, load_identity_record(storage(), &digest));
  const bool created = !stored;
  SignatureKeyPair pair;
  if (created) {
    auto fresh = generate_ed25519_key_pair();
    if (!fresh.ok()) return Err(key_generation_error(fresh.error()));
    pair = std::move(fresh).value();
    BRENVIK_TRY_VOID(check_identity_address(user_id_, pair.public_key));
    BRENVIK_TRY_VOID(store_identity_record(storage(), pair, &digest));
  } else {
    pair = std::move(*stored);
    BRENVIK_TRY_VOID(check_identity_address(user_id_, pair.public_key));
  }
  rfc9420::CredentialWithKey credential{rfc9420::Credential::basic(to_bytes(user_id_)),
                                        pair.public_key};
  {
    auto g = credential_.write();
    if (credential_.is_poisoned()) return Err(MlsError::not_initialized());
    *g = std::move(credential);
  }
  {
    auto g = signer_.write();
    if (signer_.is_poisoned()) return Err(MlsError::not_initialized());
    auto ed = ed25519_signer(pair);
    *g = SignerSlot{std::move(pair), std::move(ed)};
  }
  record_digest_ = digest;
  if (created)
    BRENVIK_LOG(LogLevel::Info, kManagerLogTarget, {"message", "Created new MLS identity"},
                {"user_id", user_id_});
  else
    BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Loaded existing MLS identity"},
                {"user_id", user_id_});
  return {};
}

Result<rfc9420::CredentialWithKey, MlsError> MlsManager::credential_with_key() const {
  auto g = credential_.read();
  if (credential_.is_poisoned() || !g->has_value()) return Err(MlsError::not_initialized());
  return **g;
}

Result<SignatureKeyPair, MlsError> MlsManager::signer() const {
  crypto::SecretBytes record;
  {
    auto g = signer_.read();
    if (signer_.is_poisoned() || !g->has_value()) return Err(MlsError::not_initialized());
    record = write_signature_key_pair((*g)->pair);
  }
  auto copy = read_signature_key_pair(record.view());
  if (!copy.ok()) return Err(MlsError::deserialization(copy.error()));
  return std::move(copy).value();
}

Result<void, MlsError> MlsManager::check_identity_address(std::string_view user_id,
                                                          ByteView public_key) {
  auto expected = parse_address(user_id);
  if (!expected.ok()) return {};
  BRENVIK_TRY(Address derived, address_from_public_key(public_key));
  if (derived == expected.value()) return {};
  return Err(MlsError::identity_address_mismatch(encode_address(expected.value()),
                                                 encode_address(derived)));
}

Result<Bytes, MlsError> MlsManager::identity_public_key() const {
  auto g = signer_.read();
  if (signer_.is_poisoned() || !g->has_value()) return Err(MlsError::not_initialized());
  return (*g)->pair.public_key;
}

Result<Bytes, MlsError> MlsManager::sign_data(ByteView message) const {
  auto g = signer_.read();
  if (signer_.is_poisoned() || !g->has_value()) return Err(MlsError::not_initialized());
  const auto& key = (*g)->ed25519;
  if (!key)
    return Err(MlsError::with_text(MlsError::Kind::Signing,
                                   "Failed to sign data: UnsupportedSignatureScheme"));
  auto sig = key->sign(message);
  if (!sig.ok())
    return Err(MlsError::with_text(MlsError::Kind::Signing, "Failed to sign data: SigningError"));
  return Bytes(sig.value().begin(), sig.value().end());
}

Result<Bytes, MlsError> MlsManager::identity_assertion(ByteView data) const {
  BRENVIK_TRY(Bytes key, identity_public_key());
  BRENVIK_TRY(Bytes sig, sign_data(data));
  return join_identity_assertion(key, sig, data);
}

Result<std::string, MlsError> MlsManager::make_invite(std::optional<std::string_view> petname,
                                                      bool sign) const {
  BRENVIK_TRY(Bytes key, identity_public_key());
  BRENVIK_TRY(Address address, address_from_public_key(key));
  std::optional<Bytes> signature;
  if (sign) {
    BRENVIK_TRY(Bytes payload, invite_signing_payload(address, key, petname));
    BRENVIK_TRY(signature, sign_data(payload));
  }
  std::optional<ByteView> sig_view;
  if (signature) sig_view = ByteView(*signature);
  return create_invite(address, key, petname, sig_view);
}

Result<std::optional<GroupMetadata>, MlsError> MlsManager::group_metadata(
    std::string_view group_id) const {
  auto loaded = storage().load(kGroupMetadataType, group_id);
  if (!loaded.ok()) return Err(MlsError::storage(loaded.error()));
  if (!loaded.value()) return std::optional<GroupMetadata>();
  auto m = read_group_metadata(*loaded.value());
  if (!m.ok()) return Err(MlsError::deserialization(m.error()));
  GroupMetadata metadata = std::move(m).value();
  if (metadata.roles.empty() && metadata.has_legacy_role_keys()) {
    metadata.migrate_legacy_roles();
    if (auto st = store_group_metadata(group_id, metadata); !st.ok())
      BRENVIK_LOG(LogLevel::Warn, kManagerLogTarget,
                  {"message", "Failed to persist legacy role migration"}, {"group_id", group_id},
                  {"error", st.error().message()});
  }
  return std::optional<GroupMetadata>(std::move(metadata));
}

Result<void, MlsError> MlsManager::store_group_metadata(std::string_view group_id,
                                                        const GroupMetadata& metadata) const {
  const std::string text = write_group_metadata(metadata);
  auto st = storage().store(kGroupMetadataType, group_id, as_bytes(text));
  if (!st.ok()) return Err(MlsError::storage(st.error()));
  return {};
}

Result<crypto::Ed25519PrivateKey, MlsError> MlsManager::signing_key() const {
  auto g = signer_.read();
  if (signer_.is_poisoned() || !g->has_value()) return Err(MlsError::not_initialized());
  if (!(*g)->ed25519)
    return Err(MlsError::with_text(MlsError::Kind::Signing,
                                   "Failed to sign data: UnsupportedSignatureScheme"));
  return *(*g)->ed25519;
}

void MlsManager::TEST_poison_slots() {
  try {
    auto a = credential_.write();
    auto b = signer_.write();
    throw 0;
  } catch (int) {
  }
}

}  // namespace brenvik::mls
