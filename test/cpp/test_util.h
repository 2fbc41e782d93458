#ifndef NONCESIEVE_TEST_UTIL_H
#define NONCESIEVE_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include <cstring>

#include "blake2s.h"
#include "hex.h"

inline std::vector<unsigned char> from_hex(const std::string& text) {
  std::vector<unsigned char> out(text.size() / 2 + 1);
  const int64_t n = HexToBin(text.c_str(), out.data(), out.size());
  out.resize(n > 0 ? size_t(n) : 0);
  return out;
}

inline std::string to_hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// The header with a nonce written into bytes 280-285 as the kernel inserts it:
// the low 32 bits replace bytes 280-283, bits 32-47 are ORed into 284-285.
inline std::vector<unsigned char> with_nonce(std::vector<unsigned char> header, uint64_t nonce) {
  for (int i = 0; i < 4; ++i) header[280 + i] = uint8_t(nonce >> (8 * i));
  header[284] |= uint8_t(nonce >> 32);
  header[285] |= uint8_t(nonce >> 40);
  return header;
}

// The self-test header, with bytes 284-285 (zero as stored) set as given: the
// kernel ORs the nonce's bits 32-47 into them.
inline std::vector<unsigned char> selftest_header(uint8_t b284 = 0, uint8_t b285 = 0) {
  std::vector<unsigned char> h = from_hex(SELFTEST_HEADER_HEX);
  h[284] = b284;
  h[285] = b285;
  return h;
}

// Bytes 24-31 of the header's full BLAKE2s-256 digest, little-endian: what the
// kernel compares with the target.
inline uint64_t digest_h3(const std::vector<unsigned char>& header) {
  uint8_t d[32];
  blake2s(d, 32, header.data(), header.size(), nullptr, 0);
  uint64_t h3;
  memcpy(&h3, d + 24, 8);
  return h3;
}

#endif
