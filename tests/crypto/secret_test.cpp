#include <gtest/gtest.h>

#include <new>
#include <set>

#include "crypto/random.h"
#include "crypto/secret.h"

namespace brenvik::crypto {
namespace {

// Captures what SecretBytes leaves in its buffer just before freeing it.
Bytes g_released;
void capture(const uint8_t* p, size_t n) {
  g_released.assign(p, p + n);
}

struct ObserverGuard {
  ObserverGuard() { testing_hooks::set_release_observer(&capture); }
  ~ObserverGuard() { testing_hooks::set_release_observer(nullptr); }
};

TEST(SecretBytes, WipesBufferOnEveryKindOfRelease) {
  ObserverGuard guard;
  const Bytes key(48, 0xAB);
  const Bytes zeros(48, 0);

  {  // destruction
    g_released.clear();
    SecretBytes s(key);
  }
  EXPECT_EQ(g_released, zeros);

  {  // clear()
    g_released.clear();
    SecretBytes s(key);
    s.clear();
    EXPECT_EQ(g_released, zeros);
    EXPECT_TRUE(s.empty());
  }
  {  // assignment over an existing secret releases the old buffer
    SecretBytes s(key);
    g_released.clear();
    s = SecretBytes(Bytes(8, 1));
    EXPECT_EQ(g_released, zeros);
    EXPECT_EQ(s.size(), 8u);
  }
  {  // copy-assignment too
    SecretBytes s(key);
    const SecretBytes other(Bytes(4, 2));
    g_released.clear();
    s = other;
    EXPECT_EQ(g_released, zeros);
    EXPECT_TRUE(s == other);
  }
}

TEST(SecretBytes, MoveLeavesSourceEmptyAndKeepsContents) {
  SecretBytes a(Bytes{1, 2, 3});
  SecretBytes b(std::move(a));
  EXPECT_TRUE(a.empty());  // NOLINT: checking moved-from state on purpose
  EXPECT_EQ(Bytes(b.view().begin(), b.view().end()), (Bytes{1, 2, 3}));
}

TEST(SecretArray, DestructorWipesInlineStorage) {
  alignas(SecretArray<32>) unsigned char storage[sizeof(SecretArray<32>)];
  Bytes key(32, 0x5A);
  auto* s = new (storage) SecretArray<32>(key);
  ASSERT_EQ((*s)[0], 0x5A);
  s->~SecretArray<32>();
  for (unsigned char c : storage) ASSERT_EQ(c, 0);
}

TEST(ConstantTime, EqualityCases) {
  const struct {
    Bytes a, b;
    bool eq;
  } cases[] = {
      {{}, {}, true},
      {{1, 2, 3}, {1, 2, 3}, true},
      {{1, 2, 3}, {1, 2, 4}, false},
      {{0, 2, 3}, {1, 2, 3}, false},
      {{1, 2, 3}, {1, 2}, false},
      {{1}, {}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ct_equal(c.a, c.b), c.eq);
}

TEST(Random, FillsAndDiffers) {
  std::set<Bytes> seen;
  for (int i = 0; i < 8; ++i) {
    auto r = random_bytes(32);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 32u);
    seen.insert(*r);
  }
  EXPECT_EQ(seen.size(), 8u);
  auto s = random_secret_32();
  ASSERT_TRUE(s.ok());
  EXPECT_FALSE(*s == SecretArray<32>());
  auto empty = random_bytes(0);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace brenvik::crypto
