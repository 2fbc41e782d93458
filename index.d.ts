/// <reference types="node" />
// Types of require('noncesieve'): both modules, loaded on first read, and the
// host-side checks of what they report (Node's own BLAKE2s-256).
import * as clsieveModule from './clsieve';
import * as nvsieveModule from './nvsieve';
import { EventEmitter } from 'events';

/**
 * require('noncesieve/clsieve'); its addon loads on the first read of
 * `GpuContextWrapper`, which throws an Error saying what to install when the
 * addon is missing or cannot be loaded.
 */
export declare const clsieve: typeof clsieveModule;

/** require('noncesieve/nvsieve'), loaded on first read; needs no GPU. */
export declare const nvsieve: typeof nvsieveModule;

/** Bytes of a block header: 286. */
export declare const HEADER_BYTES: 286;
/** Bytes of a target: 32. */
export declare const TARGET_BYTES: 32;
/** What a scan reports when its range holds no winner: 2^53 - 1. */
export declare const NOT_FOUND: 9007199254740991;
/**
 * 2^48: nonces are 48 bits (header bytes 280-285), so every nonce is below
 * this, and no scan may run past it.
 */
export declare const NONCE_LIMIT: 281474976710656;

/** Work sizes each backend accepts are positive multiples of these: CUDA 512, OpenCL 256. */
export declare const WORK_SIZE_STEP: Readonly<{ cuda: 512; opencl: 256 }>;

/**
 * A scan covers, from its start nonce, the work size times the device's
 * granularity (get_gran) on clsieve, and floor(work size / 512) x 512 on
 * nvsieve (whole blocks of 512 threads, one nonce each). Advance every scan's
 * start by this, and no nonce is skipped or searched twice. A CUDA device
 * whose granularity is 0 (no image in this build) covers none.
 * @param gran what get_gran reports for the device.
 * @throws {TypeError} backend not 'cuda' or 'opencl'.
 * @throws {RangeError} workSize or gran not a whole number >= 0.
 */
export declare function noncesPerScan(backend: 'cuda' | 'opencl', workSize: number, gran: number): number;

/** The built-in self-test job of both modules (frozen). */
export declare const SELFTEST: Readonly<{
  /** The 286-byte header, as hex. */
  header: string;
  /** The 32-byte target, as hex. */
  target: string;
  /** Where the OpenCL self-test scans from. */
  startNonce: number;
}>;

/**
 * A copy of the header's first 286 bytes as the kernel hashes it for
 * `nonce`: bits 0-31 replace bytes 280-283 (little-endian), bits 32-47 are
 * ORed into bytes 284-285 (what the header holds there stays). Returns a Buffer.
 * @param nonce a whole number from 0 to 2^48 - 1, as a Number or a bigint.
 * @throws {TypeError} header not an ArrayBufferView, or nonce neither a
 *   Number nor a bigint.
 * @throws {RangeError} header under 286 bytes, or nonce negative, not a whole
 *   number, or not below 2^48.
 */
export declare function headerWithNonce(header: ArrayBufferView,
  nonce: number | bigint): Buffer;

/**
 * Bytes 24-31, read little-endian, of the BLAKE2s-256 hash of
 * `headerWithNonce(header, nonce)`: the part compared with the target.
 * @throws {TypeError} header not an ArrayBufferView.
 * @throws {RangeError} as `headerWithNonce`.
 */
export declare function hashTop64(header: ArrayBufferView, nonce: number | bigint): bigint;

/**
 * Bytes 24-31 of the target, read little-endian.
 * @throws {TypeError} target not an ArrayBufferView.
 * @throws {RangeError} target under 32 bytes.
 */
export declare function targetTop64(target: ArrayBufferView): bigint;

/**
 * True when `nonce` really wins the job: `hashTop64(header, nonce)` is
 * strictly below `targetTop64(target)`. Check every nonce a module reports
 * with it before using it. A hash equal to the target does not win.
 * @throws {TypeError} header or target not an ArrayBufferView.
 * @throws {RangeError} header under 286 bytes, target under 32, or nonce as
 *   `headerWithNonce` refuses it.
 */
export declare function verifyNonce(header: ArrayBufferView, target: ArrayBufferView,
  nonce: number | bigint): boolean;

// ---------------------------------------------------------------------------
// openRig(): the mining loop in one object.

export interface RigOptions {
  /** 'auto' (default): CUDA devices when usable, else AMD OpenCL GPUs, else every OpenCL device. */
  backend?: 'auto' | 'cuda' | 'opencl';
  /** Device ids as the command takes them ('opencl:0', 'cuda:1', '0' or 0); default every usable device. */
  devices?: ReadonlyArray<string | number>;
  /** Scans in flight per device, 1 to 64 (default 2). */
  slots?: number;
  /**
   * Work size of every scan: 'auto' (default), the choice `noncesieve bench
   * --sweep` cached for the device and slot count, or a short sweep the first
   * time; or a positive multiple of WORK_SIZE_STEP[backend].
   */
  workSize?: 'auto' | number;
  /**
   * nvsieve's search kernel: 'auto' (default) is NVSIEVE_KERNEL when set,
   * else the faster one on this device as `bench --sweep` measured it, else
   * 'default'. One kernel for all CUDA devices of a rig.
   */
  kernel?: 'auto' | 'default' | 'balanced';
  /** The device process's notes ("Skipping cuda:1 ..."); default: standard error. */
  onLog?: (line: string) => void;
  /** Each line of the modules' own output (device summaries); default: dropped. */
  onOutput?: (line: string) => void;
}

export interface RigDevice {
  /** The id ('cuda:0', 'opencl:1'), as the command and the events name it. */
  readonly device: string;
  readonly backend: 'cuda' | 'opencl';
  readonly index: number;
  readonly name: string;
  /** get_key of the module: what the sweep's cache is kept under. */
  readonly key: string;
  readonly workSize: number;
  readonly slots: number;
  readonly gran: number;
  /** Nonces one scan covers (noncesPerScan). */
  readonly noncesPerScan: number;
  /**
   * What the device runs: nvsieve's kernel ('default' or 'balanced'), or
   * clsieve's program ('image': a prebuilt image, two nonces a work item; 'source').
   */
  readonly kernel: 'default' | 'balanced' | 'image' | 'source';
}

export interface SearchOptions {
  /** Exactly 286 bytes. */
  header: ArrayBufferView;
  /** Exactly 32 bytes, little-endian. */
  target: ArrayBufferView;
  /** First nonce, a whole number below 2^48 (default 0). */
  start?: number;
  /** Stop after handing out this many nonces (a positive whole number; default no limit). */
  maxNonces?: number;
  /** Aborting it rejects the search with an AbortError. */
  signal?: AbortSignal;
  /** About four times a second while the search runs. */
  onProgress?: (progress: RigProgress) => void;
}

export interface SearchResult {
  /** A winner verified on the host with Node's BLAKE2s, or null. */
  nonce: number | null;
  /** Hash bytes 24-31 of the winner (hashTop64), or null. */
  hashTop64: bigint | null;
  /** Nonces whose scans came back before the search settled. */
  scanned: number;
  /** Reported nonces that did not verify (each was a `rejected` event). */
  rejected: number;
  elapsedMs: number;
  /** The first nonce not handed out: [start, end) was given to the devices. */
  end: number;
  /** No winner below 2^48, where the 48-bit nonce field ends. */
  exhausted: boolean;
  /** A newer search() took over; nonce is null. */
  superseded: boolean;
  /** Ms from the call until every lane had a scan of this job in flight (null if it never did). */
  switchMs: number | null;
  devices: Array<{ device: string; scanned: number; rejected: number }>;
}

export interface RigProgress {
  scanned: number;
  elapsedMs: number;
  end: number;
  devices: Array<{ device: string; scanned: number; rate: number }>;
}

export interface RigHealth {
  device: string;
  /** °C (NVIDIA: the GPU sensor; AMD: edge). */
  temperature: number | null;
  /** W, one decimal. */
  power: number | null;
  /** In `fanUnit`: '%' (NVML, or AMD's pwm1), 'rpm' (AMD's tachometer). */
  fan: number | null;
  fanUnit: '%' | 'rpm' | null;
  /** MHz. */
  coreClock: number | null;
  memoryClock: number | null;
  /** Why figures are null that the device might report (NVML or hwmon failed); null otherwise. */
  why: string | null;
}

export interface RigFound { device: string; nonce: number; hashTop64: bigint; range: [number, number] }
export interface RigRejected { device: string; nonce: number; range: [number, number] }
export interface RigDeviceFailure { message: string; status: number | null; signal: string | null }

/**
 * An EventEmitter over devices that run in a child process. Only the latest
 * search's results are heard: a winner of a superseded job never reaches its
 * successor. Methods of a closed rig (and of one whose device process ended)
 * reject with an Error whose code is 'NONCESIEVE_RIG_CLOSED'.
 */
export interface Rig extends Omit<EventEmitter, 'on' | 'once' | 'off'> {
  readonly devices: ReadonlyArray<RigDevice>;
  /**
   * A new job: supersedes the running search (which resolves with
   * superseded: true); every lane's next scan is on this job. Resolves at the
   * first verified winner, at maxNonces, or at 2^48.
   * @throws (rejects) {TypeError} an option of the wrong type, or an unknown one.
   * @throws (rejects) {RangeError} header not 286 bytes, target not 32, start
   *   negative, fractional or at or past 2^48, maxNonces not a positive whole number.
   * @throws (rejects) AbortError when `signal` aborts; an Error with code
   *   'NONCESIEVE_DEVICE_FAILURE' and the device's message when the device process ends.
   */
  search(job: SearchOptions): Promise<SearchResult>;
  /** Nonces per second of each device over the last five seconds. */
  rates(): Promise<Array<{ device: string; rate: number }>>;
  /** Temperature, power, fan and clocks of each device; null where unknown. */
  health(): Promise<RigHealth[]>;
  /**
   * Lets the scans in flight finish and ends the device process; a running
   * search rejects. Until then the device process keeps the script alive.
   */
  close(): Promise<void>;
  /** Keeps every lane busy on a job no nonce wins for `seconds` (what `noncesieve bench` measures). */
  bench(seconds: number): Promise<SearchResult>;

  on(event: 'progress', listener: (progress: RigProgress) => void): this;
  on(event: 'found', listener: (found: RigFound) => void): this;
  on(event: 'rejected', listener: (rejected: RigRejected) => void): this;
  on(event: 'device-failure', listener: (failure: RigDeviceFailure) => void): this;
  on(event: 'close', listener: () => void): this;
  once(event: 'progress', listener: (progress: RigProgress) => void): this;
  once(event: 'found', listener: (found: RigFound) => void): this;
  once(event: 'rejected', listener: (rejected: RigRejected) => void): this;
  once(event: 'device-failure', listener: (failure: RigDeviceFailure) => void): this;
  once(event: 'close', listener: () => void): this;
  off(event: 'progress' | 'found' | 'rejected' | 'device-failure' | 'close', listener: (...args: any[]) => void): this;
}

/**
 * Opens the chosen devices in a device process of their own, so that a GPU
 * failure is a `device-failure` event and a rejected search, never the end
 * of the script.
 * @throws (rejects) {TypeError} an option of the wrong type, or an unknown one.
 * @throws (rejects) {RangeError} an unknown backend or kernel, slots outside 1
 *   to 64, a work size the backend refuses, a device id that names no usable device.
 * @throws (rejects) an Error with code 'NONCESIEVE_NO_DEVICE' when no device is found.
 */
export declare function openRig(options?: RigOptions): Promise<Rig>;
