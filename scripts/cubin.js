'use strict';
// Reads what nvcc left of nvsieve's kernel module (kept with --keep): the
// cubin of every architecture, and ptxas's resource report. No disassembler
// ships with the toolkit here; cubins are ELF files and, from sm_70 on,
// every instruction is 16 bytes, which is enough to count them.
const fs = require('fs');
const path = require('path');

const ROOT = path.join(__dirname, '..');
const OBJ = path.join(ROOT, 'build', 'Release', 'obj.target', 'nvsieve_backend', 'geni');
const KEEP = path.join(OBJ, 'keep-kernel_blake');
const KERNEL = '_Z12blake2s_hashmPm';

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

// ptxas -v report: registers, stack and spills of the kernel, per architecture.
function ptxasReport(file = path.join(OBJ, 'kernel_blake.o.ptxas.txt')) {
  const report = {};
  let arch = null;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    let m = /Compiling entry function '(\S+)' for '(sm_\d+)'/.exec(line);
    if (m) { arch = m[1] === KERNEL ? m[2] : null; continue; }
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
function kernelImages(dir = KEEP) {
  const ptxas = ptxasReport();
  return fs.readdirSync(dir).filter((f) => f.endsWith('.cubin')).map((f) => {
    const buf = fs.readFileSync(path.join(dir, f));
    const { sections, symbols } = readElf(buf);
    const arch = `sm_${/compute_(\d+)/.exec(f)[1]}`;
    const text = sections.find((s) => s.name === `.text.${KERNEL}`);
    const data = symbols.find((s) => s.name === 'd_data');
    return {
      arch,
      file: f,
      functions: symbols.filter((s) => s.type === 2).map((s) => s.name),
      dDataSize: data ? data.size : null,
      instructions: text ? countInstructions(buf, text) : null,
      localMemory: sections.filter((s) => s.name.startsWith('.nv.local.')).reduce((n, s) => n + s.size, 0),
      ...ptxas[arch],
    };
  }).sort((a, b) => Number(a.arch.slice(3)) - Number(b.arch.slice(3)));
}

// PTX files kept for the module (the newest architecture's).
function keptPtx(dir = KEEP) {
  return fs.readdirSync(dir).filter((f) => f.endsWith('.ptx'));
}

module.exports = { KEEP, KERNEL, readElf, ptxasReport, kernelImages, keptPtx };
