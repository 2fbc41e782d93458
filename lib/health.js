'use strict';
// What a rig owner watches beside the rate: each GPU's temperature, power,
// fan and clocks. NVIDIA GPUs answer through NVML (libnvidia-ml.so.1, opened
// at run time by a small addon); AMD GPUs through the amdgpu driver's hwmon
// files. A figure a device does not report is null; a figure that could not
// be read is null too, and `why` says what went wrong.
const fs = require('fs');
const path = require('path');

const FIGURES = ['temperature', 'power', 'fan', 'coreClock', 'memoryClock'];

function blank(why) {
  return { temperature: null, power: null, fan: null, fanUnit: null, coreClock: null, memoryClock: null,
    why };
}

// --- AMD: /sys/class/drm/cardN/device/hwmon/hwmonM ---------------------------

// A number read from a sysfs file, or null when the file is missing; other
// read failures go to `problems`.
function readNumber(file, problems) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8').trim();
  } catch (err) {
    if (err.code !== 'ENOENT') problems.push(`${path.basename(file)}: ${err.code || err.message}`);
    return null;
  }
  const n = Number(text);
  if (text === '' || !Number.isFinite(n)) {
    problems.push(`${path.basename(file)}: unreadable value ${JSON.stringify(text)}`);
    return null;
  }
  return n;
}

// The current level of a pp_dpm_* list ("2: 1340Mhz *"), in MHz.
function currentLevel(file, problems) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    if (err.code !== 'ENOENT') problems.push(`${path.basename(file)}: ${err.code || err.message}`);
    return null;
  }
  const m = /^\s*\d+:\s*(\d+)\s*Mhz\s*\*\s*$/mi.exec(text);
  return m ? Number(m[1]) : null;
}

const round1 = (x) => Math.round(x * 10) / 10;

// The amdgpu cards under `root` (a sysfs root), in PCI address order:
// [{ card, pci, dir }], dir being the card's device folder.
function amdCards(root = '/sys') {
  const drm = path.join(root, 'class', 'drm');
  let names;
  try {
    names = fs.readdirSync(drm).filter((n) => /^card\d+$/.test(n));
  } catch {
    return [];
  }
  const cards = [];
  for (const card of names) {
    const dir = path.join(drm, card, 'device');
    try {
      if (fs.readFileSync(path.join(dir, 'vendor'), 'utf8').trim() !== '0x1002') continue;
      cards.push({ card, pci: path.basename(fs.realpathSync(dir)), dir });
    } catch {
      // Not a PCI device, or one that went away: not a card to read.
    }
  }
  return cards.sort((a, b) => (a.pci < b.pci ? -1 : a.pci > b.pci ? 1 : 0));
}

// Temperature (edge, °C), power (W), fan (RPM, or % from pwm1 when there is
// no tachometer) and clocks (MHz) of one amdgpu card.
function readAmdCard(dir) {
  const problems = [];
  let hwmon = null;
  try {
    const found = fs.readdirSync(path.join(dir, 'hwmon')).filter((n) => /^hwmon\d+$/.test(n)).sort();
    if (found.length) hwmon = path.join(dir, 'hwmon', found[0]);
  } catch (err) {
    if (err.code !== 'ENOENT') problems.push(`hwmon: ${err.code || err.message}`);
  }
  const out = blank(null);
  if (hwmon) {
    const at = (name) => readNumber(path.join(hwmon, name), problems);
    const temp = at('temp1_input');
    if (temp !== null) out.temperature = temp / 1000;
    const power = at('power1_average') ?? at('power1_input');
    if (power !== null) out.power = round1(power / 1e6);
    const rpm = at('fan1_input');
    const pwm = rpm === null ? at('pwm1') : null;
    if (rpm !== null) [out.fan, out.fanUnit] = [rpm, 'rpm'];
    else if (pwm !== null) [out.fan, out.fanUnit] = [Math.round(pwm / 255 * 100), '%'];
    const sclk = at('freq1_input');
    const mclk = at('freq2_input');
    if (sclk !== null) out.coreClock = Math.round(sclk / 1e6);
    if (mclk !== null) out.memoryClock = Math.round(mclk / 1e6);
  } else {
    problems.push('the card has no hwmon folder');
  }
  if (out.coreClock === null) out.coreClock = currentLevel(path.join(dir, 'pp_dpm_sclk'), problems);
  if (out.memoryClock === null) out.memoryClock = currentLevel(path.join(dir, 'pp_dpm_mclk'), problems);
  out.why = problems.length ? problems.join('; ') : null;
  return out;
}

// --- NVIDIA: NVML ---------------------------------------------------------------

let nvml;
// The addon that reads NVML, or an Error saying why there is none.
function nvmlReader() {
  if (nvml === undefined) {
    try {
      const { loadAddon } = require('./load-addon');
      nvml = loadAddon('gpuhealth');
    } catch (err) {
      nvml = err;
    }
  }
  return nvml;
}

// NVML's figures for the device that CUDA numbers `ordinal`: the device
// process orders CUDA devices by PCI bus (CUDA_DEVICE_ORDER=PCI_BUS_ID), as
// NVML numbers them, and CUDA_VISIBLE_DEVICES is followed the way CUDA does.
function readNvidia(ordinal) {
  const reader = nvmlReader();
  if (reader instanceof Error) return blank(`NVML cannot be read: ${reader.message.replace(/^noncesieve: /, '')}`);
  const visible = (process.env.CUDA_VISIBLE_DEVICES || '').split(',').map((s) => s.trim()).filter(Boolean);
  const which = process.env.CUDA_VISIBLE_DEVICES !== undefined ? visible[ordinal] : String(ordinal);
  if (which === undefined) return blank(`CUDA_VISIBLE_DEVICES names no device ${ordinal}`);
  const r = reader.readNvml(which);
  const out = blank(r.why || null);
  for (const f of FIGURES) if (typeof r[f] === 'number') out[f] = f === 'power' ? round1(r[f]) : r[f];
  if (out.fan !== null) out.fanUnit = '%';
  return out;
}

/**
 * The health of device `d` ({ backend, index, amd }) now; `amd` says that
 * clsieve found it on AMD's platform (PoCL and other CPUs report nothing).
 * Never throws: a fault is a null figure and a line in `why`.
 */
function readHealth(d, { sysRoot = '/sys' } = {}) {
  try {
    if (d.backend === 'cuda') return readNvidia(d.index);
    if (!d.amd) return blank(null);
    const card = amdCards(sysRoot)[d.index];
    if (!card) return blank(`no amdgpu card under ${path.join(sysRoot, 'class', 'drm')} for this device`);
    return readAmdCard(card.dir);
  } catch (err) {
    return blank(`reading the sensors failed: ${err.message}`);
  }
}

module.exports = { readHealth };
