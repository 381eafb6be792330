#include "kesu/common/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kesu {

namespace {
bool is_nested(const KesuValue& v) {
  return v.type() == ValueType::List || v.type() == ValueType::Map;
}
}  // namespace

// Releases nested lists and maps with an explicit stack: a block owned by the
// value alone gives its nested children to the stack before it is freed, so
// freeing never goes deeper than one level. A block that is still shared
// elsewhere just loses this reference; its content stays as it is.
void KesuListValue::drain(std::vector<KesuValue>& pending) {
  while (!pending.empty()) {
    KesuValue v = std::move(pending.back());
    pending.pop_back();
    if (auto* l = std::get_if<std::shared_ptr<KesuListValue>>(&v.v_)) {
      if (l->use_count() != 1) continue;
      for (auto& c : (*l)->items)
        if (is_nested(c)) pending.push_back(std::move(c));
      (*l)->items.clear();  // so that the block's own destructor finds nothing
    } else if (auto* m = std::get_if<std::shared_ptr<KesuMapValue>>(&v.v_)) {
      if (m->use_count() != 1) continue;
      for (auto& [k, c] : (*m)->entries)
        if (is_nested(c)) pending.push_back(std::move(c));
      (*m)->entries.clear();
    }
  }
}

// Each nested element is released before the next one is looked at, so the
// pending stack holds one element's descendants at a time rather than every
// element of a long list at once.
KesuListValue::~KesuListValue() {
  std::vector<KesuValue> pending;
  for (auto& v : items) {
    if (!is_nested(v)) continue;
    pending.push_back(std::move(v));
    KesuListValue::drain(pending);
  }
}

KesuMapValue::~KesuMapValue() {
  std::vector<KesuValue> pending;
  for (auto& [k, v] : entries) {
    if (!is_nested(v)) continue;
    pending.push_back(std::move(v));
    KesuListValue::drain(pending);
  }
}

KesuValue KesuValue::binary(Bytes b) {
  KesuValue v;
  v.v_ = std::make_shared<KesuBinaryValue>(KesuBinaryValue{std::move(b)});
  return v;
}
KesuValue KesuValue::string(std::string s) {
  KesuValue v;
  v.v_ = std::make_shared<KesuStringValue>(KesuStringValue{std::move(s)});
  return v;
}
KesuValue KesuValue::list(KesuList items) {
  KesuValue v;
  auto b = std::make_shared<KesuListValue>();
  b->items = std::move(items);
  v.v_ = std::move(b);
  return v;
}
KesuValue KesuValue::map(KesuMap entries) {
  KesuValue v;
  auto b = std::make_shared<KesuMapValue>();
  b->entries = std::move(entries);
  v.v_ = std::move(b);
  return v;
}
KesuValue KesuValue::map_from_pairs(std::vector<std::pair<std::string, KesuValue>> pairs) {
  KesuMap m;
  for (auto& [k, v] : pairs) m.insert_or_assign(std::move(k), std::move(v));
  return map(std::move(m));
}

KesuList& KesuValue::list_mut() {
  auto& p = std::get<std::shared_ptr<KesuListValue>>(v_);
  if (p.use_count() != 1) {
    auto copy = std::make_shared<KesuListValue>();
    copy->items = p->items;
    p = std::move(copy);
  }
  return p->items;
}
KesuMap& KesuValue::map_mut() {
  auto& p = std::get<std::shared_ptr<KesuMapValue>>(v_);
  if (p.use_count() != 1) {
    auto copy = std::make_shared<KesuMapValue>();
    copy->entries = p->entries;
    p = std::move(copy);
  }
  return p->entries;
}

KesuList KesuValue::take_list() {
  auto p = std::get<std::shared_ptr<KesuListValue>>(std::move(v_));
  v_ = std::monostate();
  if (p.use_count() == 1) return std::move(p->items);
  return p->items;
}
KesuMap KesuValue::take_map() {
  auto p = std::get<std::shared_ptr<KesuMapValue>>(std::move(v_));
  v_ = std::monostate();
  if (p.use_count() == 1) return std::move(p->entries);
  return p->entries;
}
std::string KesuValue::take_string() {
  auto p = std::get<std::shared_ptr<KesuStringValue>>(std::move(v_));
  v_ = std::monostate();
  if (p.use_count() == 1) return std::move(p->text);
  return p->text;
}
Bytes KesuValue::take_binary() {
  auto p = std::get<std::shared_ptr<KesuBinaryValue>>(std::move(v_));
  v_ = std::monostate();
  if (p.use_count() == 1) return std::move(p->bytes);
  return p->bytes;
}

bool KesuValue::same_block(const KesuValue& o) const {
  if (v_.index() != o.v_.index()) return false;
  return std::visit(
      [&](const auto& a) -> bool {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, std::shared_ptr<KesuBinaryValue>> ||
                      std::is_same_v<A, std::shared_ptr<KesuStringValue>> ||
                      std::is_same_v<A, std::shared_ptr<KesuListValue>> ||
                      std::is_same_v<A, std::shared_ptr<KesuMapValue>>)
          return a.get() == std::get<A>(o.v_).get();
        else
          return false;
      },
      v_);
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
      case ValueType::Binary:
        if (a->as_binary() != b->as_binary()) return false;
        break;
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
        std::vector<const std::pair<const std::string, KesuValue>*> entries;
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
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
}

}  // namespace kesu
