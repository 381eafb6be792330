#include "kesu/common/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kesu/common/block_pool.h"
#include "kesu/common/internal_error.h"
#include "util/json_writer.h"

namespace kesu {

namespace {
bool is_nested(const KesuValue& v) {
  return v.type() == ValueType::List || v.type() == ValueType::Map;
}
}  // namespace

namespace {

// A string or byte string block: the header, then the bytes.
template <typename B>
B* new_bytes_block(const void* data, size_t n) {
  uint32_t cls;
  void* mem = block_pool::acquire(sizeof(B) + n, &cls);
  B* b = new (mem) B();
  b->pool_class = cls;
  b->size = n;
  if (n) std::memcpy(static_cast<unsigned char*>(mem) + sizeof(B), data, n);
  return b;
}

}  // namespace

KesuValue::KesuValue(ContainerID id) : type_(ValueType::Container) {
  uint32_t cls;
  void* mem = block_pool::acquire(sizeof(KesuContainerValue), &cls);
  auto* b = new (mem) KesuContainerValue(std::move(id));
  b->pool_class = cls;
  u_.p = b;
  heap_ = true;
}

void KesuValue::wrong_type(ValueType wanted) const {
  throw InternalError("KesuValue of type " + std::to_string(int(type_)) + " read as type " +
                      std::to_string(int(wanted)));
}

namespace {

// A list or map block being taken apart: its elements before `next` hold no
// list or map any more.
struct Dying {
  KesuBlock* block;
  ValueType type;
  size_t next;
};

// The frames of one release: a few in place, the rest on the heap.
class DyingStack {
 public:
  bool empty() const { return size_ == 0; }
  Dying& back() { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }
  void push(Dying d) {
    if (size_ < kInline)
      inline_[size_] = d;
    else
      spill_.push_back(d);
    ++size_;
  }
  void pop() {
    if (size_ > kInline) spill_.pop_back();
    --size_;
  }

 private:
  static constexpr size_t kInline = 16;
  Dying inline_[kInline];
  std::vector<Dying> spill_;
  size_t size_ = 0;
};

// How many elements ahead a release starts loading their blocks: blocks of
// one list lie apart in memory, and waiting for each in turn would bound the
// release by memory latency.
constexpr size_t kReleaseAhead = 4;

// Starts loading a list or map element's block with its first elements.
inline void prefetch_block(const KesuValue& v) {
  if (is_nested(v)) {
    const char* p = reinterpret_cast<const char*>(v.block_address());
    for (int line = 0; line < 5; ++line) __builtin_prefetch(p + 64 * line, 1);
  }
}

// Starts loading the blocks of a block's first elements, which the release
// is about to visit.
void prefetch_children(KesuBlock* b, ValueType t) {
  if (t == ValueType::List) {
    const KesuList& items = static_cast<KesuListValue*>(b)->items;
    for (size_t i = 0; i < items.size() && i <= kReleaseAhead; ++i) prefetch_block(items[i]);
  } else {
    const KesuMap& entries = static_cast<KesuMapValue*>(b)->entries;
    size_t i = 0;
    for (auto it = entries.begin(); it != entries.end() && i <= kReleaseAhead; ++it, ++i)
      prefetch_block(it->second);
  }
}

template <typename T>
void destroy_and_free(KesuBlock* b) {
  uint32_t cls = b->pool_class;
  static_cast<T*>(b)->~T();
  block_pool::release(static_cast<void*>(b), cls);
}

}  // namespace

// Every block is one allocation from the block pool: its header, then its
// bytes or the room for its first elements.
void KesuValue::release_block() {
  switch (type_) {
    case ValueType::Binary:
      destroy_and_free<KesuBinaryValue>(u_.p);
      return;
    case ValueType::String:
      destroy_and_free<KesuStringValue>(u_.p);
      return;
    case ValueType::List:
    case ValueType::Map:
      release_tree(u_.p, type_);
      return;
    case ValueType::Container:
      destroy_and_free<KesuContainerValue>(u_.p);
      return;
    case ValueType::Null:
    case ValueType::Bool:
    case ValueType::Double:
    case ValueType::I64:
      return;
  }
}

// Takes apart a list or map block whose last reference was dropped, depth
// first with an explicit stack (values from peers nest as deep as their
// input allows): each nested list or map element loses its reference here,
// and is taken apart in turn when that was the last one; a block still
// shared elsewhere keeps its content. A block is freed once no element of it
// holds a list or map, so its own destructor never goes deeper.
void KesuValue::release_tree(KesuBlock* root, ValueType root_type) {
  DyingStack stack;
  prefetch_children(root, root_type);
  stack.push({root, root_type, 0});
  while (!stack.empty()) {
    Dying& d = stack.back();
    KesuValue* child = nullptr;
    if (d.type == ValueType::List) {
      KesuList& items = static_cast<KesuListValue*>(d.block)->items;
      while (d.next < items.size()) {
        if (d.next + kReleaseAhead < items.size()) prefetch_block(items[d.next + kReleaseAhead]);
        KesuValue& c = items[d.next++];
        if (is_nested(c)) {
          child = &c;
          break;
        }
      }
    } else {
      KesuMap& entries = static_cast<KesuMapValue*>(d.block)->entries;
      while (d.next < entries.size()) {
        auto* e = entries.begin() + d.next;
        if (d.next + kReleaseAhead < entries.size()) prefetch_block(e[kReleaseAhead].second);
        ++d.next;
        if (is_nested(e->second)) {
          child = &e->second;
          break;
        }
      }
    }
    if (!child) {
      if (d.type == ValueType::List)
        destroy_and_free<KesuListValue>(d.block);
      else
        destroy_and_free<KesuMapValue>(d.block);
      stack.pop();
      continue;
    }
    // The element's reference now belongs to this release.
    KesuBlock* b = child->u_.p;
    ValueType t = child->type_;
    child->type_ = ValueType::Null;
    child->heap_ = false;
    if (b->refs.load(std::memory_order_acquire) == 1 ||
        b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      prefetch_children(b, t);
      stack.push({b, t, 0});
    }
  }
}

// A text or byte string: inside the value up to kInlineBytes, else one block.
template <typename B>
KesuValue KesuValue::with_bytes(ValueType type, const void* data, size_t n) {
  KesuValue v;
  v.type_ = type;
  if (n <= kInlineBytes) {
    if (n) std::memcpy(v.inline_data(), data, n);
    v.small_ = uint8_t(n);
    return v;
  }
  v.u_.p = new_bytes_block<B>(data, n);
  v.heap_ = true;
  return v;
}
KesuValue KesuValue::binary_of(ByteView b) {
  return with_bytes<KesuBinaryValue>(ValueType::Binary, b.data(), b.size());
}
KesuValue KesuValue::string(std::string_view s) {
  return with_bytes<KesuStringValue>(ValueType::String, s.data(), s.size());
}
// The room for elements follows the block header directly.
static_assert(sizeof(KesuListValue) % alignof(KesuValue) == 0);
static_assert(sizeof(KesuMapValue) % alignof(KesuMap::value_type) == 0);
static_assert(alignof(KesuListValue) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

KesuValue KesuValue::list_with_room(size_t room) {
  uint32_t cls;
  void* mem = block_pool::acquire(sizeof(KesuListValue) + room * sizeof(KesuValue), &cls);
  auto* b = new (mem) KesuListValue();
  b->pool_class = cls;
  if (room) b->items.start_on(reinterpret_cast<KesuValue*>(b + 1), room);
  KesuValue v;
  v.u_.p = b;
  v.type_ = ValueType::List;
  v.heap_ = true;
  return v;
}
KesuValue KesuValue::map_with_room(size_t room) {
  uint32_t cls;
  void* mem = block_pool::acquire(sizeof(KesuMapValue) + room * sizeof(KesuMap::value_type), &cls);
  auto* b = new (mem) KesuMapValue();
  b->pool_class = cls;
  if (room) b->entries.start_on(reinterpret_cast<KesuMap::value_type*>(b + 1), room);
  KesuValue v;
  v.u_.p = b;
  v.type_ = ValueType::Map;
  v.heap_ = true;
  return v;
}
// The elements move into the block's own room: a walk over the value then
// finds them next to the block instead of one more pointer away.
KesuValue KesuValue::list(KesuList items) {
  KesuValue v = list_with_room(items.size());
  KesuList& dst = static_cast<KesuListValue*>(v.u_.p)->items;
  for (auto& x : items) dst.push_back(std::move(x));
  return v;
}
KesuValue KesuValue::map(KesuMap entries) {
  KesuValue v = map_with_room(entries.size());
  static_cast<KesuMapValue*>(v.u_.p)->entries = std::move(entries);
  return v;
}
KesuValue KesuValue::map_from_pairs(std::vector<std::pair<std::string, KesuValue>> pairs) {
  KesuMap m;
  m.reserve(pairs.size());
  for (auto& [k, v] : pairs) m.insert_or_assign(std::move(k), std::move(v));
  return map(std::move(m));
}

KesuList& KesuValue::list_mut() {
  expect(ValueType::List);
  auto* b = static_cast<KesuListValue*>(u_.p);
  if (!b->unique()) *this = KesuValue::list(b->items);
  return static_cast<KesuListValue*>(u_.p)->items;
}
KesuMap& KesuValue::map_mut() {
  expect(ValueType::Map);
  auto* b = static_cast<KesuMapValue*>(u_.p);
  if (!b->unique()) *this = KesuValue::map(b->entries);
  return static_cast<KesuMapValue*>(u_.p)->entries;
}

KesuList KesuValue::take_list() {
  expect(ValueType::List);
  auto* b = static_cast<KesuListValue*>(u_.p);
  KesuList out = b->unique() ? std::move(b->items) : b->items;
  reset();
  return out;
}
KesuMap KesuValue::take_map() {
  expect(ValueType::Map);
  auto* b = static_cast<KesuMapValue*>(u_.p);
  KesuMap out = b->unique() ? std::move(b->entries) : b->entries;
  reset();
  return out;
}
// The bytes live inside the block, so they are copied out either way.
std::string KesuValue::take_string() {
  std::string out(as_string());
  reset();
  return out;
}
Bytes KesuValue::take_binary() {
  ByteView b = as_binary();
  Bytes out(b.begin(), b.end());
  reset();
  return out;
}

// ---- KesuMap ----------------------------------------------------------------

KesuMap::KesuMap(std::initializer_list<value_type> init) {
  entries_.reserve(init.size());
  for (const auto& [k, v] : init) insert_or_assign(k, v);
}

namespace {
// Keys of one map often share their length; the first byte settles most
// comparisons without a call.
inline bool same_key(const std::string& a, std::string_view b) {
  return a.size() == b.size() &&
         (b.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), b.size()) == 0));
}
}  // namespace

size_t KesuMap::position(std::string_view key) const {
  if (index_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i)
      if (same_key(entries_[i].first, key)) return i;
    return entries_.size();
  }
  size_t mask = index_.size() - 1;
  for (size_t h = std::hash<std::string_view>()(key) & mask;; h = (h + 1) & mask) {
    uint32_t e = index_[h];
    if (e == 0) return entries_.size();
    if (same_key(entries_[e - 1].first, key)) return e - 1;
  }
}

void KesuMap::index_insert(size_t pos) {
  size_t mask = index_.size() - 1;
  size_t h = std::hash<std::string_view>()(entries_[pos].first) & mask;
  while (index_[h] != 0) h = (h + 1) & mask;
  index_[h] = uint32_t(pos + 1);
}

void KesuMap::rebuild_index() {
  size_t cap = 16;
  while (cap < entries_.size() * 4) cap *= 2;
  index_.assign(cap);
  for (size_t i = 0; i < entries_.size(); ++i) index_insert(i);
}

void KesuMap::appended() {
  if (entries_.size() > kScanLimit) {
    // Keep the index at most half full.
    if (entries_.size() * 2 > index_.size())
      rebuild_index();
    else
      index_insert(entries_.size() - 1);
  }
}

KesuMap::iterator KesuMap::append(std::string key, KesuValue v) {
  entries_.emplace_back(std::move(key), std::move(v));
  appended();
  return entries_.end() - 1;
}

KesuMap::iterator KesuMap::append_null(std::string_view key) {
  entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                        std::forward_as_tuple());
  appended();
  return entries_.end() - 1;
}

KesuValue& KesuMap::operator[](std::string_view key) {
  size_t pos = position(key);
  if (pos != entries_.size()) return entries_[pos].second;
  return append_null(key)->second;
}

std::pair<KesuMap::iterator, bool> KesuMap::insert_or_assign(std::string key, KesuValue v) {
  size_t pos = position(key);
  if (pos != entries_.size()) {
    entries_[pos].second = std::move(v);
    return {entries_.begin() + pos, false};
  }
  return {append(std::move(key), std::move(v)), true};
}

void KesuMap::put(std::string_view key, KesuValue v) {
  size_t pos = position(key);
  if (pos != entries_.size())
    entries_[pos].second = std::move(v);
  else
    append(std::string(key), std::move(v));
}

std::pair<KesuMap::iterator, bool> KesuMap::emplace(std::string key, KesuValue v) {
  size_t pos = position(key);
  if (pos != entries_.size()) return {entries_.begin() + pos, false};
  return {append(std::move(key), std::move(v)), true};
}

KesuMap::iterator KesuMap::erase(const_iterator it) {
  size_t pos = size_t(it - entries_.cbegin());
  entries_.erase(it);
  // Positions after the erased entry moved down by one.
  if (entries_.size() <= kScanLimit)
    index_.clear();
  else
    rebuild_index();
  return entries_.begin() + pos;
}

size_t KesuMap::erase(std::string_view key) {
  size_t pos = position(key);
  if (pos == entries_.size()) return 0;
  erase(entries_.cbegin() + pos);
  return 1;
}

bool KesuValue::operator==(const KesuValue& other) const {
  std::vector<std::pair<const KesuValue*, const KesuValue*>> stack{{this, &other}};
  while (!stack.empty()) {
    auto [a, b] = stack.back();
    stack.pop_back();
    if (a->type() != b->type()) return false;
    if (a->same_block(*b)) continue;
    switch (a->type()) {
      case ValueType::Null:
        break;
      case ValueType::Bool:
        if (a->as_bool() != b->as_bool()) return false;
        break;
      case ValueType::Double: {
        double x = a->as_double(), y = b->as_double();
        if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
        break;
      }
      case ValueType::I64:
        if (a->as_i64() != b->as_i64()) return false;
        break;
      case ValueType::Binary: {
        ByteView x = a->as_binary(), y = b->as_binary();
        if (x.size() != y.size() || (!x.empty() && std::memcmp(x.data(), y.data(), x.size()) != 0))
          return false;
        break;
      }
      case ValueType::String:
        if (a->as_string() != b->as_string()) return false;
        break;
      case ValueType::List: {
        const auto &la = a->as_list(), &lb = b->as_list();
        if (la.size() != lb.size()) return false;
        for (size_t i = 0; i < la.size(); ++i) stack.push_back({&la[i], &lb[i]});
        break;
      }
      case ValueType::Map: {
        const auto &ma = a->as_map(), &mb = b->as_map();
        if (ma.size() != mb.size()) return false;
        for (const auto& [k, v] : ma) {
          auto it = mb.find(k);
          if (it == mb.end()) return false;
          stack.push_back({&v, &it->second});
        }
        break;
      }
      case ValueType::Container:
        if (!(a->as_container() == b->as_container())) return false;
        break;
    }
  }
  return true;
}

namespace {

constexpr size_t kDebugDepth = 64;

std::string double_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  std::string s = buf;
  if (s.find_first_of(".eE") == std::string::npos) s += ".0";
  return s;
}

void debug_into(std::string& out, const KesuValue& v, size_t depth) {
  if (depth > kDebugDepth) {
    out += "...";
    return;
  }
  switch (v.type()) {
    case ValueType::Null:
      out += "Null";
      return;
    case ValueType::Bool:
      out += v.as_bool() ? "Bool(true)" : "Bool(false)";
      return;
    case ValueType::Double:
      out += "Double(" + double_text(v.as_double()) + ")";
      return;
    case ValueType::I64:
      out += "I64(" + std::to_string(v.as_i64()) + ")";
      return;
    case ValueType::Binary: {
      out += "Binary(KesuBinaryValue([";
      bool first = true;
      for (uint8_t b : v.as_binary()) {
        if (!first) out += ", ";
        first = false;
        out += std::to_string(b);
      }
      out += "]))";
      return;
    }
    case ValueType::String:
      out += "String(KesuStringValue(" + debug_quote(v.as_string()) + "))";
      return;
    case ValueType::List: {
      out += "List(KesuListValue([";
      bool first = true;
      for (const auto& e : v.as_list()) {
        if (!first) out += ", ";
        first = false;
        debug_into(out, e, depth + 1);
      }
      out += "]))";
      return;
    }
    case ValueType::Map: {
      out += "Map(KesuMapValue({";
      bool first = true;
      for (const auto& [k, e] : v.as_map()) {
        if (!first) out += ", ";
        first = false;
        out += debug_quote(k) + ": ";
        debug_into(out, e, depth + 1);
      }
      out += "}))";
      return;
    }
    case ValueType::Container:
      out += "Container(" + v.as_container().debug() + ")";
      return;
  }
}

struct Hasher {
  uint64_t h = 0xcbf29ce484222325ULL;
  void byte(uint8_t b) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) byte(uint8_t(v >> (8 * i)));
  }
  void bytes(std::string_view s) {
    u64(s.size());
    for (unsigned char c : s) byte(c);
  }
};

}  // namespace

std::string KesuValue::debug() const {
  std::string out;
  debug_into(out, *this, 0);
  return out;
}

size_t hash_value(const KesuValue& root) {
  Hasher h;
  // A task is either a value to hash or a key (the value pointer is null).
  struct Task {
    const KesuValue* v;
    const std::string* key;
  };
  std::vector<Task> stack{{&root, nullptr}};
  while (!stack.empty()) {
    Task t = stack.back();
    stack.pop_back();
    if (!t.v) {
      h.bytes(*t.key);
      continue;
    }
    const KesuValue& v = *t.v;
    h.byte(uint8_t(v.type()));
    switch (v.type()) {
      case ValueType::Null:
        break;
      case ValueType::Bool:
        h.byte(v.as_bool());
        break;
      case ValueType::I64:
        h.u64(uint64_t(v.as_i64()));
        break;
      case ValueType::Double: {
        double d = v.as_double();
        uint64_t bits;
        if (std::isnan(d))
          bits = 0x7FF8000000000000ULL;
        else if (d == 0.0)
          bits = 0;
        else
          std::memcpy(&bits, &d, 8);
        h.u64(bits);
        break;
      }
      case ValueType::String:
        h.bytes(v.as_string());
        break;
      case ValueType::Binary:
        h.bytes(brenvik::as_chars(v.as_binary()));
        break;
      case ValueType::List: {
        const auto& l = v.as_list();
        h.u64(l.size());
        for (size_t i = l.size(); i-- > 0;) stack.push_back({&l[i], nullptr});
        break;
      }
      case ValueType::Map: {
        const auto& m = v.as_map();
        h.u64(m.size());
        std::vector<const KesuMap::value_type*> entries;
        entries.reserve(m.size());
        for (const auto& e : m) entries.push_back(&e);
        std::sort(entries.begin(), entries.end(),
                  [](auto* a, auto* b) { return a->first < b->first; });
        for (size_t i = entries.size(); i-- > 0;) {
          stack.push_back({&entries[i]->second, nullptr});
          stack.push_back({nullptr, &entries[i]->first});
        }
        break;
      }
      case ValueType::Container:
        h.u64(std::hash<ContainerID>()(v.as_container()));
        break;
    }
  }
  return size_t(h.h);
}

std::optional<KesuValue> default_value(ContainerType t) {
  switch (t.kind()) {
    case ContainerType::Kind::Text:
      return KesuValue::string("");
    case ContainerType::Kind::Map:
      return KesuValue::map({});
    case ContainerType::Kind::List:
    case ContainerType::Kind::MovableList:
    case ContainerType::Kind::Tree:
      return KesuValue::list({});
    case ContainerType::Kind::Counter:
      return KesuValue(0.0);
    case ContainerType::Kind::Unknown:
      return std::nullopt;
  }
  return std::nullopt;
}

KesuValue resolve_mergeable_value(const ContainerID& parent, std::string_view key,
                                  KesuValue value) {
  if (value.type() != ValueType::Binary) return value;
  auto t = parse_mergeable_marker(parent, key, value.as_binary());
  if (!t) return value;
  return KesuValue(ContainerID::new_mergeable_child_id(parent, key, *t));
}

void write_json_escaped_str(std::string& out, std::string_view s) {
  brenvik::json_append_string(out, s);
}

}  // namespace kesu
