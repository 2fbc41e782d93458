// An interpreter of PTX text: enough of the ISA to run nvsieve's kernels as
// clang's NVPTX backend and nvcc write them (32- and 64-bit integer
// arithmetic, logic, shifts, prmt, shf, predicates and branches, loads from
// .const and .param, stores to .global, the thread coordinates). The emulated
// driver runs every PTX module it loads through it; a text that uses anything
// else is refused when it is parsed, not when it runs.
#ifndef NONCESIEVE_EMU_PTX_H
#define NONCESIEVE_EMU_PTX_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emu_ptx {

struct Instruction;

struct Kernel {
  std::string name;
  std::vector<size_t> param_sizes;  // bytes of each .param, in order
  std::vector<Instruction> code;
  int registers = 0;  // registers of all kinds, numbered together
  int predicates = 0;
  Kernel();
  ~Kernel();
  Kernel(Kernel&&) noexcept;
};

struct Program {
  int version_major = 0, version_minor = 0;  // .version
  int target = 0;                            // .target sm_NN: NN
  std::map<std::string, size_t> constants;   // .const globals and their sizes
  std::vector<std::string> constant_names;   // the same, in the text's order
  std::vector<Kernel> kernels;
  const Kernel* kernel(const std::string& name) const;
};

// Parses a PTX module; null with *error set when the text uses something the
// interpreter does not know.
std::unique_ptr<Program> parse(const std::string& text, std::string* error);

// Where the running threads read constants and write global memory.
class Memory {
 public:
  // The bytes of the .const global `name` (as large as its declaration).
  virtual const uint8_t* constant(const std::string& name) const = 0;
  // A store of n bytes to global address `address`; false is a fault.
  virtual bool store_global(uint64_t address, const void* src, size_t n) = 0;

 protected:
  ~Memory() = default;
};

struct Dims {
  unsigned x = 1, y = 1, z = 1;
};

// Runs every thread of a launch of `kernel`, one after another, blocks x
// fastest, then y, then z; `params` holds one pointer per parameter. False
// with *error set when a thread faults.
bool run(const Program& program, const Kernel& kernel, Dims grid, Dims block, void** params,
         Memory& memory, std::string* error);

}  // namespace emu_ptx

#endif
