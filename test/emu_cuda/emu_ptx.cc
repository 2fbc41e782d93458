// The PTX interpreter. A module is parsed once into instructions whose
// operands are register numbers, immediates or special registers, so that a
// thread's run is a loop over a vector. Semantics follow the PTX ISA
// reference: integer operations wrap at their width, shf and prmt as
// documented there, setp compares signed or unsigned by the type's letter.
#include "emu_ptx.h"

#include <stdlib.h>
#include <string.h>

#include <regex>
#include <unordered_map>

namespace emu_ptx {

enum class Op {
  Add, Sub, MulLo, MulWide, MadLo, And, Or, Xor, Not, Shl, Shr, ShfL, ShfR, Prmt, Bfi,
  Mov, MovSplit, Cvt, Setp, Selp, LdParam, LdConst, StGlobal, Bra, Ret,
};

enum class Cmp { Eq, Ne, Lt, Le, Gt, Ge };

struct Operand {
  enum Kind { None, Reg, Imm, Special, Symbol } kind = None;
  int index = 0;      // register, special register (0-11) or symbol
  uint64_t value = 0;  // immediate, or the offset of a memory operand
};

struct Instruction {
  Op op = Op::Ret;
  int bits = 32;          // operand width
  bool is_signed = false;
  bool clamp = false;     // shf.*.clamp
  Cmp cmp = Cmp::Eq;
  int guard = -1;         // predicate register, -1 none
  bool guard_negated = false;
  Operand d, d2, a, b, c, e;
  int target = -1;        // branch target (instruction index)
  int store_bytes = 8;    // st: the bytes stored
  int from_bits = 64;     // cvt: the source's width
};

Kernel::Kernel() = default;
Kernel::~Kernel() = default;
Kernel::Kernel(Kernel&&) noexcept = default;

const Kernel* Program::kernel(const std::string& name) const {
  for (const Kernel& k : kernels)
    if (k.name == name) return &k;
  return nullptr;
}

namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::vector<std::string> split_operands(const std::string& s) {
  std::vector<std::string> out;
  int depth = 0;
  std::string cur;
  for (char ch : s) {
    if (ch == '{' || ch == '[') ++depth;
    if (ch == '}' || ch == ']') --depth;
    if (ch == ',' && depth == 0) {
      out.push_back(trim(cur));
      cur.clear();
    } else {
      cur.push_back(ch);
    }
  }
  if (!trim(cur).empty()) out.push_back(trim(cur));
  return out;
}

const char* const kSpecials[] = {"%tid.x",   "%tid.y",   "%tid.z",   "%ntid.x",
                                 "%ntid.y",  "%ntid.z",  "%ctaid.x", "%ctaid.y",
                                 "%ctaid.z", "%nctaid.x", "%nctaid.y", "%nctaid.z"};

// Parses one kernel body; `symbols` numbers the names a memory operand may
// use (the kernel's parameters first, then the module's constants).
class BodyParser {
 public:
  BodyParser(Kernel* k, const std::vector<std::string>& symbols, std::string* error)
      : k_(k), symbols_(symbols), error_(error) {}

  bool fail(const std::string& what, const std::string& stmt) {
    *error_ = k_->name + ": " + what + " in \"" + stmt + "\"";
    return false;
  }

  // Registers and predicates are numbered in the order they first appear.
  static int number(std::unordered_map<std::string, int>* names, const std::string& name) {
    auto it = names->find(name);
    if (it != names->end()) return it->second;
    const int n = int(names->size());
    (*names)[name] = n;
    return n;
  }
  int reg(const std::string& name) { return number(&regs_, name); }
  int predicate(const std::string& name) { return number(&preds_, name); }

  bool operand(const std::string& text, Operand* o, const std::string& stmt) {
    if (text.empty()) return fail("empty operand", stmt);
    if (text[0] == '%') {
      for (int i = 0; i < 12; ++i) {
        if (text == kSpecials[i]) {
          o->kind = Operand::Special;
          o->index = i;
          return true;
        }
      }
      o->kind = Operand::Reg;
      o->index = reg(text);
      return true;
    }
    if (text[0] == '-' || isdigit(static_cast<unsigned char>(text[0]))) {
      char* end = nullptr;
      const bool neg = text[0] == '-';
      const char* digits = neg ? text.c_str() + 1 : text.c_str();
      uint64_t v = strtoull(digits, &end, 0);
      if (*end == 'U') ++end;
      if (*end) return fail("bad immediate " + text, stmt);
      o->kind = Operand::Imm;
      o->value = neg ? ~v + 1 : v;
      return true;
    }
    for (size_t i = 0; i < symbols_.size(); ++i) {
      if (text == symbols_[i]) {
        o->kind = Operand::Symbol;
        o->index = int(i);
        return true;
      }
    }
    if (regs_.count(text)) {  // a scoped register such as "tmp"
      o->kind = Operand::Reg;
      o->index = regs_[text];
      return true;
    }
    return fail("unknown operand " + text, stmt);
  }

  // [base], [base+off]: base a register or a symbol.
  bool address(const std::string& text, Operand* base, const std::string& stmt) {
    if (text.size() < 3 || text.front() != '[' || text.back() != ']')
      return fail("bad address " + text, stmt);
    std::string inner = trim(text.substr(1, text.size() - 2));
    uint64_t offset = 0;
    const size_t plus = inner.find('+');
    if (plus != std::string::npos) {
      offset = strtoull(trim(inner.substr(plus + 1)).c_str(), nullptr, 0);
      inner = trim(inner.substr(0, plus));
    }
    if (!operand(inner, base, stmt)) return false;
    if (base->kind != Operand::Reg && base->kind != Operand::Symbol)
      return fail("bad address base", stmt);
    base->value = offset;
    return true;
  }

  static int width(const std::string& type) { return atoi(type.c_str() + 1); }

  bool statement(std::string stmt) {
    stmt = trim(stmt);
    // Labels come before the statement they mark.
    static const std::regex label("^([$%A-Za-z_][$\\w]*):\\s*");
    std::smatch m;
    while (std::regex_search(stmt, m, label)) {
      labels_[m[1]] = int(k_->code.size());
      stmt = trim(m.suffix());
    }
    // A block of its own ({ .reg .b32 tmp; ... }) only scopes names.
    while (!stmt.empty() && (stmt[0] == '{' || stmt[0] == '}')) stmt = trim(stmt.substr(1));
    while (!stmt.empty() && stmt.back() == '}' && stmt.find('{') == std::string::npos)
      stmt = trim(stmt.substr(0, stmt.size() - 1));
    if (stmt.empty()) return true;
    if (stmt[0] == '.') {
      if (stmt.compare(0, 4, ".reg") == 0) {
        // .reg .b32 %r<1640>; or .reg .b32 tmp;
        static const std::regex decl("^\\.reg\\s+\\.(\\w+)\\s+([%\\w]+)(<(\\d+)>)?$");
        if (!std::regex_match(stmt, m, decl)) return fail("bad register declaration", stmt);
        if (!m[3].matched) reg(m[2]);
        return true;
      }
      if (stmt.compare(0, 7, ".pragma") == 0 || stmt.compare(0, 4, ".loc") == 0) return true;
      return fail("unknown directive", stmt);
    }
    Instruction in;
    if (stmt[0] == '@') {
      size_t sp = stmt.find_first_of(" \t");
      std::string p = stmt.substr(1, sp - 1);
      if (p[0] == '!') {
        in.guard_negated = true;
        p = p.substr(1);
      }
      in.guard = predicate(p);
      stmt = trim(stmt.substr(sp));
    }
    const size_t sp = stmt.find_first_of(" \t");
    const std::string opcode = stmt.substr(0, sp);
    const std::vector<std::string> ops =
        sp == std::string::npos ? std::vector<std::string>() : split_operands(stmt.substr(sp));
    std::vector<std::string> parts;
    for (size_t b = 0, e; b <= opcode.size(); b = e + 1) {
      e = opcode.find('.', b);
      if (e == std::string::npos) e = opcode.size();
      parts.push_back(opcode.substr(b, e - b));
    }
    const std::string& name = parts[0];
    const std::string type = parts.back();
    auto need = [&](size_t n) { return ops.size() == n || fail("wrong operand count", stmt); };
    auto sources = [&](size_t first, Operand* a, Operand* b, Operand* c) {
      Operand* slots[] = {a, b, c};
      for (size_t i = first; i < ops.size(); ++i)
        if (!operand(ops[i], slots[i - first], stmt)) return false;
      return true;
    };
    if (type.size() > 1 && (type[0] == 'b' || type[0] == 'u' || type[0] == 's')) {
      in.bits = width(type);
      in.is_signed = type[0] == 's';
    }
    if (name == "ret" || name == "exit") {
      in.op = Op::Ret;
    } else if (name == "bra") {
      if (!need(1)) return false;
      in.op = Op::Bra;
      branches_.push_back({int(k_->code.size()), ops[0]});
    } else if (name == "ld" || name == "st") {
      if (!need(2)) return false;
      const std::string& space = parts[1];
      if (name == "st") {
        if (space != "global") return fail("store to a space other than .global", stmt);
        in.op = Op::StGlobal;
        in.store_bytes = in.bits / 8;
        if (!address(ops[0], &in.a, stmt) || !operand(ops[1], &in.b, stmt)) return false;
      } else {
        if (space == "param") in.op = Op::LdParam;
        else if (space == "const") in.op = Op::LdConst;
        else return fail("load from a space other than .param or .const", stmt);
        if (!operand(ops[0], &in.d, stmt) || !address(ops[1], &in.a, stmt)) return false;
      }
    } else if (name == "mov") {
      if (!need(2)) return false;
      if (ops[0][0] == '{') {  // mov.b64 {lo, hi}, %rd
        const std::vector<std::string> halves = split_operands(ops[0].substr(1, ops[0].size() - 2));
        if (halves.size() != 2) return fail("bad vector", stmt);
        in.op = Op::MovSplit;
        if (!operand(halves[0], &in.d, stmt) || !operand(halves[1], &in.d2, stmt)) return false;
        return operand(ops[1], &in.a, stmt) && push(in);
      }
      in.op = Op::Mov;
      if (!operand(ops[0], &in.d, stmt) || !operand(ops[1], &in.a, stmt)) return false;
    } else if (name == "cvt" || name == "cvta") {
      if (!need(2)) return false;
      in.op = Op::Cvt;
      // cvt.DST.SRC: the destination's width and the source's signedness.
      if (name == "cvt") {
        const std::string& dst = parts[parts.size() - 2];
        in.bits = width(dst);
        in.is_signed = type[0] == 's';
        in.from_bits = width(type);
      }
      if (!operand(ops[0], &in.d, stmt) || !sources(1, &in.a, nullptr, nullptr)) return false;
    } else if (name == "setp") {
      if (!need(3) || parts.size() != 3) return fail("bad setp", stmt);
      in.op = Op::Setp;
      const std::string& c = parts[1];
      const bool unsigned_only = c == "lo" || c == "ls" || c == "hi" || c == "hs";
      if (unsigned_only) in.is_signed = false;
      if (c == "eq") in.cmp = Cmp::Eq;
      else if (c == "ne") in.cmp = Cmp::Ne;
      else if (c == "lt" || c == "lo") in.cmp = Cmp::Lt;
      else if (c == "le" || c == "ls") in.cmp = Cmp::Le;
      else if (c == "gt" || c == "hi") in.cmp = Cmp::Gt;
      else if (c == "ge" || c == "hs") in.cmp = Cmp::Ge;
      else return fail("unknown comparison", stmt);
      in.d.kind = Operand::Reg;
      in.d.index = predicate(ops[0]);
      if (!sources(1, &in.a, &in.b, nullptr)) return false;
    } else {
      static const std::unordered_map<std::string, Op> kArith = {
          {"add", Op::Add}, {"sub", Op::Sub}, {"and", Op::And}, {"or", Op::Or},
          {"xor", Op::Xor}, {"not", Op::Not}, {"shl", Op::Shl}, {"shr", Op::Shr},
          {"prmt", Op::Prmt}, {"bfi", Op::Bfi}, {"selp", Op::Selp}};
      if (name == "mul" || name == "mad") {
        const std::string& mode = parts[1];
        if (mode == "wide" && name == "mul") in.op = Op::MulWide;
        else if (mode == "lo") in.op = name == "mul" ? Op::MulLo : Op::MadLo;
        else return fail("unsupported multiply", stmt);
      } else if (name == "shf") {
        in.op = parts[1] == "l" ? Op::ShfL : parts[1] == "r" ? Op::ShfR : Op::Ret;
        if (in.op == Op::Ret || (parts[2] != "wrap" && parts[2] != "clamp"))
          return fail("bad shf", stmt);
        in.clamp = parts[2] == "clamp";
      } else {
        auto it = kArith.find(name);
        if (it == kArith.end()) return fail("unsupported instruction " + opcode, stmt);
        in.op = it->second;
        if (in.op == Op::Prmt && parts.size() != 2) return fail("prmt with a mode", stmt);
      }
      if (ops.size() < 2 || ops.size() > 5) return fail("wrong operand count", stmt);
      if (!operand(ops[0], &in.d, stmt)) return false;
      Operand* slots[] = {&in.a, &in.b, &in.c, &in.e};
      for (size_t i = 1; i < ops.size(); ++i) {
        if (in.op == Op::Selp && i == 3) {
          slots[2]->kind = Operand::Reg;
          slots[2]->index = predicate(ops[i]);
        } else if (!operand(ops[i], slots[i - 1], stmt)) {
          return false;
        }
      }
    }
    return push(in);
  }

  bool push(const Instruction& in) {
    k_->code.push_back(in);
    return true;
  }

  bool finish() {
    for (const auto& b : branches_) {
      auto it = labels_.find(b.second);
      if (it == labels_.end()) return fail("unknown label " + b.second, "bra");
      k_->code[size_t(b.first)].target = it->second;
    }
    k_->registers = int(regs_.size());
    k_->predicates = int(preds_.size());
    return true;
  }

 private:
  Kernel* k_;
  const std::vector<std::string>& symbols_;
  std::string* error_;
  std::unordered_map<std::string, int> regs_, preds_, labels_;
  std::vector<std::pair<int, std::string>> branches_;
};

std::string strip_comments(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') ++i;
      out.push_back('\n');
    } else if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 1;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::unique_ptr<Program> parse(const std::string& source, std::string* error) {
  const std::string text = strip_comments(source);
  std::unique_ptr<Program> p(new Program());
  std::smatch m;
  static const std::regex version("\\.version\\s+(\\d+)\\.(\\d+)");
  static const std::regex target("\\.target\\s+sm_(\\d+)");
  if (!std::regex_search(text, m, version)) {
    *error = "no .version";
    return nullptr;
  }
  p->version_major = atoi(m[1].str().c_str());
  p->version_minor = atoi(m[2].str().c_str());
  if (!std::regex_search(text, m, target)) {
    *error = "no .target sm_NN";
    return nullptr;
  }
  p->target = atoi(m[1].str().c_str());
  std::vector<std::string> constants;
  static const std::regex constant(
      "\\.const\\s+(?:\\.align\\s+\\d+\\s+)?\\.b8\\s+(\\w+)\\[(\\d+)\\]");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), constant);
       it != std::sregex_iterator(); ++it) {
    p->constants[(*it)[1]] = size_t(atoll((*it)[2].str().c_str()));
    constants.push_back((*it)[1]);
  }
  p->constant_names = constants;
  if (text.find(".func") != std::string::npos || text.find(".shared") != std::string::npos ||
      text.find(".local") != std::string::npos) {
    *error = "functions, shared or local memory are not supported";
    return nullptr;
  }
  static const std::regex entry("\\.entry\\s+(\\w+)\\s*\\(([^)]*)\\)");
  static const std::regex param("\\.param\\s+\\.([busf])(\\d+)\\s+(?:\\.ptr\\s+)?(?:\\.(?:global|const|local|shared)\\s+)?(?:\\.align\\s+\\d+\\s+)?(\\w+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
       it != std::sregex_iterator(); ++it) {
    Kernel k;
    k.name = (*it)[1];
    std::vector<std::string> symbols;
    const std::string params = (*it)[2];
    for (auto pi = std::sregex_iterator(params.begin(), params.end(), param);
         pi != std::sregex_iterator(); ++pi) {
      k.param_sizes.push_back(size_t(atoi((*pi)[2].str().c_str()) / 8));
      symbols.push_back((*pi)[3]);
    }
    symbols.insert(symbols.end(), constants.begin(), constants.end());
    // The body: from the brace after the parameters to the one that closes it.
    size_t open = size_t(it->position(0) + it->length(0));
    open = text.find('{', open);
    if (open == std::string::npos) {
      *error = k.name + ": no body";
      return nullptr;
    }
    int depth = 0;
    size_t close = open;
    for (; close < text.size(); ++close) {
      if (text[close] == '{') ++depth;
      if (text[close] == '}' && --depth == 0) break;
    }
    const std::string body = text.substr(open + 1, close - open - 1);
    BodyParser parser(&k, symbols, error);
    // Statements end at ';'; a vector operand's braces hold no ';'.
    size_t start = 0;
    for (size_t i = 0; i <= body.size(); ++i) {
      if (i == body.size() || body[i] == ';') {
        if (!parser.statement(body.substr(start, i - start))) return nullptr;
        start = i + 1;
      }
    }
    if (!parser.finish()) return nullptr;
    p->kernels.push_back(std::move(k));
  }
  if (p->kernels.empty()) {
    *error = "no .entry";
    return nullptr;
  }
  return p;
}

namespace {

uint64_t mask(int bits) { return bits >= 64 ? ~0ull : (1ull << bits) - 1; }

int64_t sign_extend(uint64_t v, int bits) {
  if (bits >= 64) return int64_t(v);
  const uint64_t sign = 1ull << (bits - 1);
  return int64_t((v & mask(bits)) ^ sign) - int64_t(sign);
}

uint32_t prmt(uint32_t a, uint32_t b, uint32_t c) {
  const uint64_t bytes = (uint64_t(b) << 32) | a;
  uint32_t r = 0;
  for (int n = 0; n < 4; ++n) {
    const uint32_t s = (c >> (4 * n)) & 0xF;
    uint32_t byte = uint32_t(bytes >> (8 * (s & 7))) & 0xFF;
    if (s & 8) byte = (byte & 0x80) ? 0xFF : 0;  // replicate the byte's sign
    r |= byte << (8 * n);
  }
  return r;
}

struct Thread {
  std::vector<uint64_t> r;
  std::vector<bool> p;
  uint64_t special[12];
};

}  // namespace

// Where a register holding the address of a .const global points: symbol j
// of the module's constants at kConstBase + j * 2^32, offsets below.
const uint64_t kConstBase = 0xC000000000000000ull;

bool run(const Program& program, const Kernel& kernel, Dims grid, Dims block, void** params,
         Memory& memory, std::string* error) {
  const size_t nparams = kernel.param_sizes.size();
  std::vector<const uint8_t*> const_bytes;
  std::vector<size_t> const_sizes;
  for (const std::string& name : program.constant_names) {
    const_bytes.push_back(memory.constant(name));
    const_sizes.push_back(program.constants.at(name));
    if (!const_bytes.back()) {
      *error = "no memory for constant " + name;
      return false;
    }
  }
  std::vector<uint64_t> r(size_t(kernel.registers) + 1, 0);
  std::vector<uint8_t> p(size_t(kernel.predicates) + 1, 0);
  uint64_t special[12] = {0, 0, 0, block.x, block.y, block.z, 0, 0, 0, grid.x, grid.y, grid.z};
  const Instruction* code = kernel.code.data();
  const int count = int(kernel.code.size());

  auto val = [&](const Operand& o) -> uint64_t {
    switch (o.kind) {
      case Operand::Reg: return r[size_t(o.index)];
      case Operand::Imm: return o.value;
      case Operand::Special: return special[o.index];
      case Operand::Symbol:
        return size_t(o.index) >= nparams ? kConstBase + (uint64_t(o.index - int(nparams)) << 32)
                                          : 0;
      default: return 0;
    }
  };
  auto fault = [&](const char* what, int pc) {
    char where[160];
    snprintf(where, sizeof(where), "%s at instruction %d of %s (thread %llu,%llu,%llu block %llu,%llu,%llu)",
             what, pc, kernel.name.c_str(), (unsigned long long)special[0],
             (unsigned long long)special[1], (unsigned long long)special[2],
             (unsigned long long)special[6], (unsigned long long)special[7],
             (unsigned long long)special[8]);
    *error = where;
    return false;
  };

  for (unsigned bz = 0; bz < grid.z; ++bz)
  for (unsigned by = 0; by < grid.y; ++by)
  for (unsigned bx = 0; bx < grid.x; ++bx)
  for (unsigned tz = 0; tz < block.z; ++tz)
  for (unsigned ty = 0; ty < block.y; ++ty)
  for (unsigned tx = 0; tx < block.x; ++tx) {
    special[0] = tx, special[1] = ty, special[2] = tz;
    special[6] = bx, special[7] = by, special[8] = bz;
    std::fill(r.begin(), r.end(), 0);
    std::fill(p.begin(), p.end(), 0);
    // A kernel without a loop ends within its length; this one has none of
    // either kind, so a bound on the steps catches a runaway branch.
    uint64_t steps = 0;
    for (int pc = 0; pc < count;) {
      if (++steps > 100u * uint64_t(count) + 1000) return fault("too many steps", pc);
      const Instruction& in = code[pc++];
      if (in.guard >= 0 && bool(p[size_t(in.guard)]) == in.guard_negated) continue;
      const uint64_t m = mask(in.bits);
      uint64_t out = 0;
      switch (in.op) {
        case Op::Add: out = val(in.a) + val(in.b); break;
        case Op::Sub: out = val(in.a) - val(in.b); break;
        case Op::MulLo: out = val(in.a) * val(in.b); break;
        case Op::MadLo: out = val(in.a) * val(in.b) + val(in.c); break;
        case Op::MulWide: {
          const uint64_t a = val(in.a) & m, b = val(in.b) & m;
          out = in.is_signed ? uint64_t(sign_extend(a, in.bits) * sign_extend(b, in.bits)) : a * b;
          r[size_t(in.d.index)] = out & mask(2 * in.bits);
          continue;
        }
        case Op::And: out = val(in.a) & val(in.b); break;
        case Op::Or: out = val(in.a) | val(in.b); break;
        case Op::Xor: out = val(in.a) ^ val(in.b); break;
        case Op::Not: out = ~val(in.a); break;
        case Op::Shl: {
          const uint64_t n = val(in.b) & 0xFFFFFFFFu;
          out = n >= uint64_t(in.bits) ? 0 : val(in.a) << n;
          break;
        }
        case Op::Shr: {
          const uint64_t n = val(in.b) & 0xFFFFFFFFu;
          const uint64_t a = val(in.a) & m;
          if (in.is_signed) {
            const int64_t s = sign_extend(a, in.bits);
            out = uint64_t(n >= uint64_t(in.bits) ? (s < 0 ? -1 : 0) : s >> n);
          } else {
            out = n >= uint64_t(in.bits) ? 0 : a >> n;
          }
          break;
        }
        case Op::ShfL:
        case Op::ShfR: {
          const uint64_t both = ((val(in.b) & 0xFFFFFFFFu) << 32) | (val(in.a) & 0xFFFFFFFFu);
          uint64_t n = val(in.c) & 0xFFFFFFFFu;
          n = in.clamp ? (n > 32 ? 32 : n) : (n & 31);
          out = in.op == Op::ShfR ? both >> n : (both << n) >> 32;
          break;
        }
        case Op::Prmt:
          out = prmt(uint32_t(val(in.a)), uint32_t(val(in.b)), uint32_t(val(in.c)));
          break;
        case Op::Bfi: {
          const uint64_t pos = val(in.c) & 0xFF, len = val(in.e) & 0xFF;
          const uint64_t b = val(in.b);
          if (len == 0 || pos >= uint64_t(in.bits)) {
            out = b;
          } else {
            const uint64_t field = (len >= 64 ? ~0ull : (1ull << len) - 1) << pos;
            out = (b & ~field) | ((val(in.a) << pos) & field);
          }
          break;
        }
        case Op::Mov: out = val(in.a); break;
        case Op::MovSplit: {
          const uint64_t a = val(in.a);
          r[size_t(in.d.index)] = a & 0xFFFFFFFFu;
          r[size_t(in.d2.index)] = a >> 32;
          continue;
        }
        case Op::Cvt: {
          uint64_t a = val(in.a) & mask(in.from_bits);
          if (in.is_signed) a = uint64_t(sign_extend(a, in.from_bits));
          out = a;
          break;
        }
        case Op::Setp: {
          const uint64_t a = val(in.a) & m, b = val(in.b) & m;
          bool t;
          if (in.is_signed) {
            const int64_t sa = sign_extend(a, in.bits), sb = sign_extend(b, in.bits);
            t = in.cmp == Cmp::Eq ? sa == sb : in.cmp == Cmp::Ne ? sa != sb
              : in.cmp == Cmp::Lt ? sa < sb : in.cmp == Cmp::Le ? sa <= sb
              : in.cmp == Cmp::Gt ? sa > sb : sa >= sb;
          } else {
            t = in.cmp == Cmp::Eq ? a == b : in.cmp == Cmp::Ne ? a != b
              : in.cmp == Cmp::Lt ? a < b : in.cmp == Cmp::Le ? a <= b
              : in.cmp == Cmp::Gt ? a > b : a >= b;
          }
          p[size_t(in.d.index)] = t;
          continue;
        }
        case Op::Selp: out = p[size_t(in.c.index)] ? val(in.a) : val(in.b); break;
        case Op::LdParam: {
          const size_t i = size_t(in.a.index), n = size_t(in.bits / 8);
          if (in.a.kind != Operand::Symbol || i >= nparams || in.a.value + n > kernel.param_sizes[i])
            return fault("bad parameter load", pc - 1);
          memcpy(&out, static_cast<const uint8_t*>(params[i]) + in.a.value, n);
          break;
        }
        case Op::LdConst: {
          const uint64_t address = val(in.a) + in.a.value;
          const uint64_t j = (address - kConstBase) >> 32, offset = address & 0xFFFFFFFFu;
          const size_t n = size_t(in.bits / 8);
          if (address < kConstBase || j >= const_bytes.size() || offset + n > const_sizes[j])
            return fault("constant load out of bounds", pc - 1);
          memcpy(&out, const_bytes[j] + offset, n);
          break;
        }
        case Op::StGlobal: {
          if (in.a.kind != Operand::Reg) return fault("store without an address register", pc - 1);
          const uint64_t v = val(in.b);
          if (!memory.store_global(val(in.a) + in.a.value, &v, size_t(in.store_bytes)))
            return fault("store to memory not allocated", pc - 1);
          continue;
        }
        case Op::Bra: pc = in.target; continue;
        case Op::Ret: pc = count; continue;
      }
      r[size_t(in.d.index)] = out & m;
    }
  }
  return true;
}

}  // namespace emu_ptx
