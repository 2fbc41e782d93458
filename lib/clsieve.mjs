// ES-module entry of noncesieve/clsieve.
import cjs from './clsieve.js';
import { contextClass } from './addon-exports.mjs';

export const GpuContextWrapper = contextClass(cjs);
export default cjs;
