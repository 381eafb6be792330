#include "fuzz_support.h"

#include <openssl/rand.h>

#include <atomic>
#include <stdexcept>

#include "fuzz_target.h"

#include "crypto/aead.h"
#include "rfc9420/key_schedule.h"
#include "rfc9420/message_protection.h"
#include "util/log.h"

namespace brenvik::fuzz {

namespace {

using namespace rfc9420;

// splitmix64: enough for reproducible keys; nothing here needs secrecy.
uint64_t g_state = 0;

uint64_t next_u64() {
  uint64_t z = (g_state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

int det_bytes(unsigned char* out, int n) {
  for (int i = 0; i < n; i += 8) {
    const uint64_t v = next_u64();
    for (int k = 0; k < 8 && i + k < n; ++k) out[i + k] = uint8_t(v >> (8 * k));
  }
  return 1;
}
int det_seed(const void*, int) {
  return 1;
}
int det_add(const void*, int, double) {
  return 1;
}
int det_status() {
  return 1;
}

template <typename T, typename E>
T must(Result<T, E> r, const char* what) {
  if (!r.ok()) throw std::runtime_error(std::string("fuzz fixture: ") + what);
  return std::move(r).value();
}

crypto::Ed25519PrivateKey signer_from(uint8_t fill) {
  const Bytes seed(32, fill);
  return must(crypto::Ed25519PrivateKey::from_seed(seed), "signer");
}

MlsPair build_pair() {
  use_deterministic_random(0x5eed0001);
  crypto::Ed25519PrivateKey alice_signer = signer_from(0xa1);
  crypto::Ed25519PrivateKey bob_signer = signer_from(0xb0);
  const Bytes group_id = {'f', 'u', 'z', 'z', '-', 'g', 'r', 'o', 'u', 'p'};
  auto alice_cred = basic_credential(as_bytes(std::string_view("alice")), alice_signer);
  auto bob_cred = basic_credential(as_bytes(std::string_view("bob")), bob_signer);
  Group alice = must(Group::create(group_id, alice_cred, alice_signer, kMlsNow), "create");
  KeyPackageWithKeys bob_kp = must(build_key_package(bob_cred, bob_signer, kMlsNow), "bob kp");
  std::vector<KeyPackage> kps{bob_kp.key_package};
  CommitOutput out = must(alice.add_members(kps, alice_signer, kMlsNow), "add");
  WelcomeOptions opts;
  opts.now = kMlsNow;
  StagedWelcome staged = must(stage_welcome(*out.welcome->get<Welcome>(), bob_kp, opts), "welcome");
  Group bob = must(std::move(staged).into_group(), "join");
  return MlsPair{std::move(alice_signer), std::move(bob_signer), alice.snapshot(), bob.snapshot()};
}

MlsJoiner build_joiner() {
  use_deterministic_random(0x5eed0002);
  crypto::Ed25519PrivateKey signer = signer_from(0xc4);
  auto cred = basic_credential(as_bytes(std::string_view("carol")), signer);
  KeyPackageWithKeys kp = must(build_key_package(cred, signer, kMlsNow), "joiner kp");
  const auto third_signer = signer_from(0xd7);
  auto third_cred = basic_credential(as_bytes(std::string_view("dave")), third_signer);
  KeyPackage third =
      must(build_key_package(third_cred, third_signer, kMlsNow), "third kp").key_package;
  return MlsJoiner{std::move(signer), std::move(kp), std::move(third)};
}

}  // namespace

void install_discarding_log_sink() {
  class Discard final : public LogSink {
   public:
    bool enabled(LogLevel, std::string_view) const override { return true; }
    void log(const LogRecord& r) override {
      sink_bytes_.fetch_add(r.message.size(), std::memory_order_relaxed);
    }
    void flush() override {}

   private:
    std::atomic<size_t> sink_bytes_{0};
  };
  if (set_logger(std::make_unique<Discard>())) set_max_log_level(LogLevel::Trace);
}

void use_deterministic_random(uint64_t seed) {
  static RAND_METHOD method = {det_seed, det_bytes, nullptr, det_add, det_bytes, det_status};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  static const bool installed = RAND_set_rand_method(&method) == 1;
#pragma GCC diagnostic pop
  if (!installed) throw std::runtime_error("fuzz fixture: cannot replace the random source");
  g_state = seed;
}

const MlsPair& mls_pair() {
  static const MlsPair pair = build_pair();
  return pair;
}

const MlsJoiner& mls_joiner() {
  static const MlsJoiner joiner = build_joiner();
  return joiner;
}

Result<MlsMessage, Error> seal_from_alice(Content content, ByteView authenticated_data,
                                          ByteView confirmation_tag) {
  const MlsPair& p = mls_pair();
  FramedContent fc;
  fc.group_id = p.alice.context.group_id;
  fc.epoch = p.alice.context.epoch;
  fc.sender = Sender::member(0);
  fc.authenticated_data.assign(authenticated_data.begin(), authenticated_data.end());
  fc.content = std::move(content);
  const bool commit = fc.content_type() == ContentType::commit;
  BRENVIK_TRY(AuthenticatedContent ac, sign_content(WireFormat::private_message, std::move(fc),
                                                    p.alice_signer, p.alice.context));
  if (commit) ac.auth.confirmation_tag = Bytes(confirmation_tag.begin(), confirmation_tag.end());
  SecretTree tree = p.alice.secret_tree;
  BRENVIK_TRY(PrivateMessage pm,
              protect_private(ac, tree, p.alice.secrets.sender_data_secret.view()));
  MlsMessage m;
  m.body = tls::Case<WireFormat::private_message, PrivateMessage>{std::move(pm)};
  return m;
}

Result<AuthenticatedContent, Error> open_as_bob(const MlsMessage& message) {
  const MlsPair& p = mls_pair();
  const PrivateMessage* pm = message.get<PrivateMessage>();
  if (!pm) return Err(Error(ErrorCode::InvalidContent, "not a PrivateMessage"));
  SecretTree tree = p.bob.secret_tree;
  return unprotect_private(*pm, tree, p.bob.secrets.sender_data_secret.view(), p.bob.context);
}

Welcome seal_welcome_to_joiner(ByteView group_secrets, ByteView group_info) {
  const MlsJoiner& j = mls_joiner();
  Bytes joiner_secret(kNh, 0x33);
  if (auto gs = tls_decode<GroupSecrets>(group_secrets); gs.ok()) joiner_secret = gs->joiner_secret;
  Welcome w;
  w.cipher_suite = kSuite;
  const Bytes psk_secret(kNh, 0);
  auto es = derive_epoch_secrets_from_joiner(joiner_secret, psk_secret, {});
  if (es.ok()) {
    if (auto kn = welcome_key_nonce(es->welcome_secret.view()); kn.ok()) {
      auto sealed = crypto::aes128gcm_seal(kn->key.view(), kn->nonce.view(), {}, group_info);
      if (sealed.ok()) w.encrypted_group_info = std::move(*sealed);
    }
  }
  auto ct = encrypt_with_label(j.key_package.key_package.init_key, "Welcome",
                               w.encrypted_group_info, group_secrets);
  if (ct.ok()) {
    w.secrets.push_back({make_key_package_ref(j.key_package.key_package), std::move(*ct)});
  }
  return w;
}

}  // namespace brenvik::fuzz
