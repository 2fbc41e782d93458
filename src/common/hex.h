// Hex text to bytes, and the built-in self-test job.
#ifndef NONCESIEVE_HEX_H
#define NONCESIEVE_HEX_H

#include <stdint.h>

enum hex_status {
  HEX_NULL_ARGUMENT = -2,  // text or output null, or capacity 0
  HEX_BAD_DIGIT = -3,      // a character that is not a hex digit
  HEX_ODD_DIGITS = -4,     // a final digit without its pair
  HEX_OVERFLOW = -5        // more pairs than the capacity (that many bytes were written)
};

// 0-15 for a hex digit of either case, -1 for anything else.
int32_t HexChar(char c);

// Converts pairs of hex digits into bytes; returns the number written or a
// negative hex_status. Never reads past the terminating NUL.
int64_t HexToBin(const char* text, unsigned char* out, uint64_t capacity);

// The self-test job: a 286-byte header whose nonce field is zero, and a target
// whose top 64 bits are 0x000000A4B4AFCD6D.
extern const char SELFTEST_HEADER_HEX[];
extern const char SELFTEST_TARGET_HEX[];
// The OpenCL self-test scans from here.
const uint64_t SELFTEST_START_NONCE = 935033;
// The CUDA self-test writes this nonce into the header before hashing it,
// and prints this value as the expected result.
const uint64_t CUDA_SELFTEST_NONCE = 0xFFFFFFEFDULL;
const uint64_t CUDA_SELFTEST_EXPECTED = 18424822234779600078ULL;

#endif
