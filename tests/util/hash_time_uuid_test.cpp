#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "util/clock.h"
#include "util/crc32.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/rfc3339.h"
#include "util/uuid.h"

namespace brenvik {
namespace {

Bytes seq(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i);
  return b;
}

// Reference vectors of the SipHash paper (SipHash-2-4, key 00..0f, message
// 00..n-1) pin the shared round structure; SipHash-1-3 with zero keys is
// checked against values computed by an independent implementation.
TEST(SipHash, Vectors) {
  const uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
  EXPECT_EQ(siphash24(seq(0), k0, k1), 0x726fdb47dd0e0e31ull);
  EXPECT_EQ(siphash24(seq(15), k0, k1), 0xa129ca6149be45e5ull);
  EXPECT_EQ(siphash24(seq(8), k0, k1), 0x93f5f5799a932462ull);
  const std::pair<Bytes, uint64_t> zero_key[] = {
      {to_bytes("a"), 0x407448d2b89b1813ull},
      {to_bytes("abc"), 0xc03bc3a0042630f2ull},
      {to_bytes("hello world"), 0xb1b1f2e707e4ac8aull},
      {seq(15), 0xf30eb725bb91c9eaull},
  };
  for (const auto& [msg, want] : zero_key) EXPECT_EQ(siphash13(msg), want) << to_string(msg);
}

TEST(Fnv1a64, Vectors) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"", 0xcbf29ce484222325ull},
      {"a", 0xaf63dc4c8601ec8cull},
      {"foobar", 0x85944171f73967e8ull},
  };
  for (auto [in, want] : cases) EXPECT_EQ(fnv1a64(std::string_view(in)), want) << in;
}

TEST(Crc32, VectorsAndIncremental) {
  EXPECT_EQ(crc32(""), 0u);
  EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  const std::string s = "123456789";
  EXPECT_EQ(crc32_update(crc32(std::string_view(s).substr(0, 4)), as_bytes(s).subspan(4)),
            0xCBF43926u);
}

TEST(Uuid, TextFormsRoundTrip) {
  const char* text = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  const std::string_view forms[] = {
      "67e55044-10b1-426f-9247-bb680e5fe0c8", "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "67e5504410b1426f9247bb680e5fe0c8", "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8"};
  for (auto f : forms) {
    auto u = Uuid::parse(f);
    ASSERT_TRUE(u.ok()) << f;
    EXPECT_EQ(u->to_string(), text);
    EXPECT_EQ(u->to_simple(), "67e5504410b1426f9247bb680e5fe0c8");
    EXPECT_EQ(u->version(), 4);
  }
  const std::pair<std::string_view, UuidError> bad[] = {
      {"", UuidError::InvalidLength},
      {"67e55044-10b1-426f-9247-bb680e5fe0c", UuidError::InvalidLength},
      {"67e55044-10b1-426f-9247-bb680e5fe0cg", UuidError::InvalidCharacter},
      {"67e5504410b1-426f-9247-bb680e5fe0c8-", UuidError::InvalidGroups},
      {"(67e55044-10b1-426f-9247-bb680e5fe0c8)", UuidError::InvalidGroups},
      {"67e55044+10b1-426f-9247-bb680e5fe0c8", UuidError::InvalidGroups},
  };
  for (auto [in, err] : bad) {
    auto u = Uuid::parse(in);
    ASSERT_FALSE(u.ok()) << in;
    EXPECT_EQ(u.error(), err) << in;
  }
}

TEST(Uuid, RandomV4HasVersionVariantAndDiffers) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    Uuid u = Uuid::random_v4();
    EXPECT_EQ(u.version(), 4);
    EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
    std::string s = u.to_string();
    EXPECT_EQ(s[14], '4');
    EXPECT_TRUE(seen.insert(s).second);
    EXPECT_EQ(*Uuid::parse(s), u);
  }
}

// Identifiers are served from a block of random bytes; neither a second
// thread nor a forked child may be handed the bytes this thread will use next.
TEST(Uuid, RandomV4NeverRepeatsAcrossThreadsOrFork) {
  Uuid::random_v4();  // this thread now holds unused random bytes
  Uuid other;
  std::thread([&] { other = Uuid::random_v4(); }).join();

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const Uuid c = Uuid::random_v4();
    const bool ok = write(fds[1], c.bytes.data(), c.bytes.size()) == ssize_t(c.bytes.size());
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  Uuid child;
  ASSERT_EQ(read(fds[0], child.bytes.data(), child.bytes.size()), ssize_t(child.bytes.size()));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const Uuid mine = Uuid::random_v4();
  EXPECT_NE(mine, child);
  EXPECT_NE(mine, other);
  EXPECT_NE(child, other);
  EXPECT_EQ(child.version(), 4);
}

TEST(Rfc3339, WriteWithFractionDigits) {
  const UnixTime t{1709210096, 123456789};  // 2024-02-29T12:34:56.123456789Z
  const std::pair<int, const char*> cases[] = {
      {0, "2024-02-29T12:34:56Z"},
      {3, "2024-02-29T12:34:56.123Z"},
      {6, "2024-02-29T12:34:56.123456Z"},
      {9, "2024-02-29T12:34:56.123456789Z"},
  };
  for (auto [digits, want] : cases) EXPECT_EQ(format_rfc3339(t, digits), want);
  EXPECT_EQ(format_rfc3339(UnixTime{0, 0}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339_ms(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(format_rfc3339(UnixTime{253402300799, 0}), "9999-12-31T23:59:59Z");
  EXPECT_EQ(format_rfc3339(UnixTime{951782400, 0}), "2000-02-29T00:00:00Z");
}

TEST(Rfc3339, ParseTable) {
  struct Case {
    const char* text;
    bool ok;
    UnixTime want;
  };
  const Case cases[] = {
      {"2024-02-29T12:34:56Z", true, {1709210096, 0}},
      {"2024-02-29t12:34:56z", true, {1709210096, 0}},
      {"2024-02-29T12:34:56.1Z", true, {1709210096, 100000000}},
      {"2024-02-29T12:34:56.123456789Z", true, {1709210096, 123456789}},
      {"2024-02-29T14:34:56+02:00", true, {1709210096, 0}},
      {"2024-02-29T10:04:56-02:30", true, {1709210096, 0}},
      {"1969-12-31T23:59:59.999Z", true, {-1, 999000000}},
      {"2023-02-29T00:00:00Z", false, {}},
      {"2024-13-01T00:00:00Z", false, {}},
      {"2024-01-01T24:00:00Z", false, {}},
      {"2024-01-01T23:59:60Z", false, {}},
      {"2024-01-01T00:00:00", false, {}},
      {"2024-01-01 00:00:00Z", false, {}},
      {"2024-01-01T00:00:00.Z", false, {}},
      {"2024-01-01T00:00:00.1234567891Z", false, {}},
      {"2024-01-01T00:00:00Zjunk", false, {}},
      {"24-01-01T00:00:00Z", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    auto r = parse_rfc3339(c.text);
    EXPECT_EQ(r.ok(), c.ok) << c.text;
    if (c.ok && r.ok()) {
      EXPECT_EQ(*r, c.want) << c.text;
    }
  }
}

TEST(Rfc3339, CalendarRoundTripOverManyDays) {
  for (int64_t day = -800000; day <= 2900000; day += 997) {
    int64_t y;
    unsigned m, d;
    civil_from_days(day, y, m, d);
    ASSERT_EQ(days_from_civil(y, m, d), day);
  }
  for (int64_t s = -5000000000; s < 250000000000; s += 86400 * 37 + 3601) {
    UnixTime t{s, 5000000};
    if (t.seconds < -62167219200) continue;
    auto back = parse_rfc3339(format_rfc3339(t, 9));
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(*back, t);
  }
}

TEST(ManualClock, MovesOnlyWhenAdvanced) {
  ManualClock c(1'000'000'000'000, 5);
  const MonoTime start = c.monotonic();
  EXPECT_EQ(c.monotonic(), start);
  c.advance(std::chrono::milliseconds(1500));
  EXPECT_EQ(c.monotonic() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(c.wall_unix_ms(), 1'000'000 + 1500);
  c.set_wall_unix_ns(0);
  EXPECT_EQ(c.wall_unix_ns(), 0);
  EXPECT_EQ(c.monotonic() - start, std::chrono::milliseconds(1500));
  EXPECT_GE(system_clock().wall_unix_ms(), 1'600'000'000'000);
}

enum class Inner { NotFound };
std::string_view message(Inner) {
  return "group not found";
}

TEST(ErrorPrefix, WrapsInnerMessage) {
  Result<int, Inner> inner = Err(Inner::NotFound);
  auto outer = map_error(std::move(inner), [](Inner e) { return kMlsErrorPrefix(message(e)); });
  ASSERT_FALSE(outer.ok());
  EXPECT_EQ(outer.error(), "MLS error: group not found");
  Result<int, Inner> fine = 3;
  EXPECT_EQ(*map_error(std::move(fine), [](Inner e) { return kCoreErrorPrefix(message(e)); }), 3);
}

}  // namespace
}  // namespace brenvik
