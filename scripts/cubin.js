'use strict';
// Reads what nvcc left of nvsieve's kernel module (kept with --keep): the
// cubin of every architecture, and ptxas's resource report. No disassembler
// ships with the toolkit here; cubins are ELF files and, from sm_70 on,
// every instruction is 16 bytes, which is enough to count them.
const fs = require('fs');
const path = require('path');

const ROOT = path.join(__dirname, '..');
// scripts/nvcc.sh writes the fatbin to build/Release and keeps its intermediates beside it.
const OBJ = path.join(ROOT, 'build', 'Release');
const KEEP = path.join(OBJ, 'keep-kernel_blake');
const KERNEL = '_Z12blake2s_hashmPm';
// Every search kernel of the module, by the name NVSIEVE_KERNEL gives it.
const KERNELS = { default: KERNEL, balanced: '_Z21blake2s_hash_balancedmPmj' };

function cstring(buf, at) {
  return buf.toString('latin1', at, buf.indexOf(0, at));
}

function readElf(buf) {
  const shoff = Number(buf.readBigUInt64LE(0x28));
  const shentsize = buf.readUInt16LE(0x3a);
  const shnum = buf.readUInt16LE(0x3c);
  const shstrndx = buf.readUInt16LE(0x3e);
  const raw = [];
  for (let i = 0; i < shnum; i++) {
    const at = shoff + i * shentsize;
    raw.push({
      nameAt: buf.readUInt32LE(at), type: buf.readUInt32LE(at + 4),
      offset: Number(buf.readBigUInt64LE(at + 24)), size: Number(buf.readBigUInt64LE(at + 32)),
      link: buf.readUInt32LE(at + 40), entsize: Number(buf.readBigUInt64LE(at + 56)),
    });
  }
  const names = raw[shstrndx].offset;
  const sections = raw.map((s) => ({ ...s, name: cstring(buf, names + s.nameAt) }));
  const symbols = [];
  for (const s of sections.filter((x) => x.type === 2)) {  // SHT_SYMTAB
    const strings = sections[s.link].offset;
    for (let at = s.offset; at < s.offset + s.size; at += s.entsize || 24) {
      const info = buf[at + 4];
      symbols.push({
        name: cstring(buf, strings + buf.readUInt32LE(at)),
        type: info & 15,  // 1 object, 2 function
        size: Number(buf.readBigUInt64LE(at + 16)),
      });
    }
  }
  return { sections, symbols };
}

// Instructions of the kernel's code, less the NOPs that pad it to 128 bytes.
function countInstructions(buf, section) {
  let count = section.size / 16;
  while (count > 0) {
    const low = buf.readUInt32LE(section.offset + (count - 1) * 16);
    if ((low & 0xfff) !== 0x918) break;  // NOP
    count--;
  }
  return count;
}

// Operation families by the low 9 bits of the opcode (the 3 bits above them
// give the operand form: registers, immediate, constant bank, uniform
// register), with the pipe that runs them on sm_80 and later. Integer work
// splits across the ALU pipe and the FMA pipe (IMAD in all its forms).
const OPERATIONS = {
  0x002: ['MOV', 'other'], 0x007: ['SEL', 'alu'], 0x00c: ['ISETP', 'alu'],
  0x036: ['VIADD', 'alu'], 0x182: ['LDC', 'other'], 0x010: ['IADD3', 'alu'], 0x011: ['LEA', 'alu'], 0x012: ['LOP3', 'alu'],
  0x016: ['PRMT', 'alu'], 0x019: ['SHF', 'alu'], 0x024: ['IMAD', 'fma'],
  0x025: ['IMAD.WIDE', 'fma'], 0x027: ['IMAD.HI', 'fma'], 0x0b9: ['ULDC', 'uniform'],
  0x119: ['S2R', 'other'], 0x147: ['BRA', 'branch'], 0x14d: ['EXIT', 'branch'],
  0x118: ['NOP', 'other'], 0x186: ['STG', 'memory'], 0x181: ['LDG', 'memory'],
};

// Signed value of bits [lo, lo + n) of a 128-bit instruction.
function bits(word, lo, n) {
  const v = (word >> BigInt(lo)) & ((1n << BigInt(n)) - 1n);
  return v >> BigInt(n - 1) ? v - (1n << BigInt(n)) : v;
}

// The kernel's instructions (sm_70 and newer: 16 bytes each), decoded as far
// as its control flow and pipes go: operation, guard predicate (bits 12-14,
// 7 = always; bit 15 negates), exits, stores and branch targets. A branch's
// offset is counted from the next instruction: on sm_70-89 in bytes, in bits
// 32-81; on sm_90 and later in 4-byte units, bits 16-23 then 34-81.
function decodeInstructions(buf, section, arch) {
  const sm = Number(arch.replace(/^sm_/, ''));
  const out = [];
  for (let i = 0; i < section.size / 16; i++) {
    const at = section.offset + i * 16;
    const word = buf.readBigUInt64LE(at) | (buf.readBigUInt64LE(at + 8) << 64n);
    const opcode = Number(word & 0xfffn);
    const [name, pipe] = OPERATIONS[opcode & 0x1ff] || [`op${(opcode & 0x1ff).toString(16)}`, 'other'];
    const predicate = Number((word >> 12n) & 7n);
    const ins = { name, pipe, conditional: predicate !== 7, exit: name === 'EXIT', store: name === 'STG' };
    if (name === 'BRA') {
      const offset = sm >= 90
        ? Number((bits(word, 34, 48) << 8n) | ((word >> 16n) & 0xffn)) * 4
        : Number(bits(word, 32, 50));
      ins.target = i + 1 + offset / 16;
    }
    out.push(ins);
  }
  return out;
}

// ptxas -v report: registers, stack and spills of the kernel, per architecture.
function ptxasReport(file = path.join(OBJ, 'nvsieve_fatbin.ptxas.txt'), kernel = KERNEL) {
  const report = {};
  let arch = null;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    let m = /Compiling entry function '(\S+)' for '(sm_\d+)'/.exec(line);
    if (m) { arch = m[1] === kernel ? m[2] : null; continue; }
    if (!arch) continue;
    report[arch] = report[arch] || {};
    m = /(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads/.exec(line);
    if (m) Object.assign(report[arch], { stack: +m[1], spillStores: +m[2], spillLoads: +m[3] });
    m = /Used (\d+) registers/.exec(line);
    if (m) report[arch].registers = +m[1];
    m = /(\d+) bytes lmem/.exec(line);
    if (m) report[arch].localMemory = +m[1];
  }
  return report;
}

// One entry per kept cubin: its architecture, functions, d_data and size.
// `report`: the ptxas -v output that made them.
function kernelImages(dir = KEEP, kernel = KERNEL, report = undefined) {
  const ptxas = ptxasReport(report, kernel);
  return fs.readdirSync(dir).filter((f) => f.endsWith('.cubin')).map((f) => {
    const buf = fs.readFileSync(path.join(dir, f));
    const { sections, symbols } = readElf(buf);
    const arch = `sm_${/compute_(\d+)/.exec(f)[1]}`;
    const text = sections.find((s) => s.name === `.text.${kernel}`);
    const data = symbols.find((s) => s.name === 'd_data');
    return {
      arch,
      file: f,
      functions: symbols.filter((s) => s.type === 2).map((s) => s.name),
      dDataSize: data ? data.size : null,
      instructions: text ? countInstructions(buf, text) : null,
      code: text ? decodeInstructions(buf, text, arch) : null,
      localMemory: sections.filter((s) => s.name.startsWith('.nv.local.')).reduce((n, s) => n + s.size, 0),
      ...ptxas[arch],
    };
  }).sort((a, b) => Number(a.arch.slice(3)) - Number(b.arch.slice(3)));
}

// PTX files kept for the module (the newest architecture's).
function keptPtx(dir = KEEP) {
  return fs.readdirSync(dir).filter((f) => f.endsWith('.ptx'));
}

module.exports = { KERNELS, kernelImages, keptPtx };
