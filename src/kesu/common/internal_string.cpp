#include "kesu/common/internal_string.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include "kesu/common/internal_error.h"
#include "util/debug_string.h"

namespace kesu {

struct InternalString::Entry {
  std::atomic<int64_t> refs;
  size_t len;
  char* text() { return reinterpret_cast<char*>(this + 1); }
  std::string_view view() { return {text(), len}; }

  static Entry* make(std::string_view s) {
    void* mem = ::operator new(sizeof(Entry) + s.size());
    auto* e = new (mem) Entry{{2}, s.size()};
    std::memcpy(e->text(), s.data(), s.size());
    return e;
  }
  static void destroy(Entry* e) {
    e->~Entry();
    ::operator delete(e);
  }
};

namespace {

struct EntryHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  size_t operator()(InternalString::Entry* e) const { return (*this)(e->view()); }
};
struct EntryEq {
  using is_transparent = void;
  static std::string_view v(std::string_view s) { return s; }
  static std::string_view v(InternalString::Entry* e) { return e->view(); }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return v(a) == v(b);
  }
};

}  // namespace

// The process-wide table. Created on first use and never destroyed, so that
// handles released during static destruction still find it.
struct InternTable {
  std::mutex mu;
  std::unordered_set<InternalString::Entry*, EntryHash, EntryEq> set;
  size_t sweep_threshold = 65536;

  size_t capacity() const { return size_t(double(set.bucket_count()) * set.max_load_factor()); }
};

static InternTable& table() {
  static InternTable* t = new InternTable();
  return *t;
}

InternalString::InternalString(std::string_view s) {
  if (s.size() <= 7) {
    len_ = uint8_t(s.size());
    if (!s.empty()) std::memcpy(buf_, s.data(), s.size());
    return;
  }
  *this = intern(s);
}

InternalString InternalString::intern(std::string_view s) {
  InternTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.set.find(s);
  if (it != t.set.end()) {
    Entry* e = *it;
    if (e->refs.fetch_add(1, std::memory_order_relaxed) > INT64_MAX / 2)
      throw InternalError("InternalString reference count overflow");
    return InternalString(e);
  }
  Entry* e = Entry::make(s);  // the table's reference and the caller's
  t.set.insert(e);
  if (t.capacity() >= t.sweep_threshold) {
    size_t removed = 0;
    for (auto i = t.set.begin(); i != t.set.end();) {
      if ((*i)->refs.load(std::memory_order_acquire) == 1) {
        Entry::destroy(*i);
        i = t.set.erase(i);
        ++removed;
      } else {
        ++i;
      }
    }
    if (removed > t.set.size() / 2) t.set.rehash(0);
    t.sweep_threshold *= 2;
  }
  return InternalString(e);
}

InternalString::InternalString(const InternalString& o) : entry_(o.entry_), len_(o.len_) {
  std::memcpy(buf_, o.buf_, sizeof(buf_));
  if (entry_ && entry_->refs.fetch_add(1, std::memory_order_relaxed) > INT64_MAX / 2)
    throw InternalError("InternalString reference count overflow");
}

InternalString& InternalString::operator=(const InternalString& o) {
  if (this != &o) {
    InternalString copy(o);
    *this = std::move(copy);
  }
  return *this;
}

InternalString& InternalString::operator=(InternalString&& o) noexcept {
  if (this != &o) {
    release();
    entry_ = o.entry_;
    len_ = o.len_;
    std::memcpy(buf_, o.buf_, sizeof(buf_));
    o.entry_ = nullptr;
    o.len_ = 0;
  }
  return *this;
}

void InternalString::release() {
  if (is_inline()) return;
  Entry* e = entry_;
  entry_ = nullptr;
  len_ = 0;
  if (e->refs.load(std::memory_order_acquire) == 2) {
    InternTable& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    // Re-checked under the lock: nobody can intern the text meanwhile, and
    // with only this handle and the table left nobody else can copy it.
    if (e->refs.load(std::memory_order_acquire) == 2) {
      auto it = t.set.find(e);
      if (it != t.set.end() && *it == e) {
        t.set.erase(it);
        e->refs.fetch_sub(1, std::memory_order_acq_rel);
        if (t.set.size() < t.capacity() / 2 && t.capacity() > 128) t.set.rehash(0);
      }
    }
  }
  if (e->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Entry::destroy(e);
}

std::string_view InternalString::as_str() const {
  if (is_inline()) return {buf_, len_};
  return entry_->view();
}

bool InternalString::operator==(const InternalString& o) const {
  if (entry_ != nullptr && entry_ == o.entry_) return true;
  return as_str() == o.as_str();
}

std::strong_ordering InternalString::operator<=>(const InternalString& o) const {
  int c = as_str().compare(o.as_str());
  return c < 0 ? std::strong_ordering::less
               : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

size_t InternalString::table_size() {
  InternTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.set.size();
}

std::string debug_quote(std::string_view s) {
  return brenvik::debug_quoted(s, brenvik::DebugQuoteForm{.min_hex_digits = 2});
}

std::string InternalString::debug() const {
  return "InternalString(" + debug_quote(as_str()) + ")";
}

}  // namespace kesu
