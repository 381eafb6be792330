#include "protocol/mls_state/mls_state.h"

#include "crypto/secret.h"
#include "crypto/sha256.h"
#include "mls/signature_key_pair.h"

namespace brenvik {

void MlsState::bind(std::shared_ptr<mls::MlsStorage> secure,
                    std::shared_ptr<ProtocolStateStorage> state) {
  mls_storage_ = std::move(secure);
  state_storage_ = std::move(state);
  identity_established_ = true;
}

void MlsState::restore(Snapshot s) {
  identity_established_ = s.identity_established;
  mls_storage_ = std::move(s.mls_storage);
  state_storage_ = std::move(s.state_storage);
}

void MlsState::install(std::shared_ptr<mls::MlsManager> manager) {
  identity_digest_ = manager->identity_record_digest();
  manager_ = std::make_shared<MlsManagerCell>(std::move(manager));
}

bool MlsState::holds_bound_identity(mls::MlsStorage& storage) const {
  auto loaded = storage.load(mls::kIdentityRecordType, mls::kIdentityRecordKey);
  if (!loaded.ok() || !loaded.value()) return false;
  Bytes& raw = *loaded.value();
  const bool same = crypto::ct_equal(crypto::sha256(raw), identity_digest_);
  crypto::secure_wipe(raw.data(), raw.size());
  return same;
}

}  // namespace brenvik
