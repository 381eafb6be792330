// Message framing structures (RFC 9420 §6): who sent a message, the framed
// content, its authentication data, and the public and private message
// envelopes.
#pragma once

#include "rfc9420/commit.h"

namespace brenvik::rfc9420 {

using MemberSender = tls::Case<SenderType::member, uint32_t>;           // leaf_index
using ExternalSenderIndex = tls::Case<SenderType::external, uint32_t>;  // sender_index
using NewMemberProposalSender = tls::Empty<SenderType::new_member_proposal>;
using NewMemberCommitSender = tls::Empty<SenderType::new_member_commit>;

struct Sender {
  std::variant<MemberSender, ExternalSenderIndex, NewMemberProposalSender, NewMemberCommitSender>
      body;
  bool operator==(const Sender&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Sender::body)}; }

  static Sender member(uint32_t leaf_index) { return {MemberSender{leaf_index}}; }
  SenderType type() const {
    return std::visit([](const auto& s) { return std::remove_cvref_t<decltype(s)>::tls_tag; },
                      body);
  }
  // The leaf index of a member sender.
  std::optional<uint32_t> leaf_index() const {
    const auto* m = std::get_if<MemberSender>(&body);
    return m ? std::optional<uint32_t>(m->value) : std::nullopt;
  }
};

using ApplicationContent = tls::Case<ContentType::application, Bytes>;
using ProposalContent = tls::Case<ContentType::proposal, Proposal>;
using CommitContent = tls::Case<ContentType::commit, Commit>;
using Content = std::variant<ApplicationContent, ProposalContent, CommitContent>;

inline ContentType content_type_of(const Content& c) {
  return std::visit([](const auto& x) { return std::remove_cvref_t<decltype(x)>::tls_tag; }, c);
}

struct FramedContent {
  Bytes group_id;
  uint64_t epoch = 0;
  Sender sender;
  Bytes authenticated_data;
  Content content;

  bool operator==(const FramedContent&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&FramedContent::group_id), tls::field(&FramedContent::epoch),
                      tls::field(&FramedContent::sender),
                      tls::field(&FramedContent::authenticated_data),
                      tls::field(&FramedContent::content)};
  }
  ContentType content_type() const { return content_type_of(content); }
};

// FramedContentAuthData. Its confirmation tag is present exactly for commits,
// which only the enclosing structure knows, so the enclosing structures lay
// its two fields out themselves (auth_data_fields below).
struct FramedContentAuthData {
  Bytes signature;
  std::optional<Bytes> confirmation_tag;  // MAC, commits only
  bool operator==(const FramedContentAuthData&) const = default;
};

namespace tls {
// The wire fields of `S::auth`, whose confirmation tag follows when
// `S::content` is a commit.
template <typename S>
constexpr auto auth_data_fields() {
  return std::tuple{
      tls::at<S>([](auto& s) -> auto& { return s.auth.signature; }),
      tls::when_at<S>(
          [](auto& s) -> auto& { return s.auth.confirmation_tag; },
          [](const S& s) { return s.content.content_type() == ContentType::commit; })};
}
}  // namespace tls

struct PublicMessage {
  FramedContent content;
  FramedContentAuthData auth;
  std::optional<Bytes> membership_tag;  // MAC, member senders only

  bool operator==(const PublicMessage&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple_cat(
        std::tuple{tls::field(&PublicMessage::content)}, tls::auth_data_fields<PublicMessage>(),
        std::tuple{tls::when(&PublicMessage::membership_tag, [](const PublicMessage& m) {
          return m.content.sender.type() == SenderType::member;
        })});
  }
};

struct PrivateMessage {
  Bytes group_id;
  uint64_t epoch = 0;
  ContentType content_type = ContentType::application;
  Bytes authenticated_data;
  Bytes encrypted_sender_data;
  Bytes ciphertext;

  bool operator==(const PrivateMessage&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&PrivateMessage::group_id),
                      tls::field(&PrivateMessage::epoch),
                      tls::field(&PrivateMessage::content_type),
                      tls::field(&PrivateMessage::authenticated_data),
                      tls::field(&PrivateMessage::encrypted_sender_data),
                      tls::field(&PrivateMessage::ciphertext)};
  }
};

struct AuthenticatedContent {
  WireFormat wire_format = WireFormat::private_message;
  FramedContent content;
  FramedContentAuthData auth;

  bool operator==(const AuthenticatedContent&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple_cat(std::tuple{tls::field(&AuthenticatedContent::wire_format),
                                     tls::field(&AuthenticatedContent::content)},
                          tls::auth_data_fields<AuthenticatedContent>());
  }
};

// Plaintext of the sender data of a PrivateMessage (§6.3.2).
struct SenderData {
  uint32_t leaf_index = 0;
  uint32_t generation = 0;
  std::array<uint8_t, 4> reuse_guard{};
  bool operator==(const SenderData&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&SenderData::leaf_index), tls::field(&SenderData::generation),
                      tls::field(&SenderData::reuse_guard)};
  }
};

// AAD of the sender data: the first three fields of the PrivateMessage.
struct SenderDataAad {
  Bytes group_id;
  uint64_t epoch = 0;
  ContentType content_type = ContentType::application;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&SenderDataAad::group_id), tls::field(&SenderDataAad::epoch),
                      tls::field(&SenderDataAad::content_type)};
  }
};

// AAD of the content: the first four fields of the PrivateMessage.
struct PrivateContentAad {
  Bytes group_id;
  uint64_t epoch = 0;
  ContentType content_type = ContentType::application;
  Bytes authenticated_data;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&PrivateContentAad::group_id),
                      tls::field(&PrivateContentAad::epoch),
                      tls::field(&PrivateContentAad::content_type),
                      tls::field(&PrivateContentAad::authenticated_data)};
  }
};

}  // namespace brenvik::rfc9420
