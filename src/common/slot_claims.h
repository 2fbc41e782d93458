// Which slots of a device have a scan in flight. A slot has one result
// buffer (and in OpenCL one queue and kernel object), so two scans on it at
// once would read each other's nonce. A scan holds its slot from the
// scan_nonces call until its callback is called; both happen on the script
// thread, the only one that touches the claims.
#ifndef NONCESIEVE_SLOT_CLAIMS_H
#define NONCESIEVE_SLOT_CLAIMS_H

#include <cstddef>
#include <memory>

class SlotClaims {
 public:
  // `count` slots, none in flight.
  void reset(size_t count) {
    busy_.reset(new bool[count]());
    count_ = count;
  }
  size_t size() const { return count_; }

  // False when the slot already has a scan in flight.
  bool try_claim(size_t slot) {
    if (busy_[slot]) return false;
    busy_[slot] = true;
    return true;
  }

  void release(size_t slot) { busy_[slot] = false; }

 private:
  std::unique_ptr<bool[]> busy_;
  size_t count_ = 0;
};

#endif
