#include <gtest/gtest.h>
#include "brenvik_ffi.h"
TEST(Smoke, ContractVersion) {
  EXPECT_EQ(brenvik_ffi_contract_version(), 30u);
}
