// Types of require('noncesieve/clsieve'): the OpenCL module.
//
// Reading `GpuContextWrapper` loads the addon (a local build,
// build/Release/clsieve.node, else the prebuilt binary for this platform and
// Node ABI) and throws an Error that says what to install and what to run
// when there is none or it cannot be loaded (under `import`, calling the
// constructor throws it).

/**
 * Called once per scan, on the main thread and never from inside
 * `scan_nonces`, with the winning nonce of the scanned range, or
 * `9007199254740991` (`NOT_FOUND`) when the range holds no winner. When a
 * range holds several winners one of them is reported. The value is not
 * re-hashed by the module: check it with `verifyNonce` before using it.
 */
export type ScanCallback = (nonce: number) => void;

/**
 * One OpenCL context: the devices found when it was constructed, of which
 * `init_devices` activates some. Every method checks its arguments before it
 * touches a device. A method called with `new`, or on an object that is not
 * a `GpuContextWrapper`, throws a TypeError. The module loads on the main
 * thread and in Workers; a Worker that ends with scans in flight lets them
 * finish and drops their callbacks. A failing OpenCL call prints a fixed
 * message on standard output and ends the process with status 1; nothing is
 * thrown for it.
 */
export interface GpuContextWrapper {
  /** How many OpenCL devices discovery found (0 when none). */
  get_total_devices(): number;

  /**
   * A batch-size hint for a found device, initialised or not: its global
   * memory, capped at `count` × 4200 MiB, × 0.8, in units of 2^19 bytes.
   * @param index device index, below `get_total_devices()`.
   * @param count multiplier of the memory cap (ToUint32; missing gives 0,
   *   which makes the result 0).
   * @throws {RangeError} index negative or not below `get_total_devices()`.
   */
  get_batch_size(index: number, count?: number): number;

  /**
   * Nonces per work item: 1 with the kernel built from source, 2 with a
   * prebuilt image. One scan covers `workSize × get_gran(index)` nonces
   * from its start: `noncesPerScan` of require('noncesieve').
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  get_gran(index: number): number;

  /**
   * The device's key: `<name>-<memory in GiB, rounded up>gb-<compute units>-<clock MHz>`.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  get_key(index: number): string;

  /**
   * Activates devices: for each `ids[n]`, a context, the kernel, and
   * `threadCounts[n]` independent slots (queue, kernel object, block buffer,
   * result), scanning `workSizes[n]` work items per scan. Work sizes must be
   * positive multiples of 256 (the local size), so that a scan covers
   * exactly `workSizes[n] × get_gran(ids[n])` nonces. A device initialised
   * after a `set_block` gets that job's block.
   * When the slots in use exceed the libuv pool's threads
   * (`UV_THREADPOOL_SIZE`, default 4), writes one warning to standard error,
   * once per process.
   * Prints "Detected <n> total devices", "Active devices:", one
   * "    GPU#<id>, Name: <name>, Work size <size>" line per device,
   * "Building kernels..." and "Kernels built successfully" on standard output.
   * Elements are read with ToNumber and truncated toward zero. When `ids` is
   * not an array nothing is activated and the other arguments are not read.
   * @param ids device indices, each below `get_total_devices()` (and 20).
   * @param threadCounts slots per device, 1 to 64; scans name a slot below it.
   * @param workSizes work items per scan, per device.
   * @param usePrebuiltImages load the prebuilt image for the device's name
   *   when the module carries one (then `get_gran` is 2); default false.
   * @returns 0.
   * @throws {TypeError} threadCounts or workSizes not an array, or an element
   *   that is not a finite number.
   * @throws {RangeError} an id not below the devices found, a slot count
   *   outside 1 to 64, a work size that is not a positive multiple of 256, an
   *   element outside 32 bits, or an array shorter than `ids`; all before
   *   anything is printed or allocated.
   */
  init_devices(ids: readonly number[], threadCounts: readonly number[],
    workSizes: readonly number[], usePrebuiltImages?: boolean): 0;

  /**
   * Kept for scripts written for other modules; does nothing on OpenCL.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  update(index: number, a: number, b: number): void;

  /**
   * Queues one scan of nonces `startNonce` to `startNonce + workSize ×
   * get_gran(deviceIndex) - 1` on the libuv pool and returns at once;
   * `callback` gets the result, in the async context of this call. One scan
   * in flight per device and slot: from this call until its callback runs.
   * The scan searches the block of the job of the last `set_block` before it
   * was queued, which the device keeps itself: `header` and `target` are
   * checked but not searched. Hashes carry bits 0-47 of the nonce (bytes
   * 280-285 of the header), so keep ranges below 2^48.
   * @param startNonce first nonce; fractions are truncated.
   * @param deviceIndex a device initialised by `init_devices`.
   * @param slot below the device's thread count.
   * @throws {TypeError} callback not a function, header or target not an
   *   ArrayBufferView, startNonce not a finite number.
   * @throws {RangeError} header under 286 bytes, target under 32 (also when
   *   a later argument's conversion shrank or detached them), startNonce
   *   negative or 2^48 or more, or a scan from it that would reach 2^48
   *   (nonces are 48 bits: startNonce + the scan's nonces must not pass
   *   2^48), device index 20 or more or not initialised,
   *   slot not below the device's thread count.
   * @throws {Error} the device has not been given a block yet, or the slot
   *   already has a scan in flight.
   */
  scan_nonces(callback: ScanCallback, header: ArrayBufferView, target: ArrayBufferView,
    startNonce: number, deviceIndex: number, slot: number): void;

  /**
   * Starts a job: writes the search block made from the header's first 286
   * bytes and the target's first 32 into every slot of every initialised
   * device, before it returns. Scans queued before it still search the
   * previous job's block; scans queued after it search this one.
   * @returns 0.
   * @throws {TypeError} header or target not an ArrayBufferView.
   * @throws {RangeError} header under 286 bytes or target under 32.
   */
  set_block(header: ArrayBufferView, target: ArrayBufferView): 0;

  /**
   * Self-test: 20 scans of the built-in job on slot 0, on the calling thread
   * (the event loop waits); refused while slot 0 has a scan in flight. Prints
   * "<ms> ms" and "Result: <nonce>" on standard output. It runs as a job of
   * its own: the current job's next scans write their block back.
   * @param index a device initialised by `init_devices`.
   * @returns 0.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   * @throws {Error} slot 0 has a scan in flight.
   */
  test(index: number): 0;

  /**
   * Kept for scripts written for other modules: measures nothing, returns 0.
   * @param index a device initialised by `init_devices`.
   * @throws {RangeError} index negative, 20 or more, or not initialised.
   */
  benchmark(index: number, value: number): number;
}

export interface GpuContextWrapperConstructor {
  /**
   * Discovers the OpenCL devices: every device of type `CLSIEVE_DEVICE_TYPE`
   * (`gpu` by default; `cpu`, `accelerator`, `all`) on every platform whose
   * vendor contains `CLSIEVE_PLATFORM_VENDOR` ("Advanced Micro Devices" by
   * default; empty matches every platform), both read now. Arguments are
   * ignored; calling it without `new` constructs too. Prints nothing.
   * @throws {RangeError} CLSIEVE_DEVICE_TYPE is none of those four.
   */
  new (...ignored: unknown[]): GpuContextWrapper;
  (...ignored: unknown[]): GpuContextWrapper;
  readonly prototype: GpuContextWrapper;
}

export declare const GpuContextWrapper: GpuContextWrapperConstructor;
