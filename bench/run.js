#!/usr/bin/env node
// Runs the benchmark: the gateway in a Node.js host process, a backend that
// plays the RDP server, and the C++ client measuring the gateway, a plain TCP
// forwarder, the event-loop forwarder and direct TLS in turn. Prints a table; a full run writes
// bench/results/latest.json and .svg and updates the table in README.md, a
// quick run (the smoke run of `npm test`) writes them to build/bench-quick/.
//
//   node bench/run.js [--quick]     (--render: redraw the chart from the latest results)
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const root = path.resolve(__dirname, '..');
const quick = process.argv.includes('--quick');
const tool = path.join(root, 'build', 'quillbench');
const results = path.join(__dirname, 'results');

// Starts `argv` under the hard descriptor limit; resolves with the child and
// the first line it prints.
function start(argv, { limit = '$(ulimit -Hn)', input = 'ignore' } = {}) {
  const child = spawn('sh', ['-c', `ulimit -n ${limit} && exec "$@"`, 'sh', ...argv],
    { cwd: root, stdio: [input, 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).once('line', (line) => resolve({ child, line }));
    child.once('exit', (code) => reject(new Error(`${argv.join(' ')} exited with ${code}`)));
  });
}

function collect(argv) {
  return new Promise((resolve, reject) => {
    const child = spawn(argv[0], argv.slice(1), { cwd: root, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (d) => (out += d));
    child.once('exit', (code) => (code === 0 ? resolve(JSON.parse(out)) : reject(new Error(`quillbench exited with ${code}`))));
  });
}

// The backend, the gateway in a Node.js host and the two forwarders, each a
// process of its own (so that the processor time of each relay can be read
// on its own), then the client's measurements.
async function measure(backendFlags, clientFlags) {
  const backend = await start([tool, 'backend', ...backendFlags]);
  const started = [backend];
  try {
    const gateway = await start([process.execPath, path.join(__dirname, 'gateway-host.js')], { limit: 20000, input: 'pipe' });
    started.push(gateway);
    const forwarder = await start([tool, 'forwarder', '--backend', backend.line]);
    started.push(forwarder);
    const looped = await start([tool, 'loop-forwarder', '--backend', backend.line]);
    started.push(looped);
    return await collect([tool, 'run', '--gateway', gateway.line, '--backend', backend.line,
      '--forwarder', forwarder.line, '--loop-forwarder', looped.line, '--gateway-pid', String(gateway.child.pid),
      '--forwarder-pid', String(forwarder.child.pid), '--loop-forwarder-pid', String(looped.child.pid),
      ...clientFlags, ...(quick ? ['--quick'] : [])]);
  } finally {
    for (const { child } of started) {
      if (child.stdin) child.stdin.end();
      child.kill();
    }
  }
}

// What AES-256-GCM (the cipher the gateway and the backend agree on) costs on
// this machine, per byte in 16 KiB records and per 64-byte record, from
// `openssl speed` against the same OpenSSL release the gateway carries: the
// part of the gateway's cost that no relay which terminates TLS can avoid.
function aesGcm() {
  const speed = (bytes) => {
    const out = require('node:child_process').spawnSync('openssl',
      ['speed', '-evp', 'aes-256-gcm', '-bytes', String(bytes), '-seconds', quick ? '1' : '3'], { encoding: 'utf8' });
    const rate = /AES-256-GCM\s+([\d.]+)k/.exec(out.stdout || '');
    return rate ? Number(rate[1]) * 1000 : null;  // bytes per second
  };
  const bulk = speed(16384);
  const small = speed(64);
  return { ns_per_byte: bulk ? 1e9 / bulk : null, ns_per_small_record: small ? 64e9 / small : null };
}

const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[s.length >> 1] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

// Every measure runs through the gateway, through a plain TCP forwarder to the
// backend (one more loopback hop and nothing else: the floor under any
// gateway), through the same forwarder built as one event loop (the floor
// under any gateway that does not spend two threads per connection) and
// straight to the backend (direct), interleaved. `target` is a
// bound on the gateway's figure as a ratio to the forwarder's in the same run;
// `limit` is an absolute bound. The interactive bound sits halfway to Linux's
// 40 ms minimum delayed-acknowledgement timer: a sender that waits for that
// acknowledgement (Nagle's algorithm) delivers the second message at least
// 37 ms late, anything else well below.
const metrics = {
  download_mib_s: { label: 'download', unit: 'MiB/s', higher: true, target: 0.9 },
  upload_mib_s: { label: 'upload', unit: 'MiB/s', higher: true, target: 0.9 },
  rtt_p50_us: { label: 'RTT p50', unit: 'µs', higher: false, target: 1.15 },
  rtt_p99_us: { label: 'RTT p99', unit: 'µs', higher: false, target: 1.3 },
  interactive_to_server_p50_ms: { label: 'interactive p50, client to server', unit: 'ms', higher: false, limit: 20 },
  interactive_to_server_p99_ms: { label: 'interactive p99, client to server', unit: 'ms', higher: false, limit: 20 },
  interactive_to_client_p50_ms: { label: 'interactive p50, server to client', unit: 'ms', higher: false, limit: 20 },
  interactive_to_client_p99_ms: { label: 'interactive p99, server to client', unit: 'ms', higher: false, limit: 20 },
  setup_sequential_per_s: { label: 'setup, sequential', unit: '/s', higher: true, target: 0.9 },
  setup_parallel8_per_s: { label: 'setup, 8 parallel', unit: '/s', higher: true, target: 0.9 },
};

// What relaying costs the relaying process, and the gateway's own targets
// against the event-loop forwarder, in the same run. Per byte, the gateway's
// figure less what AES-GCM alone costs (it decrypts, or encrypts, every byte
// once; the forwarders pass the client's TLS through) is set against the
// forwarder's. The direct path's processor time is the client's own TLS
// endpoint, which does in its place the work the gateway does. The ratio is
// the median of the rounds' ratios: in each round the gateway and the
// forwarder run back to back, so a sitting's drift weighs on both alike.
const costs = [
  { name: 'download_cpu_ns_per_byte', label: 'CPU per byte relayed, download', unit: 'ns/B', aes: 'download_aes_gcm_ns_per_byte', target: 1.5 },
  { name: 'upload_cpu_ns_per_byte', label: 'CPU per byte relayed, upload', unit: 'ns/B', aes: 'upload_aes_gcm_ns_per_byte', target: 1.5 },
  { name: 'small_to_server_cpu_ns_per_message', label: 'CPU per 64-byte message, to the server', unit: 'ns', target: 1.5 },
  { name: 'small_to_client_cpu_ns_per_message', label: 'CPU per 64-byte message, to the client', unit: 'ns', target: 1.5 },
  { name: 'download_mib_s', label: 'download throughput', unit: 'MiB/s', higher: true, target: 0.95 },
  { name: 'upload_mib_s', label: 'upload throughput', unit: 'MiB/s', higher: true, target: 0.9 },
  // A neighbour's round trip while another connection on its relaying thread
  // moves 60 MiB messages: within a few milliseconds of the idle figure.
  { name: 'rtt_beside_upload_p99_us', label: 'RTT p99 beside 60 MiB messages to the server', unit: 'µs', idle: 'rtt_p99_us', slack: 3000 },
  { name: 'rtt_beside_download_p99_us', label: 'RTT p99 beside a full-speed download', unit: 'µs', idle: 'rtt_p99_us', slack: 3000 },
  { name: 'rtt_beside_upload_p50_us', label: 'RTT p50 beside 60 MiB messages to the server', unit: 'µs', idle: 'rtt_p50_us' },
  { name: 'rtt_beside_download_p50_us', label: 'RTT p50 beside a full-speed download', unit: 'µs', idle: 'rtt_p50_us' },
];

function costRows(series) {
  return costs.filter((c) => series[c.name]).map((c) => {
    const of = (p) => summary(series[c.name][p]);
    const r = { ...c, gateway: of('gateway'), looped: of('looped'), forwarder: of('forwarded'), direct: of('direct') };
    // AES-GCM as measured just before each round's gateway run.
    const cipher = c.aes ? series[c.aes]?.gateway || [] : [];
    r.aes = cipher.length ? summary(cipher) : null;
    r.above = r.aes && r.gateway ? r.gateway.median - r.aes.median : null;
    const g = series[c.name].gateway || [];
    const l = series[c.name].looped || [];
    const ratios = g.slice(0, l.length).map((v, i) => (v - (c.aes ? cipher[i] : 0)) / l[i]).filter(Number.isFinite);
    r.ratio = (c.aes && !r.aes) || !ratios.length ? null : median(ratios);
    r.ratios = summary(ratios);
    if (c.idle) {
      const idle = summary(series[c.idle]?.gateway);
      r.idle = idle;
      r.met = c.slack && r.gateway && idle ? r.gateway.median <= idle.median + c.slack : null;
    } else {
      r.met = r.ratio === null ? null : c.higher ? r.ratio >= c.target : r.ratio <= c.target;
    }
    return r;
  });
}

function costTable(rows, aes) {
  const cell = (s, unit) => (s ? `${fmt(s.median)} ${unit} (${fmt(s.min)}–${fmt(s.max)})` : '');
  const lines = ['| measure | gateway: median (min–max) | event-loop forwarder | plain TCP forwarder | direct | ' +
    'gateway above AES-GCM | gateway / event-loop: median of rounds (min–max) | target |', '|---|---|---|---|---|---|---|---|'];
  for (const r of rows) {
    const bound = r.idle ? (r.slack ? `≤ idle + ${r.slack / 1000} ms (idle ${fmt(r.idle.median)} ${r.unit})` :
      `idle ${fmt(r.idle.median)} ${r.unit}`) : `${r.higher ? '≥' : '≤'} ${r.target}`;
    lines.push(`| ${r.label} | ${cell(r.gateway, r.unit)} | ${cell(r.looped, r.unit)} | ${cell(r.forwarder, r.unit)} | ` +
      `${cell(r.direct, r.unit)} | ${r.above === null ? '' : `${fmt(r.above)} ${r.unit}`} | ` +
      `${r.ratio === null || r.idle ? '' : `${r.ratio.toFixed(3)}${r.higher ? '' : '×'} ` +
        `(${r.ratios.min.toFixed(2)}–${r.ratios.max.toFixed(2)})`} | ` +
      `${bound}${r.met === null ? '' : r.met ? ' ✓' : ' ✗'} |`);
  }
  const ref = [aes.ns_per_byte && `${fmt(aes.ns_per_byte)} ns/B in 16 KiB records`,
    aes.ns_per_small_record && `${fmt(aes.ns_per_small_record)} ns per 64-byte record`].filter(Boolean).join(', ');
  const rounds = rows.filter((r) => r.aes).map((r) => `${r.label.replace(/.*, /, '')} rounds ${cell(r.aes, 'ns/B')}`);
  if (rounds.length) {
    lines.push('', '"Gateway above AES-GCM" takes off what AES-256-GCM alone cost just before each round\'s gateway ' +
      `run (16 KiB records sealed in the benchmark's client, processor time): ${rounds.join('; ')}.`);
  }
  if (ref) lines.push('', `AES-256-GCM alone (\`openssl speed -evp aes-256-gcm\`, once): ${ref}.`);
  return lines.join('\n');
}

const summary = (v) => (v && v.length ? { median: median(v), min: Math.min(...v), max: Math.max(...v) } : null);

// One row per measure, in the order above; a path with no samples is null.
function rows(series, suffix = '') {
  return Object.entries(metrics).filter(([name]) => series[name]).map(([name, m]) => ({
    name: name + suffix, label: m.label + suffix, unit: m.unit, higher: m.higher,
    target: m.target ?? null, limit: m.limit ?? null,
    gateway: summary(series[name].gateway), forwarder: summary(series[name].forwarded),
    direct: summary(series[name].direct), looped: summary(series[name].looped),
  }));
}

function allRows(series, extra) {
  return [...rows(series), ...extra.flatMap(([label, r]) => rows(r.series, ` (${label})`))];
}

const ratio = (a, b) => (a && b ? a.median / b.median : null);

// True or false against the row's bound; null when it has none or lacks a figure.
function met(r) {
  if (r.limit !== null) return r.gateway ? r.gateway.median <= r.limit : null;
  const x = ratio(r.gateway, r.forwarder);
  if (r.target === null || x === null) return null;
  return r.higher ? x >= r.target : x <= r.target;
}

const fmt = (n) => (n >= 100 ? n.toFixed(0) : n >= 10 ? n.toFixed(1) : n >= 1 ? n.toFixed(2) : n.toPrecision(2));

function table(all, memory) {
  const cell = (s, unit) => (s ? `${fmt(s.median)} ${unit} (${fmt(s.min)}–${fmt(s.max)})` : '');
  const times = (r, x) => (x === null ? '' : `${x.toFixed(2)}${r.higher ? '' : '×'}`);
  const lines = ['| measure | gateway: median (min–max) | plain TCP forwarder | direct | gateway / forwarder | target | ' +
    'gateway / direct | forwarder / direct | event-loop forwarder | event-loop / forwarder |',
  '|---|---|---|---|---|---|---|---|---|---|'];
  for (const r of all) {
    const ok = met(r);
    const bound = r.limit !== null ? `≤ ${r.limit} ${r.unit}` : r.target !== null ? `${r.higher ? '≥' : '≤'} ${r.target}` : '';
    lines.push(`| ${r.label} | ${cell(r.gateway, r.unit)} | ${cell(r.forwarder, r.unit)} | ${cell(r.direct, r.unit)} | ` +
      `${times(r, ratio(r.gateway, r.forwarder))} | ${bound}${ok === null ? '' : ok ? ' ✓' : ' ✗'} | ` +
      `${times(r, ratio(r.gateway, r.direct))} | ${times(r, ratio(r.forwarder, r.direct))} | ` +
      `${cell(r.looped, r.unit)} | ${times(r, ratio(r.looped, r.forwarder))} |`);
  }
  for (const [n, m] of Object.entries(memory.memory)) {
    lines.push(`| RSS per idle relaying connection at ${n} | ${m.kib_per_connection.toFixed(1)} KiB (${m.alive}/${m.held} alive) | | | | ≤ 40 KB | | | | |`);
  }
  const mc = memory.max_concurrent;
  lines.push(`| concurrent relaying connections, 20,000 descriptors | ${mc.held} held (the next connection failed with "${mc.stopped_by}"; ${mc.alive_after} alive after it) | | | | ≥ 9000 | | | | |`);
  return lines.join('\n');
}

const escape = (s) => s.replace(/&/g, '&amp;').replace(/</g, '&lt;');

// Two panels: the gateway's figures as ratios to the forwarder's, with their
// targets; then the interactive delays in milliseconds on a log scale, all
// three paths, since a ratio of two sub-millisecond figures says little.
function svg(all) {
  const width = 860;
  const left = 360;
  const span = width - left - 50;
  const parts = [];
  let y = 10;
  const title = (text) => {
    parts.push(`<text x="10" y="${y + 14}" font-weight="bold">${escape(text)}</text>`);
    y += 26;
  };
  const label = (text, at) => parts.push(`<text x="${left - 8}" y="${at}" text-anchor="end">${escape(text)}</text>`);

  const relative = all.filter((r) => r.target !== null && ratio(r.gateway, r.forwarder) !== null);
  title('quillgate / plain TCP forwarder, same run (dashed: target; thin blue: the event-loop forwarder)');
  const scale = span / 2; // a ratio of 2.0 spans the panel
  const top = y;
  for (const r of relative) {
    const x = ratio(r.gateway, r.forwarder);
    const w = Math.max(1, Math.min(x, 2) * scale);
    label(`${r.label}${r.higher ? '' : ' (lower is better)'}`, y + 17);
    parts.push(`<rect x="${left}" y="${y}" width="${w}" height="24" fill="${met(r) ? '#3a7d44' : '#b5412f'}"/>`,
      `<text x="${left + w + 6}" y="${y + 17}">${x.toFixed(2)}</text>`,
      `<line x1="${left + r.target * scale}" y1="${y - 3}" x2="${left + r.target * scale}" y2="${y + 35}" stroke="#333" stroke-dasharray="3,2"/>`);
    const floor = ratio(r.looped, r.forwarder);
    if (floor !== null) {
      const f = Math.max(1, Math.min(floor, 2) * scale);
      parts.push(`<rect x="${left}" y="${y + 26}" width="${f}" height="6" fill="#6a8caf"/>`,
        `<text x="${left + f + 6}" y="${y + 33}" font-size="10" fill="#666">${floor.toFixed(2)}</text>`);
    }
    y += 40;
  }
  parts.push(`<line x1="${left + scale}" y1="${top - 4}" x2="${left + scale}" y2="${y}" stroke="#999"/>`,
    `<text x="${left + scale}" y="${y + 12}" text-anchor="middle" fill="#666">1.0 = forwarder</text>`);
  y += 24;

  const interactive = all.filter((r) => r.limit !== null && r.gateway);
  if (interactive.length) {
    title('interactive: delay of the second of two 32-byte messages 3 ms apart, ms (log scale)');
    const low = -2; // 0.01 ms
    const decades = 5; // to 1000 ms
    const at = (ms) => left + Math.max(0, Math.min(decades, Math.log10(Math.max(ms, 1e-9)) - low)) * (span / decades);
    const top2 = y;
    for (const r of interactive) {
      label(r.label, y + 22);
      const bars = [['gateway', r.gateway, met(r) ? '#3a7d44' : '#b5412f'], ['forwarder', r.forwarder, '#9a9a9a'],
        ['direct', r.direct, '#c8c8c8']];
      for (const [, s, fill] of bars) {
        if (s) {
          const w = Math.max(1, at(s.median) - left);
          parts.push(`<rect x="${left}" y="${y}" width="${w}" height="10" fill="${fill}"/>`,
            `<text x="${left + w + 4}" y="${y + 9}" font-size="10">${fmt(s.median)}</text>`);
        }
        y += 11;
      }
      y += 8;
    }
    for (let d = 0; d <= decades; d++) {
      const x = left + d * (span / decades);
      parts.push(`<line x1="${x}" y1="${top2 - 3}" x2="${x}" y2="${y}" stroke="#ddd"/>`,
        `<text x="${x}" y="${y + 12}" text-anchor="middle" fill="#666" font-size="11">${10 ** (low + d)}</text>`);
    }
    const limit = interactive[0].limit;
    parts.push(`<line x1="${at(limit)}" y1="${top2 - 3}" x2="${at(limit)}" y2="${y}" stroke="#333" stroke-dasharray="3,2"/>`,
      `<line x1="${at(40)}" y1="${top2 - 3}" x2="${at(40)}" y2="${y}" stroke="#b5412f" stroke-dasharray="1,2"/>`);
    y += 22;
    const legend = [['#3a7d44', 'gateway (red when above the bound)'], ['#9a9a9a', 'plain TCP forwarder'],
      ['#c8c8c8', 'direct']];
    let x = left;
    for (const [fill, text] of legend) {
      parts.push(`<rect x="${x}" y="${y}" width="10" height="10" fill="${fill}"/>`,
        `<text x="${x + 14}" y="${y + 9}" font-size="11">${escape(text)}</text>`);
      x += 30 + text.length * 6;
    }
    parts.push(`<text x="${left}" y="${y + 25}" font-size="11">` +
      `dashed: the ${limit} ms bound; dotted red: the 40 ms delayed-ACK timer</text>`);
    y += 36;
  }
  return `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${y + 10}" font-family="sans-serif" font-size="13">` +
    `<rect width="100%" height="100%" fill="white"/>${parts.join('')}</svg>\n`;
}

function readmeBlock(date, machine, text) {
  return `<!-- bench:start -->\nMeasured ${date} on ${machine} (\`npm run bench\`):\n\n${text}\n\n` +
    'The chart of these figures is in [CONTRIBUTING.md](CONTRIBUTING.md#benchmark).\n<!-- bench:end -->';
}

async function main() {
  if (process.argv.includes('--render')) {
    // Redraws the chart and the README's tables from the latest results
    // without measuring.
    const latest = JSON.parse(fs.readFileSync(path.join(results, 'latest.json'), 'utf8'));
    const all = allRows(latest.raw.main, latest.raw.extra);
    fs.writeFileSync(path.join(results, 'latest.svg'), svg(all));
    const main = { series: latest.raw.main, memory: latest.memory, max_concurrent: latest.max_concurrent };
    writeReadme(latest.date, latest.machine, report(all, main, costRows(main.series), latest.aes_gcm));
    return;
  }
  if (!fs.existsSync(tool)) throw new Error('build/quillbench is missing: run `node scripts/build.js --target quillbench`');
  const main = await measure([], []);
  const extra = quick ? [] : [
    ['TLS 1.3, no tickets', await measure(['--no-tickets'], ['--setup-only'])],
    ['TLS 1.2 only, no tickets', await measure(['--tls12', '--no-tickets'], ['--setup-only'])],
  ];
  const all = allRows(main.series, extra);
  const aes = aesGcm();
  const cost = costRows(main.series);
  const cpu = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/) || [])[1] || os.arch();
  const machine = `${os.cpus().length} cores, ${cpu}, ${(os.totalmem() / 2 ** 30).toFixed(0)} GiB, Node.js ${process.version}`;
  const date = new Date().toISOString().slice(0, 10);
  const text = report(all, main, cost, aes);
  console.log(`\n${date}, ${machine}${quick ? ' (quick smoke run: figures are not meaningful)' : ''}\n\n${text}\n`);
  const json = `${JSON.stringify({ date, machine, results: all, cost, aes_gcm: aes, memory: main.memory,
    max_concurrent: main.max_concurrent, raw: { main: main.series, extra } }, null, 2)}\n`;
  if (quick) {
    // A smoke run's outputs go to the (ignored) build directory: the
    // rendering stays exercised and no tracked file changes.
    const dir = path.join(root, 'build', 'bench-quick');
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, 'latest.json'), json);
    fs.writeFileSync(path.join(dir, 'latest.svg'), svg(all));
    fs.writeFileSync(path.join(dir, 'README-block.md'), `${readmeBlock(date, machine, text)}\n`);
    console.log(`outputs of this smoke run: ${path.relative(root, dir)}/`);
    return;
  }

  fs.mkdirSync(results, { recursive: true });
  fs.writeFileSync(path.join(results, 'latest.json'), json);
  fs.writeFileSync(path.join(results, 'latest.svg'), svg(all));
  writeReadme(date, machine, text);
}

function report(all, main, cost, aes) {
  return `${table(all, main)}\n\nWhat relaying costs the relaying process (processor time over the timed window):\n\n` +
    costTable(cost, aes);
}

function writeReadme(date, machine, text) {
  const readme = path.join(root, 'README.md');
  const current = fs.readFileSync(readme, 'utf8');
  if (current.includes('<!-- bench:start -->')) {
    fs.writeFileSync(readme, current.replace(/<!-- bench:start -->[\s\S]*<!-- bench:end -->/, readmeBlock(date, machine, text)));
  }
}

main().catch((error) => {
  console.error(`bench: ${error.message}`);
  process.exit(1);
});
