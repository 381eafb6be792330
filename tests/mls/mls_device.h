// A simulated device for MLS-layer tests: its own storage and a manager
// that can be rebuilt over it, as after a restart.
#pragma once

#include <gtest/gtest.h>

#include "mls/mls_manager.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/stored_group.h"
#include "rfc9420/tls_codec.h"

namespace brenvik::mls {

inline constexpr uint64_t kDay = 24 * 3600;

struct Device {
  explicit Device(const Clock& clock, bool enforce = true)
      : storage(std::make_shared<MemoryMlsStorage>()), clock_(clock), enforce_(enforce) {
    restart();
  }
  // A new manager over the same storage, as after a process restart.
  void restart() {
    manager.reset();
    auto m = MlsManager::start_up(storage, enforce_, clock_);
    EXPECT_TRUE(m.ok()) << m.error().message();
    manager = m.value();
  }
  uint64_t now_s() const { return uint64_t(clock_.wall_unix_ms() / 1000); }
  // A key package of this device, its private record stored.
  Bytes key_package() {
    auto kp = rfc9420::generate_stored_key_package(*manager->provider().engine,
                                                   manager->credential_with_key().value(),
                                                   manager->signing_key().value(), now_s());
    EXPECT_TRUE(kp.ok());
    return rfc9420::tls_encode(kp.value().key_package);
  }
  // A key package of this device with the lifetime [from, to], re-signed.
  Bytes key_package_with_window(uint64_t from, uint64_t to) {
    auto kp = rfc9420::build_key_package(manager->credential_with_key().value(),
                                         manager->signing_key().value(), now_s())
                  .value()
                  .key_package;
    const auto signer = manager->signing_key().value();
    kp.leaf_node.source = rfc9420::Lifetime{from, to};
    kp.leaf_node.signature = *rfc9420::sign_with_label(
        signer, "LeafNodeTBS", rfc9420::leaf_node_tbs(kp.leaf_node, std::nullopt));
    kp.signature = *rfc9420::sign_with_label(signer, "KeyPackageTBS", rfc9420::key_package_tbs(kp));
    return rfc9420::tls_encode(kp);
  }
  const std::string& id() const { return manager->user_id(); }
  MlsManager* operator->() { return manager.get(); }

  std::shared_ptr<MemoryMlsStorage> storage;
  std::shared_ptr<MlsManager> manager;
  const Clock& clock_;
  bool enforce_;
};

}  // namespace brenvik::mls
