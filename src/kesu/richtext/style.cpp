#include "kesu/richtext/style.h"

#include <algorithm>

namespace kesu {

std::string TextStyleInfo::debug() const {
  std::string bin;
  uint8_t d = data;
  if (d == 0) bin = "0";
  while (d) {
    bin.insert(bin.begin(), char('0' + (d & 1)));
    d >>= 1;
  }
  return "TextStyleInfo { data: 0b" + bin +
         ", expand_before: " + (expand_before() ? "true" : "false") +
         ", expand_after: " + (expand_after() ? "true" : "false") + " }";
}

std::string StyleOp::debug() const {
  return "StyleOp { lamport: " + std::to_string(lamport) + ", peer: " + std::to_string(peer) +
         ", cnt: " + std::to_string(cnt) + ", key: " + key.debug() + ", value: " + value.debug() +
         ", info: " + info.debug() + " }";
}

std::vector<Styles::Entry>::iterator Styles::find(const InternalString& key) {
  return std::find_if(entries_.begin(), entries_.end(),
                      [&](const Entry& e) { return e.first == key; });
}
std::vector<Styles::Entry>::const_iterator Styles::find(const InternalString& key) const {
  return std::find_if(entries_.begin(), entries_.end(),
                      [&](const Entry& e) { return e.first == key; });
}

const Styles::Set* Styles::get(const InternalString& key) const {
  auto it = find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

namespace {
auto lower(const Styles::Set& s, const StyleOp& op) {
  return std::lower_bound(s.begin(), s.end(), op, [](const StyleOpHandle& h, const StyleOp& o) {
    return style_op_less(*h, o);
  });
}
bool same_place(const StyleOp& a, const StyleOp& b) {
  return a.lamport == b.lamport && a.peer == b.peer;
}
}  // namespace

bool Styles::insert(const StyleOpHandle& op) {
  auto it = find(op->key);
  if (it == entries_.end()) {
    auto pos = std::lower_bound(
        entries_.begin(), entries_.end(), op->key,
        [](const Entry& e, const InternalString& k) { return e.first.as_str() < k.as_str(); });
    entries_.insert(pos, Entry{op->key, Set{op}});
    return true;
  }
  Set& s = it->second;
  auto p = lower(s, *op);
  if (p != s.end() && same_place(**p, *op)) return false;
  s.insert(p, op);
  return true;
}

bool Styles::remove(const StyleOp& op) {
  auto it = find(op.key);
  if (it == entries_.end()) return false;
  Set& s = it->second;
  auto p = lower(s, op);
  if (p == s.end() || !same_place(**p, op)) return false;
  s.erase(p);
  if (s.empty()) entries_.erase(it);
  return true;
}

bool Styles::contains(const StyleOp& op) const {
  const Set* s = get(op.key);
  if (!s) return false;
  auto p = lower(*s, op);
  return p != s->end() && same_place(**p, op);
}

Styles Styles::intersect(const Styles& other) const {
  Styles out;
  for (const auto& [key, set] : entries_) {
    const Set* os = other.get(key);
    if (!os) continue;
    Set kept;
    for (const auto& h : set) {
      auto p = lower(*os, *h);
      if (p != os->end() && same_place(**p, *h)) kept.push_back(h);
    }
    if (!kept.empty()) out.entries_.emplace_back(key, std::move(kept));
  }
  return out;
}

bool Styles::operator==(const Styles& o) const {
  if (entries_.size() != o.entries_.size()) return false;
  for (const auto& [key, set] : entries_) {
    const Set* os = o.get(key);
    if (!os || os->size() != set.size()) return false;
    for (size_t i = 0; i < set.size(); ++i)
      if (!style_op_eq(set[i], (*os)[i])) return false;
  }
  return true;
}

std::string Styles::debug() const {
  std::string s = "{";
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i) s += ", ";
    s += entries_[i].first.debug() + ": [";
    for (size_t j = 0; j < entries_[i].second.size(); ++j) {
      if (j) s += ", ";
      s += entries_[i].second[j]->debug();
    }
    s += "]";
  }
  return s + "}";
}

const Styles& empty_styles() {
  static const Styles kEmpty;
  return kEmpty;
}

StyleConfigMap StyleConfigMap::default_rich_text() {
  StyleConfigMap m;
  m.insert(InternalString("bold"), 1);
  m.insert(InternalString("italic"), 1);
  m.insert(InternalString("underline"), 1);
  m.insert(InternalString("link"), 3);
  m.insert(InternalString("highlight"), 3);
  m.insert(InternalString("comment"), 3);
  m.insert(InternalString("code"), 3);
  return m;
}

}  // namespace kesu
