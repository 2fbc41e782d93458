// The PTX interpreter: each instruction form against the PTX ISA's own
// definition (small kernels of one instruction), and the two texts nvsieve
// ships as the interpreter parses them.
#include <gtest/gtest.h>

#include <string.h>

#include <fstream>
#include <iterator>
#include <string>

#include "emu_cuda.h"
#include "emu_ptx.h"

namespace {

class Recorder : public emu_ptx::Memory {
 public:
  uint64_t out = 0;
  uint8_t table[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t* constant(const std::string& name) const override {
    return name == "table" ? table : nullptr;
  }
  bool store_global(uint64_t address, const void* src, size_t n) override {
    if (address != uint64_t(reinterpret_cast<uintptr_t>(&out)) || n > 8) return false;
    memcpy(&out, src, n);
    return true;
  }
};

// A kernel of `body` over parameters a, b, c (u64, loaded into %rd1-%rd3 and
// their low halves %r1-%r3); the body leaves its result in %rd9 (or %r9,
// widened), which is stored. Returns what was stored.
uint64_t run_body(const std::string& body, uint64_t a, uint64_t b, uint64_t c = 0,
                  bool wide = true) {
  const std::string text = std::string(R"(
.version 4.3
.target sm_35
.address_size 64
.const .align 4 .b8 table[16];
.visible .entry k(.param .u64 k_param_0, .param .u64 k_param_1, .param .u64 k_param_2,
                  .param .u64 k_param_3)
{
  .reg .pred %p<4>;
  .reg .b32 %r<12>;
  .reg .b64 %rd<12>;
  ld.param.u64 %rd1, [k_param_0];
  ld.param.u64 %rd2, [k_param_1];
  ld.param.u64 %rd3, [k_param_2];
  ld.param.u64 %rd4, [k_param_3];
  cvt.u32.u64 %r1, %rd1;
  cvt.u32.u64 %r2, %rd2;
  cvt.u32.u64 %r3, %rd3;
)") + body + (wide ? "" : "\n  cvt.u64.u32 %rd9, %r9;") + R"(
  cvta.to.global.u64 %rd5, %rd4;
  st.global.u64 [%rd5], %rd9;
  ret;
}
)";
  std::string error;
  std::unique_ptr<emu_ptx::Program> p = emu_ptx::parse(text, &error);
  EXPECT_TRUE(p) << error << "\n" << body;
  if (!p) return 0;
  Recorder memory;
  uint64_t out_address = uint64_t(reinterpret_cast<uintptr_t>(&memory.out));
  void* params[] = {&a, &b, &c, &out_address};
  EXPECT_TRUE(emu_ptx::run(*p, p->kernels[0], {}, {}, params, memory, &error)) << error;
  return memory.out;
}

TEST(Ptx, InstructionsAsTheIsaDefinesThem) {
  const struct Case {
    const char* body;
    uint64_t a, b, c;
    bool wide;
    uint64_t want;
  } cases[] = {
      // 32-bit arithmetic wraps at 32 bits.
      {"add.s32 %r9, %r1, %r2;", 0xFFFFFFFF, 2, 0, false, 1},
      {"sub.s32 %r9, %r1, %r2;", 1, 2, 0, false, 0xFFFFFFFF},
      {"mad.lo.u32 %r9, %r1, %r2, %r3;", 0x10000, 0x10001, 5, false, 0x10005},
      {"mad.lo.s32 %r9, %r1, %r2, %r3;", 0xFFFFFFFF, 3, 1, false, 0xFFFFFFFE},
      {"mul.wide.u32 %rd9, %r1, %r2;", 0xFFFFFFFF, 0xFFFFFFFF, 0, true, 0xFFFFFFFE00000001ull},
      {"mul.wide.s32 %rd9, %r1, %r2;", 0xFFFFFFFF, 2, 0, true, 0xFFFFFFFFFFFFFFFEull},
      {"add.s64 %rd9, %rd1, %rd2;", 0xFFFFFFFFFFFFFFFFull, 2, 0, true, 1},
      // Logic and shifts; a shift by the width or more gives 0 (or the sign).
      {"xor.b32 %r9, %r1, %r2;", 0xF0F0, 0xFF00, 0, false, 0x0FF0},
      {"or.b64 %rd9, %rd1, %rd2;", 1ull << 40, 1, 0, true, (1ull << 40) | 1},
      {"shl.b64 %rd9, %rd1, 32;", 0x12345678, 0, 0, true, 0x1234567800000000ull},
      {"shl.b32 %r9, %r1, %r2;", 1, 32, 0, false, 0},
      {"shr.u64 %rd9, %rd1, 32;", 0xAABBCCDD11223344ull, 0, 0, true, 0xAABBCCDD},
      {"shr.s32 %r9, %r1, %r2;", 0x80000000, 40, 0, false, 0xFFFFFFFF},
      // shf: the 64 bits b:a shifted, wrap taking the count mod 32, clamp at 32.
      {"shf.r.wrap.b32 %r9, %r1, %r2, 8;", 0x11223344, 0xAABBCCDD, 0, false, 0xDD112233},
      {"shf.r.wrap.b32 %r9, %r1, %r2, %r3;", 0x11223344, 0xAABBCCDD, 40, false, 0xDD112233},
      {"shf.r.clamp.b32 %r9, %r1, %r2, %r3;", 0x11223344, 0xAABBCCDD, 40, false, 0xAABBCCDD},
      {"shf.l.wrap.b32 %r9, %r1, %r2, 8;", 0x11223344, 0xAABBCCDD, 0, false, 0xBBCCDD11},
      // prmt: byte n from selector nibble n over b:a; bit 3 replicates the sign.
      {"prmt.b32 %r9, %r1, %r2, 0x0321;", 0x44332211, 0, 0, false, 0x11443322},
      {"prmt.b32 %r9, %r1, %r2, 0x2103;", 0x44332211, 0, 0, false, 0x33221144},
      {"prmt.b32 %r9, %r1, %r2, 0x7654;", 1, 0x88776655, 0, false, 0x88776655},
      // Conversions: the source's width and sign.
      {"cvt.u64.u32 %rd9, %r1;", 0xFFFFFFFF80000000ull, 0, 0, true, 0x80000000},
      {"cvt.s64.s32 %rd9, %r1;", 0x80000000, 0, 0, true, 0xFFFFFFFF80000000ull},
      {"mov.b64 {%r8, %r9}, %rd1;", 0x1122334455667788ull, 0, 0, false, 0x11223344},
      {"bfi.b64 %rd9, %rd1, %rd2, 32, 32;", 0xAB, 0x1234, 0, true, 0x000000AB00001234ull},
      // Predicates: signed and unsigned compares, predicated branches and moves.
      {"setp.gt.u32 %p1, %r1, %r2; selp.b32 %r9, 1, 2, %p1;", 0x80000000, 1, 0, false, 1},
      {"setp.gt.s32 %p1, %r1, %r2; selp.b32 %r9, 1, 2, %p1;", 0x80000000, 1, 0, false, 2},
      {"setp.ge.u64 %p1, %rd1, %rd2; mov.u32 %r9, 7; @%p1 bra $L1; mov.u32 %r9, 9; $L1: add.s32 %r9, %r9, 0;",
       5, 5, 0, false, 7},
      {"setp.le.u64 %p1, %rd1, %rd2; mov.u32 %r9, 7; @!%p1 bra $L1; mov.u32 %r9, 9; $L1: add.s32 %r9, %r9, 0;",
       6, 5, 0, false, 7},
      // Constants by symbol and offset, and through a register.
      {"ld.const.u32 %r9, [table+4];", 0, 0, 0, false, 0x08070605},
      {"mov.u64 %rd6, table; ld.const.u32 %r9, [%rd6+12];", 0, 0, 0, false, 0x100F0E0D},
      // The thread's coordinates (a launch of one thread).
      {"mov.u32 %r9, %ntid.x; mov.u32 %r8, %tid.x; add.s32 %r9, %r9, %r8;", 0, 0, 0, false, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(run_body(c.body, c.a, c.b, c.c, c.wide), c.want) << c.body;
}

TEST(Ptx, SignReplicatingSelector) {
  // Selector 8 takes byte 0 with its sign: 0x80 gives 0xFF; 0 picks byte 0.
  EXPECT_EQ(run_body("prmt.b32 %r9, %r1, %r2, 0x0008;", 0x7F80, 0, 0, false), 0x808080FFu);
}

TEST(Ptx, WhatItDoesNotKnowIsRefusedWhenParsed) {
  for (const char* bad : {
           ".version 4.3\n.target sm_35\n.entry k() { tex.1d.v4.f32 %r1, [t]; }",
           ".version 4.3\n.target sm_35\n.entry k() { prmt.b32.f4e %r1, %r2, %r3, %r4; }",
           ".version 4.3\n.target sm_35\n.entry k() { st.shared.u32 [%r1], %r2; }",
           ".version 4.3\n.target sm_35\n.entry k() { bra $nowhere; }",
           ".target sm_35\n.entry k() { ret; }",
       }) {
    std::string error;
    EXPECT_FALSE(emu_ptx::parse(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(Ptx, StoresOutsideMemoryFault) {
  // run_body's store goes to the address in param 3; a bad one faults.
  const std::string text = R"(.version 4.3
.target sm_35
.visible .entry k(.param .u64 k_param_0) {
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [k_param_0];
  st.global.u64 [%rd1], %rd1;
  ret;
})";
  std::string error;
  std::unique_ptr<emu_ptx::Program> p = emu_ptx::parse(text, &error);
  ASSERT_TRUE(p) << error;
  Recorder memory;
  uint64_t wild = 0x1000;
  void* params[] = {&wild};
  EXPECT_FALSE(emu_ptx::run(*p, p->kernels[0], {}, {}, params, memory, &error));
  EXPECT_NE(error.find("not allocated"), std::string::npos) << error;
}

std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  s.push_back('\0');
  return s;
}

TEST(Ptx, TheShippedTexts) {
  const std::string fatbin = read_file(NVSIEVE_FATBIN_FILE);
  const std::vector<std::string> inside = emu_cuda::fatbin_ptx(fatbin.data());
  ASSERT_EQ(inside.size(), 1u) << "the fatbin carries one PTX, of its newest architecture";
  const std::string portable = read_file(NVSIEVE_PORTABLE_PTX_FILE);
  const struct {
    const std::string& text;
    int major, minor, target;
  } texts[] = {{portable, 4, 3, 35}, {inside[0], 9, 0, 0}};
  for (const auto& t : texts) {
    std::string error;
    std::unique_ptr<emu_ptx::Program> p = emu_ptx::parse(t.text, &error);
    ASSERT_TRUE(p) << error;
    EXPECT_EQ(p->version_major, t.major);
    EXPECT_EQ(p->version_minor, t.minor);
    if (t.target) {
      EXPECT_EQ(p->target, t.target);
    }
    EXPECT_EQ(p->constants, (std::map<std::string, size_t>{{"d_data", 416}}));
    ASSERT_TRUE(p->kernel("_Z12blake2s_hashmPm"));
    ASSERT_TRUE(p->kernel("_Z21blake2s_hash_balancedmPmj"));
    EXPECT_EQ(p->kernel("_Z12blake2s_hashmPm")->param_sizes, (std::vector<size_t>{8, 8}));
    EXPECT_EQ(p->kernel("_Z21blake2s_hash_balancedmPmj")->param_sizes,
              (std::vector<size_t>{8, 8, 4}));
  }
}

}  // namespace
