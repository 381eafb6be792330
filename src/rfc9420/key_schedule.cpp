#include "rfc9420/key_schedule.h"

#include "crypto/hpke.h"

namespace brenvik::rfc9420 {
namespace {

template <typename T>
Result<T, Error> lift(Result<T, CryptoError> r) {
  if (!r.ok()) return Err(Error::crypto(r.error()));
  return std::move(r).value();
}

Result<SecretBytes, Error> derive(ByteView secret, std::string_view label) {
  return lift(derive_secret(secret, label));
}

}  // namespace

Result<EpochSecrets, Error> derive_epoch_secrets_from_joiner(ByteView joiner_secret,
                                                             ByteView psk_secret,
                                                             ByteView group_context) {
  EpochSecrets s;
  s.joiner_secret = SecretBytes(joiner_secret);
  auto member = kdf_extract(joiner_secret, psk_secret);
  BRENVIK_TRY(s.welcome_secret, derive(member.view(), "welcome"));
  BRENVIK_TRY(s.epoch_secret, lift(expand_with_label(member.view(), "epoch", group_context, kNh)));
  ByteView e = s.epoch_secret.view();
  BRENVIK_TRY(s.sender_data_secret, derive(e, "sender data"));
  BRENVIK_TRY(s.encryption_secret, derive(e, "encryption"));
  BRENVIK_TRY(s.exporter_secret, derive(e, "exporter"));
  BRENVIK_TRY(s.external_secret, derive(e, "external"));
  BRENVIK_TRY(s.confirmation_key, derive(e, "confirm"));
  BRENVIK_TRY(s.membership_key, derive(e, "membership"));
  BRENVIK_TRY(s.resumption_psk, derive(e, "resumption"));
  BRENVIK_TRY(s.epoch_authenticator, derive(e, "authentication"));
  BRENVIK_TRY(s.init_secret, derive(e, "init"));
  return s;
}

Result<EpochSecrets, Error> derive_epoch_secrets(ByteView init_secret_prev, ByteView commit_secret,
                                                 ByteView psk_secret, ByteView group_context) {
  auto prk = kdf_extract(init_secret_prev, commit_secret);
  BRENVIK_TRY(SecretBytes joiner,
              lift(expand_with_label(prk.view(), "joiner", group_context, kNh)));
  return derive_epoch_secrets_from_joiner(joiner.view(), psk_secret, group_context);
}

Result<SecretBytes, Error> compute_psk_secret(std::span<const PskInput> psks) {
  if (psks.size() > 0xffff) return Err(Error(ErrorCode::InvalidContent, "too many PSKs"));
  const Bytes zero(kNh, 0);
  SecretBytes secret(zero);
  for (size_t i = 0; i < psks.size(); ++i) {
    auto extracted = kdf_extract(zero, psks[i].psk);
    TlsWriter label;
    tls_write(label, psks[i].id);
    label.u16(uint16_t(i));
    label.u16(uint16_t(psks.size()));
    BRENVIK_TRY(SecretBytes input,
                lift(expand_with_label(extracted.view(), "derived psk", label.bytes(), kNh)));
    auto next = kdf_extract(input.view(), secret.view());
    secret = SecretBytes(next.view());
  }
  return secret;
}

Result<SecretBytes, Error> mls_exporter(ByteView exporter_secret, std::string_view label,
                                        ByteView context, size_t length) {
  BRENVIK_TRY(SecretBytes derived, derive(exporter_secret, label));
  auto context_hash = crypto::sha256(context);
  return lift(expand_with_label(derived.view(), "exported", context_hash, length));
}

Result<Bytes, Error> external_public_key(ByteView external_secret) {
  BRENVIK_TRY(auto key, lift(crypto::hpke::derive_key_pair(external_secret)));
  return Bytes(key.public_key().begin(), key.public_key().end());
}

Result<KeyAndNonce, Error> welcome_key_nonce(ByteView welcome_secret) {
  KeyAndNonce kn;
  BRENVIK_TRY(kn.key, lift(expand_with_label(welcome_secret, "key", {}, kNk)));
  BRENVIK_TRY(kn.nonce, lift(expand_with_label(welcome_secret, "nonce", {}, kNn)));
  return kn;
}

Bytes confirmation_tag(ByteView confirmation_key, ByteView confirmed_transcript_hash) {
  auto t = mac(confirmation_key, confirmed_transcript_hash);
  return Bytes(t.begin(), t.end());
}

bool verify_confirmation_tag(ByteView confirmation_key, ByteView confirmed_transcript_hash,
                             ByteView tag) {
  auto t = mac(confirmation_key, confirmed_transcript_hash);
  return crypto::ct_equal(t, tag);
}

Bytes confirmed_transcript_hash(ByteView interim_prev, const AuthenticatedContent& commit) {
  // ConfirmedTranscriptHashInput is AuthenticatedContent's leading fields:
  // wire_format, content, signature.
  TlsWriter w;
  tls_write_prefix<3>(w, commit);
  auto d = crypto::sha256({interim_prev, ByteView(w.bytes())});
  return Bytes(d.begin(), d.end());
}

Bytes interim_transcript_hash(ByteView confirmed, ByteView confirmation_tag) {
  Bytes input;
  tls_put_varint(input, confirmation_tag.size());
  append(input, confirmation_tag);
  auto d = crypto::sha256({confirmed, ByteView(input)});
  return Bytes(d.begin(), d.end());
}

}  // namespace brenvik::rfc9420
