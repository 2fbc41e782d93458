#include "hex.h"

int32_t HexChar(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int64_t HexToBin(const char* text, unsigned char* out, uint64_t capacity) {
  if (!text || !out || capacity == 0) return HEX_NULL_ARGUMENT;
  uint64_t count = 0;
  for (const char* p = text; *p != '\0'; p += 2) {
    if (p[1] == '\0') return HEX_ODD_DIGITS;
    const int32_t high = HexChar(p[0]);
    const int32_t low = HexChar(p[1]);
    if (high < 0 || low < 0) return HEX_BAD_DIGIT;
    if (count == capacity) return HEX_OVERFLOW;
    out[count++] = static_cast<unsigned char>(16 * high + low);
  }
  return static_cast<int64_t>(count);
}

const char SELFTEST_HEADER_HEX[] =
    "00000000000000000b96f5d54a97050077edd3d000bb6e49945c088ff5af7b6a13646d6ec7b352b99e93610702"
    "d5fae40300000000008c9a0d139b3a3ad8396e85b6c9ad786314c163deab05972f031e7d699a1903eb04000000"
    "6704002311ce552ccd1fa0f326ebef768a3f2f64e234ab96766d84d611283d4e0700000082e2ce6e37058b2e9a"
    "4a7f42ade599fb94a2eb0cc8f6f38616b88b5ba8a7d30f7b3f642f157979962f9eceff46213f391d000c62df87"
    "9ffc6dcdafb4a40000001794d7a434c00486b03d1acfffd08964c60003ec2ef2f36f55d3a8d0102d00d8020000"
    "0041e57b2980010000000000000000000000000000000000000000000000000000698c00000000000004000000"
    "38e502624a9705000000000000000000";

const char SELFTEST_TARGET_HEX[] =
    "7b3f642f157979962f9eceff46213f391d000c62df879ffc6dcdafb4a4000000";
