// Type-checked only (npx tsc -p test/types): a script's use of every export
// and method, imported by package name so that package.json's "types"
// conditions are what resolve it. Each @ts-expect-error is a misuse the
// declarations must keep refusing.
import {
  clsieve, nvsieve, verifyNonce, headerWithNonce, hashTop64, targetTop64,
  NOT_FOUND, SELFTEST, HEADER_BYTES, TARGET_BYTES, NONCE_LIMIT, WORK_SIZE_STEP, noncesPerScan, openRig,
} from 'noncesieve';
import type { Rig, SearchResult, RigHealth } from 'noncesieve';
import { GpuContextWrapper as ClContext } from 'noncesieve/clsieve';
import type { GpuContextWrapper as NvContext } from 'noncesieve/nvsieve';
import { isAvailable, unavailableReason, deviceKeys } from 'noncesieve/nvsieve';

function fromHex(hex: string): Uint8Array {
  const bytes = new Uint8Array(hex.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.slice(2 * i, 2 * i + 2), 16);
  return bytes;
}

const header: Uint8Array = fromHex(SELFTEST.header);
const target: DataView = new DataView(fromHex(SELFTEST.target).buffer);
const sizes: [286, 32] = [HEADER_BYTES, TARGET_BYTES];
const span: number = noncesPerScan('cuda', 4 * WORK_SIZE_STEP.cuda, 1) + noncesPerScan('opencl', 1024, 2);
const limit: 281474976710656 = NONCE_LIMIT;
// @ts-expect-error only the two backends
noncesPerScan('metal', 1024, 1);
void [span, limit];
// @ts-expect-error SELFTEST is frozen
SELFTEST.startNonce = 0;

// A Buffer: its own methods are there.
const patched: Buffer = headerWithNonce(header, SELFTEST.startNonce);
const patchedHex: string = patched.toString('hex');
void patchedHex;
const below: boolean = hashTop64(patched, 0n) < targetTop64(target);
// @ts-expect-error a hex string is not a view of bytes
verifyNonce(SELFTEST.header, target, 1);

function accept(nonce: number): boolean {
  // NOT_FOUND is a Number literal, so this comparison type-checks only against numbers.
  return nonce !== NOT_FOUND && verifyNonce(header, target, nonce);
}

function scanOpenCL(): Promise<number> {
  // Callable with or without new; constructor arguments are ignored.
  const gpu: ClContext = new clsieve.GpuContextWrapper();
  const same: ClContext = ClContext();
  const count: number = gpu.get_total_devices() + same.get_total_devices();
  const batch: number = gpu.get_batch_size(0, 1) + gpu.get_batch_size(0);
  const init: 0 = gpu.init_devices([0], [2], [Math.max(256, batch * 256)], count > 1);
  // @ts-expect-error clsieve needs work sizes
  gpu.init_devices([0], [2]);
  const gran: number = gpu.get_gran(0);
  const key: string = gpu.get_key(0);
  gpu.update(0, 4, 256);
  const ms: number = gpu.benchmark(0, 1);
  gpu.test(0);
  // @ts-expect-error clsieve's set_block takes the job
  gpu.set_block();
  const set: 0 = gpu.set_block(header, target);
  void [init, gran, key, ms, set];
  return new Promise((resolve) => {
    gpu.scan_nonces(resolve, header, target, SELFTEST.startNonce, 0, 1);
    // @ts-expect-error nonces are Numbers, not bigints
    gpu.scan_nonces(resolve, header, target, 1n, 0, 0);
    // @ts-expect-error the callback gets a Number
    gpu.scan_nonces((nonce: string) => nonce, header, target, 0, 0, 0);
  });
}

async function scanCuda(): Promise<boolean> {
  const why: string | null = unavailableReason();
  if (why !== null || !isAvailable() || !nvsieve.isAvailable()) return false;
  const gpu: NvContext = new nvsieve.GpuContextWrapper();
  const ids = Array.from({ length: gpu.get_total_devices() }, (_, i) => i);
  const threads = ids.map((i) => Math.max(512, gpu.get_batch_size(i) * 512));
  const keys: string[] = ids.map((i) => gpu.get_key(i));
  const init: 0 = gpu.init_devices(ids, ids.map(() => 2), threads);
  gpu.create_buffers();
  gpu.create_benchmark_buffers();
  gpu.update(0, 4, 256);
  const ms: number = gpu.benchmark(0, 1, 2, 3);
  gpu.test(0);
  gpu.reset_device(0);
  // The arguments are optional and ignored, so a call written for clsieve works.
  const set: 0[] = [gpu.set_block(), gpu.set_block(header, target)];
  const span = threads[0] * gpu.get_gran(0);
  void [keys, init, ms, set];
  const nonce = await new Promise<number>((resolve) =>
    gpu.scan_nonces(resolve, header, target, span, 0, 0));
  return accept(nonce);
}

void [sizes, below, scanOpenCL(), scanCuda()];

async function mine(signal: AbortSignal): Promise<void> {
  const rig: Rig = await openRig({ backend: 'opencl', slots: 2, workSize: 'auto', kernel: 'auto' });
  // @ts-expect-error no such backend
  void openRig({ backend: 'metal' });
  // @ts-expect-error workSize is a number or 'auto'
  void openRig({ workSize: '4096' });
  rig.on('found', (f) => { const top: bigint = f.hashTop64; void [f.device, f.nonce, f.range[0], top]; });
  rig.on('device-failure', (f) => { void [f.message, f.status]; });
  const listeners: number = rig.listenerCount('found');
  void listeners;
  // @ts-expect-error no such event
  rig.on('winner', () => {});
  const result: SearchResult = await rig.search({ header, target, start: 0, maxNonces: 1e6, signal,
    onProgress: (p) => { void p.devices[0].rate; } });
  const nonce: number | null = result.nonce;
  // @ts-expect-error the header is bytes
  void rig.search({ header: SELFTEST.header, target });
  const health: RigHealth[] = await rig.health();
  const watts: number | null = health[0].power;
  const rates = await rig.rates();
  void [nonce, watts, rates[0].rate, rig.devices[0].kernel, result.superseded];
  await rig.close();
}
void mine;
const keys: string[] = deviceKeys();
void keys;
