// What the ES-module entries of the two addons share: importing one never
// throws, so that `import { isAvailable } from 'noncesieve/nvsieve'` works on
// a machine without the addon; when the addon cannot be loaded its
// GpuContextWrapper is a stand-in that throws the loader's error when called.
export function contextClass(mod) {
  try {
    return mod.GpuContextWrapper;
  } catch (err) {
    return function GpuContextWrapper() { throw err; };
  }
}
