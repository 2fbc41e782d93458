// ES-module entry of the package: the CommonJS exports of ./index.js under
// their own names (Node's named-export detection cannot see them there).
import cjs from './index.js';

export const {
  clsieve, nvsieve, openRig, verifyNonce, headerWithNonce, hashTop64, targetTop64, noncesPerScan,
  NOT_FOUND, NONCE_LIMIT, WORK_SIZE_STEP, HEADER_BYTES, TARGET_BYTES, SELFTEST,
} = cjs;
export default cjs;
