#include "hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(HexChar, Digits) {
  const struct {
    char c;
    int32_t value;
  } cases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'A', 10}, {'f', 15}, {'F', 15},
               {'G', -1}, {'g', -1}, {' ', -1}, {'\0', -1}, {'/', -1}, {':', -1}};
  for (const auto& c : cases) EXPECT_EQ(HexChar(c.c), c.value) << int(c.c);
}

TEST(HexToBin, Results) {
  unsigned char out[8];
  const struct {
    const char* text;
    uint64_t capacity;
    int64_t result;
  } cases[] = {
      {"", 8, 0},
      {"", 0, HEX_NULL_ARGUMENT},
      {"00ff", 0, HEX_NULL_ARGUMENT},
      {"00ff", 2, 2},
      {"00FfA5", 2, HEX_OVERFLOW},
      {"0", 8, HEX_ODD_DIGITS},
      {"00f", 8, HEX_ODD_DIGITS},
      {"0g", 8, HEX_BAD_DIGIT},
      {"zz", 8, HEX_BAD_DIGIT},
      {"0x12", 8, HEX_BAD_DIGIT},
  };
  for (const auto& c : cases) EXPECT_EQ(HexToBin(c.text, out, c.capacity), c.result) << c.text;
  EXPECT_EQ(HexToBin(nullptr, out, 8), HEX_NULL_ARGUMENT);
  EXPECT_EQ(HexToBin("00", nullptr, 8), HEX_NULL_ARGUMENT);
}

TEST(HexToBin, ValuesAndBothCases) {
  unsigned char out[4];
  ASSERT_EQ(HexToBin("00fFa57E", out, 4), 4);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0xA5);
  EXPECT_EQ(out[3], 0x7E);
}

TEST(HexToBin, OverflowWritesTheCapacityFirst) {
  std::vector<unsigned char> out(286, 0xEE);
  EXPECT_EQ(HexToBin(SELFTEST_HEADER_HEX, out.data(), 285), HEX_OVERFLOW);
  EXPECT_EQ(out[284], 0x00);  // written
  EXPECT_EQ(out[285], 0xEE);  // not written
}

TEST(SelfTestVector, HeaderAndTarget) {
  std::vector<unsigned char> header(286), target(32);
  ASSERT_EQ(HexToBin(SELFTEST_HEADER_HEX, header.data(), 286), 286);
  ASSERT_EQ(HexToBin(SELFTEST_TARGET_HEX, target.data(), 32), 32);
  for (int i = 280; i < 286; ++i) EXPECT_EQ(header[i], 0) << i;
  EXPECT_EQ(0, memcmp(header.data() + 158, target.data(), 32));
}

}  // namespace
