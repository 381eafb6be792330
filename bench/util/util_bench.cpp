// Throughput of the util codecs on the sizes the library meets in practice.
#include <benchmark/benchmark.h>

#include <random>

#include "util/base64.h"
#include "util/hex.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/leb128.h"

namespace brenvik {
namespace {

// A message-like record of about 1 KiB.
struct Record {
  std::string id = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  std::string sender = "brv1qy3k7z6x0m5v9l2t8w4r6p0s3d5f7g9h1j3k5";
  std::string recipient = "brv1pw508d6qejxtdg4y5r3zarvary0c5xw7kw508";
  uint64_t timestamp_ms = 1709210096123;
  uint32_t ttl = 7;
  uint32_t hop_count = 2;
  std::string priority = "normal";
  uint64_t lamport_clock = 912345;
  std::string content_type = "text";
  std::string content;
  std::optional<std::string> reply_to;
  std::vector<std::string> route;
  double score = 0.8125;
  bool encrypted = true;
};

Record make_record() {
  Record r;
  r.content =
      "Meet at the north gate at seven; bring the \"blue\" folder and the spare radio.\n"
      "Weather looks fine, path B is flooded so take the ridge. Ping me when you leave.";
  r.content += r.content;
  r.content += r.content;
  r.reply_to = "1f0e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  for (int i = 0; i < 5; ++i) r.route.push_back("brv1relay" + std::to_string(i) + "qqqqqqqqqqqqqq");
  return r;
}

void write_record(JsonWriter& w, const Record& r) {
  w.begin_object()
      .field_str("id", r.id)
      .field_str("sender", r.sender)
      .field_str("recipient", r.recipient)
      .field_u64("timestamp_ms", r.timestamp_ms)
      .field_u64("ttl", r.ttl)
      .field_u64("hop_count", r.hop_count)
      .field_str("priority", r.priority)
      .field_u64("lamport_clock", r.lamport_clock)
      .field_str("content_type", r.content_type)
      .field_str("content", r.content);
  w.key("reply_to");
  if (r.reply_to) {
    w.str(*r.reply_to);
  } else {
    w.null();
  }
  w.key("route").begin_array();
  for (const auto& h : r.route) w.str(h);
  w.end_array().field_f64("score", r.score).field_bool("encrypted", r.encrypted).end_object();
}

constexpr JsonField kFields[] = {
    {"id", FieldRule::Required},           {"sender", FieldRule::Required},
    {"recipient", FieldRule::Required},    {"timestamp_ms", FieldRule::Required},
    {"ttl", FieldRule::Required},          {"hop_count", FieldRule::Required},
    {"priority", FieldRule::Required},     {"lamport_clock", FieldRule::Defaulted},
    {"content_type", FieldRule::Required}, {"content", FieldRule::Required},
    {"reply_to", FieldRule::Optional},     {"route", FieldRule::Defaulted},
    {"score", FieldRule::Defaulted},       {"encrypted", FieldRule::Defaulted},
};

JsonStatus read_record_json(std::string_view text, Record& r) {
  JsonReader j(text);
  BRENVIK_TRY_VOID(read_record(j, "struct Record", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(r.id, j.read_string());
        return {};
      }
      case 1: {
        BRENVIK_TRY(r.sender, j.read_string());
        return {};
      }
      case 2: {
        BRENVIK_TRY(r.recipient, j.read_string());
        return {};
      }
      case 3: {
        BRENVIK_TRY(r.timestamp_ms, j.read_u64());
        return {};
      }
      case 4: {
        BRENVIK_TRY(r.ttl, j.read_u32());
        return {};
      }
      case 5: {
        BRENVIK_TRY(r.hop_count, j.read_u32());
        return {};
      }
      case 6: {
        BRENVIK_TRY(r.priority, j.read_string());
        return {};
      }
      case 7: {
        BRENVIK_TRY(r.lamport_clock, j.read_u64());
        return {};
      }
      case 8: {
        BRENVIK_TRY(r.content_type, j.read_string());
        return {};
      }
      case 9: {
        BRENVIK_TRY(r.content, j.read_string());
        return {};
      }
      case 10: {
        BRENVIK_TRY(r.reply_to, j.read_optional_string());
        return {};
      }
      case 11: {
        BRENVIK_TRY_VOID(j.begin_array());
        r.route.clear();
        for (;;) {
          BRENVIK_TRY(bool more, j.next_element());
          if (!more) break;
          BRENVIK_TRY(std::string h, j.read_string());
          r.route.push_back(std::move(h));
        }
        return {};
      }
      case 12: {
        BRENVIK_TRY(r.score, j.read_f64());
        return {};
      }
      case 13: {
        BRENVIK_TRY(r.encrypted, j.read_bool());
        return {};
      }
    }
    return {};
  }));
  return j.finish();
}

void BM_JsonWriteRecord(benchmark::State& state) {
  const Record r = make_record();
  size_t bytes = 0;
  for (auto _ : state) {
    JsonWriter w(1200);
    write_record(w, r);
    bytes += w.text().size();
    benchmark::DoNotOptimize(w.text().data());
  }
  state.SetBytesProcessed(int64_t(bytes));
  JsonWriter w;
  write_record(w, r);
  state.counters["record_bytes"] = double(w.text().size());
}
BENCHMARK(BM_JsonWriteRecord);

void BM_JsonStrictReadRecord(benchmark::State& state) {
  JsonWriter w;
  write_record(w, make_record());
  const std::string text = w.take();
  Record r;
  for (auto _ : state) {
    auto st = read_record_json(text, r);
    if (!st.ok()) state.SkipWithError(st.error().to_string().c_str());
    benchmark::DoNotOptimize(r.content.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_JsonStrictReadRecord);

Bytes random_bytes(size_t n) {
  std::mt19937_64 rng(1);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

constexpr size_t kMiB = 1 << 20;

void BM_Base64Encode(benchmark::State& state) {
  const Bytes data = random_bytes(kMiB);
  for (auto _ : state) benchmark::DoNotOptimize(base64_encode(data));
  state.SetBytesProcessed(int64_t(state.iterations() * kMiB));
}
BENCHMARK(BM_Base64Encode);

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = base64_encode(random_bytes(kMiB));
  for (auto _ : state) benchmark::DoNotOptimize(base64_decode(text));
  state.SetBytesProcessed(int64_t(state.iterations() * kMiB));
}
BENCHMARK(BM_Base64Decode);

void BM_HexEncode(benchmark::State& state) {
  const Bytes data = random_bytes(kMiB);
  for (auto _ : state) benchmark::DoNotOptimize(hex_encode(data));
  state.SetBytesProcessed(int64_t(state.iterations() * kMiB));
}
BENCHMARK(BM_HexEncode);

void BM_HexDecode(benchmark::State& state) {
  const std::string text = hex_encode(random_bytes(kMiB));
  for (auto _ : state) benchmark::DoNotOptimize(hex_decode(text));
  state.SetBytesProcessed(int64_t(state.iterations() * kMiB));
}
BENCHMARK(BM_HexDecode);

// A million values. Small: below 2^14 (one or two bytes), the common case
// of lengths, counts and deltas. Mixed: a quarter of them of any width up to
// 64 bits (up to ten bytes).
std::vector<uint64_t> leb_values(bool mixed) {
  std::mt19937_64 rng(2);
  std::vector<uint64_t> v(1'000'000);
  for (auto& x : v) {
    const unsigned bits = unsigned(rng() % 64) + 1;
    const bool wide = mixed && rng() % 4 == 0;
    x = rng() >> (64 - (wide ? bits : bits % 14 + 1));
  }
  return v;
}

void BM_Leb128Encode(benchmark::State& state) {
  const auto values = leb_values(state.range(0) != 0);
  Bytes out;
  out.reserve(values.size() * 10);
  for (auto _ : state) {
    out.clear();
    for (uint64_t v : values) leb128_put_u64(out, v);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(BM_Leb128Encode)->ArgName("mixed")->Arg(0)->Arg(1);

void BM_Leb128Decode(benchmark::State& state) {
  const auto values = leb_values(state.range(0) != 0);
  Bytes enc;
  for (uint64_t v : values) leb128_put_u64(enc, v);
  for (auto _ : state) {
    size_t pos = 0;
    uint64_t sum = 0;
    while (pos < enc.size()) {
      auto r = leb128_read_u64(enc, pos);
      sum += *r;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(BM_Leb128Decode)->ArgName("mixed")->Arg(0)->Arg(1);

void BM_Leb128DecodeBatch(benchmark::State& state) {
  const auto values = leb_values(state.range(0) != 0);
  Bytes enc;
  for (uint64_t v : values) leb128_put_u64(enc, v);
  std::vector<uint64_t> out(values.size());
  for (auto _ : state) {
    size_t pos = 0;
    auto r = leb128_get_u64_many(enc, pos, out);
    if (!r.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(BM_Leb128DecodeBatch)->ArgName("mixed")->Arg(0)->Arg(1);

}  // namespace
}  // namespace brenvik
