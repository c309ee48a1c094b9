'use strict';

// A real Kerberos client and KDC through the gateway's KDC proxy: MIT's
// kinit speaks MS-KKDCP over HTTPS to a TLS front before the gateway, which
// relays to MIT's krb5kdc in a private realm (see support/krb5.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { Gateway } = require('./support/gateway');
const { available, PACKAGES, startRealm, startTlsFront } = require('./support/krb5');

if (!available) console.log(`# kerberos.test.js: SKIPPED: MIT Kerberos is not installed (apt-get install --no-install-recommends ${PACKAGES})`);

test('kinit gets a TGT through the KDC proxy; a wrong password gets the KDC\'s answer', { skip: !available }, async () => {
  const realm = await startRealm({ principals: { alice: 'correct-horse' } });
  const gateway = await Gateway.start();
  const front = await startTlsFront(gateway.port);
  try {
    const url = `https://127.0.0.1:${front.port}/KdcProxy/127.0.0.1:${realm.port}`;
    const good = await realm.kinit({ principal: 'alice', password: 'correct-horse', url, anchor: front.anchor });
    assert.equal(good.code, 0, `${good.output}\n${good.trace}\n${gateway.stderr}`);
    assert.match(good.listed, new RegExp(`krbtgt/${realm.realm}@${realm.realm}`));
    // The KDC asked for pre-authentication first: two exchanges, both through the proxy.
    assert.match(good.trace, /Received error from KDC: .*Additional pre-authentication required/);
    assert.equal(good.trace.match(/Received answer \(\d+ bytes\) from https 127\.0\.0\.1:\d+/g)?.length, 2, good.trace);
    assert.match(realm.log(), /AS_REQ .* ISSUE: authtime/);

    const bad = await realm.kinit({ principal: 'alice', password: 'wrong', url, anchor: front.anchor });
    assert.notEqual(bad.code, 0);
    // The KDC's refusal, carried back by the proxy, not a failure to reach it.
    assert.match(bad.output, /Password incorrect while getting initial credentials/);
    assert.match(bad.trace, /Received error from KDC: .*Preauthentication failed/);
    assert.equal(bad.listed, '');

    // Each request was one connection, answered without a diagnostic line.
    const { status } = await gateway.report();
    assert.equal(status.totalConnections, 4);
    assert.equal(status.activeConnections, 0);
    assert.equal(gateway.stderr.split('\n').filter((line) => line.startsWith('[')).join('\n'), '');
  } finally {
    await front.close();
    await gateway.stop();
    await realm.stop();
  }
});
