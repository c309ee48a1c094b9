// Compiled with tsc --noEmit --strict by the test suite: the declarations
// must accept real use and reject misuse.
import quillgate = require('../..');
import type { ConnectionStat, ProxyStatus, QuillgateError, RunningProxyStatus } from '../..';

const port: number = quillgate.startProxy();
const status: ProxyStatus = quillgate.getStatus();
const maybePort: number | undefined = status.port;
const started: number | undefined = status.startTimeMs;
const counts: number = status.activeConnections + status.totalConnections;
// The status is told apart by `running`.
if (status.running) {
  const sure: number = status.port + status.startTimeMs;
  const running: RunningProxyStatus = status;
  void sure, running;
} else {
  const none: undefined = status.port;
  void none;
}

const list: ConnectionStat[] = quillgate.getConnectionStats();
for (const c of list) {
  const state: 'handshaking' | 'forwarding' = c.state;
  const host: string = c.rdpHost ?? '-';
  const flags: boolean[] = [c.wsConnected, c.tcpConnected, c.tlsReady];
  void state, host, flags, c.rdpPort?.toFixed(), c.startTimeMs.toFixed(), c.connectionId.length;
}

try {
  quillgate.stopProxy();
} catch (e) {
  const error = e as QuillgateError;
  const code: string = error.code;
  void code;
}

// @ts-expect-error optional properties are not nullable
const notNull: ProxyStatus = { running: false, activeConnections: 0, totalConnections: 0, port: null };
// @ts-expect-error the port may be absent
const surePort: number = status.port;
// @ts-expect-error a stopped gateway has no port
const stoppedWithPort: ProxyStatus = { running: false, activeConnections: 0, totalConnections: 0, port: 1 };
// @ts-expect-error a running gateway has a start time
const runningWithout: ProxyStatus = { running: true, port: 1, activeConnections: 0, totalConnections: 0 };
// @ts-expect-error stopProxy returns nothing
const nothing: number = quillgate.stopProxy();

void port, maybePort, started, counts, notNull, surePort, stoppedWithPort, runningWithout, nothing;
