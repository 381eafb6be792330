#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kesu/common/error.h"
#include "kesu/common/internal_error.h"
#include "kesu/common/value.h"

namespace kesu {
namespace {
using K = ContainerType::Kind;

TEST(KesuValue, EqualityRules) {
  const double nan1 = std::numeric_limits<double>::quiet_NaN();
  const double nan2 = -std::numeric_limits<double>::signaling_NaN();
  struct Case {
    KesuValue a, b;
    bool equal;
  };
  const Case cases[] = {
      {KesuValue(nan1), KesuValue(nan2), true},
      {KesuValue(0.0), KesuValue(-0.0), true},
      {KesuValue(1.0), KesuValue(int64_t(1)), false},
      {KesuValue::string("ab"), KesuValue::binary({0x61, 0x62}), false},
      {KesuValue::map_from_pairs({{"a", 1}, {"b", 2}}),
       KesuValue::map_from_pairs({{"b", 2}, {"a", 1}}), true},
      {KesuValue::map_from_pairs({{"a", 1}}), KesuValue::map_from_pairs({{"a", 1}, {"b", nullptr}}),
       false},
      {KesuValue::list({1, 2}), KesuValue::list({1, 2}), true},
      {KesuValue::list({1, 2}), KesuValue::list({2, 1}), false},
      {KesuValue::list({1}), KesuValue::list({1, 1}), false},
      {KesuValue(), KesuValue(nullptr), true},
      {KesuValue(true), KesuValue(false), false},
      {KesuValue(ContainerID::normal(1, 2, K::Map)), KesuValue(ContainerID::normal(1, 2, K::List)),
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.debug() << " vs " << c.b.debug();
    EXPECT_EQ(c.b == c.a, c.equal);
    if (c.equal) {
      EXPECT_EQ(hash_value(c.a), hash_value(c.b)) << c.a.debug();
    }
  }
  auto dup = KesuValue::map_from_pairs({{"k", 1}, {"k", 2}});
  EXPECT_EQ(dup, KesuValue::map_from_pairs({{"k", 2}}));
}

TEST(KesuValue, CopiesShareAndEditsCopyFirst) {
  auto original = KesuValue::list({1, 2});
  KesuValue copy = original;
  EXPECT_TRUE(copy.same_block(original));
  copy.list_mut().push_back(3);
  EXPECT_EQ(original.as_list().size(), 2u);
  EXPECT_EQ(copy.as_list().size(), 3u);
  // A sole owner edits in place.
  const KesuValue* before = &copy.as_list()[0];
  copy.list_mut()[0] = KesuValue(9);
  EXPECT_EQ(&copy.as_list()[0], before);

  auto m = KesuValue::map_from_pairs({{"a", 1}});
  KesuValue m2 = m;
  m2.map_mut()["b"] = KesuValue(2);
  EXPECT_EQ(m.as_map().size(), 1u);
  KesuValue m3 = m;
  KesuMap taken = m3.take_map();  // shared: copied out
  EXPECT_EQ(taken.size(), 1u);
  EXPECT_EQ(m.as_map().size(), 1u);
  EXPECT_TRUE(m3.is_null());
}

TEST(KesuValue, DefaultsDebugAndJson) {
  EXPECT_EQ(*default_value(K::Tree), KesuValue::list({}));
  EXPECT_EQ(*default_value(K::Counter), KesuValue(0.0));
  EXPECT_EQ(*default_value(K::Text), KesuValue::string(""));
  EXPECT_EQ(*default_value(K::Map), KesuValue::map({}));
  EXPECT_FALSE(default_value(ContainerType::unknown(9)).has_value());

  EXPECT_EQ(KesuValue::list({1, nullptr}).debug(), "List(KesuListValue([I64(1), Null]))");
  EXPECT_EQ(KesuValue::string("a").debug(), "String(KesuStringValue(\"a\"))");
  EXPECT_EQ(KesuValue(1.0).debug(), "Double(1.0)");

  std::string out;
  write_json_escaped_str(out, "\t\x1F\xC3\xA9/\x7F\"\\\b\f\r\n");
  EXPECT_EQ(out, "\"\\t\\u001f\xC3\xA9/\x7F\\\"\\\\\\b\\f\\r\\n\"");
}

TEST(KesuValue, HashIgnoresInsertionOrderAndNanBits) {
  KesuMap a, b;
  for (int i = 0; i < 50; ++i) a.emplace(std::string("k").append(std::to_string(i)), KesuValue(i));
  for (int i = 49; i >= 0; --i) b.emplace(std::string("k").append(std::to_string(i)), KesuValue(i));
  EXPECT_EQ(hash_value(KesuValue::map(a)), hash_value(KesuValue::map(b)));
  EXPECT_NE(hash_value(KesuValue::list({1, 2})), hash_value(KesuValue::list({2, 1})));
  EXPECT_NE(hash_value(KesuValue(int64_t(1))), hash_value(KesuValue(1.0)));
}

// Values decoded from peers can nest as deep as the input allows: copying,
// comparing, hashing and freeing them must not use the call stack per level.
TEST(KesuValue, DeepNestingIsHandledWithoutRecursion) {
  const int depth = 200000;
  KesuValue v = KesuValue::list({});
  KesuValue w = KesuValue::list({});
  for (int i = 0; i < depth; ++i) {
    v = KesuValue::list({std::move(v)});
    w = KesuValue::list({std::move(w)});
  }
  EXPECT_EQ(v, w);
  EXPECT_EQ(hash_value(v), hash_value(w));
  KesuValue copy = v;
  v = KesuValue();
  w = KesuValue();
  copy = KesuValue();  // frees 200000 nested blocks
  SUCCEED();
}

// The map keeps one entry per key in insertion order, scanning while small
// and through its hash index once larger; a model of (key, value) pairs in
// insertion order checks every lookup, replacement and erase across that
// boundary and back.
TEST(KesuMap, MatchesAnInsertionOrderedModel) {
  uint64_t s = 12345;
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  KesuMap m;
  std::vector<std::pair<std::string, int64_t>> model;
  auto model_find = [&](const std::string& k) {
    return std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == k; });
  };
  for (int step = 0; step < 6000; ++step) {
    // Few keys early on, many later, then few again as erases win.
    uint64_t span = step < 2000 ? 12 : step < 4000 ? 80 : 30;
    std::string key = "key" + std::to_string(next() % span);
    int64_t val = int64_t(next() % 1000);
    auto it = model_find(key);
    switch (next() % (step < 4000 ? 5 : 8)) {
      case 0: {
        auto [pos, fresh] = m.insert_or_assign(key, KesuValue(val));
        EXPECT_EQ(fresh, it == model.end());
        EXPECT_EQ(pos->first, key);
        if (it == model.end())
          model.emplace_back(key, val);
        else
          it->second = val;
        break;
      }
      case 1: {
        auto [pos, fresh] = m.emplace(key, KesuValue(val));
        EXPECT_EQ(fresh, it == model.end());
        EXPECT_EQ(pos->second, KesuValue(fresh ? val : it->second));
        if (it == model.end()) model.emplace_back(key, val);
        break;
      }
      case 2:
        m[key] = KesuValue(val);
        if (it == model.end())
          model.emplace_back(key, val);
        else
          it->second = val;
        break;
      case 3: {
        auto found = m.find(key);
        ASSERT_EQ(found == m.end(), it == model.end()) << key;
        if (it != model.end()) {
          EXPECT_EQ(found->second, KesuValue(it->second));
        }
        break;
      }
      default:
        if (next() % 2 == 0) {
          EXPECT_EQ(m.erase(key), it == model.end() ? 0u : 1u);
        } else if (m.find(key) != m.end()) {
          m.erase(m.find(key));
        }
        if (it != model.end()) model.erase(it);
        break;
    }
    ASSERT_EQ(m.size(), model.size()) << "step " << step;
    if (step % 97 == 0) {
      size_t i = 0;
      for (const auto& [k, v] : m) {
        EXPECT_EQ(k, model[i].first);
        EXPECT_EQ(v, KesuValue(model[i].second));
        ++i;
      }
      for (const auto& [k, v] : model) EXPECT_TRUE(m.contains(k)) << k;
    }
  }
}

// Decoders give list and map blocks room for their known count in the same
// allocation. Such a block must still grow past that room, be copied before
// an edit when shared, and hand its elements out when taken, without
// touching the room after the block is gone (the sanitizers check that).
TEST(KesuValue, BlocksWithRoomGrowCopyAndHandOut) {
  KesuValue list = KesuValue::list_with_room(2);
  for (int i = 0; i < 2; ++i)
    list.list_mut().push_back(KesuValue::string(std::string(40, 'a' + i)));
  const KesuValue* room = &list.as_list()[0];
  list.list_mut().push_back(KesuValue(3));  // past the room: moves to a buffer of its own
  EXPECT_NE(&list.as_list()[0], room);
  EXPECT_EQ(list, KesuValue::list({KesuValue::string(std::string(40, 'a')),
                                   KesuValue::string(std::string(40, 'b')), KesuValue(3)}));

  KesuValue map = KesuValue::map_with_room(3);
  for (int i = 0; i < 3; ++i) map.map_mut()["k" + std::to_string(i)] = KesuValue(i);
  KesuValue shared = map;
  shared.map_mut()["k0"] = KesuValue(100);  // copies first
  EXPECT_EQ(map.as_map().at("k0"), KesuValue(0));
  EXPECT_EQ(shared.as_map().at("k0"), KesuValue(100));

  KesuMap taken = map.take_map();  // sole owner: elements move out of the room
  EXPECT_TRUE(map.is_null());
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken.at("k2"), KesuValue(2));
  KesuList items = KesuValue(list).take_list();  // shared: copied out
  items.insert(items.begin(), KesuValue(true));
  items.erase(items.begin() + 1);
  EXPECT_EQ(KesuValue::list(std::move(items)),
            KesuValue::list({true, KesuValue::string(std::string(40, 'b')), 3}));
  EXPECT_THROW((void)list.as_map(), InternalError);
}

TEST(KesuInternalString, FormsOrderAndTable) {
  InternalString empty(""), seven("1234567"), eight("12345678");
  EXPECT_TRUE(empty.is_inline());
  EXPECT_TRUE(seven.is_inline());
  EXPECT_FALSE(eight.is_inline());
  InternalString again("12345678");
  EXPECT_TRUE(again.same_entry(eight));
  EXPECT_EQ(again, eight);

  const std::string unique = "a text used only by this test";
  size_t before = InternalString::table_size();
  {
    InternalString s(unique);
    InternalString t = s;
    EXPECT_EQ(InternalString::table_size(), before + 1);
  }
  // The last outside handle removed the entry.
  EXPECT_EQ(InternalString::table_size(), before);

  EXPECT_LT(InternalString("ab"), InternalString("abc"));
  EXPECT_LT(InternalString("abc"), InternalString("abd"));
  EXPECT_LT(InternalString("abc"), InternalString("b"));
  EXPECT_LT(InternalString("abcdefgh"), InternalString("abcdefghi"));
  EXPECT_EQ(InternalString("a\"b").debug(), "InternalString(\"a\\\"b\")");
  EXPECT_EQ(std::hash<InternalString>()(InternalString("12345678")),
            std::hash<InternalString>()(InternalString(std::string("1234") + "5678")));
}

TEST(KesuErrors, MessagesOfTheInterface) {
  struct Case {
    KesuError e;
    std::string msg;
  };
  const Case cases[] = {
      {KesuError::with_id(KesuErrorKind::FrontiersNotFound, {7, 3}),
       "The given ID (3@7) is not contained by the doc"},
      {KesuError::with_id(KesuErrorKind::UsedOpID, {7, 3}),
       "Every op id should be unique. ID 3@7 has been used. You should use a new PeerID to edit "
       "the content. "},
      {KesuError::out_of_bound(5, 3, ""),
       "Index out of bound. The given pos is 5, but the length is 3. "},
      {KesuError::concurrent_ops_with_same_peer(UINT64_MAX, 4, 2),
       "Concurrent ops with the same peer id is not allowed. PeerID: 18446744073709551615, "
       "LastCounter: 4, CurrentCounter: 2"},
      {KesuError::unmatched_context(1, 2),
       "Context's client_id(2) does not match Container's client_id(1)"},
      {KesuError::style_config_missing(InternalString("bold")),
       "Style configuration missing for \"(InternalString(\"bold\"))\". Please provide the style "
       "configuration using `configTextStyle` on your Kesu doc."},
      {KesuError::of(KesuErrorKind::InvalidRootContainerName),
       "Invalid root container name! Don't include '/' or '\\0'"},
      {KesuError::tree(KesuTreeError::node_not_exist({1, 2})),
       "Movable Tree Error: TreeID TreeID { peer: 1, counter: 2 } doesn't exist"},
      {KesuError::tree(KesuTreeError::index_out_of_bound(3, 9)),
       "Movable Tree Error: The index(9) should be <= the length of children (3)"},
      {KesuError::incompatible_future_encoding(3),
       "Decode error: Encoding version \"3\" is incompatible. Kesu's encoding is backward "
       "compatible but not forward compatible. Please upgrade the version of Kesu to support this "
       "version of the exported data."},
      {KesuError::container_deleted(ContainerID::normal(345, 12, K::Map)),
       "The container cid:12@345:Map is deleted. You cannot apply the op on a deleted container."},
      {KesuError::containers_not_found({ContainerID::root("a", K::Text)}),
       "The containers [Root(\"a\" Text)] are not found in the doc"},
      {KesuError::undo_with_different_peer(1, 2),
       "PeerID cannot be changed. Expected: 1, Actual: 2"},
      {KesuError::decode("x"), "Decode error: (x)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.e.message(), c.msg);
}

TEST(KesuErrors, Conversions) {
  struct Case {
    KesuError e;
    std::string msg;
  };
  const Case cases[] = {
      {KesuError::with_id(KesuErrorKind::FrontiersNotFound, {7, 3}),
       "The frontiers are not found in this doc: 3@7"},
      {KesuError::with_text(KesuErrorKind::NotFoundError, "v"),
       "The frontiers are not found in this doc: v"},
      {KesuError::unknown("boom"), "Export failed: boom"},
      {KesuError::of(KesuErrorKind::DecodeChecksumMismatchError),
       "Export failed: Decode error: Checksum mismatch. The data is corrupted."},
  };
  for (const auto& c : cases) EXPECT_EQ(KesuEncodeError::from(c.e).message(), c.msg);

  auto rle = KesuError::from_columnar(ColumnarError::rle_decode("Invalid count"));
  EXPECT_EQ(rle.kind(), KesuErrorKind::DecodeError);
  EXPECT_EQ(rle.message(),
            "Decode error: (Failed to decode Columnar: `Invalid count` during rle decoding)");
  auto serde = KesuError::from_columnar(ColumnarError::serialize(SerdeErrorKind::UnexpectedEnd));
  EXPECT_EQ(serde.kind(), KesuErrorKind::Unknown);

  std::string located = located_message("oops");
  EXPECT_EQ(located.find('\n'), std::string::npos);
  EXPECT_EQ(located.rfind("oops at ", 0), 0u);
  EXPECT_NE(located.find("common_value_test.cpp:"), std::string::npos);
}

}  // namespace
}  // namespace kesu
