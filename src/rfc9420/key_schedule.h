// The key schedule (RFC 9420 §8): from the previous epoch's init secret, the
// commit secret, the PSK secret and the new GroupContext to every secret of
// the epoch; the PSK secret (§8.4), the exporter (§8.5), the Welcome key
// (§12.4.3.1), confirmation tags and the transcript hashes (§8.2).
#pragma once

#include <span>

#include "crypto/secret.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/error.h"
#include "rfc9420/framing.h"
#include "rfc9420/group_context.h"

namespace brenvik::rfc9420 {

using crypto::SecretBytes;

struct EpochSecrets {
  SecretBytes joiner_secret;
  SecretBytes welcome_secret;
  SecretBytes epoch_secret;
  SecretBytes sender_data_secret;
  SecretBytes encryption_secret;
  SecretBytes exporter_secret;
  SecretBytes external_secret;
  SecretBytes confirmation_key;
  SecretBytes membership_key;
  SecretBytes resumption_psk;
  SecretBytes epoch_authenticator;
  SecretBytes init_secret;  // the next epoch's
};

// A member advancing the epoch: joiner = ExpandWithLabel(Extract(init_prev,
// commit_secret), "joiner", GroupContext, Nh), then as the joiner does.
// commit_secret is Nh zero bytes for a commit without a path; psk_secret is
// Nh zero bytes when no PSK is used. group_context is the encoded new context.
Result<EpochSecrets, Error> derive_epoch_secrets(ByteView init_secret_prev, ByteView commit_secret,
                                                 ByteView psk_secret, ByteView group_context);
// A joiner from a Welcome: the same schedule from the joiner secret on.
Result<EpochSecrets, Error> derive_epoch_secrets_from_joiner(ByteView joiner_secret,
                                                             ByteView psk_secret,
                                                             ByteView group_context);

// One PSK and its identifier, in the order of the commit or GroupSecrets.
struct PskInput {
  PreSharedKeyId id;
  ByteView psk;
};
// psk_secret over the list; Nh zero bytes for an empty list.
Result<SecretBytes, Error> compute_psk_secret(std::span<const PskInput> psks);

// MLS-Exporter(label, context, length) (§8.5).
Result<SecretBytes, Error> mls_exporter(ByteView exporter_secret, std::string_view label,
                                        ByteView context, size_t length);
// The public HPKE key of the group's external key pair (§8.3).
Result<Bytes, Error> external_public_key(ByteView external_secret);

// Key and nonce of the encrypted GroupInfo of a Welcome.
struct KeyAndNonce {
  SecretBytes key;    // kNk bytes
  SecretBytes nonce;  // kNn bytes
};
Result<KeyAndNonce, Error> welcome_key_nonce(ByteView welcome_secret);

// confirmation_tag = MAC(confirmation_key, confirmed_transcript_hash).
Bytes confirmation_tag(ByteView confirmation_key, ByteView confirmed_transcript_hash);
// Constant-time check of a received confirmation tag.
bool verify_confirmation_tag(ByteView confirmation_key, ByteView confirmed_transcript_hash,
                             ByteView tag);

// confirmed = Hash(interim_prev || ConfirmedTranscriptHashInput), the input
// being the commit's wire format, FramedContent and signature.
Bytes confirmed_transcript_hash(ByteView interim_prev, const AuthenticatedContent& commit);
// interim = Hash(confirmed || InterimTranscriptHashInput{confirmation_tag}).
Bytes interim_transcript_hash(ByteView confirmed, ByteView confirmation_tag);

}  // namespace brenvik::rfc9420
