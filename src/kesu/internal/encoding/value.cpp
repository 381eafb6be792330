#include "kesu/internal/encoding/value.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "kesu/columnar/rle.h"
#include "kesu/common/compact.h"

namespace kesu {

namespace {

// ---- writing ----------------------------------------------------------------

// A value in the compact form is written in two passes over it: the first
// counts the bytes, the buffer is grown once to the exact size, and the
// second stores the bytes through a plain pointer.

constexpr size_t uvarint_size(uint64_t v) {
  return 1 + size_t(63 - __builtin_clzll(v | 1)) / 7;
}
// Signed LEB128: the significant bits plus the sign bit, 7 per byte.
constexpr size_t sleb128_size(int64_t v) {
  uint64_t x = uint64_t(v ^ (v >> 63));
  return (size_t(65 - __builtin_clzll(x | 1)) + 6) / 7;
}

// The first pass: counts what the second will store.
struct SizeOut {
  size_t n = 0;
  void u8(uint8_t) { ++n; }
  void uvarint(uint64_t v) { n += uvarint_size(v); }
  void sleb128(int64_t v) { n += sleb128_size(v); }
  void f64_le(double) { n += 8; }
  void f64_be(double) { n += 8; }
  void bytes(const void*, size_t len) { n += uvarint_size(len) + len; }
  void text(std::string_view s) { bytes(s.data(), s.size()); }
};

// Stores through a plain pointer into room made beforehand: by the counting
// pass (PtrOut), or a little at a time (GrowOut, below).
struct PtrOut {
  uint8_t* p;
  void u8(uint8_t b) { *p++ = b; }
  void uvarint(uint64_t v) { p = brenvik::leb128_store_unsigned(p, v); }
  void sleb128(int64_t v) { p = brenvik::leb128_store_i64(p, v); }
  void f64_le(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    std::memcpy(p, &bits, 8);
    p += 8;
  }
  void f64_be(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
    std::memcpy(p, &bits, 8);
    p += 8;
  }
  void bytes(const void* data, size_t len) {
    uvarint(len);
    if (len) std::memcpy(p, data, len);
    p += len;
  }
  void text(std::string_view s) { bytes(s.data(), s.size()); }
};

// Writes into the thread's scratch buffer, growing it geometrically (every
// store makes sure of its own room first), then appends what was written to
// the output at once. The scratch buffer is kept between writes, at its full
// size, so that writing a value neither copies the output at each doubling
// nor touches fresh memory; one above kMaxKeptScratch is given back.
class GrowOut : public PtrOut {
 public:
  GrowOut() : PtrOut{nullptr}, buf_(scratch()) {
    if (buf_.size() < 4096) buf_.resize(4096);
    p = buf_.data();
    end_ = buf_.data() + buf_.size();
  }
  // Room for n more bytes.
  void room(size_t n) {
    if (size_t(end_ - p) < n) [[unlikely]]
      grow(n);
  }
  void u8(uint8_t b) {
    room(1);
    PtrOut::u8(b);
  }
  void uvarint(uint64_t v) {
    room(10);
    PtrOut::uvarint(v);
  }
  void sleb128(int64_t v) {
    room(10);
    PtrOut::sleb128(v);
  }
  void f64_le(double d) {
    room(8);
    PtrOut::f64_le(d);
  }
  void f64_be(double d) {
    room(8);
    PtrOut::f64_be(d);
  }
  void bytes(const void* data, size_t len) {
    room(len + 10);
    PtrOut::bytes(data, len);
  }
  void text(std::string_view s) { bytes(s.data(), s.size()); }
  // Appends what was written to `out`; returns the number of bytes.
  size_t finish(Bytes& out) {
    size_t used = size_t(p - buf_.data());
    out.insert(out.end(), buf_.data(), p);
    if (buf_.size() > kMaxKeptScratch) Bytes().swap(buf_);
    return used;
  }

 private:
  static constexpr size_t kMaxKeptScratch = size_t(4) << 20;
  static Bytes& scratch() {
    thread_local Bytes b;
    return b;
  }
  void grow(size_t n) {
    size_t used = size_t(p - buf_.data());
    buf_.resize(std::max(buf_.size() * 2, used + n));
    p = buf_.data() + used;
    end_ = buf_.data() + buf_.size();
  }
  Bytes& buf_;
  uint8_t* end_;
};

// A stack that keeps its first N entries in place and spills to the heap
// beyond them, so that walking or building a shallow value allocates nothing
// for the walk itself.
template <typename T, size_t N>
class SmallStack {
 public:
  bool empty() const { return size_ == 0; }
  T& back() { return (*this)[size_ - 1]; }
  T& operator[](size_t i) { return i < N ? inline_[i] : spill_[i - N]; }
  // A fresh or reused entry on top; callers set every field they rely on.
  T& push() {
    ++size_;
    if (size_ <= N) return inline_[size_ - 1];
    spill_.emplace_back();
    return spill_.back();
  }
  void pop() {
    if (size_ > N) spill_.pop_back();
    --size_;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> spill_;
  size_t size_ = 0;
};

// The two byte forms of a whole value share one walk (pre-order, without
// recursion, each map key before its value); a form supplies the tag of each
// kind and the payloads that differ: booleans, numbers, keys and containers.
struct CompactWriteForm {
  static constexpr bool kOnePass = false;
  static constexpr uint8_t kNull = 0, kDouble = 2, kI64 = 3, kString = 4, kList = 5, kMap = 6,
                           kContainer = 7, kBinary = 8;
  template <typename Out>
  static void put_bool(Out& o, bool b) {
    o.u8(1);
    o.u8(b ? 1 : 0);
  }
  template <typename Out>
  static void put_double(Out& o, double d) {
    o.f64_le(d);
  }
  template <typename Out>
  static void put_i64(Out& o, int64_t i) {
    o.uvarint(brenvik::zigzag_encode(i));
  }
  template <typename Out>
  void put_key(Out& o, const std::string& k) {
    o.text(k);
  }
  template <typename Out>
  static void put_container(Out& o, const ContainerID& id) {
    put_container_id(o, id);
  }
};

// Map keys become key-arena indices. The counting pass registers each key;
// the storing pass looks it up again, which the table of recent keys below
// answers without touching the arena. (Keeping every index of the counting
// pass costs more: a large value has as many as it has map entries.)
struct NestedWriteForm {
  static constexpr bool kOnePass = true;
  static constexpr uint8_t kNull = 0, kI64 = 3, kDouble = 4, kString = 5, kBinary = 6, kList = 7,
                           kMap = 8, kContainer = 9;
  template <typename Out>
  static void put_bool(Out& o, bool b) {
    o.u8(b ? 1 : 2);
  }
  template <typename Out>
  static void put_double(Out& o, double d) {
    o.f64_be(d);
  }
  template <typename Out>
  static void put_i64(Out& o, int64_t i) {
    o.sleb128(i);
  }
  template <typename Out>
  void put_key(Out& o, const std::string& k) {
    o.uvarint(lookup(k));
  }
  template <typename Out>
  static void put_container(Out& o, const ContainerID& id) {
    o.u8(id.container_type().wire_code());
  }

  // The records of a list usually share their keys, so keys met before in
  // this value are looked up in a small direct-mapped table first, before
  // the arena's hash lookup.
  size_t lookup(const std::string& k) {
    uint64_t w = 0;
    std::memcpy(&w, k.data(), std::min<size_t>(k.size(), 8));
    w ^= uint64_t(k.size()) << 56;
    Recent& slot = recent[size_t((w * 0x9E3779B97F4A7C15ULL) >> 59)];
    // The word holds the first eight bytes and the length, which settles
    // keys of up to eight bytes.
    if (slot.used && slot.word == w && slot.text.size() == k.size() &&
        (k.size() <= 8 || std::memcmp(slot.text.data() + 8, k.data() + 8, k.size() - 8) == 0))
      return slot.index;
    size_t i = keys.register_key(std::string_view(k));
    slot = {std::string_view(k), w, i, true};
    return i;
  }

  struct Recent {
    std::string_view text;  // a key of the value being written
    uint64_t word = 0;
    size_t index = 0;
    bool used = false;
  };
  KeyArena& keys;
  std::array<Recent, 32> recent{};
};

// Where the walk is inside a list or map: the siblings still to write.
struct WalkFrame {
  const KesuValue* next = nullptr;  // list: next element
  const KesuValue* end = nullptr;
  KesuMap::const_iterator it{};  // map: next entry
  KesuMap::const_iterator map_end{};
  bool is_map = false;
};

// How many siblings ahead a walk starts loading blocks: values decoded or
// built over time have their blocks spread over the heap, and a walk that
// waits for each block in turn is bound by memory latency, not by work.
constexpr size_t kPrefetchAhead = 8;

template <typename Form, typename Out>
void walk_value(const KesuValue& root, Out& o, Form& form) {
  SmallStack<WalkFrame, 16> stack;
  const KesuValue* v = &root;
  for (;;) {
    switch (v->type()) {
      case ValueType::Null:
        o.u8(Form::kNull);
        break;
      case ValueType::Bool:
        Form::put_bool(o, v->as_bool());
        break;
      case ValueType::Double:
        o.u8(Form::kDouble);
        Form::put_double(o, v->as_double());
        break;
      case ValueType::I64:
        o.u8(Form::kI64);
        Form::put_i64(o, v->as_i64());
        break;
      case ValueType::String:
        o.u8(Form::kString);
        o.text(v->as_string());
        break;
      case ValueType::Binary: {
        ByteView b = v->as_binary();
        o.u8(Form::kBinary);
        o.bytes(b.data(), b.size());
        break;
      }
      case ValueType::Container:
        o.u8(Form::kContainer);
        Form::put_container(o, v->as_container());
        break;
      case ValueType::List: {
        const KesuList& l = v->as_list();
        o.u8(Form::kList);
        o.uvarint(l.size());
        if (l.empty()) break;
        WalkFrame& f = stack.push();
        f.is_map = false;
        f.next = l.data() + 1;
        f.end = l.data() + l.size();
        for (size_t i = 0; i < l.size() && i < kPrefetchAhead; ++i) l[i].prefetch();
        v = l.data();
        continue;
      }
      case ValueType::Map: {
        const KesuMap& m = v->as_map();
        o.u8(Form::kMap);
        o.uvarint(m.size());
        if (m.empty()) break;
        size_t ahead = 0;
        for (auto p = m.begin(); p != m.end() && ahead < kPrefetchAhead; ++p, ++ahead)
          p->second.prefetch();
        auto it = m.begin();
        form.put_key(o, it->first);
        v = &it->second;
        WalkFrame& f = stack.push();
        f.is_map = true;
        f.it = ++it;
        f.map_end = m.end();
        continue;
      }
    }
    // The value is written: move on to the next sibling of the innermost
    // unfinished list or map.
    for (;;) {
      if (stack.empty()) return;
      WalkFrame& f = stack.back();
      if (f.is_map) {
        if (f.it != f.map_end) {
          if (size_t(f.map_end - f.it) > kPrefetchAhead) f.it[kPrefetchAhead].second.prefetch();
          form.put_key(o, f.it->first);
          v = &f.it->second;
          ++f.it;
          break;
        }
      } else if (f.next != f.end) {
        if (size_t(f.end - f.next) > kPrefetchAhead) f.next[kPrefetchAhead].prefetch();
        v = f.next++;
        break;
      }
      stack.pop();
    }
  }
}

// Appends the value in the form; returns the number of bytes appended.
// The compact form counts first and then stores into room of the exact size;
// the nested form writes in one walk, as its map keys would otherwise be
// looked up in the key arena twice.
template <typename Form>
size_t write_value(const KesuValue& v, Bytes& out, Form& form) {
  if constexpr (Form::kOnePass) {
    GrowOut o;
    walk_value(v, o, form);
    return o.finish(out);
  } else {
    SizeOut size;
    walk_value(v, size, form);
    size_t at = out.size();
    out.resize(at + size.n);
    PtrOut o{out.data() + at};
    walk_value(v, o, form);
    return size.n;
  }
}

// ---- reading ----------------------------------------------------------------

// A list or map under construction. Values are built in place: each element
// is read straight into its slot in the block (which the tree already owns),
// so nothing is moved after it is read, and a failed read leaves a partial
// tree that the caller drops as a whole.
struct Frame {
  KesuList* list = nullptr;
  KesuMap* map = nullptr;
  uint64_t remaining = 0;  // elements whose slot is not yet taken
};
using FrameStack = SmallStack<Frame, 8>;

// Room reserved for a sequence: nothing when the input cannot back the
// count, and never more than the decode's shared budget (one slot per input
// byte across all sequences) or 1 MiB worth of elements.
template <typename Elem>
size_t take_reserve(uint64_t count, size_t remaining, size_t& budget) {
  if (count > remaining) return 0;
  size_t n = bounded_reserve<Elem>(count, budget);
  budget -= n;
  return n;
}
// Room for a list's or map's elements, in the block itself.
KesuValue block_with_room(bool is_map, uint64_t count, size_t remaining, size_t& budget) {
  return is_map
             ? KesuValue::map_with_room(take_reserve<KesuMap::value_type>(count, remaining, budget))
             : KesuValue::list_with_room(take_reserve<KesuValue>(count, remaining, budget));
}

// Texts read earlier in the same value. The records of a list often repeat
// the same texts (tags, states, enumeration-like fields); texts short enough
// to live inside the value cost no allocation anyway, and a repeat of a
// somewhat longer one shares the block read first instead of allocating its
// own, just as a copy of the value would.
class ShortTextCache {
 public:
  KesuValue text(std::string_view s) {
    if (s.size() > kMaxLen || s.size() <= KesuValue::kInlineBytes) return KesuValue::string(s);
    uint64_t w = 0;
    std::memcpy(&w, s.data() + s.size() - 8, 8);
    w ^= uint64_t(s.size()) << 59 ^ uint64_t(uint8_t(s[0])) << 48;
    KesuValue& slot = slots_[size_t((w * 0x9E3779B97F4A7C15ULL) >> (64 - kSlotBits))];
    if (slot.is_null() || slot.as_string() != s) slot = KesuValue::string(s);
    return slot;
  }

 private:
  static constexpr size_t kMaxLen = 64;
  static constexpr unsigned kSlotBits = 6;
  std::array<KesuValue, size_t(1) << kSlotBits> slots_;
};

// Text values of one read. The cache is set up only once the value has shown
// many texts too long to be held inline, so that reading a small value does
// not pay for the table.
struct TextReader {
  static constexpr size_t kTextsBeforeCache = 16;
  std::optional<ShortTextCache> cache;
  size_t seen = 0;
  KesuValue text(std::string_view s) {
    if (s.size() <= KesuValue::kInlineBytes) return KesuValue::string(s);
    if (cache) return cache->text(s);
    if (++seen == kTextsBeforeCache) cache.emplace();
    return KesuValue::string(s);
  }
};

// What the head of a value turned out to be.
enum class Head { Scalar, List, Map, Error };

// The compact form: errors are the serializer's, kept in `error`.
struct CompactReadForm {
  std::optional<SerdeError> error;
  TextReader texts;

  Head fail(SerdeError e) {
    error = std::move(e);
    return Head::Error;
  }
  bool read_key(ByteReader& r, std::string_view& key) {
    auto k = r.read_str();
    if (!k.ok()) {
      error = std::move(k).error();
      return false;
    }
    key = *k;
    return true;
  }
  // Reads a scalar into v (Null, so it is built in place: the value reaches
  // its slot in the tree without passing through a temporary), or the
  // element count of a list or map into n.
  Head read_head(ByteReader& r, KesuValue& v, uint64_t& n) {
    auto idx = r.read_uvarint32();
    if (!idx.ok()) return fail(std::move(idx).error());
    switch (*idx) {
      case 0:
        return Head::Scalar;
      case 1: {
        auto b = r.read_bool();
        if (!b.ok()) return fail(std::move(b).error());
        new (&v) KesuValue(*b);
        return Head::Scalar;
      }
      case 2: {
        auto d = r.read_f64_le();
        if (!d.ok()) return fail(std::move(d).error());
        new (&v) KesuValue(*d);
        return Head::Scalar;
      }
      case 3: {
        auto i = r.read_ivarint();
        if (!i.ok()) return fail(std::move(i).error());
        new (&v) KesuValue(*i);
        return Head::Scalar;
      }
      case 4: {
        auto s = r.read_str();
        if (!s.ok()) return fail(std::move(s).error());
        new (&v) KesuValue(texts.text(*s));
        return Head::Scalar;
      }
      case 5:
      case 6: {
        auto c = r.read_uvarint();
        if (!c.ok()) return fail(std::move(c).error());
        n = *c;
        return *idx == 5 ? Head::List : Head::Map;
      }
      case 7: {
        auto c = read_container_id(r);
        if (!c.ok()) return fail(std::move(c).error());
        new (&v) KesuValue(std::move(*c));
        return Head::Scalar;
      }
      case 8: {
        auto b = r.read_bytes();
        if (!b.ok()) return fail(std::move(b).error());
        new (&v) KesuValue(KesuValue::binary_of(*b));
        return Head::Scalar;
      }
      default:
        return fail(SerdeError(SerdeErrorKind::CustomDeserialize,
                               "unknown value variant " + std::to_string(*idx)));
    }
  }
};

// The nested encoding: every fault is the same data-corruption error, map
// keys are indices into the key arena, and a container value is identified
// by the operation (peer, counter) that carries it.
struct NestedReadForm {
  const std::vector<InternalString>& keys;
  PeerID peer;
  Counter counter;
  TextReader texts;

  bool read_key(ByteReader& r, std::string_view& key) {
    auto k = r.read_uvarint();
    if (!k.ok() || *k >= keys.size()) return false;
    std::string_view s = keys[size_t(*k)].as_str();
    key = s;
    return true;
  }
  Head read_head(ByteReader& r, KesuValue& v, uint64_t& n) {
    auto tag = r.read_u8();
    if (!tag.ok()) return Head::Error;
    switch (*tag) {
      case 0:
        return Head::Scalar;
      case 1:
      case 2:
        new (&v) KesuValue(*tag == 1);
        return Head::Scalar;
      case 3: {
        auto i = r.read_sleb128();
        if (!i.ok()) return Head::Error;
        new (&v) KesuValue(*i);
        return Head::Scalar;
      }
      case 4: {
        auto d = r.read_f64_be();
        if (!d.ok()) return Head::Error;
        new (&v) KesuValue(*d);
        return Head::Scalar;
      }
      case 5: {
        auto s = r.read_str();
        if (!s.ok()) return Head::Error;
        new (&v) KesuValue(texts.text(*s));
        return Head::Scalar;
      }
      case 6: {
        auto b = r.read_bytes();
        if (!b.ok()) return Head::Error;
        new (&v) KesuValue(KesuValue::binary_of(*b));
        return Head::Scalar;
      }
      case 7:
      case 8: {
        auto c = r.read_uvarint();
        if (!c.ok() || *c > kMaxNestedCount) return Head::Error;
        n = *c;
        return *tag == 7 ? Head::List : Head::Map;
      }
      case 9: {
        auto code = r.read_u8();
        if (!code.ok()) return Head::Error;
        new (&v)
            KesuValue(ContainerID::normal(peer, counter, ContainerType::from_wire_code(*code)));
        return Head::Scalar;
      }
      default:
        return Head::Error;
    }
  }
};

// The slot of the next element of the innermost unfinished list or map,
// closing every frame that is complete; null when the whole value is read
// (or, with `ok` false, when a map key could not be read).
template <typename Form>
KesuValue* next_slot(ByteReader& r, Form& form, FrameStack& stack, bool& ok) {
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.remaining == 0) {
      stack.pop();
      continue;
    }
    --f.remaining;
    if (!f.map) return &f.list->emplace_back();
    std::string_view key;
    if (!form.read_key(r, key)) {
      ok = false;
      return nullptr;
    }
    // A later duplicate key replaces the earlier value where it stands.
    KesuValue& slot = (*f.map)[key];
    if (!slot.is_null()) slot = KesuValue();
    return &slot;
  }
  return nullptr;
}

// Reads one whole value in the given form into `out` (Null) without
// recursion. `stack` must be empty; it is lent by the caller so that reading
// many values reuses it. On failure `out` may hold a partly built value,
// which the caller drops.
template <typename Form>
bool read_value(ByteReader& r, Form& form, FrameStack& stack, size_t& budget, KesuValue& out) {
  KesuValue* dst = &out;
  for (;;) {
    uint64_t n = 0;
    Head h = form.read_head(r, *dst, n);
    if (h == Head::Error) break;
    if (h != Head::Scalar) {
      new (dst) KesuValue(block_with_room(h == Head::Map, n, r.remaining(), budget));
      if (n > 0) {
        Frame& f = stack.push();
        f.remaining = n;
        if (h == Head::Map) {
          f.map = &dst->map_mut();
          f.list = nullptr;
        } else {
          f.list = &dst->list_mut();
          f.map = nullptr;
        }
      }
    }
    bool ok = true;
    dst = next_slot(r, form, stack, ok);
    if (!ok) break;
    if (!dst) return true;
  }
  while (!stack.empty()) stack.pop();
  return false;
}

}  // namespace

void encode_compact_value(const KesuValue& root, Bytes& out) {
  CompactWriteForm form;
  write_value(root, out, form);
}

SerdeResult<KesuValue> decode_compact_value(ByteReader& r) {
  CompactReadForm form;
  FrameStack stack;
  size_t budget = r.remaining();
  KesuValue v;
  if (!read_value(r, form, stack, budget, v)) return Err(std::move(*form.error));
  return v;
}

size_t write_nested_value(const KesuValue& root, Bytes& out, KeyArena& keys) {
  NestedWriteForm form{keys};
  return write_value(root, out, form);
}

KesuResult<KesuValue> read_nested_value(ByteReader& r, const std::vector<InternalString>& keys,
                                        PeerID peer, Counter counter) {
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  NestedReadForm form{keys, peer, counter, {}};
  FrameStack stack;
  size_t budget = r.remaining();
  size_t start = r.position();
  auto tag = r.read_u8();
  if (!tag.ok()) return corrupt();
  // At the top level a list gives each element its own identifier (counter
  // + index, saturating); a map's values all share the operation's.
  if (*tag == 7 || *tag == 8) {
    bool is_map = *tag == 8;
    auto n = r.read_uvarint();
    if (!n.ok() || *n > kMaxNestedCount) return corrupt();
    KesuValue result = block_with_room(is_map, *n, r.remaining(), budget);
    KesuList* items = is_map ? nullptr : &result.list_mut();
    KesuMap* entries = is_map ? &result.map_mut() : nullptr;
    std::string_view key;
    for (uint64_t i = 0; i < *n; ++i) {
      KesuValue* dst;
      if (is_map) {
        if (!form.read_key(r, key)) return corrupt();
        dst = &(*entries)[key];
        if (!dst->is_null()) *dst = KesuValue();
      } else {
        form.counter = Counter(std::min<int64_t>(int64_t(counter) + int64_t(i), INT32_MAX));
        dst = &items->emplace_back();
      }
      if (!read_value(r, form, stack, budget, *dst)) return corrupt();
    }
    return result;
  }
  r.skip_to(start);
  KesuValue v;
  if (!read_value(r, form, stack, budget, v)) return corrupt();
  return v;
}

ValueKind value_kind_from_byte(uint8_t b) {
  uint8_t k = b & 0x7F;
  if (k <= 16) return ValueKind(k);
  return ValueKind::Future;
}

uint8_t write_op_value(const OpValue& v, Bytes& out, KeyArena& keys) {
  switch (v.kind) {
    case ValueKind::Null:
    case ValueKind::True:
    case ValueKind::False:
    case ValueKind::MapDelete:
    case ValueKind::SeqDelete:
      break;
    case ValueKind::I64:
      write_sleb128(out, v.i64);
      break;
    case ValueKind::I32:
      write_sleb128(out, int32_t(v.i64));
      break;
    case ValueKind::F64:
      write_f64_be(out, v.f64);
      break;
    case ValueKind::Str:
    case ValueKind::Binary:
      write_bytes(out, v.bytes);
      break;
    case ValueKind::ContainerIdx:
      write_uvarint(out, v.index);
      break;
    case ValueKind::NestedValue:
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::StyleStart:
      out.push_back(v.info);
      write_uvarint32(out, v.len);
      write_uvarint(out, keys.register_key(v.key));
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::TreeMoveByIndex:
      write_uvarint(out, v.target);
      out.push_back(v.parent_index ? 0 : 1);
      write_uvarint(out, v.position);
      if (v.parent_index) write_uvarint(out, *v.parent_index);
      break;
    case ValueKind::ElemMove:
      write_uvarint32(out, v.from);
      write_uvarint(out, v.peer_idx);
      write_uvarint32(out, v.lamport);
      break;
    case ValueKind::ElemSet:
      write_uvarint(out, v.peer_idx);
      write_uvarint32(out, v.lamport);
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::TreeMove:
      write_uvarint(out, v.peer_idx);
      write_uvarint(out, uint64_t(int64_t(v.subject_counter)));
      write_uvarint(out, v.position);
      out.push_back(v.parent ? 0 : 1);
      if (v.parent) {
        write_uvarint(out, v.parent->first);
        write_uvarint(out, uint64_t(int64_t(v.parent->second)));
      }
      break;
    case ValueKind::Future:
      write_bytes(out, v.bytes);
      return uint8_t(0x80 | (v.future_kind & 0x7F));
  }
  return uint8_t(v.kind);
}

KesuResult<OpValue> read_op_value(uint8_t kind_byte, ByteReader& r,
                                  const std::vector<InternalString>& keys, PeerID peer,
                                  Counter counter) {
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  OpValue v;
  v.kind = value_kind_from_byte(kind_byte);
  switch (v.kind) {
    case ValueKind::Null:
    case ValueKind::True:
    case ValueKind::False:
    case ValueKind::MapDelete:
    case ValueKind::SeqDelete:
      break;
    case ValueKind::I64:
    case ValueKind::I32: {
      auto i = r.read_sleb128();
      if (!i.ok()) return corrupt();
      v.i64 = v.kind == ValueKind::I32 ? int64_t(int32_t(uint32_t(uint64_t(*i)))) : *i;
      break;
    }
    case ValueKind::F64: {
      auto d = r.read_f64_be();
      if (!d.ok()) return corrupt();
      v.f64 = *d;
      break;
    }
    case ValueKind::Str: {
      auto s = r.read_str();
      if (!s.ok()) return corrupt();
      v.bytes = brenvik::as_bytes(*s);
      break;
    }
    case ValueKind::Binary: {
      auto b = r.read_bytes();
      if (!b.ok()) return corrupt();
      v.bytes = *b;
      break;
    }
    case ValueKind::ContainerIdx: {
      auto i = r.read_uvarint();
      if (!i.ok()) return corrupt();
      v.index = *i;
      break;
    }
    case ValueKind::NestedValue: {
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.value = std::move(*n);
      break;
    }
    case ValueKind::StyleStart: {
      auto info = r.read_u8();
      if (!info.ok()) return corrupt();
      auto len = r.read_uvarint32();
      if (!len.ok()) return corrupt();
      auto key = r.read_uvarint();
      if (!key.ok() || *key >= keys.size()) return corrupt();
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.info = *info;
      v.len = *len;
      v.key = keys[size_t(*key)];
      v.value = std::move(*n);
      break;
    }
    case ValueKind::TreeMoveByIndex: {
      auto target = r.read_uvarint();
      if (!target.ok()) return corrupt();
      auto is_root = r.read_u8();
      if (!is_root.ok()) return corrupt();
      auto pos = r.read_uvarint();
      if (!pos.ok()) return corrupt();
      v.target = *target;
      v.position = *pos;
      if (*is_root == 0) {
        auto parent = r.read_uvarint();
        if (!parent.ok()) return corrupt();
        v.parent_index = *parent;
      }
      break;
    }
    case ValueKind::ElemMove: {
      auto from = r.read_uvarint32();
      if (!from.ok()) return corrupt();
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto lamport = r.read_uvarint32();
      if (!lamport.ok()) return corrupt();
      v.from = *from;
      v.peer_idx = *p;
      v.lamport = *lamport;
      break;
    }
    case ValueKind::ElemSet: {
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto lamport = r.read_uvarint32();
      if (!lamport.ok()) return corrupt();
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.peer_idx = *p;
      v.lamport = *lamport;
      v.value = std::move(*n);
      break;
    }
    case ValueKind::TreeMove: {
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto c = r.read_uvarint();
      if (!c.ok()) return corrupt();
      auto pos = r.read_uvarint();
      if (!pos.ok()) return corrupt();
      auto is_root = r.read_u8();
      if (!is_root.ok()) return corrupt();
      v.peer_idx = *p;
      v.subject_counter = Counter(uint32_t(*c));
      v.position = *pos;
      if (*is_root == 0) {
        auto pp = r.read_uvarint();
        if (!pp.ok()) return corrupt();
        auto pc = r.read_uvarint();
        if (!pc.ok()) return corrupt();
        v.parent = std::make_pair(*pp, Counter(uint32_t(*pc)));
      }
      break;
    }
    case ValueKind::Future: {
      auto b = r.read_bytes();
      if (!b.ok()) return corrupt();
      v.future_kind = kind_byte & 0x7F;
      v.bytes = *b;
      break;
    }
  }
  return v;
}

SerdeResult<InternalString> read_interned_string(ByteReader& r) {
  auto s = r.read_str();
  if (!s.ok()) return Err(std::move(s).error());
  return InternalString(*s);
}

SerdeResult<std::vector<KesuValue>> read_value_list(ByteReader& r) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  std::vector<KesuValue> out;
  out.reserve(bounded_reserve<KesuValue>(*n, r.remaining()));
  for (uint64_t i = 0; i < *n; ++i) {
    auto v = decode_compact_value(r);
    if (!v.ok()) return Err(std::move(v).error());
    out.push_back(std::move(*v));
  }
  return out;
}

SerdeResult<std::vector<uint64_t>> read_plain_u64_column(ByteReader& r) {
  auto b = r.read_bytes();
  if (!b.ok()) return Err(std::move(b).error());
  ByteReader inner(*b);
  auto n = inner.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  std::vector<uint64_t> out;
  out.reserve(bounded_reserve<uint64_t>(*n, inner.remaining()));
  for (uint64_t i = 0; i < *n; ++i) {
    auto x = inner.read_uvarint();
    if (!x.ok()) return Err(std::move(x).error());
    out.push_back(*x);
  }
  return out;
}

}  // namespace kesu
