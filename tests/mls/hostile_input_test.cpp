// Every reader of the MLS layer given random, truncated and bit-flipped
// input: each answers with a result or an error, never a crash (the suite
// runs under ASan and UBSan).
#include <gtest/gtest.h>

#include <random>

#include "mls/discovery_record.h"
#include "mls/group_metadata.h"
#include "mls/identity.h"
#include "mls/invite.h"
#include "mls/mls_manager.h"
#include "mls/signature_key_pair.h"
#include "util/base64.h"

namespace brenvik::mls {
namespace {

// Feeds the valid samples, every prefix of them, single-bit flips and random
// bytes to every reader.
TEST(MlsHostileInput, ReadersOnlyEverReturnErrors) {
  auto m = MlsManager::start_up(std::make_shared<MemoryMlsStorage>(), false).value();
  DiscoveryRecordV1 rec;
  rec.username = "alice";
  rec.pubkey = m->identity_public_key().value();
  rec.address = address_from_public_key(rec.pubkey).value();
  rec.nostr_author = Bytes(32, 1);
  rec.sig = Bytes(64, 2);
  GroupMetadata meta = GroupMetadata::new_for_creator("n", "alice", 1);
  meta.custom["role:bob"] = "admin";
  const std::vector<Bytes> samples = {
      to_bytes(to_string(write_signature_key_pair(m->signer().value()).view())),
      to_bytes(write_group_metadata(meta)),
      to_bytes(write_discovery_record(rec)),
      to_bytes("{\"v\":1,\"retracted\":true}"),
      to_bytes(m->make_invite(std::string("pet"), true).value()),
      m->identity_assertion(to_bytes("data")).value(),
  };

  size_t runs = 0;
  auto feed = [&](const Bytes& in) {
    (void)read_signature_key_pair(in);
    (void)read_group_metadata(in);
    (void)parse_discovery_record(in);
    (void)decode_invite(as_chars(in));
    (void)decode_invite(base64url_encode(in));
    (void)check_identity_assertion(in);
    (void)derive_user_id_from_public_key(in);
    (void)address_from_public_key(in);
    (void)verify_ed25519_signature(ByteView(in).first(std::min<size_t>(in.size(), 32)), in, in);
    ++runs;
  };
  std::mt19937_64 rng(28);
  for (const Bytes& s : samples) {
    for (size_t n = 0; n <= s.size(); ++n) feed(Bytes(s.begin(), s.begin() + n));
    for (size_t bit = 0; bit < s.size() * 8; bit += 3) {
      Bytes f = s;
      f[bit / 8] ^= uint8_t(1u << (bit % 8));
      feed(f);
    }
  }
  for (int i = 0; i < 2000; ++i) {
    Bytes r(rng() % 200);
    for (auto& b : r) b = uint8_t(rng());
    feed(r);
  }
  EXPECT_GT(runs, 4000u);
}

}  // namespace
}  // namespace brenvik::mls
