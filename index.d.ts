/// <reference types="node" />
// Types of require('noncesieve'): both modules, loaded on first read, and the
// host-side checks of what they report (Node's own BLAKE2s-256).
import * as clsieveModule from './clsieve';
import * as nvsieveModule from './nvsieve';

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
