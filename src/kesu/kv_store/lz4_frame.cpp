#include "kesu/kv_store/lz4_frame.h"

#include <lz4frame.h>

#include <algorithm>
#include <stdexcept>

namespace kesu {

using brenvik::Bytes;
using brenvik::ByteView;
using brenvik::Err;
using brenvik::Result;

void lz4_frame_compress(ByteView plain, Bytes& out) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.blockSizeID = LZ4F_max64KB;
  prefs.frameInfo.blockMode = LZ4F_blockLinked;
  prefs.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  prefs.frameInfo.contentSize = plain.size();
  prefs.compressionLevel = 0;  // default fast mode
  const size_t bound = LZ4F_compressFrameBound(plain.size(), &prefs);
  const size_t start = out.size();
  out.resize(start + bound);
  const size_t n =
      LZ4F_compressFrame(out.data() + start, bound, plain.data(), plain.size(), &prefs);
  if (LZ4F_isError(n)) {
    // Only possible with a destination smaller than the bound, which we never pass.
    throw std::logic_error(std::string("LZ4 frame compression failed: ") + LZ4F_getErrorName(n));
  }
  out.resize(start + n);
}

namespace {

struct DecompressionContext {
  LZ4F_dctx* ctx = nullptr;
  DecompressionContext() {
    if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) ctx = nullptr;
  }
  ~DecompressionContext() {
    if (ctx != nullptr) LZ4F_freeDecompressionContext(ctx);
  }
  DecompressionContext(const DecompressionContext&) = delete;
  DecompressionContext& operator=(const DecompressionContext&) = delete;
};

}  // namespace

Result<Bytes, std::string> lz4_frame_decompress(ByteView frame, size_t max_output) {
  DecompressionContext dctx;
  if (dctx.ctx == nullptr) return Err(std::string("cannot create LZ4 decompression context"));

  // Start from a guess and double; the frame's own content size is only a
  // hint from untrusted bytes, so it never decides the allocation alone.
  const size_t hard_cap = max_output + 1;  // one byte more detects overflow
  size_t cap = std::min(hard_cap, std::max<size_t>(4096, frame.size() * 4));
  Bytes out(cap);
  size_t produced = 0;
  size_t in_pos = 0;
  size_t hint = 1;
  while (true) {
    if (produced == out.size()) {
      if (out.size() >= hard_cap) break;  // reported below as too long
      out.resize(std::min(hard_cap, out.size() * 2));
    }
    size_t dst_len = out.size() - produced;
    size_t src_len = frame.size() - in_pos;
    hint = LZ4F_decompress(dctx.ctx, out.data() + produced, &dst_len, frame.data() + in_pos,
                           &src_len, nullptr);
    if (LZ4F_isError(hint)) return Err(std::string(LZ4F_getErrorName(hint)));
    produced += dst_len;
    in_pos += src_len;
    if (produced > max_output) break;
    if (in_pos == frame.size()) {
      if (hint == 0) {
        out.resize(produced);
        return out;
      }
      // All input consumed but the frame wants more: it may still hold
      // decoded bytes that did not fit, so continue while output grows.
      if (dst_len == 0 && produced < out.size()) {
        return Err(std::string("truncated LZ4 frame"));
      }
    } else if (src_len == 0 && dst_len == 0 && produced < out.size()) {
      return Err(std::string("LZ4 frame decoder made no progress"));
    }
  }
  return Err("LZ4 frame content exceeds the limit of " + std::to_string(max_output) + " bytes");
}

}  // namespace kesu
