#include "protocol/records/relay_group_records.h"

#include "protocol/records/field_assign.h"

namespace brenvik {

namespace {

constexpr JsonField kErrorFields[] = {{"reason", FieldRule::Required},
                                      {"group_id", FieldRule::Defaulted}};
constexpr JsonField kGroupsFields[] = {{"groups", FieldRule::Required}};
constexpr JsonField kSummaryFields[] = {{"group_id", FieldRule::Required},
                                        {"name", FieldRule::Required},
                                        {"created_at", FieldRule::Required}};
constexpr JsonField kInfoFields[] = {{"group_id", FieldRule::Required},
                                     {"name", FieldRule::Required},
                                     {"created_by", FieldRule::Required},
                                     {"created_at", FieldRule::Required},
                                     {"members", FieldRule::Required}};
constexpr JsonField kMemberFields[] = {{"user_id", FieldRule::Required},
                                       {"role", FieldRule::Required},
                                       {"joined_at", FieldRule::Required}};
constexpr JsonField kReportFields[] = {{"group_id", FieldRule::Required},
                                       {"message_id", FieldRule::Required},
                                       {"delivered", FieldRule::Defaulted},
                                       {"pushed", FieldRule::Defaulted},
                                       {"missed", FieldRule::Defaulted}};
constexpr JsonField kMissFields[] = {{"username", FieldRule::Required},
                                     {"reason", FieldRule::Defaulted}};

// A record whose fields are all strings, in declared order.
template <size_t N>
JsonStatus read_string_record(JsonReader& r, std::string_view expecting,
                              const JsonField (&fields)[N], std::string* const (&out)[N]) {
  return read_record(r, expecting, fields,
                     [&](size_t i) { return assign_field(r.read_string(), *out[i]); });
}

template <typename T, typename ReadOne>
Result<std::vector<T>, JsonError> read_list(JsonReader& r, ReadOne read_one) {
  std::vector<T> out;
  BRENVIK_TRY_VOID(r.begin_array("a sequence"));
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) break;
    T item{};
    BRENVIK_TRY_VOID(read_one(r, item));
    out.push_back(std::move(item));
  }
  return out;
}

JsonStatus read_summary(JsonReader& r, UserGroupSummaryPayload& s) {
  return read_string_record(r, "struct UserGroupSummaryPayload", kSummaryFields,
                            {&s.group_id, &s.name, &s.created_at});
}

JsonStatus read_member(JsonReader& r, GroupInfoMemberPayload& m) {
  return read_string_record(r, "struct GroupInfoMemberPayload", kMemberFields,
                            {&m.user_id, &m.role, &m.joined_at});
}

JsonStatus read_miss(JsonReader& r, RelayGroupDeliveryMiss& m) {
  return read_string_record(r, "struct RelayGroupDeliveryMiss", kMissFields,
                            {&m.username, &m.reason});
}

JsonStatus read_text(JsonReader& r, std::string& s) {
  return assign_field(r.read_string(), s);
}

}  // namespace

Result<GroupErrorPayload, JsonError> GroupErrorPayload::from_json(std::string_view text) {
  return read_whole_record<GroupErrorPayload>(text, [](JsonReader& r, GroupErrorPayload& p) {
    return read_record(r, "struct GroupErrorPayload", kErrorFields, [&](size_t i) {
      return i == 0 ? assign_field(r.read_string(), p.reason)
                    : assign_field(r.read_optional_string(), p.group_id);
    });
  });
}

Result<UserGroupsPayload, JsonError> UserGroupsPayload::from_json(std::string_view text) {
  return read_whole_record<UserGroupsPayload>(text, [](JsonReader& r, UserGroupsPayload& p) {
    return read_record(r, "struct UserGroupsPayload", kGroupsFields, [&](size_t) {
      return assign_field(read_list<UserGroupSummaryPayload>(r, read_summary), p.groups);
    });
  });
}

Result<GroupInfoPayload, JsonError> GroupInfoPayload::from_json(std::string_view text) {
  return read_whole_record<GroupInfoPayload>(text, [](JsonReader& r, GroupInfoPayload& p) {
    std::string* texts[] = {&p.group_id, &p.name, &p.created_by, &p.created_at};
    return read_record(r, "struct GroupInfoPayload", kInfoFields, [&](size_t i) {
      if (i < 4) return assign_field(r.read_string(), *texts[i]);
      return assign_field(read_list<GroupInfoMemberPayload>(r, read_member), p.members);
    });
  });
}

Result<RelayGroupDeliveryReport, JsonError> RelayGroupDeliveryReport::from_json(
    std::string_view text) {
  return read_whole_record<RelayGroupDeliveryReport>(
      text, [](JsonReader& r, RelayGroupDeliveryReport& p) {
        return read_record(
            r, "struct RelayGroupDeliveryReport", kReportFields, [&](size_t i) -> JsonStatus {
              switch (i) {
                case 0:
                  return assign_field(r.read_string(), p.group_id);
                case 1:
                  return assign_field(r.read_string(), p.message_id);
                case 2:
                  return assign_field(read_list<std::string>(r, read_text), p.delivered);
                case 3:
                  return assign_field(read_list<std::string>(r, read_text), p.pushed);
                default:
                  return assign_field(read_list<RelayGroupDeliveryMiss>(r, read_miss), p.missed);
              }
            });
      });
}

}  // namespace brenvik
