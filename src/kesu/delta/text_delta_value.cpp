#include "kesu/delta/text_delta_value.h"

#include "kesu/arena/invariant.h"
#include "kesu/common/internal_string.h"
#include "util/utf8.h"

namespace kesu {

size_t count_unicode(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

size_t unicode_to_byte_offset(std::string_view s, size_t k) {
  size_t off = 0;
  for (size_t i = 0; i < k; ++i) {
    if (off >= s.size()) invariant_failed(kMsgUnwrapNone);
    unsigned char c = static_cast<unsigned char>(s[off]);
    off += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  }
  if (off > s.size()) invariant_failed(kMsgUnwrapNone);
  return off;
}

namespace {

size_t checked_count(std::string_view s) {
  if (!brenvik::is_valid_utf8(s)) invariant_failed(kMsgUnwrapErr);
  return count_unicode(s);
}

std::string_view view_of(const BytesSlice& b) {
  auto v = b.bytes();
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

}  // namespace

StringSlice StringSlice::owned(std::string text) {
  size_t n = checked_count(text);
  size_t cap = text.size();
  return StringSlice(std::in_place_type<Owned>, std::move(text), cap, n);
}

StringSlice StringSlice::owned_with_capacity(std::string text, size_t capacity) {
  size_t n = checked_count(text);
  if (capacity < text.size()) capacity = text.size();
  return StringSlice(std::in_place_type<Owned>, std::move(text), capacity, n);
}

StringSlice StringSlice::slice(BytesSlice bytes) {
  size_t n = checked_count(view_of(bytes));
  return StringSlice(std::move(bytes), n);
}

StringSlice::StringSlice(const StringSlice& o) : v_(o.v_), chars_(o.chars_) {
  if (auto* w = std::get_if<Owned>(&v_)) w->cap = w->s.size();
}

StringSlice& StringSlice::operator=(const StringSlice& o) {
  if (this != &o) *this = StringSlice(o);
  return *this;
}

std::string_view StringSlice::text() const {
  if (const auto* b = std::get_if<BytesSlice>(&v_)) return view_of(*b);
  return std::get<Owned>(v_).s;
}

bool StringSlice::can_join(const StringSlice& next) const {
  if (const auto* b = std::get_if<BytesSlice>(&v_)) {
    const auto* nb = std::get_if<BytesSlice>(&next.v_);
    return nb && b->can_merge(*nb);
  }
  const auto* nw = std::get_if<Owned>(&next.v_);
  const Owned& w = std::get<Owned>(v_);
  return nw && w.s.size() + nw->s.size() <= w.cap;
}

void StringSlice::join_right(StringSlice&& next) {
  if (!can_join(next)) invariant_failed(kMsgUnwrapErr);
  if (auto* b = std::get_if<BytesSlice>(&v_)) {
    b->merge(std::get<BytesSlice>(next.v_));
  } else {
    std::get<Owned>(v_).s += std::get<Owned>(next.v_).s;
  }
  chars_ += next.chars_;
}

void StringSlice::join_left(StringSlice&& prev) {
  if (auto* b = std::get_if<BytesSlice>(&v_)) {
    auto* pb = std::get_if<BytesSlice>(&prev.v_);
    if (!pb || !pb->can_merge(*b)) invariant_failed(kMsgUnwrapErr);
    pb->merge(*b);
    *b = *pb;
  } else {
    auto* pw = std::get_if<Owned>(&prev.v_);
    if (!pw) invariant_failed(kMsgUnwrapErr);
    Owned& w = std::get<Owned>(v_);
    w.s.insert(0, pw->s);
    if (w.cap < w.s.size()) w.cap = w.s.size();
  }
  chars_ += prev.chars_;
}

bool StringSlice::insert_at(size_t k, const StringSlice& other) {
  auto* w = std::get_if<Owned>(&v_);
  if (!w) return false;
  std::string_view add = other.text();
  if (w->cap < w->s.size() + add.size()) return false;
  w->s.insert(unicode_to_byte_offset(w->s, k), add);
  chars_ += other.chars_;
  return true;
}

StringSlice StringSlice::split_off(size_t k) {
  size_t off = unicode_to_byte_offset(text(), k);
  size_t rest = chars_ - k;
  chars_ = k;
  if (auto* b = std::get_if<BytesSlice>(&v_)) {
    BytesSlice tail = b->slice(off, b->size());
    *b = b->slice(0, off);
    return StringSlice(std::move(tail), rest);
  }
  Owned& w = std::get<Owned>(v_);
  std::string tail = w.s.substr(off);
  w.s.resize(off);
  size_t cap = tail.size();
  return StringSlice(Owned{std::move(tail), cap}, rest);
}

std::string StringSlice::debug() const {
  return "StringSlice { bytes: " + debug_quote(text()) + " }";
}

std::string TextMeta::debug() const {
  std::string s = "TextMeta({";
  bool first = true;
  for (const auto& [k, v] : map) {
    if (!first) s += ", ";
    first = false;
    s += debug_quote(k) + ": " + v.debug();
  }
  return s + "})";
}

}  // namespace kesu
