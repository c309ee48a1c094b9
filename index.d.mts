// Types for the ES module entry (index.mjs): the CommonJS declarations, as
// named exports and as the default export.
import * as quillgate from './index.js';

export * from './index.js';
export default quillgate;
