// The working group's passive-client vectors (every passive-client-*.json
// present): join a group another implementation made, then follow it epoch
// after epoch (proposals kept and committed by reference, PublicMessage
// handshakes, pre-shared keys), matching each epoch authenticator. Run once
// in memory and once through StoredGroup with a reload before every message.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "rfc9420/group.h"
#include "rfc9420/stored_group.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

// A fault in a case: the case cannot run, or runs to another result.
struct CaseFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Bytes hex(const json& j) {
  if (!j.is_string()) throw CaseFailure("a field that should be hex is not a string");
  auto r = hex_decode(j.get<std::string>());
  if (!r.ok()) throw CaseFailure("bad hex in vector");
  return *r;
}

MlsMessage message(const json& j, const std::string& what) {
  auto m = decode_mls_message(hex(j));
  if (!m.ok())
    throw CaseFailure(what + " does not decode: " + std::string(tls_error_message(m.error())));
  return std::move(*m);
}

template <typename T>
T body(const json& j, const std::string& what) {
  MlsMessage m = message(j, what);
  const T* b = m.get<T>();
  if (!b) throw CaseFailure(what + " has another wire format");
  return *b;
}

Bytes bytes_of(const crypto::SecretBytes& s) {
  return Bytes(s.view().begin(), s.view().end());
}

// The policy of a client following groups of other implementations.
GroupConfig follower_config() {
  GroupConfig c;
  c.incoming = IncomingWireFormatPolicy::Mixed;
  c.keep_proposals = true;
  c.number_of_resumption_psks = 16;
  return c;
}

ReceiveOptions receive_options(const json& c) {
  ReceiveOptions o;
  for (const auto& p : c.at("external_psks"))
    o.external_psks.push_back({hex(p.at("psk_id")), hex(p.at("psk"))});
  o.check_received_lifetimes = false;
  return o;
}

StagedWelcome stage(const json& c) {
  auto kp = body<KeyPackage>(c.at("key_package"), "key_package");
  auto init = crypto::X25519PrivateKey::from_bytes(hex(c.at("init_priv")));
  auto enc = crypto::X25519PrivateKey::from_bytes(hex(c.at("encryption_priv")));
  if (!init.ok() || !enc.ok()) throw CaseFailure("private keys do not load");
  KeyPackageWithKeys own{kp, *init, *enc};
  WelcomeOptions opts;
  opts.config = follower_config();
  opts.check_received_lifetimes = false;
  if (!c.at("ratchet_tree").is_null()) {
    auto t = tls_decode<RatchetTree>(hex(c.at("ratchet_tree")));
    if (!t.ok()) throw CaseFailure("ratchet_tree does not decode");
    opts.ratchet_tree = std::move(*t);
  }
  opts.external_psks = receive_options(c).external_psks;
  auto staged = stage_welcome(body<Welcome>(c.at("welcome"), "welcome"), own, opts);
  if (!staged.ok()) throw CaseFailure("join: " + staged.error().message());
  return std::move(*staged);
}

void expect_authenticator(const crypto::SecretBytes& got, const json& want, const std::string& at) {
  if (bytes_of(got) != hex(want)) throw CaseFailure("epoch authenticator differs " + at);
}

// One message of an epoch through a group: proposals are kept, commits
// merged. `Ops` is Group or StoredGroup.
template <typename Ops>
void apply(Ops& ops, const MlsMessage& m, bool is_commit, const std::string& what) {
  auto r = ops.process_message(m, 0);
  if (!r.ok()) throw CaseFailure(what + ": " + r.error().message());
  if (!is_commit) {
    auto* p = std::get_if<ProposalReceived>(&r->content);
    if (!p) throw CaseFailure(what + " is not a proposal");
    auto k = ops.keep_proposal(*p);
    if (!k.ok()) throw CaseFailure(what + " is not kept: " + k.error().message());
    return;
  }
  auto* staged = std::get_if<StagedCommit>(&r->content);
  if (!staged) throw CaseFailure(what + " is not a commit");
  auto merged = ops.merge_staged_commit(std::move(*staged));
  if (!merged.ok()) throw CaseFailure(what + " does not merge: " + merged.error().message());
}

void run_in_memory(const json& c) {
  auto group = stage(c).into_group();
  if (!group.ok()) throw CaseFailure("join: " + group.error().message());
  group->set_receive_options(receive_options(c));
  expect_authenticator(group->epoch_authenticator(), c.at("initial_epoch_authenticator"),
                       "after the join");
  size_t e = 0;
  for (const auto& epoch : c.at("epochs")) {
    std::string at = "epoch " + std::to_string(e++);
    size_t i = 0;
    for (const auto& p : epoch.at("proposals")) {
      std::string what = at + " proposal " + std::to_string(i++);
      apply(*group, message(p, what), false, what);
    }
    apply(*group, message(epoch.at("commit"), at + " commit"), true, at + " commit");
    expect_authenticator(group->epoch_authenticator(), epoch.at("epoch_authenticator"), at);
  }
}

void run_stored(const json& c) {
  MemoryStorageProvider storage;
  StagedWelcome staged = stage(c);
  Bytes id = staged.group_id();
  {
    auto joined = StoredGroup::join(storage, std::move(staged), {});
    if (!joined.ok()) throw CaseFailure("stored join: " + joined.error().message());
  }
  // Every operation starts from storage; receive options are never stored.
  auto reopen = [&]() {
    auto g = StoredGroup::open(storage, id);
    if (!g.ok() || !*g)
      throw CaseFailure("reload fails" + (g.ok() ? std::string() : ": " + g.error().message()));
    (*g)->group().set_receive_options(receive_options(c));
    return std::move(**g);
  };
  expect_authenticator(reopen().group().epoch_authenticator(), c.at("initial_epoch_authenticator"),
                       "after the stored join");
  size_t e = 0;
  for (const auto& epoch : c.at("epochs")) {
    std::string at = "epoch " + std::to_string(e++);
    size_t i = 0;
    for (const auto& p : epoch.at("proposals")) {
      StoredGroup g = reopen();
      apply(g, message(p, at + " proposal"), false, at + " proposal " + std::to_string(i++));
    }
    {
      StoredGroup g = reopen();
      apply(g, message(epoch.at("commit"), at + " commit"), true, at + " commit");
    }
    expect_authenticator(reopen().group().epoch_authenticator(), epoch.at("epoch_authenticator"),
                         at + " after reload");
  }
}

// Runs every suite-1 case of a file; returns the index and reason of each
// case that failed, and counts the suite-1 cases run.
struct FileRun {
  size_t suite1 = 0;
  size_t run = 0;
  std::vector<std::pair<size_t, std::string>> failures;
};

FileRun run_file(const json& cases, void (*runner)(const json&)) {
  FileRun out;
  for (size_t i = 0; i < cases.size(); ++i) {
    const json& c = cases[i];
    if (!c.contains("cipher_suite") || c["cipher_suite"] != 1) continue;
    ++out.suite1;
    try {
      runner(c);
    } catch (const std::exception& ex) {  // CaseFailure, or a vector missing a field
      out.failures.push_back({i, ex.what()});
    }
    ++out.run;
  }
  return out;
}

std::vector<std::filesystem::path> passive_client_files() {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(brenvik::testing::vectors_dir() / "mls", ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("passive-client-") && name.ends_with(".json")) out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

json load(const std::filesystem::path& p) {
  std::string text;
  if (!brenvik::testing::read_file(p, text)) throw std::runtime_error("cannot read " + p.string());
  return json::parse(text);
}

class PassiveClient : public ::testing::TestWithParam<bool> {};

TEST_P(PassiveClient, EveryCaseOfEveryFileReachesEveryEpochAuthenticator) {
  const bool stored = GetParam();
  auto files = passive_client_files();
  for (const char* expected :
       {"passive-client-welcome.json", "passive-client-handling-commit.json"})
    if (std::none_of(files.begin(), files.end(),
                     [&](const auto& f) { return f.filename() == expected; }))
      std::cout << "[ NOTE ] " << expected << " not found in the vectors; not run\n";
  if (files.empty()) GTEST_SKIP() << "no passive-client-*.json vectors found";
  for (const auto& f : files) {
    json cases = load(f);
    FileRun r = run_file(cases, stored ? run_stored : run_in_memory);
    for (const auto& [index, why] : r.failures)
      ADD_FAILURE() << f.filename() << " case " << index << ": " << why;
    EXPECT_EQ(r.run, r.suite1) << f.filename();
    EXPECT_GT(r.suite1, 0u) << f.filename() << " holds no suite-1 case";
    std::cout << "[ INFO ] " << f.filename() << ": " << r.run - r.failures.size() << " of "
              << r.suite1 << " suite-1 cases passed" << (stored ? " (stored)" : "") << "\n";
  }
}

INSTANTIATE_TEST_SUITE_P(MemoryAndStored, PassiveClient, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Stored" : "Memory"; });

// A damaged copy of the handling-commit file fails exactly the damaged case,
// with a reason that names the fault.
TEST(PassiveClient, DamagedCaseFailsAloneAndNamesItsFault) {
  auto path = brenvik::testing::vectors_dir() / "mls" / "passive-client-handling-commit.json";
  if (!std::filesystem::exists(path))
    GTEST_SKIP() << "passive-client-handling-commit.json not found";
  const json original = load(path);
  // The first case whose last epoch commits proposals by reference.
  size_t target = original.size();
  for (size_t i = 0; i < original.size() && target == original.size(); ++i)
    if (original[i]["cipher_suite"] == 1 && !original[i]["epochs"].empty() &&
        !original[i]["epochs"].back()["proposals"].empty())
      target = i;
  ASSERT_LT(target, original.size()) << "no case commits proposals by reference";

  struct Damage {
    const char* what;
    std::function<void(json&)> apply;
    std::string reason;  // part of the failure text
  };
  std::vector<Damage> damages = {
      {"a membership-tag byte flipped",
       [](json& c) {
         std::string m = c["epochs"].back()["commit"];
         m.back() = m.back() == '0' ? '1' : '0';  // the tag is the message's last field
         c["epochs"].back()["commit"] = m;
       },
       "Invalid membership tag"},
      {"a committed proposal dropped", [](json& c) { c["epochs"].back()["proposals"].erase(0); },
       "unknown proposal reference"},
      {"an unknown proposal type",
       [](json& c) {
         // PublicMessage: version, wire format, group id, epoch, sender,
         // authenticated data, content type, then the proposal type.
         Bytes m = hex(c["epochs"].back()["proposals"][0]);
         size_t at = 4;
         at += 1 + m[at];  // group id (short length)
         at += 8 + 1 + 4;  // epoch, sender type, leaf index
         at += 1 + m[at];  // authenticated data
         at += 1;          // content type
         m[at] = 0x7f;     // a proposal type nobody defines
         m[at + 1] = 0x7f;
         c["epochs"].back()["proposals"][0] = hex_encode(m);
       },
       "proposal"},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    json copy = original;
    d.apply(copy[target]);
    FileRun r = run_file(copy, run_in_memory);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].first, target);
    EXPECT_NE(r.failures[0].second.find(d.reason), std::string::npos) << r.failures[0].second;
    EXPECT_EQ(r.run, r.suite1);
  }
}

}  // namespace
}  // namespace brenvik::rfc9420
