// Demo: shows what the library can do on this machine so far.
#include <cstdio>
#include <string>

#include "util/base64.h"
#include "util/hex.h"
#include "util/leb128.h"

int main() {
  using namespace brenvik;
  std::printf("Brenvik protocol library demo\n");
  std::printf("Foundation codecs:\n");
  std::string text = "hello mesh";
  std::printf("  hex(\"%s\")    = %s\n", text.c_str(), hex_encode(as_bytes(text)).c_str());
  std::printf("  base64(\"%s\") = %s\n", text.c_str(), base64_encode(as_bytes(text)).c_str());
  Bytes v;
  leb128_put_u64(v, 624485);
  std::printf("  leb128(624485) = %s\n", hex_encode(v).c_str());
  return 0;
}
