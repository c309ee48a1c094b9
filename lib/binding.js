'use strict';

// The addon's four functions, from the file lib/native.js finds.
const addon = require('./native').load();

module.exports = {
  getStatus: addon.getStatus,
  stopProxy: addon.stopProxy,
  startProxy: addon.startProxy,
  getConnectionStats: addon.getConnectionStats,
};
