#include "rfc9420/message_protection.h"

#include "crypto/aead.h"
#include "crypto/random.h"

namespace brenvik::rfc9420 {
namespace {

bool sender_binds_context(const Sender& s) {
  SenderType t = s.type();
  return t == SenderType::member || t == SenderType::new_member_commit;
}

void write_tbs(TlsWriter& w, WireFormat wire_format, const FramedContent& content,
               const GroupContext& context) {
  tls_write(w, ProtocolVersion::mls10);
  tls_write(w, wire_format);
  tls_write(w, content);
  if (sender_binds_context(content.sender)) tls_write(w, context);
}

// FramedContentAuthData as laid out after a content of the given type.
void write_auth(TlsWriter& w, const FramedContentAuthData& auth, ContentType type) {
  w.opaque(auth.signature);
  if (type == ContentType::commit) {
    if (!auth.confirmation_tag) throw std::logic_error("commit without a confirmation tag");
    w.opaque(*auth.confirmation_tag);
  }
}

RatchetKind ratchet_for(ContentType t) {
  return t == ContentType::application ? RatchetKind::application : RatchetKind::handshake;
}

void apply_reuse_guard(crypto::SecretBytes& nonce, const std::array<uint8_t, 4>& guard) {
  for (size_t i = 0; i < 4; ++i) nonce[i] ^= guard[i];
}

// PrivateMessageContent: the content body (its type is the message's),
// the auth data, then zero padding.
Bytes encode_private_content(const AuthenticatedContent& ac, size_t padding) {
  TlsWriter w;
  std::visit([&](const auto& c) { tls_write(w, c.value); }, ac.content.content);
  write_auth(w, ac.auth, ac.content.content_type());
  Bytes out = w.take();
  out.resize(out.size() + padding, 0);
  return out;
}

Result<void, Error> decode_private_content(ByteView plain, ContentType type, Content& content,
                                           FramedContentAuthData& auth) {
  TlsReader r(plain);
  switch (type) {
    case ContentType::application: {
      ApplicationContent a;
      tls_read(r, a.value);
      content = std::move(a);
      break;
    }
    case ContentType::proposal: {
      ProposalContent p;
      tls_read(r, p.value);
      content = std::move(p);
      break;
    }
    case ContentType::commit: {
      CommitContent c;
      tls_read(r, c.value);
      content = std::move(c);
      break;
    }
    case ContentType::reserved:
      return Err(Error(ErrorCode::InvalidContent, "reserved content type"));
  }
  r.opaque(auth.signature);
  auth.confirmation_tag = std::nullopt;
  if (type == ContentType::commit) {
    Bytes tag;
    r.opaque(tag);
    auth.confirmation_tag = std::move(tag);
  }
  if (!r.ok()) return Err(Error::codec(r.error()));
  for (uint8_t b : r.raw(r.remaining()))
    if (b != 0) return Err(Error(ErrorCode::InvalidPadding));
  return {};
}

Error crypto_or(CryptoError e, ErrorCode auth_failure) {
  if (e == CryptoError::AuthenticationFailed) return Error(auth_failure);
  return Error::crypto(e);
}

}  // namespace

Bytes framed_content_tbs(WireFormat wire_format, const FramedContent& content,
                         const GroupContext& context) {
  TlsWriter w;
  write_tbs(w, wire_format, content, context);
  return w.take();
}

Result<AuthenticatedContent, Error> sign_content(WireFormat wire_format, FramedContent content,
                                                 const crypto::Ed25519PrivateKey& key,
                                                 const GroupContext& context) {
  AuthenticatedContent ac;
  ac.wire_format = wire_format;
  ac.content = std::move(content);
  auto sig = sign_with_label(key, "FramedContentTBS",
                             framed_content_tbs(wire_format, ac.content, context));
  if (!sig.ok()) return Err(Error::crypto(sig.error()));
  ac.auth.signature = std::move(*sig);
  return ac;
}

Result<void, Error> verify_content_signature(const AuthenticatedContent& ac, ByteView signature_key,
                                             const GroupContext& context) {
  auto ok =
      verify_with_label(signature_key, "FramedContentTBS",
                        framed_content_tbs(ac.wire_format, ac.content, context), ac.auth.signature);
  if (!ok.ok())
    return Err(
        Error(ErrorCode::InvalidSignature, std::string(crypto::crypto_error_message(ok.error()))));
  if (!*ok) return Err(Error(ErrorCode::InvalidSignature));
  return {};
}

Result<void, Error> check_group_and_epoch(ByteView group_id, uint64_t epoch,
                                          const GroupContext& context) {
  if (!std::equal(group_id.begin(), group_id.end(), context.group_id.begin(),
                  context.group_id.end()))
    return Err(Error(ErrorCode::WrongGroup));
  if (epoch < context.epoch) return Err(Error(ErrorCode::EpochTooOld));
  if (epoch != context.epoch) return Err(Error(ErrorCode::WrongEpoch));
  return {};
}

Bytes membership_tag(ByteView membership_key, const AuthenticatedContent& ac,
                     const GroupContext& context) {
  TlsWriter w;
  write_tbs(w, ac.wire_format, ac.content, context);
  write_auth(w, ac.auth, ac.content.content_type());
  auto t = mac(membership_key, w.bytes());
  return Bytes(t.begin(), t.end());
}

Result<PublicMessage, Error> protect_public(const AuthenticatedContent& ac, ByteView membership_key,
                                            const GroupContext& context) {
  if (ac.wire_format != WireFormat::public_message)
    return Err(Error(ErrorCode::InvalidContent, "content was signed for another wire format"));
  if (ac.content.content_type() == ContentType::application)
    return Err(Error(ErrorCode::InvalidContent, "application data must be sent encrypted"));
  PublicMessage m;
  m.content = ac.content;
  m.auth = ac.auth;
  if (ac.content.sender.type() == SenderType::member)
    m.membership_tag = membership_tag(membership_key, ac, context);
  return m;
}

Result<AuthenticatedContent, Error> unprotect_public(const PublicMessage& m,
                                                     ByteView membership_key,
                                                     const GroupContext& context) {
  BRENVIK_TRY_VOID(check_group_and_epoch(m.content.group_id, m.content.epoch, context));
  if (m.content.content_type() == ContentType::application)
    return Err(Error(ErrorCode::InvalidContent, "application data must be sent encrypted"));
  AuthenticatedContent ac{WireFormat::public_message, m.content, m.auth};
  if (m.content.sender.type() == SenderType::member) {
    if (!m.membership_tag) return Err(Error(ErrorCode::InvalidMembershipTag));
    Bytes want = membership_tag(membership_key, ac, context);
    if (!crypto::ct_equal(want, *m.membership_tag))
      return Err(Error(ErrorCode::InvalidMembershipTag));
  }
  return ac;
}

Result<PrivateMessage, Error> protect_private(const AuthenticatedContent& ac, SecretTree& tree,
                                              ByteView sender_data_secret, size_t padding) {
  auto leaf = ac.content.sender.leaf_index();
  if (!leaf) return Err(Error(ErrorCode::InvalidSender, "only members send encrypted messages"));
  if (ac.wire_format != WireFormat::private_message)
    return Err(Error(ErrorCode::InvalidContent, "content was signed for another wire format"));
  ContentType type = ac.content.content_type();

  BRENVIK_TRY(RatchetStep step, tree.prepare_next(*leaf, ratchet_for(type)));
  SenderData sd;
  sd.leaf_index = *leaf;
  sd.generation = step.key().generation;
  if (auto r = crypto::random_fill(sd.reuse_guard); !r.ok()) return Err(Error::crypto(r.error()));
  crypto::SecretBytes nonce = step.key().nonce;
  apply_reuse_guard(nonce, sd.reuse_guard);

  PrivateMessage m;
  m.group_id = ac.content.group_id;
  m.epoch = ac.content.epoch;
  m.content_type = type;
  m.authenticated_data = ac.content.authenticated_data;
  Bytes aad = tls_encode(PrivateContentAad{m.group_id, m.epoch, type, m.authenticated_data});
  Bytes plain = encode_private_content(ac, padding);
  auto ct = crypto::aes128gcm_seal(step.key().key.view(), nonce.view(), aad, plain);
  crypto::secure_wipe(plain.data(), plain.size());
  if (!ct.ok()) return Err(Error::crypto(ct.error()));
  m.ciphertext = std::move(*ct);

  BRENVIK_TRY(KeyAndNonce sdk, sender_data_key_nonce(sender_data_secret, m.ciphertext));
  Bytes sd_aad = tls_encode(SenderDataAad{m.group_id, m.epoch, type});
  auto esd = crypto::aes128gcm_seal(sdk.key.view(), sdk.nonce.view(), sd_aad, tls_encode(sd));
  if (!esd.ok()) return Err(Error::crypto(esd.error()));
  m.encrypted_sender_data = std::move(*esd);
  // The generation is spent once its ciphertext exists.
  tree.commit(std::move(step));
  return m;
}

Result<AuthenticatedContent, Error> unprotect_private(const PrivateMessage& m, SecretTree& tree,
                                                      ByteView sender_data_secret,
                                                      const GroupContext& context) {
  BRENVIK_TRY_VOID(check_group_and_epoch(m.group_id, m.epoch, context));
  ContentType type = m.content_type;
  if (type != ContentType::application && type != ContentType::proposal &&
      type != ContentType::commit)
    return Err(Error(ErrorCode::InvalidContent, "unknown content type"));

  BRENVIK_TRY(KeyAndNonce sdk, sender_data_key_nonce(sender_data_secret, m.ciphertext));
  Bytes sd_aad = tls_encode(SenderDataAad{m.group_id, m.epoch, type});
  auto sd_plain =
      crypto::aes128gcm_open(sdk.key.view(), sdk.nonce.view(), sd_aad, m.encrypted_sender_data);
  if (!sd_plain.ok()) return Err(crypto_or(sd_plain.error(), ErrorCode::DecryptionFailed));
  auto sd = tls_decode<SenderData>(*sd_plain);
  if (!sd.ok()) return Err(Error::codec(sd.error()));
  if (sd->leaf_index >= tree.leaf_count())
    return Err(Error(ErrorCode::InvalidSender, "sender leaf outside the tree"));

  BRENVIK_TRY(RatchetStep step, tree.prepare(sd->leaf_index, ratchet_for(type), sd->generation));
  crypto::SecretBytes nonce = step.key().nonce;
  apply_reuse_guard(nonce, sd->reuse_guard);
  Bytes aad = tls_encode(PrivateContentAad{m.group_id, m.epoch, type, m.authenticated_data});
  auto plain = crypto::aes128gcm_open(step.key().key.view(), nonce.view(), aad, m.ciphertext);
  if (!plain.ok()) return Err(crypto_or(plain.error(), ErrorCode::DecryptionFailed));

  AuthenticatedContent ac;
  ac.wire_format = WireFormat::private_message;
  ac.content.group_id = m.group_id;
  ac.content.epoch = m.epoch;
  ac.content.sender = Sender::member(sd->leaf_index);
  ac.content.authenticated_data = m.authenticated_data;
  auto parsed = decode_private_content(*plain, type, ac.content.content, ac.auth);
  crypto::secure_wipe(plain->data(), plain->size());
  if (!parsed.ok()) return Err(std::move(parsed).error());
  tree.commit(std::move(step));
  return ac;
}

}  // namespace brenvik::rfc9420
