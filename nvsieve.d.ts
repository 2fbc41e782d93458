// Types of require('noncesieve/nvsieve'): the CUDA module.
//
// Requiring or importing it needs no GPU and never throws; reading
// `GpuContextWrapper` loads the addon (a local build, build/Release/nvsieve.node,
// else the prebuilt binary for this platform and Node ABI, or the file named
// by the environment variable NONCESIEVE_NVSIEVE_ADDON) and throws an Error
// that says what to install and what to run when there is none or it cannot
// be loaded (under `import`, calling the constructor throws it).

/**
 * Called once per scan, on the main thread and never from inside
 * `scan_nonces`, with the winning nonce of the scanned range, or
 * `9007199254740991` (`NOT_FOUND`) when the range holds no winner. When a
 * range holds several winners one of them is reported. The value is not
 * re-hashed by the module: check it with `verifyNonce` before using it.
 */
export type ScanCallback = (nonce: number) => void;

/**
 * One CUDA context over the devices the driver reports. Every method checks
 * its arguments before any CUDA call. A method called with `new`, or on an
 * object that is not a `GpuContextWrapper`, throws a TypeError. The module
 * loads on the main thread and in Workers; a Worker that ends with scans in
 * flight lets them finish and drops their callbacks. A failing CUDA call prints
 * "GPU#<n>: Cuda error in func '<function>' at line <site> : <text>." on
 * standard error and ends the process with status 1; nothing is thrown for it.
 */
export interface GpuContextWrapper {
  /** How many CUDA devices the driver reports. */
  get_total_devices(): number;

  /**
   * A batch-size hint for a device, initialised or not: 80 % of its global
   * memory in units of 2^19 bytes; 0 for a device older than the oldest
   * architecture the module was built for (it cannot run there).
   * @param ordinal below `get_total_devices()`.
   * @throws {RangeError} ordinal negative or not below `get_total_devices()`.
   */
  get_batch_size(ordinal: number): number;

  /**
   * Nonces per thread: 1, or 0 for a device the module has no image for.
   * One scan covers `cudaThreads × get_gran(ordinal)` nonces from its start:
   * `noncesPerScan` of require('noncesieve').
   * @param ordinal below `get_total_devices()`.
   * @throws {RangeError} ordinal negative or not below `get_total_devices()`.
   */
  get_gran(ordinal: number): number;

  /**
   * Activates devices: for each `ids[n]`, `slotCounts[n]` result slots (one
   * scan in flight each) and scans of `cudaThreads[n]` threads, launched in
   * blocks of 512: a positive multiple of 512, so that a scan covers exactly
   * `cudaThreads[n]` nonces.
   * When the slots in use exceed the libuv pool's threads
   * (`UV_THREADPOOL_SIZE`, default 4), writes one warning to standard error,
   * once per process.
   * Prints "Detected <n> total devices", "Active devices:", one
   * "    GPU#<id>, Name: <name>, Cuda threads: <n>  " line per device and
   * "All Devices have been initialized successfully" on standard output.
   * Elements are read with ToNumber and truncated toward zero. When `ids` is
   * not an array nothing is activated and the other arguments are not read.
   * @param ids device ordinals, each below `get_total_devices()` (and 20).
   * @param slotCounts slots per device, 1 to 64; scans name a slot below it.
   * @param cudaThreads nonces per scan, per device.
   * @returns 0.
   * @throws {TypeError} slotCounts or cudaThreads not an array, or an element
   *   that is not a finite number.
   * @throws {RangeError} an id not below the devices found, a slot count
   *   outside 1 to 64, a work size that is not a positive multiple of 512, an
   *   element outside 32 bits, or an array shorter than `ids`; all before
   *   anything is printed or allocated.
   */
  init_devices(ids: readonly number[], slotCounts: readonly number[],
    cudaThreads: readonly number[]): 0;

  /**
   * Queues one scan of nonces `startNonce` to `startNonce + cudaThreads ×
   * get_gran - 1` on the libuv pool and returns at once; `callback` gets the
   * result, in the async context of this call. One scan in flight per
   * device and slot: from this call until its callback runs. The scan
   * belongs to the job current when it is queued (see `set_block`): when the
   * device does not hold that job's block yet, it uploads one made from a
   * copy of this call's `header` and `target`, taken after every argument
   * was converted. Pass the job's own header and target every time. Hashes carry
   * bits 0-47 of the nonce (bytes 280-285 of the header), so keep ranges
   * below 2^48.
   * @param startNonce first nonce; fractions are truncated.
   * @param deviceIndex a device initialised by `init_devices`.
   * @param slot below the device's slot count.
   * @throws {TypeError} callback not a function, header or target not an
   *   ArrayBufferView, startNonce not a finite number.
   * @throws {RangeError} header under 286 bytes, target under 32 (also when
   *   a later argument's conversion shrank or detached them), startNonce
   *   negative or 2^48 or more, or a scan from it that would reach 2^48
   *   (nonces are 48 bits: startNonce + the scan's nonces must not pass
   *   2^48), device index 20 or more or not initialised,
   *   slot not below the device's slot count.
   * @throws {Error} the slot already has a scan in flight.
   */
  scan_nonces(callback: ScanCallback, header: ArrayBufferView, target: ArrayBufferView,
    startNonce: number, deviceIndex: number, slot: number): void;

  /**
   * Starts a new job on every initialised device. Arguments are ignored (so
   * a call written for clsieve works): the next scan on each device uploads
   * the header and target it carries. Scans queued before this call still
   * run on the previous job's block, and none queued after it does.
   * @returns 0.
   */
  set_block(header?: ArrayBufferView, target?: ArrayBufferView): 0;

  /**
   * Kept for scripts written for other modules: measures nothing, returns 0.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  benchmark(index: number, a: number, b: number, c: number): number;

  /**
   * Stores two tuning values (ToUint32) on the device; the kernel does not
   * read them.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  update(index: number, a: number, b: number): void;

  /**
   * The device's key: its name with spaces as "_", followed by "_".
   * @param ordinal below `get_total_devices()`.
   * @throws {RangeError} ordinal negative or not below `get_total_devices()`.
   */
  get_key(ordinal: number): string;

  /** Kept for scripts written for other modules: `init_devices` already allocates. */
  create_buffers(): void;

  /**
   * Reallocates slot 0 of every initialised device, once the scans running
   * on its GPU have finished.
   */
  create_benchmark_buffers(): void;

  /**
   * Resets the device (its primary context), once the scans running on its GPU
   * have finished, and allocates its slots again: it works afterwards, and
   * its next scan uploads the current job's block again. Other records of
   * the GPU (another wrapper's, or an earlier `init_devices` of it) make
   * their slots anew at their next scan.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  reset_device(index: number): void;

  /**
   * Self-test on slot 0, on the calling thread (the event loop waits): prints
   * the BLAKE2s-256 of the built-in header as hex, "<ms> ms" for 20 scans,
   * "Result: <nonce>" and "Expected Result: <nonce>" on standard output. It
   * runs as a job of its own, on the built-in block: the current job's next
   * scan uploads the job's block again.
   * @param index a device initialised by `init_devices`.
   * @returns 0.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   * @throws {Error} slot 0 has a scan in flight.
   */
  test(index: number): 0;
}

export interface GpuContextWrapperConstructor {
  /**
   * Opens the NVIDIA driver and counts the devices. Arguments are ignored;
   * calling it without `new` constructs too. Prints nothing, but without a
   * usable driver it prints "Cuda error in func 'cuda_set_flags' at line 278
   * : <text>." on standard error and ends the process with status 1: ask
   * `isAvailable()` first. The environment variable `NVSIEVE_KERNEL`
   * (`default`, or `balanced` for the kernel that spreads its integer work
   * across the ALU and FMA pipes) chooses the kernel of every later launch in
   * the process; both give the same results.
   * @throws {RangeError} `NVSIEVE_KERNEL` is set to anything else.
   */
  new (...ignored: unknown[]): GpuContextWrapper;
  (...ignored: unknown[]): GpuContextWrapper;
  readonly prototype: GpuContextWrapper;
}

/**
 * The addon's constructor, loaded on first read.
 * @throws {Error} the addon file is missing (built without CUDA) or cannot be loaded.
 */
export declare const GpuContextWrapper: GpuContextWrapperConstructor;

/**
 * True when the addon is built and a CUDA driver with at least one device is
 * usable, so that constructing `GpuContextWrapper` will not end the process.
 * Asks the driver once, in this process, and caches the answer; never throws
 * and never ends the calling process.
 */
export declare function isAvailable(): boolean;

/**
 * Why nvsieve cannot run here, in words, or null when `isAvailable()` is
 * true: the addon is not installed or cannot be loaded (a glibc older than
 * the prebuilt binary needs, say), no NVIDIA driver or one that does not
 * start, no CUDA device, or no device that runs either of the module's
 * images (each named with its compute capability, the driver's version and
 * what to install). Same answer and cache as `isAvailable()`; never throws.
 */
export declare function unavailableReason(): string | null;

/** One CUDA device as the driver offers it (see `driverReport`). */
export interface CudaDeviceReport {
  name: string;
  /** Compute capability. */
  major: number;
  minor: number;
  totalGlobalMem: number;
  /** What runs on it: "SASS sm_86", or "PTX, compiled by the driver". */
  image?: string;
  /** Why nothing runs on it, with what to install; set when `image` is not. */
  failure?: string;
}

/**
 * What the NVIDIA driver and each CUDA device offer, without ending the
 * process (unlike constructing `GpuContextWrapper` where the driver is
 * missing): loads nvsieve's code on every device, so the driver's first-run
 * compile of the PTX happens here. Throws when the module cannot be loaded.
 */
export declare function driverReport(): {
  /** The CUDA version of the driver, as cuDriverGetVersion gives it (12020 for 12.2); 0 without one. */
  driverVersion: number;
  /** The driver in words: "580.82.07, for CUDA 13.0" (the release where the system tells it). */
  driver: string;
  /** Why the driver cannot be used at all. */
  problem?: string;
  gpus: CudaDeviceReport[];
};

/**
 * The key (`get_key`) of every CUDA device, in CUDA's order, from the same
 * probe and cache as `isAvailable()`: what a script can ask without risking
 * its process. Empty when the probe found no driver or failed; never throws.
 */
export declare function deviceKeys(): string[];
