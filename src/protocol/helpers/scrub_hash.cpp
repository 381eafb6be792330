#include "protocol/helpers/scrub_hash.h"

#include "crypto/sha256.h"
#include "util/hex.h"

namespace brenvik {

std::string keyed_scrub_hash(const ScrubKey& key, ByteView identifier) {
  const crypto::Digest32 digest = crypto::sha256({ByteView(key), identifier});
  return hex_encode(ByteView(digest.data(), kScrubTextSize / 2));
}

void redact_identifier(std::string& field, const std::optional<ScrubKey>& key) {
  if (key) field = keyed_scrub_hash(*key, std::string_view(field));
}

}  // namespace brenvik
