#include <gtest/gtest.h>

#include "columnar_test_util.h"
#include "kesu/common/container_id.h"
#include "kesu/common/value.h"

namespace kesu {
namespace {
using test::hx;
using test::to_hex;
using K = ContainerType::Kind;

const std::string kHs = "\xF0\x9F\xA4\x9D:";  // the mergeable prefix

TEST(KesuContainerType, CodeTables) {
  struct Case {
    ContainerType t;
    uint8_t wire, compact;
    const char* name;
  };
  const Case cases[] = {
      {K::Map, 0, 1, "Map"},
      {K::List, 1, 2, "List"},
      {K::Text, 2, 0, "Text"},
      {K::Tree, 3, 4, "Tree"},
      {K::MovableList, 4, 3, "MovableList"},
      {K::Counter, 5, 5, "Counter"},
      {ContainerType::unknown(9), 9, 9, "Unknown(9)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.t.wire_code(), c.wire) << c.name;
    EXPECT_EQ(c.t.compact_code(), c.compact) << c.name;
    EXPECT_EQ(c.t.name(), c.name);
    EXPECT_EQ(ContainerType::from_wire_code(c.wire), c.t);
    EXPECT_EQ(ContainerType::from_compact_code(c.compact), c.t);
  }
  EXPECT_FALSE(ContainerType::unknown(7) == ContainerType::unknown(8));
}

TEST(KesuContainerId, TextDebugAndBinaryForms) {
  auto normal = ContainerID::normal(345, 12, K::Map);
  EXPECT_EQ(normal.to_string(), "cid:12@345:Map");
  EXPECT_EQ(normal.debug(), "Normal(Map 12@345)");
  auto root = ContainerID::root("tasks", K::List);
  EXPECT_EQ(root.to_string(), "cid:root-tasks:List");
  EXPECT_EQ(root.debug(), "Root(\"tasks\" List)");

  struct Case {
    ContainerID id;
    std::string hex;
  };
  const Case cases[] = {
      {ContainerID::normal(1, 2, K::Map), "00010000000000000002000000"},
      {ContainerID::root("ab", K::Text), "82026162"},
      {ContainerID::root(std::string(200, 'x'), K::Map), "80c801" + to_hex(Bytes(200, 'x'))},
      {ContainerID::normal(UINT64_MAX, -1, ContainerType::unknown(7)),
       "07ffffffffffffffffffffffff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_hex(c.id.to_bytes()), c.hex) << c.id.debug();
    auto back = ContainerID::from_bytes(hx(c.hex));
    ASSERT_TRUE(back.ok()) << c.hex;
    EXPECT_EQ(*back, c.id);
  }
  const char* bad[] = {"",
                       "82036162",                      // one byte short
                       "82016162",                      // one byte over
                       "0001000000000000000200000000",  // 14 bytes
                       "000100",
                       "8202c328",                 // invalid UTF-8
                       "80ffffffffffffffffff02"};  // overlong length
  for (const char* h : bad) {
    auto r = ContainerID::from_bytes(hx(h));
    ASSERT_FALSE(r.ok()) << h;
    EXPECT_EQ(r.error(), "Decode container id failed");
  }
}

TEST(KesuContainerId, RootNameRule) {
  const std::pair<std::string, bool> cases[] = {
      {"notes", true},
      {"", false},
      {"a/b", false},
      {std::string("a\0b", 3), false},
      {kHs + "x>y", false},
      {kHs, false},
      {"\xF0\x9F\xA4\x9D", true},  // the emoji without ':' is not the prefix
  };
  for (const auto& [name, valid] : cases)
    EXPECT_EQ(ContainerID::is_valid_root_name(name), valid) << name;
}

TEST(KesuContainerId, MergeableChildNames) {
  auto parent = ContainerID::normal(35, 10, K::Map);
  auto child = ContainerID::new_mergeable_child_id(parent, "a>b/c", K::Text);
  EXPECT_EQ(child.as_root()->name.as_str(), kHs + "@z:a>a\\>b\\sc");
  EXPECT_TRUE(child.is_mergeable_child());
  auto parsed = child.parse_mergeable_child();
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->first, parent);
  EXPECT_EQ(parsed->second, "a>b/c");

  auto root = ContainerID::root("root", K::Map);
  auto k = ContainerID::new_mergeable_child_id(root, "k", K::Map);
  EXPECT_EQ(k.as_root()->name.as_str(), kHs + "$root>k");
  auto x = ContainerID::new_mergeable_child_id(k, "x", K::List);
  EXPECT_EQ(x.as_root()->name.as_str(), kHs + "$root>k>x");
  auto px = x.parse_mergeable_child();
  ASSERT_TRUE(px.has_value());
  EXPECT_EQ(px->first, ContainerID::root(kHs + "$root>k", K::Map));
  EXPECT_EQ(px->second, "x");
  EXPECT_EQ(k.parse_mergeable_child()->first, root);

  auto neg = ContainerID::new_mergeable_child_id(ContainerID::normal(0, -5, K::Map), "k", K::Text);
  EXPECT_EQ(neg.as_root()->name.as_str(), kHs + "@0:-5>k");
  EXPECT_EQ(neg.parse_mergeable_child()->first, ContainerID::normal(0, -5, K::Map));

  EXPECT_THROW(ContainerID::new_mergeable_child_id(ContainerID::root("l", K::List), "k", K::Text),
               InternalError);
}

TEST(KesuContainerId, MalformedMergeableNamesAreOrdinaryRoots) {
  const std::string not_mergeable[] = {
      kHs + "@z:-0>k",
      kHs + "@z:05>k",
      kHs + "@Z:5>k",
      kHs + "@z:5>k\\q",
      kHs + "$" + kHs + "x>k",
      kHs,
      kHs + "abc",
      kHs + "$a>b\\",
      kHs + ">k",
      kHs + "$>k",
      kHs + "@z>k",
      kHs + "@z:80000000>k",
      kHs + "@z:5>a/b",
  };
  for (const auto& n : not_mergeable) {
    auto id = ContainerID::root(n, K::Map);
    EXPECT_FALSE(id.is_mergeable_child()) << n;
    EXPECT_FALSE(id.parse_mergeable_child().has_value()) << n;
    EXPECT_FALSE(ContainerID::is_valid_root_name(n)) << n;
  }
  // The largest negative counter is allowed.
  EXPECT_TRUE(ContainerID::root(kHs + "@z:-zik0zk>k", K::Map).is_mergeable_child());
}

TEST(KesuContainerId, MergeableMarkers) {
  auto parent = ContainerID::root("m", K::Map);
  Bytes marker = mergeable_marker(parent, "k", K::List);
  ASSERT_EQ(marker.size(), 8u);
  EXPECT_EQ(to_hex(ByteView(marker).first(5)), "004b4d0101");
  EXPECT_EQ(parse_mergeable_marker(parent, "k", marker), ContainerType(K::List));
  auto resolved = resolve_mergeable_value(parent, "k", KesuValue::binary(marker));
  ASSERT_EQ(resolved.type(), ValueType::Container);
  EXPECT_EQ(resolved.as_container(), ContainerID::new_mergeable_child_id(parent, "k", K::List));
  // Wrong key, wrong check byte, wrong length: ordinary binary values.
  EXPECT_FALSE(parse_mergeable_marker(parent, "j", marker).has_value());
  Bytes tampered = marker;
  tampered[7] ^= 1;
  EXPECT_EQ(resolve_mergeable_value(parent, "k", KesuValue::binary(tampered)).type(),
            ValueType::Binary);
  Bytes longer = marker;
  longer.push_back(0);
  EXPECT_FALSE(parse_mergeable_marker(parent, "k", longer).has_value());
  Bytes code6 = marker;
  code6[4] = 6;
  EXPECT_FALSE(parse_mergeable_marker(parent, "k", code6).has_value());
  // The check value depends on every input.
  EXPECT_NE(mergeable_marker_check(parent, "k", K::List),
            mergeable_marker_check(parent, "k", K::Map));
  EXPECT_LT(mergeable_marker_check(parent, "k", K::List), 1u << 24);
}

}  // namespace
}  // namespace kesu
