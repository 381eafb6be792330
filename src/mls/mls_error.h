// MlsError: the one error of every fallible operation of the MLS layer, and
// MlsStorageError, the error of the storage under it. Display texts are what
// hosts finally read (the core adds "MLS error: " in front, once), so they
// are fixed here and nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/sealed_error.h"

namespace brenvik::mls {

// A failure of the MLS storage (the host's or the library's file store).
struct MlsStorageError {
  enum class Kind : uint8_t {
    StoreFailed,
    LoadFailed,
    DeleteFailed,
    KeyNotFound,
    CorruptedData,
    Unavailable,
  };
  Kind kind = Kind::StoreFailed;
  std::string text;

  // "Failed to store data: ", "Failed to load data: ", "Failed to delete
  // data: ", "Key not found: ", "Corrupted data: " or "Storage unavailable: ",
  // then the text.
  std::string message() const;
  bool operator==(const MlsStorageError&) const = default;
};

// Reads back an error from its message(); a text that starts with none of the
// six prefixes is Unavailable holding the whole text.
MlsStorageError mls_storage_error_from_message(std::string_view message);

// Where a leaf whose identity is checked came from (LeafAddressMismatch).
enum class LeafSource : uint8_t {
  WelcomeRatchetTree,
  CommittedAdd,
  CommittedUpdate,
  CommitUpdatePath,
  MessageSender,
  StoredRoster,
};
// "Welcome ratchet-tree", "committed Add proposal's", "committed Update
// proposal's", "commit update-path", "message sender's", "stored roster".
std::string_view leaf_source_text(LeafSource s);

class MlsError {
 public:
  // Declaration order is part of the contract (debug forms, host mapping).
  enum class Kind : uint8_t {
    Storage,
    CryptoGeneration,
    CredentialCreation,
    KeyPackageCreation,
    InvalidKeyPackage,
    KeyPackageOutsideValidityWindow,
    GroupCreation,
    GroupNotFound,
    AddMember,
    RemoveMember,
    Encryption,
    Decryption,
    SessionDesync,
    WelcomeProcessing,
    Serialization,
    Deserialization,
    NotInitialized,
    NoKeyPackage,
    SessionNotFound,
    CommitNotAuthorized,
    InvalidMessage,
    UserNotInGroup,
    MlsLibrary,
    Signing,
    VerificationFailed,
    InvalidPublicKey,
    IdentityAddressMismatch,
    InvalidGroupId,
    InvalidUserId,
    CredentialIdentityMismatch,
    KeyPackageAddressMismatch,
    LeafAddressMismatch,
    UnsupportedSender,
    SenderIdentityMismatch,
    SessionIdentityMismatch,
    WelcomeIdentityMismatch,
    ReservedSessionNamespace,
    WelcomeGroupIdMismatch,
  };
  static constexpr size_t kKindCount = 38;

  // The prefix MlsLibrary puts before the engine's own text.
  static constexpr std::string_view kLibraryPrefix = "RFC 9420 engine error: ";

  // Variants whose payload is one text (every variant but Storage,
  // KeyPackageOutsideValidityWindow, NotInitialized and the named-field
  // ones below); `kind` must be one of them.
  static MlsError with_text(Kind kind, std::string text);
  static MlsError storage(MlsStorageError e);
  static MlsError not_initialized() { return MlsError(Kind::NotInitialized); }
  static MlsError serialization(std::string t) {
    return with_text(Kind::Serialization, std::move(t));
  }
  static MlsError deserialization(std::string t) {
    return with_text(Kind::Deserialization, std::move(t));
  }
  static MlsError invalid_message(std::string t) {
    return with_text(Kind::InvalidMessage, std::move(t));
  }
  static MlsError verification_failed(std::string t) {
    return with_text(Kind::VerificationFailed, std::move(t));
  }
  static MlsError invalid_public_key(std::string t) {
    return with_text(Kind::InvalidPublicKey, std::move(t));
  }
  static MlsError key_package_outside_validity_window(bool expired);
  static MlsError commit_not_authorized(std::string committer, std::vector<std::string> added,
                                        std::vector<std::string> removed);
  static MlsError identity_address_mismatch(std::string expected, std::string derived);
  static MlsError credential_identity_mismatch(std::string expected, std::string found);
  static MlsError key_package_address_mismatch(std::string claimed, std::string derived);
  static MlsError leaf_address_mismatch(LeafSource context, std::string claimed,
                                        std::string derived);
  static MlsError sender_identity_mismatch(std::string claimed, std::string authenticated);
  static MlsError session_identity_mismatch(std::string expected, std::string found);
  static MlsError welcome_identity_mismatch(std::string expected, std::string found);
  static MlsError reserved_session_namespace(std::string group_id);
  static MlsError welcome_group_id_mismatch(std::string expected, std::string embedded);

  Kind kind() const { return kind_; }
  // The single text of a text variant, or the first named field.
  const std::string& text() const { return first_; }
  // The second named field (derived, found, authenticated, embedded).
  const std::string& second() const { return second_; }
  const MlsStorageError& storage_error() const { return storage_; }
  bool expired() const { return expired_; }
  LeafSource leaf_source() const { return context_; }
  const std::vector<std::string>& added() const { return added_; }
  const std::vector<std::string>& removed() const { return removed_; }

  // The Display text; never fails, never truncates.
  std::string message() const;
  // The variant name with its fields by name, e.g.
  // `InvalidPublicKey("...")` or `IdentityAddressMismatch { expected: "...", derived: "..." }`.
  std::string debug() const;
  bool operator==(const MlsError&) const = default;

 private:
  explicit MlsError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string first_;
  std::string second_;
  MlsStorageError storage_;
  bool expired_ = false;
  LeafSource context_ = LeafSource::StoredRoster;
  std::vector<std::string> added_;
  std::vector<std::string> removed_;
};

// "Storage", "CryptoGeneration", ... (the variant's name).
std::string_view mls_error_kind_name(MlsError::Kind kind);

// The address and envelope layer's errors as MLS errors: the string variants
// keep their text; a field too large for a canonical payload becomes
// Serialization with that error's own Display.
MlsError mls_error_from(const SealedError& e);

}  // namespace brenvik::mls
