#include "protocol/events/protocol_event.h"

#include <charconv>
#include <type_traits>

#include "util/debug_string.h"

namespace brenvik {
namespace {

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
struct IsVector : std::false_type {};
template <typename T>
struct IsVector<std::vector<T>> : std::true_type {};

template <typename T>
struct IsMap : std::false_type {};
template <typename K, typename V>
struct IsMap<std::map<K, V>> : std::true_type {};

// Text in double quotes with quotes, backslashes and control characters
// escaped, so that a log line stays one line (NUL too as \u{0}).
void append_quoted(std::string& out, std::string_view s) {
  append_debug_quoted(out, s, DebugQuoteForm{.nul_as_backslash_zero = false});
}

void append_float(std::string& out, float f) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, f);
  out.append(buf, res.ptr);
}

struct DiagnosticPrinter {
  std::string& out;
  bool first = true;

  void name(std::string_view n) {
    if (!first) out.append(", ");
    first = false;
    out.append(n);
    out.append(": ");
  }

  // Types the diagnostic form prints in full.
  template <typename T>
  static constexpr bool printable() {
    if constexpr (IsOptional<T>::value || IsVector<T>::value) {
      return printable<typename T::value_type>();
    } else {
      return std::is_same_v<T, std::string> || std::is_arithmetic_v<T> || std::is_enum_v<T> ||
             std::is_same_v<T, std::pair<std::string, float>>;
    }
  }

  template <typename T>
  void value(const T& v) {
    if constexpr (std::is_same_v<T, std::string>) {
      append_quoted(out, v);
    } else if constexpr (std::is_same_v<T, bool>) {
      out.append(v ? "true" : "false");
    } else if constexpr (std::is_same_v<T, float>) {
      append_float(out, v);
    } else if constexpr (std::is_enum_v<T>) {
      out.append(enum_name(v));
    } else if constexpr (std::is_integral_v<T>) {
      out.append(std::to_string(
          static_cast<std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>>(v)));
    } else if constexpr (IsOptional<T>::value) {
      if (v) {
        out.append("Some(");
        value(*v);
        out.push_back(')');
      } else {
        out.append("None");
      }
    } else if constexpr (std::is_same_v<T, std::pair<std::string, float>>) {
      out.push_back('(');
      append_quoted(out, v.first);
      out.append(", ");
      append_float(out, v.second);
      out.push_back(')');
    } else if constexpr (IsVector<T>::value) {
      out.push_back('[');
      bool f = true;
      for (const auto& e : v) {
        if (!f) out.append(", ");
        f = false;
        value(e);
      }
      out.push_back(']');
    }
  }

  template <typename T>
  static size_t element_count(const T& v) {
    if constexpr (IsVector<T>::value || IsMap<T>::value) {
      return v.size();
    } else {
      return 0;  // no kind marks a count on a scalar
    }
  }

  template <typename T>
  static size_t text_bytes(const T& v) {
    if constexpr (std::is_same_v<T, std::string>) {
      return v.size();
    } else {
      return 0;  // no kind marks a summary on a non-text field
    }
  }

  template <typename T>
  void operator()(std::string_view n, const T& v, FieldMark m) {
    if (m.has(kSkip)) return;
    if (m.has(kR)) {
      name(n);
      out.append("\"[REDACTED]\"");
    } else if (m.has(kU)) {
      name(n);
      out.append("\"<redacted>\"");
    } else if (m.has(kContent)) {
      name(n);
      out.append("\"[REDACTED ").append(std::to_string(text_bytes(v))).append(" bytes]\"");
    } else if (m.has(kFileData)) {
      name(n);
      out.append("\"[").append(std::to_string(text_bytes(v))).append(" bytes base64]\"");
    } else if (m.has(kDataChars)) {
      name(n);
      out.append("\"[").append(std::to_string(text_bytes(v))).append(" base64 chars]\"");
    } else if (m.has(kPresence)) {
      if constexpr (IsOptional<T>::value) {
        name(m.alt.empty() ? n : m.alt);
        out.append(v.has_value() ? "true" : "false");
      }
    } else if (m.has(kCount)) {
      name(m.alt);
      out.append(std::to_string(element_count(v)));
    } else if constexpr (printable<T>()) {
      name(n);
      value(v);
    }
    // Nested records, byte strings and maps always carry a mark in the kind
    // declarations; unmarked they would be left out rather than shown.
  }
};

struct IdentifierVisitor {
  const std::function<void(std::string&)>& fn;

  void rewrite(std::string& s) { fn(s); }
  void rewrite(ForwardInfo& f) { fn(f.original_sender); }
  void rewrite(ReplyContext& c) { fn(c.sender); }
  void rewrite(GroupInfoMemberPayload& p) { fn(p.user_id); }
  void rewrite(UserGroupSummaryPayload& p) { fn(p.group_id); }
  void rewrite(ResolvedClaim& c) {
    fn(c.address);
    fn(c.public_key);
  }
  // Fields of other types are never identifier-marked.
  template <typename T>
  void rewrite(T&) {}
  template <typename T>
  void rewrite(std::optional<T>& o) {
    if (o) rewrite(*o);
  }
  template <typename T>
  void rewrite(std::vector<T>& list) {
    for (auto& e : list) rewrite(e);
  }

  template <typename T>
  void operator()(std::string_view, T& v, FieldMark m) {
    if (m.has(kId)) rewrite(v);
  }
};

}  // namespace

std::string_view ProtocolEvent::kind_name() const {
  return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kName; }, v_);
}

std::string_view ProtocolEvent::tag() const {
  return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kTag; }, v_);
}

void ProtocolEvent::diagnostic_text(std::string& out) const {
  std::visit(
      [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        out.append(E::kName);
        out.append(" { ");
        DiagnosticPrinter p{out};
        E::each_field(e, p);
        out.append(" }");
      },
      v_);
}

std::string ProtocolEvent::diagnostic_text() const {
  std::string out;
  out.reserve(128);
  diagnostic_text(out);
  return out;
}

void ProtocolEvent::for_each_identifier(const std::function<void(std::string&)>& fn) {
  std::visit(
      [&](auto& e) {
        using E = std::decay_t<decltype(e)>;
        IdentifierVisitor iv{fn};
        E::each_field(e, iv);
      },
      v_);
}

void ProtocolEvent::clear_media_key_material() {
  auto clear = [](std::optional<MediaMetadata>& m) {
    if (m) {
      m->encryption_key.reset();
      m->iv.reset();
    }
  };
  if (auto* e = get_if<event::MessageReceived>()) clear(e->media_metadata);
  if (auto* e = get_if<event::FileReceived>()) clear(e->media_metadata);
  if (auto* e = get_if<event::GroupMessageReceived>()) clear(e->media_metadata);
}

}  // namespace brenvik
