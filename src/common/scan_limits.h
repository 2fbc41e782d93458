// Numbers every backend and both bindings agree on.
#ifndef NONCESIEVE_SCAN_LIMITS_H
#define NONCESIEVE_SCAN_LIMITS_H

#include <cstddef>
#include <cstdint>

// Device indices 0-19 can be initialised.
const size_t DEVICE_TABLE_SIZE = 20;
// Slots (scans in flight at once) a device may have. A GPU is kept busy by a
// handful; more only costs memory and pool threads.
const int MAX_DEVICE_SLOTS = 64;
// Nonces are 48 bits (header bytes 280-285): no scan may reach 2^48, or its
// kernel would hash a block that is not the header.
const uint64_t NONCE_FIELD_LIMIT = 1ULL << 48;
// What a scan reports when its range holds no winner (2^53 - 1, exact as a double).
const uint64_t NOT_FOUND_NONCE = 9007199254740991ULL;

#endif
