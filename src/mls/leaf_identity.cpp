#include "mls/leaf_identity.h"

#include <algorithm>
#include <limits>

#include "core/address.h"
#include "mls/identity.h"
#include "util/log.h"
#include "util/utf8.h"

namespace brenvik::mls {
namespace {

constexpr size_t kDisplayLimit = 80;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kTruncatedMark = "\xE2\x80\xA6 (truncated)";
constexpr std::string_view kGroupLogTarget = "brenvik_protocol_mls::group";

// Text with each invalid UTF-8 sequence replaced by U+FFFD (an input that
// ends inside a sequence ends in one U+FFFD).
std::string lossy_utf8(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    auto v = validate_utf8(bytes);
    if (v.ok()) {
      out.append(as_chars(bytes));
      break;
    }
    const Utf8Error& e = v.error();
    out.append(as_chars(bytes.first(e.valid_up_to)));
    out.append(kReplacement);
    size_t skip = e.incomplete() ? bytes.size() : e.valid_up_to + e.error_len;
    bytes = bytes.subspan(skip);
  }
  return out;
}

bool proves(const rfc9420::Member& m) {
  return check_leaf_identity(m.identity, m.signature_key, LeafSource::StoredRoster).ok();
}

}  // namespace

Result<void, MlsError> check_leaf_identity(ByteView claimed_identity, ByteView signature_key,
                                           LeafSource source) {
  std::string derived;
  auto payload = address_from_public_key(signature_key);
  if (payload.ok()) {
    derived = encode_address(payload.value());
    if (std::ranges::equal(as_bytes(derived), claimed_identity)) return {};
  } else {
    derived = "<no address: " + payload.error().message() + ">";
  }
  return Err(MlsError::leaf_address_mismatch(source, truncate_for_display(claimed_identity),
                                             std::move(derived)));
}

std::string truncate_for_display(ByteView bytes) {
  if (bytes.size() <= kDisplayLimit) return lossy_utf8(bytes);
  std::string out = lossy_utf8(bytes.first(kDisplayLimit));
  out.append(kTruncatedMark);
  return out;
}

std::optional<std::string> ProvenMemberWalk::next() {
  while (pos_ < members_.size()) {
    const rfc9420::Member& m = members_[pos_++];
    auto proof = check_leaf_identity(m.identity, m.signature_key, LeafSource::StoredRoster);
    if (!proof.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget,
                  {"message", "Skipping a group member whose leaf does not prove its own identity"},
                  {"group_id", group_id_}, {"error", proof.error().message()});
      if (skipped_ < std::numeric_limits<uint32_t>::max()) ++skipped_;
      continue;
    }
    if (is_valid_utf8(as_chars(m.identity))) return std::string(as_chars(m.identity));
  }
  return std::nullopt;
}

std::vector<std::string> proven_group_members(std::span<const rfc9420::Member> members,
                                              std::string_view group_id, uint32_t& skipped) {
  std::vector<std::string> out;
  ProvenMemberWalk walk(members, group_id, skipped);
  while (auto id = walk.next()) out.push_back(std::move(*id));
  return out;
}

std::optional<std::pair<uint32_t, std::string>> ProvenLeafWalk::next() {
  while (pos_ < members_.size()) {
    const rfc9420::Member& m = members_[pos_++];
    if (proves(m) && is_valid_utf8(as_chars(m.identity)))
      return std::pair{m.leaf_index, std::string(as_chars(m.identity))};
  }
  return std::nullopt;
}

std::optional<std::string> AddedIdentityWalk::next() {
  while (pos_ < proposals_.size()) {
    const rfc9420::Proposal& p = proposals_[pos_++].proposal;
    const auto* add = std::get_if<rfc9420::Add>(&p.body);
    if (add == nullptr) continue;
    const Bytes* identity = (*add->key_package).leaf_node.credential.basic_identity();
    if (identity != nullptr && is_valid_utf8(as_chars(*identity)))
      return std::string(as_chars(*identity));
  }
  return std::nullopt;
}

}  // namespace brenvik::mls
