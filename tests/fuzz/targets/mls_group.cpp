// A member of a two-member group (bob) processing what arrives from the other
// (alice). The first byte picks how the rest becomes a message:
//   0: the rest is an MLSMessage as received (mutated wire bytes);
//   1: a chunk is an encoded Content (application data, proposal or commit)
//      and a chunk its authenticated data, a chunk the confirmation tag;
//      alice signs and encrypts it, so every byte reaches past the AEAD and
//      the signature into bob's content checks;
//   2: alice makes a real message (the next byte: application data, a
//      self-update, a commit removing bob, one adding a third client), bob
//      opens it, the remaining records (u16 offset, u8 mask) flip bits of
//      its encoded content, and alice signs and encrypts the result.
// A commit bob accepts is merged, and bob then sends in the new epoch.
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace brenvik;
using namespace brenvik::rfc9420;

namespace {

void deliver_to_bob(const MlsMessage& m) {
  const fuzz::MlsPair& p = fuzz::mls_pair();
  Group bob(p.bob);
  auto processed = bob.process_message(m, fuzz::kMlsNow);
  if (!processed.ok()) return;
  if (auto* staged = std::get_if<StagedCommit>(&processed->content)) {
    const bool removed = staged->self_removed();
    auto merged = bob.merge_staged_commit(std::move(*staged));
    fuzz::fuzz_check(merged.ok(), "a staged commit of the current epoch merges");
    fuzz::fuzz_check(bob.active() != removed, "a commit removing bob ends the group for him");
    if (bob.active()) {
      (void)bob.create_application_message(as_bytes(std::string_view("after")), p.bob_signer);
    }
  }
}

Result<MlsMessage, Error> real_message(uint8_t kind) {
  const fuzz::MlsPair& p = fuzz::mls_pair();
  Group alice(p.alice);
  switch (kind % 4) {
    case 0:
      return alice.create_application_message(as_bytes(std::string_view("hello bob")),
                                              p.alice_signer, as_bytes(std::string_view("ad")));
    case 1: {
      BRENVIK_TRY(CommitOutput out, alice.self_update(p.alice_signer));
      return std::move(out.commit);
    }
    case 2: {
      const uint32_t bob_leaf = 1;
      BRENVIK_TRY(CommitOutput out, alice.remove_members({&bob_leaf, 1}, p.alice_signer));
      return std::move(out.commit);
    }
    default: {
      const KeyPackage kp = fuzz::mls_joiner().third;
      BRENVIK_TRY(CommitOutput out, alice.add_members({&kp, 1}, p.alice_signer, fuzz::kMlsNow));
      return std::move(out.commit);
    }
  }
}

}  // namespace

BRENVIK_FUZZ_TARGET(mls_group) {
  fuzz::use_deterministic_random(1);
  (void)fuzz::mls_pair();
  (void)fuzz::mls_joiner();
  fuzz::use_deterministic_random(2);
  fuzz::InputReader r(input);
  switch (r.u8() % 3) {
    case 0: {
      auto m = decode_mls_message(r.rest());
      if (m.ok()) deliver_to_bob(*m);
      break;
    }
    case 1: {
      auto content = tls_decode<Content>(r.chunk());
      if (!content.ok()) break;
      ByteView ad = r.chunk();
      ByteView tag = r.chunk();
      auto m = fuzz::seal_from_alice(std::move(*content), ad, tag);
      if (m.ok()) deliver_to_bob(*m);
      break;
    }
    case 2: {
      auto original = real_message(r.u8());
      if (!original.ok()) break;
      auto ac = fuzz::open_as_bob(*original);
      fuzz::fuzz_check(ac.ok(), "bob opens what alice sent in their epoch");
      Bytes enc = tls_encode(ac->content.content);
      while (!r.empty() && !enc.empty()) {
        const uint16_t at = r.u16();
        enc[at % enc.size()] ^= r.u8();
      }
      auto content = tls_decode<Content>(enc);
      if (!content.ok()) break;
      const Bytes tag = ac->auth.confirmation_tag.value_or(Bytes());
      auto m = fuzz::seal_from_alice(std::move(*content), ac->content.authenticated_data, tag);
      if (m.ok()) deliver_to_bob(*m);
      break;
    }
  }
}
