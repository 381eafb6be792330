// Writes the seed corpora of the fuzz targets from the public test vectors and
// from valid encodings the library itself writes. Run it again whenever an
// encoding changes (`make fuzz-seeds`):
//
//   fuzz_seed_gen CORPUS_DIR
//
// Each target's seeds are files "gen-<hash>" in CORPUS_DIR/<target>/; the
// generator replaces those and leaves every other file (regression inputs,
// "regress-*", and what fuzzing added) alone. Randomness comes from the
// fuzz support's fixed stream, so a run gives the same files every time.
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "bindings/ffi_types.h"
#include "core/wire_v1.h"
#include "crypto/nip44.h"
#include "crypto/sha256.h"
#include "fuzz_device.h"
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "fuzz_target.h"
#include "json_record_kinds.h"
#include "kesu/columnar/column_set.h"
#include "kesu/internal/encoding/arena.h"
#include "kesu/internal/encoding/value.h"
#include "kesu/kv_store/mem_store.h"
#include "protocol/media/file_chunk.h"
#include "protocol/records/data_purpose_json.h"
#include "protocol/records/data_value_json.h"
#include "protocol/records/encrypted_message_json.h"
#include "protocol/records/group_payloads.h"
#include "protocol/records/key_package_payload.h"
#include "protocol/records/pending_message.h"
#include "protocol/records/welcome_message_json.h"
#include "random_message.h"
#include "sealed/encrypted_message.h"
#include "test_support.h"
#include "transport/ble_fragment.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"
#include "util/base64.h"
#include "util/hex.h"
#include "util/rfc3339.h"

namespace fs = std::filesystem;
using namespace brenvik;
using namespace brenvik::fuzz;
namespace engine = brenvik::rfc9420;

namespace {

// Seeds per target, deduplicated by content.
std::map<std::string, std::map<std::string, Bytes>> g_seeds;

void seed(const std::string& target, ByteView bytes) {
  const auto d = crypto::sha256(bytes);
  const std::string name = "gen-" + hex_encode(ByteView(d.data(), 8));
  g_seeds[target][name] = Bytes(bytes.begin(), bytes.end());
}
Bytes tagged(uint8_t tag, ByteView rest) {
  Bytes b{tag};
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}
Bytes tagged(uint8_t tag, std::string_view rest) {
  return tagged(tag, as_bytes(rest));
}

nlohmann::json read_vectors(const std::string& rel) {
  std::string text;
  if (!testing::read_file(testing::vectors_dir() / rel, text)) {
    std::fprintf(stderr, "seed_gen: vectors %s not found; seeds from them left out\n", rel.c_str());
    return nullptr;
  }
  return nlohmann::json::parse(text);
}
Bytes hex(const nlohmann::json& j) {
  auto r = hex_decode(j.get<std::string>());
  return r.ok() ? *r : Bytes();
}

std::vector<Message> messages() {
  std::mt19937_64 rng(54);
  std::vector<Message> out;
  for (int i = 0; i < 24; ++i) {
    Message m = testing::random_message(rng);
    m.compact_wire = i % 2 == 0;
    out.push_back(std::move(m));
  }
  return out;
}

// ---- message encodings and transports ----

void message_seeds() {
  for (const Message& m : messages()) {
    auto json = encode_message_json(m);
    if (json.ok()) {
      seed("message_frames", *json);
      seed("json_records", tagged(kMessageJson, *json));
      seed("json_records", tagged(kGenericJson, *json));
      seed("json_records", tagged(kOriginalMessage, *json));
    }
    auto wire = encode_wire_v1(m);
    if (wire.ok()) seed("message_frames", *wire);
  }
  // The receive step: frames from peers, some popped as they come.
  const auto ms = messages();
  for (size_t i = 0; i + 3 < ms.size(); i += 3) {
    InputWriter w;
    for (size_t k = 0; k < 3; ++k) {
      auto enc = encode_message_for_transport(ms[i + k]);
      if (enc.ok()) w.u8(uint8_t(k + 1 + (k == 2 ? 0x80 : 0))).chunk(*enc);
    }
    seed("transport_receive", w.bytes());
  }
  // Fragments of messages of several sizes, from interleaved peers.
  for (size_t i = 0; i + 1 < ms.size(); i += 2) {
    Message big = ms[i];
    big.content = std::string(200 * (i + 1), 'x');
    auto a = fragment_message(big, kDefaultFragmentSize);
    auto b = fragment_message(ms[i + 1], i % 4 == 0 ? 64 : kDefaultFragmentSize);
    if (!a.ok() || !b.ok()) continue;
    InputWriter w;
    for (size_t k = 0; k < std::max(a->size(), b->size()); ++k) {
      if (k < a->size()) w.u8(uint8_t(1 | (i % 3) << 2)).chunk((*a)[a->size() - 1 - k]);
      if (k < b->size()) w.u8(2).chunk((*b)[k]);
    }
    seed("ble_reassembly", w.bytes());
  }
}

// ---- sealed envelopes and MLS ----

engine::MlsMessage alice_message(uint8_t kind) {
  const MlsPair& p = mls_pair();
  engine::Group alice(p.alice);
  switch (kind % 4) {
    case 0:
      return alice
          .create_application_message(as_bytes(std::string_view("hello bob")), p.alice_signer,
                                      as_bytes(std::string_view("ad")))
          .value();
    case 1:
      return alice.self_update(p.alice_signer).value().commit;
    case 2: {
      const uint32_t bob_leaf = 1;
      return alice.remove_members({&bob_leaf, 1}, p.alice_signer).value().commit;
    }
    default: {
      const engine::KeyPackage kp = mls_joiner().third;
      return alice.add_members({&kp, 1}, p.alice_signer, kMlsNow).value().commit;
    }
  }
}

void mls_seeds() {
  use_deterministic_random(1);
  const MlsPair& p = mls_pair();
  const MlsJoiner& j = mls_joiner();
  use_deterministic_random(2);

  // Two-member group: real messages as received, their contents sealed
  // again by alice, and the real-message mode with and without bit flips.
  for (uint8_t kind = 0; kind < 4; ++kind) {
    const engine::MlsMessage m = alice_message(kind);
    const Bytes wire = engine::encode_mls_message(m);
    seed("mls_group", tagged(0, wire));
    seed("mls_wire", tagged(0, wire));
    auto ac = open_as_bob(m);
    if (ac.ok()) {
      InputWriter w;
      w.u8(1)
          .chunk(engine::tls_encode(ac->content.content))
          .chunk(ac->content.authenticated_data)
          .chunk(ac->auth.confirmation_tag.value_or(Bytes()));
      seed("mls_group", w.bytes());
    }
    seed("mls_group", Bytes{2, kind});
    seed("mls_group", InputWriter().u8(2).u8(kind).u16(uint16_t(7 * kind + 3)).u8(0x01).bytes());

    auto env = encode_sealed_envelope(EncryptedMessage{GroupId::create("fuzz-group").value(),
                                                       MlsMessageType(kind), kind, wire, "alice",
                                                       uint64_t(1'750'000'000'000) + kind});
    if (env.ok()) seed("sealed_envelope", *env);
  }
  // Proposals alice may send: an Add of a third client and a Remove of bob.
  {
    engine::Proposal add;
    add.body = engine::Add{engine::Box<engine::KeyPackage>(j.third)};
    engine::Proposal remove;
    remove.body = engine::Remove{1};
    for (const engine::Proposal& pr : {add, remove}) {
      engine::Content c = engine::ProposalContent{pr};
      seed("mls_group", InputWriter().u8(1).chunk(engine::tls_encode(c)).chunk({}).chunk({}).bytes());
    }
    engine::Content app = engine::ApplicationContent{Bytes{'h', 'i'}};
    seed("mls_group", InputWriter().u8(1).chunk(engine::tls_encode(app)).chunk({}).chunk({}).bytes());
  }

  // Welcomes to the joiner: what alice's add gives, opened to its parts.
  {
    engine::Group alice(p.alice);
    std::vector<engine::KeyPackage> kps{j.key_package.key_package};
    auto out = alice.add_members(kps, p.alice_signer, kMlsNow).value();
    const engine::Welcome& w = *out.welcome->get<engine::Welcome>();
    seed("mls_wire", tagged(0, engine::encode_mls_message(*out.welcome)));
    seed("mls_wire", tagged(1, engine::tls_encode(w)));
    auto dw = engine::decrypt_welcome(w, j.key_package.key_package, j.key_package.init_key, {});
    if (dw.ok()) {
      const Bytes gs = engine::tls_encode(dw->secrets);
      const Bytes gi = engine::tls_encode(dw->group_info);
      seed("mls_welcome", InputWriter().chunk(gs).raw(gi).bytes());
      seed("mls_wire", tagged(3, gi));
      // Without the path secret, and with a tree delivered in the GroupInfo only.
      engine::GroupSecrets bare = dw->secrets;
      bare.path_secret.reset();
      seed("mls_welcome", InputWriter().chunk(engine::tls_encode(bare)).raw(gi).bytes());
    }
    seed("mls_wire", tagged(2, engine::tls_encode(j.key_package.key_package)));
    seed("mls_wire", tagged(4, engine::tls_encode(alice.snapshot().tree.to_wire())));
    seed("mls_wire", tagged(4, engine::tls_encode(p.alice.tree.to_wire())));
  }

  // Public vectors: the first cases of each kind.
  const nlohmann::json msgs = read_vectors("mls/messages.json");
  if (msgs.is_array()) {
    for (size_t i = 0; i < msgs.size() && i < 6; ++i) {
      const auto& c = msgs[i];
      for (const char* k :
           {"mls_welcome", "mls_group_info", "mls_key_package", "public_message_application",
            "public_message_proposal", "public_message_commit", "private_message"}) {
        seed("mls_wire", tagged(0, hex(c.at(k))));
        if (std::string_view(k) == "private_message") seed("mls_group", tagged(0, hex(c.at(k))));
      }
      seed("mls_wire", tagged(4, hex(c.at("ratchet_tree"))));
      seed("mls_welcome", InputWriter().chunk(hex(c.at("group_secrets"))).bytes());
      const Bytes commit = hex(c.at("commit"));
      Bytes content{0x00, 0x03};  // ContentType commit, then the Commit
      content.insert(content.end(), commit.begin(), commit.end());
      seed("mls_group", InputWriter().u8(1).chunk(content).chunk({}).chunk(Bytes(32, 0)).bytes());
    }
  }
  const nlohmann::json trees = read_vectors("mls/tree-validation.json");
  if (trees.is_array()) {
    for (const auto& c : trees) seed("mls_wire", tagged(4, hex(c.at("tree"))));
  }
  const nlohmann::json welcomes = read_vectors("mls/welcome.json");
  if (welcomes.is_array()) {
    for (const auto& c : welcomes) {
      seed("mls_wire", tagged(0, hex(c.at("welcome"))));
      seed("mls_wire", tagged(0, hex(c.at("key_package"))));
    }
  }
}

void nip44_seeds() {
  const nlohmann::json v = read_vectors("nostr/nip44.vectors.json");
  if (v.is_null()) return;
  const auto& cases = v.at("v2").at("valid").at("encrypt_decrypt");
  for (size_t i = 0; i < cases.size() && i < 40; ++i) {
    const auto& c = cases[i];
    const Bytes key = hex(c.at("conversation_key"));
    auto payload = base64_decode(c.at("payload").get<std::string>());
    if (!payload.ok()) continue;
    seed("nip44", InputWriter().u8(0).raw(key).raw(*payload).bytes());
    // The same text as a frame to seal: big-endian length, text, zero padding.
    const std::string text = c.at("plaintext").get<std::string>();
    Bytes frame{uint8_t(text.size() >> 8), uint8_t(text.size())};
    frame.insert(frame.end(), text.begin(), text.end());
    frame.resize(2 + crypto::nip44::padded_length(text.size()), 0);
    seed("nip44", InputWriter().u8(1).raw(key).raw(hex(c.at("nonce"))).raw(frame).bytes());
  }
}

// ---- records ----

template <typename T>
void record_seed(JsonReaderKind kind) {
  seed("json_records", tagged(kind, T{}.to_json()));
}

void record_seeds() {
  EncryptedMessage em{GroupId::create("fuzz-group").value(),
                      MlsMessageType::Commit,
                      3,
                      Bytes{1, 2, 3, 4},
                      "alice",
                      1'750'000'000'000};
  seed("json_records", tagged(kEncryptedMessageJson, encrypted_message_to_json(em)));
  seed("json_records", tagged(kGenericJson, encrypted_message_to_json(em)));
  const WelcomeMessage wm{GroupId::create("fuzz-group").value(), Bytes{9, 8, 7}, "alice",
                          std::string("the group"), 1'750'000'000'000};
  seed("json_records", tagged(kWelcomeMessageJson, welcome_message_to_json(wm)));
  record_seed<GroupRenamePayload>(kGroupRenamePayload);
  record_seed<GroupMlsCommitPayload>(kGroupMlsCommitPayload);
  record_seed<GroupMlsWelcomePayload>(kGroupMlsWelcomePayload);
  record_seed<GroupRoleChangePayload>(kGroupRoleChangePayload);
  record_seed<GroupMemberRemovedPayload>(kGroupMemberRemovedPayload);
  record_seed<KeyPackagePayload>(kKeyPackagePayload);
  seed("json_records", tagged(kPeerCapabilities, PeerCapabilities{}.to_json()));
  seed("json_records", tagged(kEncryptionCapableEntry, EncryptionCapableEntry{}.to_json()));
  seed("json_records", tagged(kPendingMessage, PendingMessage{}.to_json_text()));
  seed("json_records", tagged(kDataValueJson, write_data_value_json(DataValue{})));
  seed("json_records", tagged(kDataPurposeJson, write_data_purpose_json(DataPurpose{})));
  seed("json_records", tagged(kRfc3339, format_rfc3339_ms(1'750'000'000'123)));
  FileChunk fc{"file-1", "photo.jpg", 12345, 3, 1, Bytes(40, 0xab), "sha256:00"};
  seed("json_records", tagged(kFileChunkBinary, fc.encode_binary()));
  // Readers whose records this library only reads get the nearest shapes.
  const std::string any = message_json_text(messages().front());
  for (JsonReaderKind k :
       {kRichExtrasJson, kMediaMetadataJson, kPresencePayload, kTypingPayload, kReadReceiptPayload,
        kFileChunkJson, kSessionConfirmationState, kGroupErrorPayload, kUserGroupsPayload,
        kGroupInfoPayload, kRelayGroupDeliveryReport, kSyncBody, kAddress}) {
    seed("json_records", tagged(k, any));
  }
}

// ---- Kesu ----

void kesu_seeds() {
  using namespace kesu;
  const KesuValue values[] = {
      KesuValue(),
      KesuValue(true),
      KesuValue(int64_t(-42)),
      KesuValue(3.25),
      KesuValue::string("text \xc3\xa9"),
      KesuValue::binary(Bytes{0, 1, 2}),
      KesuValue::map_from_pairs({{"a", KesuValue(1)}, {"text", KesuValue::string("x")}}),
      KesuValue::map_from_pairs({{"l", KesuValue::map_from_pairs({{"a", KesuValue(false)}})}}),
      KesuValue(ContainerID::normal(7, 3, ContainerType::Kind::List)),
  };
  Bytes all;
  for (const KesuValue& v : values) {
    Bytes one;
    encode_compact_value(v, one);
    seed("kesu_codecs", tagged(0, one));
    all.insert(all.end(), one.begin(), one.end());
    KeyArena keys;
    Bytes nested;
    write_nested_value(v, nested, keys);
    seed("kesu_codecs", tagged(1, nested));
  }
  seed("kesu_codecs", tagged(0, all));
  const std::vector<InternalString> key_list = {InternalString("a"), InternalString("text")};
  seed("kesu_codecs", tagged(3, encode_keys(key_list)));
  {
    KeyArena keys;
    PeerTable peers;
    const std::vector<ContainerID> ids = {ContainerID::root("doc", ContainerType::Kind::Map),
                                          ContainerID::normal(7, 3, ContainerType::Kind::Text)};
    seed("kesu_codecs", tagged(4, encode_containers(ids, keys, peers)));
  }
  seed("kesu_codecs", tagged(5, encode_positions({Bytes{1, 2, 3}, Bytes{1, 2, 4}, Bytes{9}})));
  const std::vector<uint64_t> u64s = {1, 1, 1, 2, 3, 5, 8, 8, 8, 8, 100000};
  const std::vector<int64_t> i64s = {-5, -4, -3, 10, 1000, 1000, 7};
  const std::vector<bool> bools = {true, true, false, true, false, false, false};
  auto put = [&](uint8_t tag, const ColumnarResult<Bytes>& b) {
    if (b.ok()) seed("kesu_codecs", tagged(tag, *b));
  };
  put(6, AnyRleColumn<uint8_t>::encode({1, 1, 2, 3, 3, 3}));
  put(7, AnyRleColumn<uint32_t>::encode({7, 7, 7, 1, 2}));
  put(8, AnyRleColumn<uint64_t>::encode(u64s));
  put(9, AnyRleColumn<int32_t>::encode({-1, -1, 5, 6}));
  put(10, DeltaRleColumn<int64_t>::encode(i64s));
  put(11, DeltaRleColumn<uint32_t>::encode({1, 2, 3, 4, 10}));
  put(12, BoolRleColumn::encode(bools));
  put(13, DeltaOfDeltaColumn<int64_t>::encode(i64s));
  put(14, PlainColumn<uint64_t>::encode(u64s));
  auto set1 = encode_columns<DeltaRleColumn<int64_t>, AnyRleColumn<uint64_t>, BoolRleColumn>(
      i64s, std::vector<uint64_t>(u64s.begin(), u64s.begin() + 7), bools);
  if (set1.ok()) seed("kesu_codecs", tagged(15, *set1));
  auto set2 =
      encode_columns<AnyRleColumn<uint32_t>, DeltaOfDeltaColumn<int64_t>, PlainColumn<uint64_t>>(
          {1, 2, 3}, {4, 5, 6}, {7, 8, 9});
  if (set2.ok()) seed("kesu_codecs", tagged(16, *set2));

  // Sorted tables as the store exports them, in every shape it writes.
  struct Shape {
    size_t block_size;
    CompressionType compression;
    bool encode_none;
    int entries;
    size_t value_len;
  };
  for (const Shape s : {Shape{4096, CompressionType::LZ4, false, 40, 30},
                        Shape{128, CompressionType::None, true, 30, 10},
                        Shape{256, CompressionType::LZ4, true, 12, 600},
                        Shape{64, CompressionType::None, false, 3, 5000}}) {
    MemKvStore st(s.block_size, s.compression, s.encode_none);
    for (int i = 0; i < s.entries; ++i) {
      const std::string k = "key" + std::to_string(1000 + i * 7);
      st.set(SharedBytes::copy_of(k),
             SharedBytes::copy_of(std::string(s.value_len, char('a' + i % 26))));
    }
    if (s.encode_none) st.remove(SharedBytes::copy_of(std::string("key1007")));
    const Bytes file = st.export_all().to_vector();
    for (uint8_t mode : {0, 1, 3, 6}) seed("kesu_sstable", tagged(mode, file));
  }
}

// ---- the exported interface ----

template <typename T>
Bytes lowered(const T& v) {
  ffi::Writer w;
  ffi::Codec<T>::write(w, v);
  return w.copy();
}

void ffi_seeds() {
  const ffi::BrenvikProtocolConfig c = device_config("fuzz-dev");
  seed("ffi_value_codec", tagged(0, lowered(c)));
  seed("ffi_value_codec", tagged(1, lowered(c)));
  ffi::BrenvikProtocolConfig bad = c;
  bad.user_id = "";
  seed("ffi_value_codec", tagged(0, lowered(bad)));
  seed("ffi_value_codec", tagged(2, lowered(ffi::RichMessageOptions{})));
  ffi::MediaMetadata md;
  md.mime_type = "image/png";
  md.file_name = "a.png";
  md.file_size = 1234;
  seed("ffi_value_codec", tagged(3, lowered(md)));
  seed("ffi_value_codec", tagged(4, lowered(ffi::MeshRelayTunables{})));
}

// What a neighbour's device sends to the fuzzed one: the fragments of a text
// message, of a file, and a forward of a received message's JSON.
void device_seeds() {
  namespace body = ffi::body;
  use_deterministic_random(4);
  ManualClock clock;
  auto peer = start_device(kNeighbourA, clock);
  if (!peer) {
    std::fprintf(stderr, "seed_gen: the neighbour device did not start\n");
    return;
  }
  auto frames_to_device = [&]() {
    InputWriter w;
    while (auto f = body::brenvikprotocol_ble_get_next_fragment(*peer)) {
      if (f->peer_id == kDeviceId) w.u8(0).chunk(f->data);
    }
    return w;
  };
  (void)body::brenvikprotocol_send_message(*peer, kDeviceId, "hello there",
                                           ffi::MessagePriority::High, std::nullopt);
  InputWriter text = frames_to_device();
  seed("device", text.bytes());
  (void)body::brenvikprotocol_send_file(*peer, kDeviceId, Bytes(600, 0x5a), "notes.txt");
  InputWriter file = frames_to_device();
  file.u8(3).chunk(Bytes{2});
  seed("device", file.bytes());
  const Message m = messages()[1];
  InputWriter fwd;
  fwd.raw(text.bytes()).u8(2).chunk(as_bytes(message_json_text(m))).u8(3).chunk(Bytes{1});
  seed("device", fwd.bytes());
  while (body::brenvikprotocol_poll_event(*peer)) {
  }
}

void write_all(const fs::path& dir) {
  for (const auto& [target, files] : g_seeds) {
    const fs::path d = dir / target;
    fs::create_directories(d);
    for (const auto& e : fs::directory_iterator(d)) {
      if (e.path().filename().string().rfind("gen-", 0) == 0) fs::remove(e.path());
    }
    for (const auto& [name, bytes] : files) {
      std::ofstream out(d / name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::printf("%-20s %zu seeds\n", target.c_str(), files.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  install_discarding_log_sink();
  use_deterministic_random(54);
  message_seeds();
  mls_seeds();
  nip44_seeds();
  record_seeds();
  kesu_seeds();
  ffi_seeds();
  device_seeds();
  write_all(argv[1]);
  return 0;
}
