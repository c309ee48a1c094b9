#!/usr/bin/env node
// The package's install script. Does nothing when the prebuilt binary for this
// platform loads; otherwise, or when asked to, builds the addon from source.
//
//   QUILLGATE_BUILD_FROM_SOURCE=1 npm install quillgate   or   npm install --build-from-source
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { prebuilt, explain } = require('../lib/native');

const yes = (value) => value !== undefined && !['', '0', 'false', 'no', 'off'].includes(value.trim().toLowerCase());

function main() {
  const file = prebuilt();
  if (yes(process.env.QUILLGATE_BUILD_FROM_SOURCE) || yes(process.env.npm_config_build_from_source)) {
    console.log('quillgate: building from source, as asked');
  } else if (!fs.existsSync(file)) {
    console.log(`quillgate: no prebuilt binary for ${process.platform}-${process.arch}; building from source`);
  } else {
    try {
      require(file);
      return;
    } catch (error) {
      console.log(`quillgate: the prebuilt binary does not load here (${explain(error)}); building from source`);
    }
  }
  const result = spawnSync(process.execPath, [path.join(__dirname, 'build.js')], { stdio: 'inherit' });
  process.exitCode = result.status ?? 1;
}

main();
