// Content authentication and message protection (RFC 9420 §6.1-§6.3):
// signing FramedContent, the membership tag of a PublicMessage, and the
// encryption of a PrivateMessage under the secret tree with encrypted sender
// data and a reuse guard.
//
// What needs the ratchet tree stays with the caller: the signature key of
// the sender's leaf, and whether that leaf is occupied. unprotect_* return
// the AuthenticatedContent; the caller then runs verify_content_signature
// with the key of `content.sender`.
#pragma once

#include "crypto/ed25519.h"
#include "rfc9420/error.h"
#include "rfc9420/framing.h"
#include "rfc9420/group_context.h"
#include "rfc9420/secret_tree.h"

namespace brenvik::rfc9420 {

// FramedContentTBS: version, wire format, content, and the GroupContext for
// member and new-member-commit senders.
Bytes framed_content_tbs(WireFormat wire_format, const FramedContent& content,
                         const GroupContext& context);

// Builds an AuthenticatedContent signed with SignWithLabel("FramedContentTBS").
// A commit's confirmation tag is set by the caller afterwards (it depends on
// the signature through the transcript hash).
Result<AuthenticatedContent, Error> sign_content(WireFormat wire_format, FramedContent content,
                                                 const crypto::Ed25519PrivateKey& key,
                                                 const GroupContext& context);
// InvalidSignature unless the signature verifies under signature_key.
Result<void, Error> verify_content_signature(const AuthenticatedContent& content,
                                             ByteView signature_key, const GroupContext& context);

// Refuses a message of another group (WrongGroup), of an earlier epoch
// (EpochTooOld: no past-epoch secrets are kept) or of a later one (WrongEpoch).
Result<void, Error> check_group_and_epoch(ByteView group_id, uint64_t epoch,
                                          const GroupContext& context);

// MAC(membership_key, AuthenticatedContentTBM).
Bytes membership_tag(ByteView membership_key, const AuthenticatedContent& content,
                     const GroupContext& context);

// A PublicMessage for a proposal or commit (application data must be
// private: InvalidContent), with a membership tag when the sender is a member.
Result<PublicMessage, Error> protect_public(const AuthenticatedContent& content,
                                            ByteView membership_key, const GroupContext& context);
// Group, epoch and membership-tag checks of a PublicMessage.
Result<AuthenticatedContent, Error> unprotect_public(const PublicMessage& message,
                                                     ByteView membership_key,
                                                     const GroupContext& context);

// Encrypts member content under the sender's next ratchet generation.
// padding: number of zero bytes appended to the content.
Result<PrivateMessage, Error> protect_private(const AuthenticatedContent& content, SecretTree& tree,
                                              ByteView sender_data_secret, size_t padding = 0);
// Decrypts and parses a PrivateMessage; the ratchet key is consumed only when
// the message decrypts and parses. The sender's leaf is inside the tree but
// may be blank: the caller checks it against the ratchet tree.
Result<AuthenticatedContent, Error> unprotect_private(const PrivateMessage& message,
                                                      SecretTree& tree, ByteView sender_data_secret,
                                                      const GroupContext& context);

}  // namespace brenvik::rfc9420
