#include "kesu/kv_store/kv_wrapper.h"

#include <exception>
#include <stdexcept>

namespace kesu {

KvWrapper::Guard::Guard(Shared& s)
    : s_(s), lock_(s.mu), exceptions_at_entry_(std::uncaught_exceptions()) {
  if (s_.poisoned) throw std::runtime_error("poisoned mutex");
}

KvWrapper::Guard::~Guard() {
  if (std::uncaught_exceptions() > exceptions_at_entry_) s_.poisoned = true;
}

KvWrapper::KvWrapper(std::unique_ptr<KvStore> store) : shared_(std::make_shared<Shared>()) {
  shared_->store = std::move(store);
}

std::optional<SharedBytes> KvWrapper::get(ByteView key) const {
  Guard g(*shared_);
  return shared_->store->get(key);
}

void KvWrapper::set_frontiers(const SharedBytes& encoded) {
  static const SharedBytes kKey = SharedBytes::copy_of(std::string_view("fr"));
  Guard g(*shared_);
  shared_->store->set(kKey, encoded);
}

std::optional<SharedBytes> KvWrapper::remove(const SharedBytes& key) {
  Guard g(*shared_);
  return shared_->store->remove(key);
}

bool KvWrapper::is_empty() const {
  Guard g(*shared_);
  return shared_->store->is_empty();
}

SharedBytes KvWrapper::export_all() {
  Guard g(*shared_);
  return shared_->store->export_all();
}

brenvik::Result<void, std::string> KvWrapper::import_all(const SharedBytes& bytes) {
  Guard g(*shared_);
  return shared_->store->import_all(bytes);
}

std::vector<KvPair> KvWrapper::scan_all() const {
  Guard g(*shared_);
  std::vector<KvPair> out;
  auto it = shared_->store->scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it->next()) out.push_back(std::move(*kv));
  return out;
}

void KvWrapper::retain_keys(const std::set<Bytes, BytesLess>& keep) {
  Guard g(*shared_);
  std::set<SharedBytes, BytesLess> doomed;
  {
    auto it = shared_->store->scan(KeyBound::unbounded(), KeyBound::unbounded());
    while (auto kv = it->next()) {
      if (keep.count(ByteView(kv->key)) == 0) doomed.insert(std::move(kv->key));
    }
  }
  for (const SharedBytes& k : doomed) shared_->store->remove(k);
}

}  // namespace kesu
