// InternalString: short texts (up to 7 bytes) held inside the handle, longer
// ones interned once per process in a shared table, so that map keys and
// container names that recur across a document cost one copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace kesu {

class InternalString {
 public:
  InternalString() = default;  // the empty inline text
  // Inline for 0-7 bytes, interned otherwise.
  explicit InternalString(std::string_view s);
  // Always goes through the intern table (callers pass texts of 8+ bytes).
  static InternalString intern(std::string_view s);

  InternalString(const InternalString& o);
  InternalString(InternalString&& o) noexcept : entry_(o.entry_), len_(o.len_) {
    std::memcpy(buf_, o.buf_, sizeof(buf_));
    o.entry_ = nullptr;
    o.len_ = 0;
  }
  InternalString& operator=(const InternalString& o);
  InternalString& operator=(InternalString&& o) noexcept;
  ~InternalString() { release(); }

  std::string_view as_str() const;
  bool is_inline() const { return entry_ == nullptr; }
  size_t size() const { return as_str().size(); }

  bool operator==(const InternalString& o) const;
  std::strong_ordering operator<=>(const InternalString& o) const;
  // InternalString("...") with the text escaped as a string literal.
  std::string debug() const;

  // Number of entries in the process-wide table (for tests and diagnostics).
  static size_t table_size();
  // True when both handles share one table entry.
  bool same_entry(const InternalString& o) const { return entry_ && entry_ == o.entry_; }

  struct Entry;

 private:
  explicit InternalString(Entry* e) : entry_(e) {}
  void release();

  Entry* entry_ = nullptr;  // null for the inline form
  uint8_t len_ = 0;         // inline length
  char buf_[7] = {};        // inline bytes
};

// Escapes a text as a double-quoted string literal (\" \\ \n \r \t \0 and
// \u{..} for other control characters).
std::string debug_quote(std::string_view s);

}  // namespace kesu

template <>
struct std::hash<kesu::InternalString> {
  size_t operator()(const kesu::InternalString& s) const {
    return std::hash<std::string_view>()(s.as_str());
  }
};
