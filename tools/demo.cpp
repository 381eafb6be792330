// Demo: what the library can do on this machine so far, shown as two devices
// would use it: identities and addresses, a message encoded for the mesh and
// decoded on the other side, and a payload encrypted for a Nostr peer.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/address.h"
#include "core/message.h"
#include "crypto/ed25519.h"
#include "crypto/nip44.h"
#include "crypto/secp256k1.h"
#include "transport/message_codec.h"
#include "util/base64.h"
#include "util/hex.h"

using namespace brenvik;

namespace {

struct Device {
  std::string name;
  crypto::Ed25519PrivateKey identity;
  std::string address;
};

Device make_device(const char* name) {
  auto key = crypto::Ed25519PrivateKey::generate();
  if (!key.ok()) {
    std::fprintf(stderr, "no secure random source\n");
    std::exit(1);
  }
  auto addr = derive_address(key->public_key());
  return Device{name, std::move(*key), addr.ok() ? *addr : std::string("<no address>")};
}

}  // namespace

int main() {
  std::printf("Brenvik protocol library demo\n\n");

  Device alice = make_device("alice"), bob = make_device("bob");
  std::printf("Identities (Ed25519) and their mesh addresses:\n");
  for (const Device* d : {&alice, &bob}) std::printf("  %-6s %s\n", d->name.c_str(), d->address.c_str());

  // A direct message from alice to bob, encoded as the transports carry it.
  Message m = MessageBuilder(alice.address, bob.address, "demo.chat")
                  .with_content("hello from the mesh")
                  .with_metadata("thread", "1")
                  .build();
  m.compact_wire = true;
  auto frame = encode_message_for_transport(m);
  if (!frame.ok()) {
    std::printf("encode failed: %s\n", frame.error().message().c_str());
    return 1;
  }
  std::printf("\nMessage %s: %zu bytes in the compact wire frame (first byte 0x%02X)\n",
              display_message_id(m.id).c_str(), frame->size(), (*frame)[0]);
  auto back = decode_message(*frame);
  // The form a message arrived in is not part of it: decoding leaves the flag clear.
  Message expected = m;
  expected.compact_wire = false;
  if (!back.ok() || !(*back == expected)) {
    std::printf("decode did not give the message back\n");
    return 1;
  }
  std::printf("  bob decodes it: \"%s\" from %s (lamport %llu)\n", back->content.c_str(),
              back->sender.c_str(), static_cast<unsigned long long>(back->lamport_clock));

  // The same content for a distant peer: NIP-44 v2 between secp256k1 keys.
  auto ka = crypto::SchnorrKeyPair::generate(), kb = crypto::SchnorrKeyPair::generate();
  if (!ka.ok() || !kb.ok()) return 1;
  const auto &a = *ka, &b = *kb;
  auto ck_a = crypto::nip44::conversation_key(a.secret().view(), b.public_key());
  auto ck_b = crypto::nip44::conversation_key(b.secret().view(), a.public_key());
  if (!ck_a.ok() || !ck_b.ok()) return 1;
  auto payload = crypto::nip44::encrypt(ck_a->view(), as_bytes(m.content));
  if (!payload.ok()) return 1;
  auto plain = crypto::nip44::decrypt(ck_b->view(), *payload);
  std::printf("\nNIP-44 v2 payload for a relay (%zu bytes, base64 %zu chars); peer reads: \"%s\"\n",
              payload->size(), base64_encode(*payload).size(),
              plain.ok() ? to_string(*plain).c_str() : "<failed>");

  auto sig = alice.identity.sign(*frame);
  if (!sig.ok()) return 1;
  auto ok = crypto::ed25519_verify(alice.identity.public_key(), *frame, *sig,
                                   crypto::Ed25519Verification::Strict);
  std::printf("\nalice signs the frame; strict verification: %s\n",
              ok.ok() && *ok ? "valid" : "INVALID");
  return 0;
}
