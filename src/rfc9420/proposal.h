// Proposals (RFC 9420 §12.1) and the PreSharedKeyID they and GroupSecrets
// carry. Every proposal type of the RFC decodes, so that a caller can refuse
// the ones it does not support with a clear reason rather than a parse error.
#pragma once

#include "rfc9420/key_package.h"

namespace brenvik::rfc9420 {

struct ExternalPsk {
  static constexpr PskType tls_tag = PskType::external;
  Bytes psk_id;
  bool operator==(const ExternalPsk&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&ExternalPsk::psk_id)}; }
};

struct ResumptionPsk {
  static constexpr PskType tls_tag = PskType::resumption;
  ResumptionPskUsage usage = ResumptionPskUsage::application;
  Bytes psk_group_id;
  uint64_t psk_epoch = 0;
  bool operator==(const ResumptionPsk&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&ResumptionPsk::usage), tls::field(&ResumptionPsk::psk_group_id),
                      tls::field(&ResumptionPsk::psk_epoch)};
  }
};

struct PreSharedKeyId {
  std::variant<ExternalPsk, ResumptionPsk> psk;
  Bytes psk_nonce;
  bool operator==(const PreSharedKeyId&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&PreSharedKeyId::psk), tls::field(&PreSharedKeyId::psk_nonce)};
  }
};

// Add and Update box their payload so that a Proposal stays small next to
// the seven-byte Remove (see ProposalOrRef).
struct Add {
  static constexpr ProposalType tls_tag = proposal_type::add;
  Box<KeyPackage> key_package;
  bool operator==(const Add&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Add::key_package)}; }
};

struct Update {
  static constexpr ProposalType tls_tag = proposal_type::update;
  Box<LeafNode> leaf_node;
  bool operator==(const Update&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Update::leaf_node)}; }
};

struct Remove {
  static constexpr ProposalType tls_tag = proposal_type::remove;
  uint32_t removed = 0;
  bool operator==(const Remove&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Remove::removed)}; }
};

struct PreSharedKey {
  static constexpr ProposalType tls_tag = proposal_type::psk;
  PreSharedKeyId psk;
  bool operator==(const PreSharedKey&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&PreSharedKey::psk)}; }
};

struct ReInit {
  static constexpr ProposalType tls_tag = proposal_type::reinit;
  Bytes group_id;
  ProtocolVersion version = ProtocolVersion::mls10;
  CipherSuite cipher_suite = 0;
  std::vector<Extension> extensions;
  bool operator==(const ReInit&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&ReInit::group_id), tls::field(&ReInit::version),
                      tls::field(&ReInit::cipher_suite), tls::field(&ReInit::extensions)};
  }
};

struct ExternalInit {
  static constexpr ProposalType tls_tag = proposal_type::external_init;
  Bytes kem_output;
  bool operator==(const ExternalInit&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&ExternalInit::kem_output)}; }
};

struct GroupContextExtensions {
  static constexpr ProposalType tls_tag = proposal_type::group_context_extensions;
  std::vector<Extension> extensions;
  bool operator==(const GroupContextExtensions&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&GroupContextExtensions::extensions)};
  }
};

struct Proposal {
  std::variant<Add, Update, Remove, PreSharedKey, ReInit, ExternalInit, GroupContextExtensions>
      body;
  bool operator==(const Proposal&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Proposal::body)}; }

  ProposalType type() const {
    return std::visit([](const auto& p) { return std::remove_cvref_t<decltype(p)>::tls_tag; },
                      body);
  }
};

// The proposal is boxed: a Remove is seven bytes on the wire, a Proposal
// hundreds in memory, and commits carry lists of them.
struct ProposalOrRef {
  std::variant<tls::Case<ProposalOrRefType::proposal, Box<Proposal>>,
               tls::Case<ProposalOrRefType::reference, ProposalRef>>
      body;
  bool operator==(const ProposalOrRef&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&ProposalOrRef::body)}; }

  static ProposalOrRef inline_proposal(Proposal p) {
    return {tls::Case<ProposalOrRefType::proposal, Box<Proposal>>{std::move(p)}};
  }
  static ProposalOrRef by_reference(ProposalRef r) {
    return {tls::Case<ProposalOrRefType::reference, ProposalRef>{std::move(r)}};
  }
  // The inline proposal, or nullptr for a reference.
  const Proposal* proposal() const {
    const auto* p = std::get_if<0>(&body);
    return p ? &*p->value : nullptr;
  }
  const ProposalRef* reference() const {
    const auto* r = std::get_if<1>(&body);
    return r ? &r->value : nullptr;
  }
};

}  // namespace brenvik::rfc9420
