#include "mls/mls_error.h"

#include <array>

#include "util/debug_string.h"

namespace brenvik::mls {
namespace {

constexpr std::array<std::string_view, 6> kStoragePrefixes = {
    "Failed to store data: ", "Failed to load data: ", "Failed to delete data: ",
    "Key not found: ",        "Corrupted data: ",      "Storage unavailable: ",
};

constexpr std::array<std::string_view, 6> kStorageKindNames = {
    "StoreFailed", "LoadFailed", "DeleteFailed", "KeyNotFound", "CorruptedData", "Unavailable",
};

constexpr std::array<std::string_view, MlsError::kKindCount> kKindNames = {
    "Storage",
    "CryptoGeneration",
    "CredentialCreation",
    "KeyPackageCreation",
    "InvalidKeyPackage",
    "KeyPackageOutsideValidityWindow",
    "GroupCreation",
    "GroupNotFound",
    "AddMember",
    "RemoveMember",
    "Encryption",
    "Decryption",
    "SessionDesync",
    "WelcomeProcessing",
    "Serialization",
    "Deserialization",
    "NotInitialized",
    "NoKeyPackage",
    "SessionNotFound",
    "CommitNotAuthorized",
    "InvalidMessage",
    "UserNotInGroup",
    "MlsLibrary",
    "Signing",
    "VerificationFailed",
    "InvalidPublicKey",
    "IdentityAddressMismatch",
    "InvalidGroupId",
    "InvalidUserId",
    "CredentialIdentityMismatch",
    "KeyPackageAddressMismatch",
    "LeafAddressMismatch",
    "UnsupportedSender",
    "SenderIdentityMismatch",
    "SessionIdentityMismatch",
    "WelcomeIdentityMismatch",
    "ReservedSessionNamespace",
    "WelcomeGroupIdMismatch",
};

// The fixed prefix of each single-text variant; empty for the others.
std::string_view text_prefix(MlsError::Kind k) {
  using K = MlsError::Kind;
  switch (k) {
    case K::CryptoGeneration:
      return "Crypto generation failed: ";
    case K::CredentialCreation:
      return "Credential creation failed: ";
    case K::KeyPackageCreation:
      return "Key package creation failed: ";
    case K::InvalidKeyPackage:
      return "Invalid key package: ";
    case K::GroupCreation:
      return "Group creation failed: ";
    case K::GroupNotFound:
      return "Group not found: ";
    case K::AddMember:
      return "Failed to add member: ";
    case K::RemoveMember:
      return "Failed to remove member: ";
    case K::Encryption:
      return "Encryption failed: ";
    case K::Decryption:
      return "Decryption failed: ";
    case K::SessionDesync:
      return "Session out of sync: ";
    case K::WelcomeProcessing:
      return "Welcome processing failed: ";
    case K::Serialization:
      return "Serialization failed: ";
    case K::Deserialization:
      return "Deserialization failed: ";
    case K::NoKeyPackage:
      return "No key package available for user: ";
    case K::SessionNotFound:
      return "Session not found for user: ";
    case K::InvalidMessage:
      return "Invalid message format: ";
    case K::UserNotInGroup:
      return "User not found in group: ";
    case K::MlsLibrary:
      return MlsError::kLibraryPrefix;
    case K::Signing:
      return "Signing failed: ";
    case K::VerificationFailed:
      return "Signature verification failed: ";
    case K::InvalidPublicKey:
      return "Invalid public key: ";
    case K::InvalidGroupId:
      return "Invalid group id: ";
    case K::InvalidUserId:
      return "Invalid user id: ";
    case K::UnsupportedSender:
      return "Unsupported sender: ";
    case K::Storage:
    case K::KeyPackageOutsideValidityWindow:
    case K::NotInitialized:
    case K::CommitNotAuthorized:
    case K::IdentityAddressMismatch:
    case K::CredentialIdentityMismatch:
    case K::KeyPackageAddressMismatch:
    case K::LeafAddressMismatch:
    case K::SenderIdentityMismatch:
    case K::SessionIdentityMismatch:
    case K::WelcomeIdentityMismatch:
    case K::ReservedSessionNamespace:
    case K::WelcomeGroupIdMismatch:
      return {};
  }
  return {};
}

// Field names of the variants with named fields (first, second).
std::pair<std::string_view, std::string_view> field_names(MlsError::Kind k) {
  using K = MlsError::Kind;
  switch (k) {
    case K::IdentityAddressMismatch:
      return {"expected", "derived"};
    case K::CredentialIdentityMismatch:
    case K::SessionIdentityMismatch:
    case K::WelcomeIdentityMismatch:
      return {"expected", "found"};
    case K::KeyPackageAddressMismatch:
    case K::LeafAddressMismatch:
      return {"claimed", "derived"};
    case K::SenderIdentityMismatch:
      return {"claimed", "authenticated"};
    case K::WelcomeGroupIdMismatch:
      return {"expected", "embedded"};
    case K::ReservedSessionNamespace:
      return {"group_id", {}};
    case K::UnsupportedSender:
      return {"detail", {}};
    case K::CommitNotAuthorized:
      return {"committer", {}};
    default:
      return {};
  }
}

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  size_t n = 0;
  for (auto p : parts) n += p.size();
  out.reserve(n);
  for (auto p : parts) out.append(p);
  return out;
}

void append_list(std::string& out, const std::vector<std::string>& v) {
  out.push_back('[');
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out.append(", ");
    append_debug_quoted(out, v[i]);
  }
  out.push_back(']');
}

constexpr std::array<std::string_view, 6> kLeafSourceNames = {
    "WelcomeRatchetTree", "CommittedAdd",  "CommittedUpdate",
    "CommitUpdatePath",   "MessageSender", "StoredRoster",
};

}  // namespace

std::string MlsStorageError::message() const {
  return concat({kStoragePrefixes[size_t(kind)], text});
}

MlsStorageError mls_storage_error_from_message(std::string_view message) {
  for (size_t i = 0; i < kStoragePrefixes.size(); ++i) {
    if (message.starts_with(kStoragePrefixes[i]))
      return {MlsStorageError::Kind(i), std::string(message.substr(kStoragePrefixes[i].size()))};
  }
  return {MlsStorageError::Kind::Unavailable, std::string(message)};
}

std::string_view leaf_source_text(LeafSource s) {
  switch (s) {
    case LeafSource::WelcomeRatchetTree:
      return "Welcome ratchet-tree";
    case LeafSource::CommittedAdd:
      return "committed Add proposal's";
    case LeafSource::CommittedUpdate:
      return "committed Update proposal's";
    case LeafSource::CommitUpdatePath:
      return "commit update-path";
    case LeafSource::MessageSender:
      return "message sender's";
    case LeafSource::StoredRoster:
      return "stored roster";
  }
  return {};
}

std::string_view mls_error_kind_name(MlsError::Kind kind) {
  return kKindNames[size_t(kind)];
}

MlsError MlsError::with_text(Kind kind, std::string text) {
  MlsError e(kind);
  e.first_ = std::move(text);
  return e;
}

MlsError MlsError::storage(MlsStorageError s) {
  MlsError e(Kind::Storage);
  e.storage_ = std::move(s);
  return e;
}

MlsError MlsError::key_package_outside_validity_window(bool expired) {
  MlsError e(Kind::KeyPackageOutsideValidityWindow);
  e.expired_ = expired;
  return e;
}

MlsError MlsError::commit_not_authorized(std::string committer, std::vector<std::string> added,
                                         std::vector<std::string> removed) {
  MlsError e(Kind::CommitNotAuthorized);
  e.first_ = std::move(committer);
  e.added_ = std::move(added);
  e.removed_ = std::move(removed);
  return e;
}

#define BRENVIK_MLS_PAIR(fn, kind, a, b)                \
  MlsError MlsError::fn(std::string a, std::string b) { \
    MlsError e(Kind::kind);                             \
    e.first_ = std::move(a);                            \
    e.second_ = std::move(b);                           \
    return e;                                           \
  }
BRENVIK_MLS_PAIR(identity_address_mismatch, IdentityAddressMismatch, expected, derived)
BRENVIK_MLS_PAIR(credential_identity_mismatch, CredentialIdentityMismatch, expected, found)
BRENVIK_MLS_PAIR(key_package_address_mismatch, KeyPackageAddressMismatch, claimed, derived)
BRENVIK_MLS_PAIR(sender_identity_mismatch, SenderIdentityMismatch, claimed, authenticated)
BRENVIK_MLS_PAIR(session_identity_mismatch, SessionIdentityMismatch, expected, found)
BRENVIK_MLS_PAIR(welcome_identity_mismatch, WelcomeIdentityMismatch, expected, found)
BRENVIK_MLS_PAIR(welcome_group_id_mismatch, WelcomeGroupIdMismatch, expected, embedded)
#undef BRENVIK_MLS_PAIR

MlsError MlsError::leaf_address_mismatch(LeafSource context, std::string claimed,
                                         std::string derived) {
  MlsError e(Kind::LeafAddressMismatch);
  e.context_ = context;
  e.first_ = std::move(claimed);
  e.second_ = std::move(derived);
  return e;
}

MlsError MlsError::reserved_session_namespace(std::string group_id) {
  MlsError e(Kind::ReservedSessionNamespace);
  e.first_ = std::move(group_id);
  return e;
}

std::string MlsError::message() const {
  switch (kind_) {
    case Kind::Storage:
      return concat({"Storage error: ", storage_.message()});
    case Kind::KeyPackageOutsideValidityWindow:
      return concat({"Key package is outside its validity window by this device's clock: ",
                     expired_ ? "it has already closed" : "it has not started yet"});
    case Kind::NotInitialized:
      return "MLS not initialized";
    case Kind::CommitNotAuthorized:
      return concat({"Commit not authorized: ", first_, " is not an admin of this group"});
    case Kind::IdentityAddressMismatch:
      return concat(
          {"Stored identity key derives to '", second_, "', but this manager is '", first_, "'"});
    case Kind::CredentialIdentityMismatch:
      return concat({"Credential identity mismatch: expected '", first_,
                     "', key package credential is '", second_, "'"});
    case Kind::KeyPackageAddressMismatch:
      return concat({"Key package signature key derives to '", second_,
                     "', not the claimed address '", first_, "'"});
    case Kind::LeafAddressMismatch:
      return concat({leaf_source_text(context_), " leaf signature key derives to '", second_,
                     "', not the address its credential claims ('", first_, "')"});
    case Kind::SenderIdentityMismatch:
      return concat({"Sender identity mismatch: claimed '", first_,
                     "', MLS-authenticated sender is '", second_, "'"});
    case Kind::SessionIdentityMismatch:
      return concat({"Session identity mismatch: envelope names '", second_,
                     "', sender's session slot is '", first_, "'"});
    case Kind::WelcomeIdentityMismatch:
      return concat({"Welcome session-slot mismatch: inviter maps to slot '", first_,
                     "', Welcome claims '", second_, "'"});
    case Kind::ReservedSessionNamespace:
      return concat(
          {"Group Welcome may not target the reserved 'session:' namespace: '", first_, "'"});
    case Kind::WelcomeGroupIdMismatch:
      return concat({"Welcome group-id mismatch: wire slot '", first_,
                     "', Welcome installs under '", second_, "'"});
    case Kind::CryptoGeneration:
    case Kind::CredentialCreation:
    case Kind::KeyPackageCreation:
    case Kind::InvalidKeyPackage:
    case Kind::GroupCreation:
    case Kind::GroupNotFound:
    case Kind::AddMember:
    case Kind::RemoveMember:
    case Kind::Encryption:
    case Kind::Decryption:
    case Kind::SessionDesync:
    case Kind::WelcomeProcessing:
    case Kind::Serialization:
    case Kind::Deserialization:
    case Kind::NoKeyPackage:
    case Kind::SessionNotFound:
    case Kind::InvalidMessage:
    case Kind::UserNotInGroup:
    case Kind::MlsLibrary:
    case Kind::Signing:
    case Kind::VerificationFailed:
    case Kind::InvalidPublicKey:
    case Kind::InvalidGroupId:
    case Kind::InvalidUserId:
    case Kind::UnsupportedSender:
      return concat({text_prefix(kind_), first_});
  }
  return {};
}

std::string MlsError::debug() const {
  std::string out(mls_error_kind_name(kind_));
  switch (kind_) {
    case Kind::NotInitialized:
      return out;
    case Kind::Storage:
      out.append("(");
      out.append(kStorageKindNames[size_t(storage_.kind)]);
      out.append("(");
      append_debug_quoted(out, storage_.text);
      out.append("))");
      return out;
    case Kind::KeyPackageOutsideValidityWindow:
      out.append(expired_ ? " { expired: true }" : " { expired: false }");
      return out;
    case Kind::CommitNotAuthorized:
      out.append(" { committer: ");
      append_debug_quoted(out, first_);
      out.append(", added: ");
      append_list(out, added_);
      out.append(", removed: ");
      append_list(out, removed_);
      out.append(" }");
      return out;
    case Kind::LeafAddressMismatch:
      out.append(" { context: ");
      out.append(kLeafSourceNames[size_t(context_)]);
      out.append(", claimed: ");
      append_debug_quoted(out, first_);
      out.append(", derived: ");
      append_debug_quoted(out, second_);
      out.append(" }");
      return out;
    default:
      break;
  }
  auto [a, b] = field_names(kind_);
  if (a.empty()) {
    out.append("(");
    append_debug_quoted(out, first_);
    out.append(")");
    return out;
  }
  out.append(" { ");
  out.append(a);
  out.append(": ");
  append_debug_quoted(out, first_);
  if (!b.empty()) {
    out.append(", ");
    out.append(b);
    out.append(": ");
    append_debug_quoted(out, second_);
  }
  out.append(" }");
  return out;
}

MlsError mls_error_from(const SealedError& e) {
  switch (e.kind) {
    case SealedError::Kind::Serialization:
      return MlsError::serialization(e.text);
    case SealedError::Kind::Deserialization:
      return MlsError::deserialization(e.text);
    case SealedError::Kind::InvalidGroupId:
      return MlsError::with_text(MlsError::Kind::InvalidGroupId, e.text);
    case SealedError::Kind::InvalidPublicKey:
      return MlsError::invalid_public_key(e.text);
    case SealedError::Kind::FieldTooLarge:
      return MlsError::serialization(e.message());
  }
  return MlsError::serialization(e.message());
}

}  // namespace brenvik::mls
