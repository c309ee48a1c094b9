'use strict';

// The set-up that `npm start` and `npm test` run installs Debian packages as
// root: it must not leave a service (xrdp's RDP login) running or enabled.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { aptInstall } = require('../../scripts/setup');

test('packages install while service starts are refused, and their services end up disabled', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-setup-'));
  const policy = path.join(dir, 'policy-rc.d');
  const services = () => [{ kind: 'systemd', name: 'xrdp.service' }, { kind: 'sysv', name: 'xrdp' }];
  try {
    const calls = [];
    const run = (cmd, args) => {
      calls.push(`${[cmd, ...args].join(' ')}${fs.existsSync(policy) && spawnSync(policy).status === 101 ? ' (starts refused)' : ''}`);
      return 0;
    };
    assert.equal(aptInstall(['xrdp'], { run, policy, services }), true);
    assert.deepEqual(calls, [
      'apt-get update -qq (starts refused)',
      'apt-get -qq install -y --no-install-recommends xrdp (starts refused)',
      'systemctl disable xrdp.service',
      'update-rc.d xrdp disable',
    ]);
    assert.ok(!fs.existsSync(policy));

    // A failed install still removes the guard, and so does the next run
    // after one that was killed; an administrator's own is left alone.
    assert.equal(aptInstall(['xrdp'], { run: () => 1, policy, services }), false);
    assert.ok(!fs.existsSync(policy));
    aptInstall(['xrdp'], { run: () => (fs.copyFileSync(policy, `${policy}.left`), 0), policy, services });
    fs.renameSync(`${policy}.left`, policy);
    aptInstall(['xrdp'], { run: () => 0, policy, services });
    assert.ok(!fs.existsSync(policy));
    fs.writeFileSync(policy, '#!/bin/sh\nexit 0\n');
    aptInstall(['xrdp'], { run: () => 0, policy, services });
    assert.equal(fs.readFileSync(policy, 'utf8'), '#!/bin/sh\nexit 0\n');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
