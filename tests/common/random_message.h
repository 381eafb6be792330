// Random messages for round-trip tests of the message encodings.
#pragma once

#include <random>
#include <string>

#include "core/message.h"
#include "util/base64.h"

namespace brenvik::testing {

inline std::string random_text(std::mt19937_64& rng, size_t max) {
  static const char* atoms[] = {"a",        "Z",
                                "0",        "+",
                                "/",        "=",
                                " ",        "_",
                                "\xc3\xa9", "\xe2\x82\xac",
                                "\n",       "\"",
                                "\\",       "\xf0\x9f\x98\x80"};
  std::string s;
  size_t n = rng() % (max + 1);
  for (size_t i = 0; i < n; ++i) s += atoms[rng() % std::size(atoms)];
  if (rng() % 3 == 0) s += base64_encode(Bytes(rng() % 120, uint8_t(rng())));
  return s;
}

inline std::string random_id_text(std::mt19937_64& rng) {
  std::string s(1, 'u');
  s.append(std::to_string(rng() % 1000000));
  if (rng() % 2) s += "\xc3\xa9";
  return s;
}

// A message with every optional field drawn at random (base64 tails, sub-records and
// metadata included); identifiers pass their checks.
inline Message random_message(std::mt19937_64& rng) {
  Message m;
  for (auto& b : m.id.bytes) b = uint8_t(rng());
  m.sender = random_id_text(rng);
  m.recipient = random_id_text(rng);
  m.app_id = random_id_text(rng);
  m.priority = MessagePriority(rng() % 4);
  m.ttl = uint8_t(rng());
  m.hop_count = uint8_t(rng());
  m.timestamp = int64_t(rng());
  m.lamport_clock = rng() % 2 ? clamp_lamport_value(rng()) : rng() % 1000;
  m.content_type = ContentType(rng() % kContentTypeCount);
  m.content = random_text(rng, 40);
  if (rng() % 2) {
    m.binary_content = Bytes(rng() % 64);
    for (auto& b : *m.binary_content) b = uint8_t(rng());
  }
  if (rng() % 2) {
    MediaMetadata md;
    md.mime_type = random_text(rng, 5);
    md.file_name = random_text(rng, 5);
    md.file_size = rng();
    if (rng() % 2) md.duration_ms = rng();
    if (rng() % 2) md.width = uint32_t(rng());
    if (rng() % 2) md.height = uint32_t(rng());
    if (rng() % 2) md.thumbnail_base64 = random_text(rng, 5);
    if (rng() % 2) md.media_id = random_text(rng, 5);
    if (rng() % 2) md.download_url = random_text(rng, 5);
    if (rng() % 2) md.thumbnail_url = random_text(rng, 5);
    if (rng() % 2) md.ciphertext_hash = random_text(rng, 5);
    if (rng() % 2) md.sticker_provider = random_text(rng, 5);
    if (rng() % 2) md.sticker_remote_id = random_text(rng, 5);
    if (rng() % 2) md.sticker_kind = random_text(rng, 5);
    m.media_metadata = md;
  }
  for (size_t i = 0, n = rng() % 4; i < n; ++i) {
    m.metadata[random_text(rng, 4)] = random_text(rng, 6);
  }
  m.requires_ack = rng() % 2;
  if (rng() % 2) {
    MessageId r;
    for (auto& b : r.bytes) b = uint8_t(rng());
    m.reply_to_msg = r;
  }
  if (rng() % 2) {
    m.forwarded_from = ForwardInfo{random_id_text(rng), m.id, int64_t(rng()), uint32_t(rng())};
  }
  if (rng() % 2) {
    ReplyContext c{random_id_text(rng), random_text(rng, 10), std::nullopt, std::nullopt,
                   std::nullopt};
    if (rng() % 2) c.timestamp = int64_t(rng());
    if (rng() % 2) c.reply_media_label = random_text(rng, 5);
    if (rng() % 2) c.reply_content_type = random_text(rng, 5);
    m.reply_context = c;
  }
  return m;
}

}  // namespace brenvik::testing
