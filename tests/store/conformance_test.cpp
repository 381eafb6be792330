#include "store/conformance.h"

#include <gtest/gtest.h>

#include <map>

#include "store/store_pair.h"
#include "store_test_util.h"

namespace brenvik::store {
namespace {

// A provider over a map, with switchable faults of the kinds hosts get wrong.
class MemoryProvider : public StateStorageProvider {
 public:
  bool prefix_matching = false;  // list_keys(t) also lists key types extending t
  bool not_found_on_absent = false;

  Result<void, StateStorageError> store(std::string_view t, std::string_view k,
                                        ByteView v) override {
    data_[{std::string(t), std::string(k)}] = Bytes(v.begin(), v.end());
    return {};
  }
  Result<std::optional<Bytes>, StateStorageError> load(std::string_view t,
                                                       std::string_view k) override {
    auto it = data_.find({std::string(t), std::string(k)});
    if (it == data_.end()) {
      if (not_found_on_absent)
        return Err(StateStorageError{StateStorageError::Kind::NotFound, std::string(k)});
      return std::optional<Bytes>();
    }
    return std::optional<Bytes>(it->second);
  }
  Result<void, StateStorageError> delete_(std::string_view t, std::string_view k) override {
    data_.erase({std::string(t), std::string(k)});
    return {};
  }
  Result<std::vector<std::string>, StateStorageError> list_keys(std::string_view t) override {
    std::vector<std::string> out;
    for (const auto& [key, v] : data_)
      if (key.first == t || (prefix_matching && key.first.starts_with(t)))
        out.push_back(key.second);
    return out;
  }
  size_t size() const { return data_.size(); }

 private:
  std::map<std::pair<std::string, std::string>, Bytes> data_;
};

const std::vector<std::string> kAllChecks = {"key_types_are_separate_namespaces",
                                             "store_then_load",
                                             "binary_values_round_trip",
                                             "empty_value_is_not_missing",
                                             "store_overwrites",
                                             "absent_key_loads_as_none",
                                             "delete_removes_and_is_idempotent",
                                             "list_keys_is_accurate_and_scoped",
                                             "unused_key_type_lists_empty",
                                             "composed_key_ids_round_trip",
                                             "long_key_ids_round_trip",
                                             "large_records_round_trip",
                                             "listed_records_can_all_be_deleted"};

TEST(Conformance, ConformingProviderPassesAllInOrderAndIsLeftEmpty) {
  MemoryProvider p;
  auto report = run_storage_conformance_checks(p);
  EXPECT_EQ(report.passed, kAllChecks);
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(p.size(), 0u);
  std::string json = run_storage_conformance(p);
  EXPECT_TRUE(
      json.starts_with("{\"passed\":[\"key_types_are_separate_namespaces\",\"store_then_load\","));
  EXPECT_TRUE(json.ends_with("\"listed_records_can_all_be_deleted\"],\"failures\":[]}"));
}

TEST(Conformance, PrefixMatchingProviderFailsOnlyTheFirstCheckAndStops) {
  MemoryProvider p;
  p.prefix_matching = true;
  EXPECT_EQ(
      run_storage_conformance(p),
      "{\"passed\":[],\"failures\":[{\"check\":\"key_types_are_separate_namespaces\",\"detail\":"
      "\"list_keys named a record written under another key type\"}]}");
}

TEST(Conformance, NotFoundOnAbsentFailsChecksSixAndSeven) {
  MemoryProvider p;
  p.not_found_on_absent = true;
  auto report = run_storage_conformance_checks(p);
  ASSERT_EQ(report.failures.size(), 2u);
  EXPECT_EQ(report.failures[0].check, "absent_key_loads_as_none");
  EXPECT_EQ(report.failures[0].detail, "absent keys must load as Ok(None), not NotFound");
  EXPECT_EQ(report.failures[1].check, "delete_removes_and_is_idempotent");
  EXPECT_EQ(report.failures[1].detail,
            "load after delete failed: Protocol state entry not found: deletable");
  EXPECT_EQ(report.passed.size(), 11u);
}

TEST(Conformance, FileStateStorePasses) {
  testing::TempDir t;
  auto pair = open_file_store_pair(real_fs(), t / "mls", t / "state", "app", "user", Bytes(32, 9));
  ASSERT_TRUE(pair.ok());
  auto report = run_storage_conformance_checks(*pair.value().state);
  EXPECT_EQ(report.passed, kAllChecks);
  for (const auto& f : report.failures) ADD_FAILURE() << f.check << ": " << f.detail;
}

}  // namespace
}  // namespace brenvik::store
