/**
 * State of the gateway, as returned by {@link getStatus}: test `running`, and
 * `port` and `startTimeMs` are numbers.
 */
export type ProxyStatus = RunningProxyStatus | StoppedProxyStatus;

/** A gateway is running in this process. */
export interface RunningProxyStatus {
  running: true;
  /** The listening port on 127.0.0.1. */
  port: number;
  /** Connections accepted and not yet finished (low 32 bits of the counter). */
  activeConnections: number;
  /** Connections accepted since the last start (low 32 bits of the counter). */
  totalConnections: number;
  /** Start time in milliseconds since the Unix epoch. */
  startTimeMs: number;
}

/** No gateway is running: both counters are 0, and there is no port or start time. */
export interface StoppedProxyStatus {
  running: false;
  port?: undefined;
  activeConnections: number;
  totalConnections: number;
  startTimeMs?: undefined;
}

/** One live connection, as listed by {@link getConnectionStats}. */
export interface ConnectionStat {
  /** "rdp-1", "rdp-2", ... numbered from each start. */
  connectionId: string;
  /**
   * "handshaking" until the RDCleanPath response is sent, then "forwarding"; a
   * KDC proxy request stays "handshaking".
   */
  state: 'handshaking' | 'forwarding';
  /** When the connection was accepted, in milliseconds since the Unix epoch. */
  startTimeMs: number;
  /** The RDP server's host, once the request has been decoded; for a KDC proxy request, the KDC's. */
  rdpHost?: string;
  /** The RDP server's port, once the request has been decoded; for a KDC proxy request, the KDC's. */
  rdpPort?: number;
  /** Always true: the client side is connected while the entry exists. */
  wsConnected: boolean;
  /** The TCP connection to the RDP server (or the KDC) is established. */
  tcpConnected: boolean;
  /** TLS with the RDP server is up and the connection is relaying. */
  tlsReady: boolean;
}

/** Errors thrown by {@link startProxy} and {@link stopProxy}. */
export interface QuillgateError extends Error {
  /** Always "GenericFailure" for the gateway's own failures. */
  code: string;
}

/** Reports whether the gateway runs, its port, start time and counters. Never throws. */
export function getStatus(): ProxyStatus;

/**
 * Stops the gateway: every open connection is closed, and the call returns once
 * the service thread has ended. Stopping a gateway that is not running succeeds.
 * @throws {QuillgateError}
 */
export function stopProxy(): void;

/**
 * Starts the gateway on 127.0.0.1 at a port the system chooses, and returns the
 * port. When it is already running, returns the running gateway's port.
 * @throws {QuillgateError} with a message such as "监听失败: ..." when the port cannot be bound.
 */
export function startProxy(): number;

/** Lists the live connections, in no particular order. Empty while not running. */
export function getConnectionStats(): ConnectionStat[];
