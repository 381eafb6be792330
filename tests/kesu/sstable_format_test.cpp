#include <gtest/gtest.h>
#include "kesu/kv_store/sstable.h"
TEST(SsTableFormat, EmptyTableIs17Bytes) {
  kesu::SsTableBuilder b(4096, kesu::CompressionType::LZ4, false);
  auto t = b.finish();
  EXPECT_EQ(t->data().size(), 17u);
}
