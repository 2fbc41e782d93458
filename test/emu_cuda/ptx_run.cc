// Runs one kernel of a PTX text through the interpreter, for the module tests
// that check it against Node's BLAKE2s. Usage:
//   ptx_run IMAGE KERNEL < jobs
// IMAGE is a PTX file or a fatbin (its PTX is taken). Each line of jobs is
//   HEADER_HEX TARGET_HEX START BLOCKS THREADS
// (START in decimal); the search block is built as nvsieve builds it, the
// kernel launched over BLOCKS x THREADS threads from START, and the line
// printed is the nonce left in the result slot, or "-" when none was stored.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "emu_cuda.h"
#include "emu_ptx.h"
#include "hex.h"
#include "nonce_search.h"
#include "search_block.h"

namespace {

class SlotMemory : public emu_ptx::Memory {
 public:
  uint32_t block[NS_BLOCK_WORDS];
  uint64_t slot = 0;
  bool stored = false;
  const uint8_t* constant(const std::string& name) const override {
    return name == "d_data" ? reinterpret_cast<const uint8_t*>(block) : nullptr;
  }
  bool store_global(uint64_t address, const void* src, size_t n) override {
    if (address != uint64_t(reinterpret_cast<uintptr_t>(&slot)) || n != 8) return false;
    memcpy(&slot, src, 8);
    stored = true;
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: ptx_run IMAGE KERNEL < jobs\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  image.push_back('\0');
  const std::vector<std::string> inside = emu_cuda::fatbin_ptx(image.data());
  const std::string text = inside.empty() ? image.c_str() : inside.back();
  std::string error;
  std::unique_ptr<emu_ptx::Program> program = emu_ptx::parse(text, &error);
  if (!program) {
    fprintf(stderr, "ptx_run: %s\n", error.c_str());
    return 1;
  }
  const emu_ptx::Kernel* kernel = program->kernel(argv[2]);
  if (!kernel) {
    fprintf(stderr, "ptx_run: no kernel %s\n", argv[2]);
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string header_hex, target_hex;
    unsigned long long start;
    unsigned blocks, threads;
    if (!(in >> header_hex >> target_hex >> start >> blocks >> threads)) continue;
    unsigned char header[NS_HEADER_BYTES], target[NS_TARGET_BYTES];
    if (HexToBin(header_hex.c_str(), header, sizeof(header)) != NS_HEADER_BYTES ||
        HexToBin(target_hex.c_str(), target, sizeof(target)) != NS_TARGET_BYTES) {
      fprintf(stderr, "ptx_run: bad line: %s\n", line.c_str());
      return 1;
    }
    SlotMemory memory;
    build_search_block(header, target, true, memory.block);
    uint64_t slot_address = uint64_t(reinterpret_cast<uintptr_t>(&memory.slot));
    unsigned one = 1;
    void* params[] = {&start, &slot_address, &one};
    if (!emu_ptx::run(*program, *kernel, {blocks, 1, 1}, {threads, 1, 1}, params, memory, &error)) {
      fprintf(stderr, "ptx_run: %s\n", error.c_str());
      return 1;
    }
    if (memory.stored) printf("%llu\n", (unsigned long long)memory.slot);
    else printf("-\n");
  }
  return 0;
}
