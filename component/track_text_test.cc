#include "component/track_text.h"

#include <gtest/gtest.h>

namespace cadenza {
namespace {

// The scaled field holds the rate in its upper 16 bits: 65,536 Hz and more
// (and negative rates) do not fit and are refused, fields untouched.
TEST(SampleRateFields, RatesFrom65536HzAreRefused) {
  int32_t scaled = 1, as_float = 1;
  ASSERT_TRUE(SampleRateFields(65535, &scaled, &as_float));
  EXPECT_EQ(static_cast<uint32_t>(scaled), 0xFFFF0000u);
  EXPECT_EQ(as_float, 0x477FFF00);  // 65535.0f
  for (int32_t hz : {65536, 96000, -1}) {
    EXPECT_FALSE(SampleRateFields(hz, &scaled, &as_float)) << hz;
    EXPECT_EQ(static_cast<uint32_t>(scaled), 0xFFFF0000u);
  }
}

}  // namespace
}  // namespace cadenza
