// ES-module entry of noncesieve/nvsieve.
import cjs from './nvsieve.js';
import { contextClass } from './addon-exports.mjs';

export const GpuContextWrapper = contextClass(cjs);
export const { isAvailable, unavailableReason, driverReport, deviceKeys } = cjs;
export default cjs;
