// The MLS layer's error texts as hosts read them, their debug forms, and the
// envelope layer's errors carried into them.
#include <gtest/gtest.h>

#include <set>

#include "mls/mls_error.h"

namespace brenvik::mls {
namespace {

using K = MlsError::Kind;

TEST(MlsError, EveryVariantShowsItsFixedText) {
  struct Case {
    MlsError error;
    std::string text;
  };
  const std::vector<Case> cases = {
      {MlsError::storage({MlsStorageError::Kind::StoreFailed, "disk"}),
       "Storage error: Failed to store data: disk"},
      {MlsError::with_text(K::CryptoGeneration, "x"), "Crypto generation failed: x"},
      {MlsError::with_text(K::CredentialCreation, "x"), "Credential creation failed: x"},
      {MlsError::with_text(K::KeyPackageCreation, "x"), "Key package creation failed: x"},
      {MlsError::with_text(K::InvalidKeyPackage, "x"), "Invalid key package: x"},
      {MlsError::key_package_outside_validity_window(true),
       "Key package is outside its validity window by this device's clock: it has already "
       "closed"},
      {MlsError::key_package_outside_validity_window(false),
       "Key package is outside its validity window by this device's clock: it has not started "
       "yet"},
      {MlsError::with_text(K::GroupCreation, "x"), "Group creation failed: x"},
      {MlsError::with_text(K::GroupNotFound, "g"), "Group not found: g"},
      {MlsError::with_text(K::AddMember, "x"), "Failed to add member: x"},
      {MlsError::with_text(K::RemoveMember, "x"), "Failed to remove member: x"},
      {MlsError::with_text(K::Encryption, "x"), "Encryption failed: x"},
      {MlsError::with_text(K::Decryption, "x"), "Decryption failed: x"},
      {MlsError::with_text(K::SessionDesync, "x"), "Session out of sync: x"},
      {MlsError::with_text(K::WelcomeProcessing, "x"), "Welcome processing failed: x"},
      {MlsError::serialization("x"), "Serialization failed: x"},
      {MlsError::deserialization("x"), "Deserialization failed: x"},
      {MlsError::not_initialized(), "MLS not initialized"},
      {MlsError::with_text(K::NoKeyPackage, "u"), "No key package available for user: u"},
      {MlsError::with_text(K::SessionNotFound, "u"), "Session not found for user: u"},
      {MlsError::commit_not_authorized("bob", {"a", "b", "c"}, {"d"}),
       "Commit not authorized: bob is not an admin of this group"},
      {MlsError::invalid_message("x"), "Invalid message format: x"},
      {MlsError::with_text(K::UserNotInGroup, "u"), "User not found in group: u"},
      {MlsError::with_text(K::MlsLibrary, "x"), std::string(MlsError::kLibraryPrefix) + "x"},
      {MlsError::with_text(K::Signing, "x"), "Signing failed: x"},
      {MlsError::verification_failed("x"), "Signature verification failed: x"},
      {MlsError::invalid_public_key("x"), "Invalid public key: x"},
      {MlsError::identity_address_mismatch("brvE", "brvD"),
       "Stored identity key derives to 'brvD', but this manager is 'brvE'"},
      {MlsError::with_text(K::InvalidGroupId, "x"), "Invalid group id: x"},
      {MlsError::with_text(K::InvalidUserId, "x"), "Invalid user id: x"},
      {MlsError::credential_identity_mismatch("e", "f"),
       "Credential identity mismatch: expected 'e', key package credential is 'f'"},
      {MlsError::key_package_address_mismatch("c", "d"),
       "Key package signature key derives to 'd', not the claimed address 'c'"},
      {MlsError::leaf_address_mismatch(LeafSource::StoredRoster, "c", "d"),
       "stored roster leaf signature key derives to 'd', not the address its credential claims "
       "('c')"},
      {MlsError::with_text(K::UnsupportedSender, "external"), "Unsupported sender: external"},
      {MlsError::sender_identity_mismatch("c", "a"),
       "Sender identity mismatch: claimed 'c', MLS-authenticated sender is 'a'"},
      {MlsError::session_identity_mismatch("e", "f"),
       "Session identity mismatch: envelope names 'f', sender's session slot is 'e'"},
      {MlsError::welcome_identity_mismatch("e", "f"),
       "Welcome session-slot mismatch: inviter maps to slot 'e', Welcome claims 'f'"},
      {MlsError::reserved_session_namespace("session:x"),
       "Group Welcome may not target the reserved 'session:' namespace: 'session:x'"},
      {MlsError::welcome_group_id_mismatch("e", "m"),
       "Welcome group-id mismatch: wire slot 'e', Welcome installs under 'm'"},
  };
  std::set<K> kinds;
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.text) << mls_error_kind_name(c.error.kind());
    kinds.insert(c.error.kind());
  }
  EXPECT_EQ(kinds.size(), MlsError::kKindCount);
}

TEST(MlsError, LeafSourcesAndStorageTexts) {
  const std::pair<LeafSource, std::string_view> sources[] = {
      {LeafSource::WelcomeRatchetTree, "Welcome ratchet-tree"},
      {LeafSource::CommittedAdd, "committed Add proposal's"},
      {LeafSource::CommittedUpdate, "committed Update proposal's"},
      {LeafSource::CommitUpdatePath, "commit update-path"},
      {LeafSource::MessageSender, "message sender's"},
      {LeafSource::StoredRoster, "stored roster"},
  };
  for (auto [s, text] : sources) EXPECT_EQ(leaf_source_text(s), text);

  using SK = MlsStorageError::Kind;
  const std::pair<SK, std::string_view> storage[] = {
      {SK::StoreFailed, "Failed to store data: t"},   {SK::LoadFailed, "Failed to load data: t"},
      {SK::DeleteFailed, "Failed to delete data: t"}, {SK::KeyNotFound, "Key not found: t"},
      {SK::CorruptedData, "Corrupted data: t"},       {SK::Unavailable, "Storage unavailable: t"},
  };
  for (auto [kind, text] : storage) {
    MlsStorageError e{kind, "t"};
    EXPECT_EQ(e.message(), text);
    // The engine carries the message; reading it back gives the same error.
    EXPECT_EQ(mls_storage_error_from_message(e.message()), e);
  }
}

TEST(MlsError, DebugFormNamesTheVariantAndItsFields) {
  EXPECT_EQ(MlsError::not_initialized().debug(), "NotInitialized");
  EXPECT_EQ(MlsError::invalid_public_key("k").debug(), "InvalidPublicKey(\"k\")");
  EXPECT_EQ(MlsError::storage({MlsStorageError::Kind::KeyNotFound, "k"}).debug(),
            "Storage(KeyNotFound(\"k\"))");
  EXPECT_EQ(MlsError::identity_address_mismatch("e", "d").debug(),
            "IdentityAddressMismatch { expected: \"e\", derived: \"d\" }");
  EXPECT_EQ(MlsError::commit_not_authorized("c", {"a"}, {}).debug(),
            "CommitNotAuthorized { committer: \"c\", added: [\"a\"], removed: [] }");
  EXPECT_EQ(MlsError::leaf_address_mismatch(LeafSource::MessageSender, "c", "d").debug(),
            "LeafAddressMismatch { context: MessageSender, claimed: \"c\", derived: \"d\" }");
  EXPECT_EQ(MlsError::key_package_outside_validity_window(true).debug(),
            "KeyPackageOutsideValidityWindow { expired: true }");
}

TEST(MlsError, SealedErrorsKeepTheirTexts) {
  EXPECT_EQ(mls_error_from(SealedError::serialization("s")), MlsError::serialization("s"));
  EXPECT_EQ(mls_error_from(SealedError::deserialization("d")), MlsError::deserialization("d"));
  EXPECT_EQ(mls_error_from(SealedError::invalid_group_id("g")),
            MlsError::with_text(K::InvalidGroupId, "g"));
  EXPECT_EQ(mls_error_from(SealedError::invalid_public_key("Ed25519 public key must be 32 "
                                                           "bytes, got 31"))
                .message(),
            "Invalid public key: Ed25519 public key must be 32 bytes, got 31");
  EXPECT_EQ(mls_error_from(SealedError::field_too_large(4294967296)).message(),
            "Serialization failed: Field too large for canonical payload length prefix: "
            "4294967296 bytes");
}

}  // namespace
}  // namespace brenvik::mls
