// A JSON-lines front end over the RFC 9420 engine, for driving it from other
// MLS implementations (tests/interop). One request per input line, one reply
// per output line; bytes travel as lower-case hex. The client holds one
// identity, one stored key package at a time and one group, all in an
// in-memory storage provider, and reloads the group from it for every
// operation as the library does.
//
//   {"op":"key_package"}                  -> {"key_package"}
//   {"op":"create_group","group_id"}      -> {"epoch"}
//   {"op":"add","key_package"}            -> {"commit","welcome","epoch"}
//   {"op":"join","welcome"}               -> {"epoch"}
//   {"op":"protect","data"}               -> {"message"}
//   {"op":"process","message"}            -> {"kind":"application","data"} |
//                                            {"kind":"commit","epoch"}
//   {"op":"commit_update"}                -> {"commit","epoch"}
//   {"op":"epoch_authenticator"}          -> {"epoch","epoch_authenticator"}
//
// Any failure answers {"error": text} and the client keeps running. Every
// reply carries "micros": the engine's time for the operation alone (JSON
// and hex work excluded).
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/stored_group.h"
#include "util/hex.h"

namespace {

using namespace brenvik;
using namespace brenvik::rfc9420;
using nlohmann::json;

// A request the client refuses before the engine sees it.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

uint64_t unix_now() {
  return uint64_t(std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

Bytes hex_field(const json& req, const char* name) {
  auto it = req.find(name);
  if (it == req.end() || !it->is_string())
    throw BadRequest(std::string("missing hex field \"") + name + "\"");
  auto b = hex_decode(it->get<std::string>());
  if (!b.ok()) throw BadRequest(std::string("field \"") + name + "\" is not hex");
  return *b;
}

MlsMessage mls_message(const json& req, const char* name) {
  auto m = decode_mls_message(hex_field(req, name));
  if (!m.ok())
    throw BadRequest(std::string("field \"") + name +
                     "\" is not an MLS message: " + std::string(tls_error_message(m.error())));
  return std::move(*m);
}

[[noreturn]] void fail(const Error& e) {
  throw std::runtime_error(e.message());
}

class Client {
 public:
  Client() {
    auto s = crypto::Ed25519PrivateKey::generate();
    if (!s.ok()) throw std::runtime_error("no signing key");
    signer_.emplace(std::move(*s));
    auto tag = crypto::random_bytes(8);
    identity_ = "interop:" + hex_encode(tag.ok() ? *tag : Bytes(8, 0));
  }

  // Runs an engine call, timing it; throws its error.
  template <typename F>
  auto timed(F&& f) {
    auto start = std::chrono::steady_clock::now();
    auto r = f();
    micros_ = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    if (!r.ok()) fail(r.error());
    if constexpr (!std::is_void_v<typename decltype(r)::value_type>) return std::move(*r);
  }

  // Opens the group from storage and runs f on it, timed with the load.
  template <typename F>
  auto with_group(F&& f) {
    if (!group_id_) throw BadRequest("no group yet");
    return timed([&]() {
      using R = decltype(f(std::declval<StoredGroup&>()));
      auto g = StoredGroup::open(storage_, *group_id_);
      if (!g.ok()) return R(Err(g.error()));
      if (!*g) return R(Err(Error(ErrorCode::InvalidState, "the group is not stored")));
      return f(**g);
    });
  }

 public:
  json handle(const json& req) {
    if (!req.is_object()) throw BadRequest("a request is a JSON object");
    auto op_it = req.find("op");
    if (op_it == req.end() || !op_it->is_string()) throw BadRequest("missing \"op\"");
    const std::string op = *op_it;
    json out;
    if (op == "key_package") {
      auto cred = basic_credential(as_bytes(identity_), *signer_);
      auto kp =
          timed([&] { return generate_stored_key_package(storage_, cred, *signer_, unix_now()); });
      MlsMessage m;
      m.body = tls::Case<WireFormat::key_package, KeyPackage>{kp.key_package};
      out["key_package"] = hex_encode(encode_mls_message(m));
    } else if (op == "create_group") {
      Bytes id = hex_field(req, "group_id");
      if (group_id_) throw BadRequest("this client already has a group");
      auto cred = basic_credential(as_bytes(identity_), *signer_);
      auto g = timed([&] { return StoredGroup::create(storage_, id, cred, *signer_, unix_now()); });
      group_id_ = id;
      out["epoch"] = g.group().epoch();
    } else if (op == "add") {
      MlsMessage m = mls_message(req, "key_package");
      const KeyPackage* kp = m.get<KeyPackage>();
      if (!kp) throw BadRequest("\"key_package\" holds another kind of message");
      std::vector<KeyPackage> kps{*kp};
      auto r = with_group([&](StoredGroup& g) {
        auto c = g.add_members(kps, *signer_, unix_now());
        if (c.ok()) out["epoch"] = g.group().epoch();
        return c;
      });
      out["commit"] = hex_encode(encode_mls_message(r.commit));
      if (r.welcome) out["welcome"] = hex_encode(encode_mls_message(*r.welcome));
    } else if (op == "join") {
      MlsMessage m = mls_message(req, "welcome");
      const Welcome* w = m.get<Welcome>();
      if (!w) throw BadRequest("\"welcome\" holds another kind of message");
      if (group_id_) throw BadRequest("this client already has a group");
      auto g = timed([&]() -> Result<StoredGroup, Error> {
        WelcomeOptions opts;
        opts.now = unix_now();
        BRENVIK_TRY(StagedStoredWelcome s, stage_stored_welcome(storage_, *w, opts));
        return StoredGroup::join(storage_, std::move(s.staged), s.key_package_ref);
      });
      group_id_ = g.group().group_id();
      out["epoch"] = g.group().epoch();
    } else if (op == "protect") {
      Bytes data = hex_field(req, "data");
      auto m =
          with_group([&](StoredGroup& g) { return g.create_application_message(data, *signer_); });
      out["message"] = hex_encode(encode_mls_message(m));
    } else if (op == "process") {
      MlsMessage m = mls_message(req, "message");
      with_group([&](StoredGroup& g) -> Result<void, Error> {
        BRENVIK_TRY(ProcessedMessage p, g.process_message(m, unix_now()));
        if (auto* app = std::get_if<ApplicationData>(&p.content)) {
          out["kind"] = "application";
          out["data"] = hex_encode(app->data);
        } else if (auto* staged = std::get_if<StagedCommit>(&p.content)) {
          BRENVIK_TRY_VOID(g.merge_staged_commit(std::move(*staged)));
          out["kind"] = "commit";
          out["epoch"] = g.group().epoch();
        } else {
          out["kind"] = "proposal";
        }
        return {};
      });
    } else if (op == "commit_update") {
      auto r = with_group([&](StoredGroup& g) {
        auto c = g.self_update(*signer_);
        if (c.ok()) out["epoch"] = g.group().epoch();
        return c;
      });
      out["commit"] = hex_encode(encode_mls_message(r.commit));
    } else if (op == "epoch_authenticator") {
      auto auth = with_group([&](StoredGroup& g) -> Result<crypto::SecretBytes, Error> {
        out["epoch"] = g.group().epoch();
        return g.group().epoch_authenticator();
      });
      out["epoch_authenticator"] = hex_encode(auth.view());
    } else {
      throw BadRequest("unknown op \"" + op + "\"");
    }
    out["micros"] = micros_;
    return out;
  }

 private:
  MemoryStorageProvider storage_;
  std::optional<crypto::Ed25519PrivateKey> signer_;
  std::string identity_;
  std::optional<Bytes> group_id_;
  int64_t micros_ = 0;
};

// Parses one request line; malformed JSON throws json::exception, a key
// given twice in one object (which would otherwise silently take the last
// value) throws BadRequest.
json parse_request(const std::string& line) {
  std::vector<std::set<std::string>> keys;
  return json::parse(line, [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      keys.pop_back();
    } else if (event == json::parse_event_t::key &&
               !keys.back().insert(parsed.get<std::string>()).second) {
      throw BadRequest("key \"" + parsed.get<std::string>() + "\" given twice");
    }
    return true;
  });
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  Client client;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    json reply;
    try {
      json req = parse_request(line);
      reply = client.handle(req);
    } catch (const json::exception& e) {
      reply = {{"error", std::string("malformed request: ") + e.what()}};
    } catch (const std::exception& e) {
      reply = {{"error", e.what()}};
    }
    std::cout << reply.dump() << "\n" << std::flush;
  }
  return 0;
}
