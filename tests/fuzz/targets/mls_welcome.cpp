// A Welcome sealed to a joiner: the input is encoded GroupSecrets (a u16
// length chunk) and an encoded GroupInfo (the rest), sealed properly to the
// joiner's key package, so that every byte reaches the joiner's checks of
// the secrets, the signed GroupInfo, the tree and the confirmation tag.
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace brenvik;
using namespace brenvik::rfc9420;

BRENVIK_FUZZ_TARGET(mls_welcome) {
  fuzz::use_deterministic_random(1);
  const fuzz::MlsJoiner& j = fuzz::mls_joiner();
  fuzz::use_deterministic_random(3);
  fuzz::InputReader r(input);
  ByteView secrets = r.chunk();
  ByteView group_info = r.rest();
  const Welcome w = fuzz::seal_welcome_to_joiner(secrets, group_info);
  WelcomeOptions opts;
  opts.now = fuzz::kMlsNow;
  auto staged = stage_welcome(w, j.key_package, opts);
  if (!staged.ok()) return;
  (void)staged->members();
  auto group = std::move(*staged).into_group();
  if (!group.ok()) return;
  (void)group->create_application_message(as_bytes(std::string_view("joined")), j.signer);
}
