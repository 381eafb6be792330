#include "store/conformance.h"

#include <algorithm>

#include "util/json_writer.h"

namespace brenvik::store {
namespace {

constexpr std::string_view P = "storage_conformance_probe";
constexpr std::string_view O = "storage_conformance_probe_other";
constexpr std::string_view S = "suffixed_storage_conformance_probe";
constexpr std::string_view U = "storage_conformance_probe_unused";
constexpr std::string_view kIsolation = "storage_conformance_isolation";
constexpr std::string_view kIsolationListing = "storage_conformance_isolation_listing";
// The protocol-state store's value limit: the largest record a host must hold.
constexpr size_t kLargeRecord = 4194304;

using Detail = std::optional<std::string>;

bool contains(const std::vector<std::string>& v, std::string_view k) {
  return std::find(v.begin(), v.end(), k) != v.end();
}

class Runner {
 public:
  explicit Runner(StateStorageProvider& p) : p_(p) {}

  Detail round_trip(std::string_view id, ByteView expected) {
    auto r = p_.load(P, id);
    if (!r.ok()) return "load failed: " + r.error().message();
    if (!r.value()) return std::string("stored value loaded back as missing");
    const Bytes& got = *r.value();
    if (!std::equal(got.begin(), got.end(), expected.begin(), expected.end()))
      return "loaded " + std::to_string(got.size()) + " bytes, expected " +
             std::to_string(expected.size()) + " (contents differ)";
    return std::nullopt;
  }

  void delete_probe_records() {
    for (auto type : {P, O})
      if (auto l = p_.list_keys(type); l.ok())
        for (const auto& k : l.value()) (void)p_.delete_(type, k);
  }

  Detail store_then(std::string_view prefix, std::string_view id, ByteView value) {
    if (auto r = p_.store(P, id, value); !r.ok()) return std::string(prefix) + r.error().message();
    return round_trip(id, value);
  }

  Detail isolation() {
    Detail d;
    for (auto [t, k, v] :
         {std::tuple{O, kIsolation, "theirs"}, std::tuple{P, kIsolation, "mine"},
          std::tuple{O, kIsolationListing, "x"}, std::tuple{S, kIsolationListing, "x"}}) {
      if (auto r = p_.store(t, k, as_bytes(v)); !r.ok()) {
        // Nothing is deleted: the failed store may have partly written.
        return "store failed, so isolation could not be checked and nothing was deleted: " +
               r.error().message();
      }
    }
    if (auto l = p_.load(O, kIsolation); l.ok() && l.value() && as_chars(*l.value()) == "mine")
      d = "the same key id in two key types collided: a write under one replaced the other";
    else if (auto k = p_.list_keys(P); k.ok() && listing_names_isolation_key(k.value()))
      d = "list_keys named a record written under another key type";
    (void)p_.delete_(P, kIsolation);
    (void)p_.delete_(O, kIsolation);
    (void)p_.delete_(O, kIsolationListing);
    (void)p_.delete_(S, kIsolationListing);
    return d;
  }

  Detail absent_key() {
    auto r = p_.load(P, "never_written");
    if (!r.ok()) {
      if (r.error().kind == StateStorageError::Kind::NotFound)
        return std::string("absent keys must load as Ok(None), not NotFound");
      return "load of an absent key failed: " + r.error().message();
    }
    if (r.value()) return std::string("a key that was never written returned a value");
    return std::nullopt;
  }

  Detail delete_idempotent() {
    if (auto r = p_.store(P, "deletable", as_bytes("x")); !r.ok())
      return "store/delete failed: " + r.error().message();
    if (auto r = p_.delete_(P, "deletable"); !r.ok())
      return "store/delete failed: " + r.error().message();
    auto l = p_.load(P, "deletable");
    if (!l.ok()) return "load after delete failed: " + l.error().message();
    if (l.value()) return std::string("value survived a delete");
    if (auto r = p_.delete_(P, "deletable"); !r.ok())
      return "second delete must succeed, got: " + r.error().message();
    return std::nullopt;
  }

  Detail list_scoped() {
    if (auto r = p_.store(P, "shared_id", as_bytes("mine")); !r.ok())
      return "store failed: " + r.error().message();
    if (auto r = p_.store(O, "shared_id", as_bytes("theirs")); !r.ok())
      return "store failed: " + r.error().message();
    auto lp = p_.list_keys(P);
    if (!lp.ok()) return "list_keys failed: " + lp.error().message();
    for (auto k : {"basic", "binary", "empty", "overwrite", "shared_id"})
      if (!contains(lp.value(), k)) return "list_keys omitted " + std::string(k);
    if (contains(lp.value(), "deletable")) return std::string("list_keys named a deleted record");
    auto lo = p_.list_keys(O);
    if (!lo.ok()) return "list_keys failed: " + lo.error().message();
    if (lo.value() != std::vector<std::string>{"shared_id"}) {
      std::string s = "list_keys leaked across key types: [";
      for (size_t i = 0; i < lo.value().size(); ++i)
        s += (i ? ", \"" : "\"") + lo.value()[i] + "\"";
      return s + "]";
    }
    return std::nullopt;
  }

  Detail unused_lists_empty() {
    auto l = p_.list_keys(U);
    if (!l.ok()) return "list_keys on an unused key type failed: " + l.error().message();
    if (!l.value().empty())
      return "an unused key type listed " + std::to_string(l.value().size()) + " keys";
    return std::nullopt;
  }

  Detail composed() {
    constexpr std::string_view id = "space-1/doc.name_2/000000000000002a";
    if (auto d = store_then("store with a composed key failed: ", id, as_bytes("composed")))
      return d;
    auto l = p_.list_keys(P);
    if (!l.ok()) return "list_keys failed: " + l.error().message();
    if (!contains(l.value(), id))
      return std::string("list_keys did not return a composed key verbatim");
    return std::nullopt;
  }

  Detail all_deleted() {
    delete_probe_records();
    for (auto t : {P, O}) {
      auto l = p_.list_keys(t);
      if (!l.ok()) return "list_keys failed: " + l.error().message();
      if (!l.value().empty())
        return std::to_string(l.value().size()) + " records survived a listed delete in " +
               std::string(t);
    }
    return std::nullopt;
  }

  StateStorageProvider& p_;
};

}  // namespace

void StorageConformanceReport::record(std::string_view check, const Detail& failure_detail) {
  if (failure_detail)
    failures.push_back({std::string(check), *failure_detail});
  else
    passed.emplace_back(check);
}

std::string StorageConformanceReport::to_json() const {
  JsonWriter w;
  w.begin_object().key("passed").begin_array();
  for (const auto& p : passed) w.str(p);
  w.end_array().key("failures").begin_array();
  for (const auto& f : failures)
    w.begin_object().key("check").str(f.check).key("detail").str(f.detail).end_object();
  w.end_array().end_object();
  return w.take();
}

bool listing_names_isolation_key(const std::vector<std::string>& keys) {
  return contains(keys, kIsolationListing);
}

StorageConformanceReport run_storage_conformance_checks(StateStorageProvider& provider) {
  StorageConformanceReport report;
  Runner r(provider);
  if (auto d = r.isolation()) {
    report.record("key_types_are_separate_namespaces", d);
    return report;  // every later check relies on key types being apart
  }
  report.record("key_types_are_separate_namespaces", std::nullopt);
  r.delete_probe_records();
  report.record("store_then_load", r.store_then("store failed: ", "basic", as_bytes("hello")));
  Bytes all(256);
  for (size_t i = 0; i < 256; ++i) all[i] = uint8_t(i);
  report.record("binary_values_round_trip", r.store_then("store failed: ", "binary", all));
  report.record("empty_value_is_not_missing", r.store_then("store failed: ", "empty", ByteView()));
  Detail ow;
  if (auto s = provider.store(P, "overwrite", as_bytes("first")); !s.ok())
    ow = "store failed: " + s.error().message();
  else
    ow = r.store_then("store failed: ", "overwrite", as_bytes("second"));
  report.record("store_overwrites", ow);
  report.record("absent_key_loads_as_none", r.absent_key());
  report.record("delete_removes_and_is_idempotent", r.delete_idempotent());
  report.record("list_keys_is_accurate_and_scoped", r.list_scoped());
  report.record("unused_key_type_lists_empty", r.unused_lists_empty());
  report.record("composed_key_ids_round_trip", r.composed());
  const std::string long_id =
      std::string(128, 's') + "/" + std::string(128, 'd') + "/" + std::string(16, 'f');
  report.record("long_key_ids_round_trip",
                r.store_then("store with a long key failed: ", long_id, as_bytes("long")));
  Bytes large(kLargeRecord, 0xA5);
  report.record("large_records_round_trip",
                r.store_then("store of a large record failed: ", "large", large));
  report.record("listed_records_can_all_be_deleted", r.all_deleted());
  return report;
}

}  // namespace brenvik::store
