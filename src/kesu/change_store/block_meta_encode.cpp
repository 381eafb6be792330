#include "kesu/change_store/block_meta_encode.h"

#include "kesu/columnar/column_set.h"
#include "util/log.h"

namespace kesu {

namespace {

constexpr std::string_view kBlockEncodeTarget = "kesu_internal::oplog::change_store::block_encode";

KesuError block_error(std::string_view what) {
  return KesuError::decode("Decode block error" + std::string(what));
}

// The messages of the LEB128 reader the header's plain numbers use.
KesuError leb_error(const SerdeError& e) {
  if (e.kind == SerdeErrorKind::UnexpectedEnd) return block_error(" failed to fill whole buffer");
  return block_error(" The number being read is larger than can be represented");
}

}  // namespace

std::pair<Bytes, Bytes> encode_block_meta(const std::vector<Change>& changes, PeerTable& peers) {
  const PeerID own = changes.front().id.peer;
  Bytes lengths;
  BoolRleEncoder own_flags;
  AnyRleEncoder<uint64_t> dep_counts, dep_peers;
  DeltaOfDeltaEncoder dep_counters, lamports, timestamps;
  AnyRleEncoder<uint32_t> msg_lens;
  Bytes messages;
  for (size_t i = 0; i < changes.size(); ++i) {
    const Change& c = changes[i];
    if (i + 1 < changes.size()) {
      write_uvarint(lengths, c.atom_len());
      (void)lamports.append(c.lamport);
    }
    (void)timestamps.append(c.timestamp);
    size_t mlen = c.message ? c.message->size() : 0;
    msg_lens.append(uint32_t(mlen));
    if (mlen) messages.insert(messages.end(), c.message->begin(), c.message->end());
    bool self_dep = false;
    uint64_t n = 0;
    for (const ID& d : c.deps.to_sorted_vec()) {
      if (d.peer == own) {
        self_dep = true;
        continue;
      }
      dep_peers.append(peers.register_peer(d.peer));
      (void)dep_counters.append(d.counter);
      ++n;
    }
    own_flags.append(self_dep);
    dep_counts.append(n);
  }
  Bytes header;
  write_uvarint(header, peers.size());
  for (PeerID p : peers.peers())
    for (int s = 0; s < 64; s += 8) header.push_back(uint8_t(p >> s));
  header.insert(header.end(), lengths.begin(), lengths.end());
  for (Bytes b : {own_flags.finish(), dep_counts.finish(), dep_peers.finish(),
                  dep_counters.finish(), lamports.finish()})
    header.insert(header.end(), b.begin(), b.end());
  Bytes meta = timestamps.finish();
  Bytes ml = msg_lens.finish();
  meta.insert(meta.end(), ml.begin(), ml.end());
  meta.insert(meta.end(), messages.begin(), messages.end());
  return {std::move(header), std::move(meta)};
}

KesuResult<std::shared_ptr<const ChangeBlockHeader>> decode_block_meta(const EncodedBlock& b) {
  using brenvik::Err;
  const uint64_t n = b.change_count;
  if (n == 0) return Err(block_error(": empty change block"));
  ByteReader r(b.header);
  auto pc = r.read_uvarint();
  if (!pc.ok()) return Err(leb_error(pc.error()));
  const uint64_t p = *pc;
  if (p >= (uint64_t(1) << 61)) return Err(block_error(": peer length overflow"));
  if (p == 0 || r.remaining() < 8 * p) return Err(block_error(": invalid peer table"));
  auto h = std::make_shared<ChangeBlockHeader>();
  h->peers.reserve(size_t(p));  // backed by 8 * p bytes of input
  for (uint64_t i = 0; i < p; ++i) {
    auto raw = r.read_raw(8);
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | (*raw)[size_t(k)];
    h->peers.push_back(v);
  }
  // Change lengths: one LEB128 each, so n - 1 of them need n - 1 bytes.
  std::vector<int32_t> lengths;
  int32_t sum = 0;
  for (uint64_t i = 0; i + 1 < n; ++i) {
    auto v = r.read_uvarint();
    if (!v.ok()) return Err(leb_error(v.error()));
    int32_t len = int32_t(uint32_t(*v));
    if (__builtin_add_overflow(sum, len, &sum))
      return Err(block_error(": counter length overflow"));
    if (len < 0) return Err(block_error(": invalid counter length"));
    lengths.push_back(len);
  }
  int32_t last;
  if (__builtin_sub_overflow(int32_t(b.counter_span), sum, &last) || last < 0)
    return Err(block_error(": invalid counter length"));
  lengths.push_back(last);

  // Dependency columns. n is backed by the lengths just read (n - 1 bytes).
  auto invalid_deps = [] { return Err(block_error(": invalid deps")); };
  BoolRleDecoder flags_dec(r.rest());
  auto flags = flags_dec.take(size_t(n));
  if (!flags.ok()) return invalid_deps();
  AnyRleDecoder<uint64_t> counts_dec(flags_dec.rest());
  auto counts = counts_dec.take(size_t(n));
  if (!counts.ok()) return invalid_deps();
  uint64_t d = 0;
  for (uint64_t c : *counts)
    if (__builtin_add_overflow(d, c, &d)) return invalid_deps();
  // Every dependency also takes one value of the counter column that follows,
  // at least one bit each: a count the rest of the header cannot back is
  // refused before anything is reserved for it.
  ByteView after_counts = counts_dec.rest();
  if (d > 8 * uint64_t(after_counts.size()) + 8) return invalid_deps();
  AnyRleDecoder<uint64_t> dpeers_dec(after_counts);
  auto dep_peers = dpeers_dec.take(size_t(d));
  if (!dep_peers.ok()) return invalid_deps();
  auto dctr_dec = DeltaOfDeltaDecoder::open(dpeers_dec.rest());
  if (!dctr_dec.ok()) return invalid_deps();
  auto dep_counters = dctr_dec->take<uint32_t>(size_t(d));
  if (!dep_counters.ok()) return invalid_deps();
  auto lam_dec = DeltaOfDeltaDecoder::open(dctr_dec->rest());
  if (!lam_dec.ok()) return Err(block_error(": invalid lamport"));
  auto lamports = lam_dec->take<uint32_t>(size_t(n - 1));
  if (!lamports.ok()) return Err(block_error(": invalid lamport"));

  // Dependencies and counters, change by change.
  h->peer = h->peers[0];
  h->counter = Counter(b.counter_start);
  h->change_count = size_t(n);
  h->deps.reserve(size_t(n));
  h->counters.reserve(size_t(n) + 1);
  int32_t c = Counter(b.counter_start);
  size_t di = 0;
  for (size_t i = 0; i < n; ++i) {
    h->counters.push_back(c);
    Frontiers f;
    if ((*flags)[i]) {
      if (c == INT32_MIN) return Err(block_error(": invalid self dependency"));
      f.push(ID{h->peers[0], c - 1});
    }
    for (uint64_t k = 0; k < (*counts)[i]; ++k) {
      if (di >= dep_peers->size()) return invalid_deps();
      uint64_t pi = (*dep_peers)[di];
      if (pi >= p) return Err(block_error(": invalid peer index"));
      f.push(ID{h->peers[size_t(pi)], Counter((*dep_counters)[di])});
      ++di;
    }
    h->deps.push_back(std::move(f));
    if (__builtin_add_overflow(c, lengths[i], &c)) return Err(block_error(": counter overflow"));
  }
  int32_t end;
  if (__builtin_add_overflow(int32_t(b.counter_start), int32_t(b.counter_span), &end))
    return Err(block_error(": counter overflow"));
  h->counters.push_back(end);

  h->lamports.assign(lamports->begin(), lamports->end());
  uint32_t lam_end;
  if (__builtin_add_overflow(b.lamport_start, b.lamport_span, &lam_end) || uint32_t(last) > lam_end)
    return Err(block_error(": invalid lamport"));
  h->lamports.push_back(lam_end - uint32_t(last));
  return std::shared_ptr<const ChangeBlockHeader>(std::move(h));
}

KesuResult<std::vector<ChangeMetaRow>> decode_change_meta(ByteView meta, size_t n) {
  using brenvik::Err;
  auto ts_dec = DeltaOfDeltaDecoder::open(meta);
  if (!ts_dec.ok()) return Err(KesuError::from_columnar(ts_dec.error()));
  auto ts = ts_dec->take<int64_t>(n);
  if (!ts.ok()) return Err(KesuError::from_columnar(ts.error()));
  AnyRleDecoder<uint32_t> len_dec(ts_dec->rest());
  auto lens = len_dec.take(n);
  if (!lens.ok()) return Err(KesuError::from_columnar(lens.error()));
  ByteView msgs = len_dec.rest();
  std::vector<ChangeMetaRow> out;
  out.reserve(n);
  uint32_t off = 0;
  for (size_t i = 0; i < n; ++i) {
    ChangeMetaRow row{(*ts)[i], nullptr};
    uint32_t len = (*lens)[i];
    if (len > 0) {
      uint32_t end;
      if (__builtin_add_overflow(off, len, &end) || end > msgs.size())
        return Err(KesuError::data_corruption());
      std::string_view text = brenvik::as_chars(msgs.subspan(off, len));
      if (!brenvik::is_valid_utf8(text)) {
        BRENVIK_LOG(brenvik::LogLevel::Error, kBlockEncodeTarget,
                    {"message", "Invalid UTF8 String"});
        return Err(KesuError::data_corruption());
      }
      row.message = std::make_shared<const std::string>(text);
      off = end;
    }
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace kesu
