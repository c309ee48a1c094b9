'use strict';

// Loads the native addon built by CMake (see scripts/build.js).
const path = require('node:path');

const candidates = [
  process.env.QUILLGATE_ADDON,
  path.join(__dirname, '..', 'build', 'quillgate.node'),
].filter(Boolean);

let lastError;
for (const file of candidates) {
  try {
    const addon = require(file);
    module.exports = {
      getStatus: addon.getStatus,
      stopProxy: addon.stopProxy,
      startProxy: addon.startProxy,
      getConnectionStats: addon.getConnectionStats,
    };
    lastError = undefined;
    break;
  } catch (error) {
    lastError = error;
  }
}
if (lastError) {
  throw new Error(`quillgate: the native addon is not built (${lastError.message}); run \`npm install\``);
}
