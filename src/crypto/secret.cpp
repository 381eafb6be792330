#include "crypto/secret.h"

#include <openssl/crypto.h>

#include <atomic>
#include <new>

namespace brenvik::crypto {
namespace {
std::atomic<testing_hooks::ReleaseObserver> g_release_observer{nullptr};
}

void secure_wipe(void* p, size_t n) noexcept {
  if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

bool ct_equal(ByteView a, ByteView b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

SecretBytes::SecretBytes(size_t n) : p_(n ? new uint8_t[n]() : nullptr), n_(n) {}

SecretBytes::SecretBytes(ByteView in) : SecretBytes(in.size()) {
  if (n_) std::memcpy(p_, in.data(), n_);
}

SecretBytes& SecretBytes::operator=(const SecretBytes& o) {
  if (this != &o) {
    SecretBytes copy(o);
    *this = std::move(copy);
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& o) noexcept {
  if (this != &o) {
    release();
    p_ = o.p_;
    n_ = o.n_;
    o.p_ = nullptr;
    o.n_ = 0;
  }
  return *this;
}

void SecretBytes::release() noexcept {
  if (p_ != nullptr) {
    secure_wipe(p_, n_);
    if (auto obs = g_release_observer.load(std::memory_order_acquire)) obs(p_, n_);
    delete[] p_;
  }
  p_ = nullptr;
  n_ = 0;
}

void testing_hooks::set_release_observer(ReleaseObserver fn) noexcept {
  g_release_observer.store(fn, std::memory_order_release);
}

}  // namespace brenvik::crypto
