#!/usr/bin/env node
// Runs the benchmark: the gateway in a Node.js host process, a backend that
// plays the RDP server, and the C++ client measuring gateway and direct TLS
// in turn. Prints a table, writes bench/results/latest.json and .svg, and
// (full runs only) updates the table in README.md.
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

async function measure(backendFlags, clientFlags) {
  const backend = await start([tool, 'backend', ...backendFlags]);
  const gateway = await start([process.execPath, path.join(__dirname, 'gateway-host.js')], { limit: 20000, input: 'pipe' });
  try {
    return await collect([tool, 'run', '--gateway', gateway.line, '--backend', backend.line,
      '--gateway-pid', String(gateway.child.pid), ...clientFlags, ...(quick ? ['--quick'] : [])]);
  } finally {
    gateway.child.stdin.end();
    backend.child.kill();
  }
}

const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[s.length >> 1] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

// name -> [label, unit, higher is better, target ratio]
const metrics = {
  download_mib_s: ['download', 'MiB/s', true, 0.75],
  upload_mib_s: ['upload', 'MiB/s', true, 0.75],
  rtt_p50_us: ['RTT p50', 'µs', false, 1.3],
  rtt_p99_us: ['RTT p99', 'µs', false, null],
  setup_sequential_per_s: ['setup, sequential', '/s', true, 0.8],
  setup_parallel8_per_s: ['setup, 8 parallel', '/s', true, 0.7],
};

function rows(series, suffix = '') {
  return Object.entries(series).filter(([name]) => metrics[name]).map(([name, s]) => {
    const [label, unit, higher, target] = metrics[name];
    const g = median(s.gateway);
    const d = median(s.direct);
    return { name: name + suffix, label: label + suffix, unit, higher, target, gateway: g, direct: d, ratio: g / d,
      gatewayRange: [Math.min(...s.gateway), Math.max(...s.gateway)],
      directRange: [Math.min(...s.direct), Math.max(...s.direct)] };
  });
}

// The same measures through a plain TCP forwarder in place of the gateway:
// one more loopback hop and nothing else, the floor under any gateway.
function floorRows(series) {
  return Object.entries(series).filter(([name, s]) => metrics[name] && s.forwarded).map(([name, s]) => {
    const [label, unit, higher] = metrics[name];
    const f = median(s.forwarded);
    const d = median(s.direct);
    return { name: `${name}_forwarded`, label: `${label}, plain TCP forwarder (floor)`, unit, higher, target: null,
      reference: true, gateway: f, direct: d, ratio: f / d,
      gatewayRange: [Math.min(...s.forwarded), Math.max(...s.forwarded)],
      directRange: [Math.min(...s.direct), Math.max(...s.direct)] };
  });
}

const fmt = (n) => (n >= 100 ? n.toFixed(0) : n >= 10 ? n.toFixed(1) : n.toFixed(2));

function table(all, memory) {
  const lines = ['| measure | gateway: median (min–max) | direct: median (min–max) | ratio to direct | target |',
    '|---|---|---|---|---|'];
  for (const r of all) {
    lines.push(`| ${r.label} | ${fmt(r.gateway)} ${r.unit} (${fmt(r.gatewayRange[0])}–${fmt(r.gatewayRange[1])}) | ` +
      `${fmt(r.direct)} ${r.unit} (${fmt(r.directRange[0])}–${fmt(r.directRange[1])}) | ` +
      `${r.ratio.toFixed(2)}${r.higher ? '' : '×'} | ${r.target === null ? '' : (r.higher ? '≥ ' : '≤ ') + r.target} |`);
  }
  for (const [n, m] of Object.entries(memory.memory)) {
    lines.push(`| RSS per idle relaying connection at ${n} | ${m.kib_per_connection.toFixed(1)} KiB (${m.alive}/${m.held} alive) | | | ≤ 40 KB |`);
  }
  const mc = memory.max_concurrent;
  lines.push(`| concurrent relaying connections, 20,000 descriptors | ${mc.held} held (the next connection failed with "${mc.stopped_by}"; ${mc.alive_after} alive after it) | | | ≥ 9000 |`);
  return lines.join('\n');
}

function svg(all) {
  const shown = all.filter((r) => r.target !== null || r.reference || r.name === 'rtt_p99_us');
  const width = 820;
  const bar = 26;
  const left = 340;
  const scale = (width - left - 40) / 2; // ratio 2.0 spans the chart
  const items = shown.map((r, i) => {
    const y = 30 + i * (bar + 10);
    const w = Math.min(r.ratio, 2) * scale;
    const good = r.target === null ? true : r.higher ? r.ratio >= r.target : r.ratio <= r.target;
    const fill = r.reference ? '#9a9a9a' : good ? '#3a7d44' : '#b5412f';
    const target = r.target === null ? '' :
      `<line x1="${left + r.target * scale}" y1="${y - 3}" x2="${left + r.target * scale}" y2="${y + bar + 3}" stroke="#333" stroke-dasharray="3,2"/>`;
    return `<text x="${left - 8}" y="${y + 18}" text-anchor="end">${r.label}${r.higher ? '' : ' (lower is better)'}</text>` +
      `<rect x="${left}" y="${y}" width="${w}" height="${bar}" fill="${fill}"/>` +
      `<text x="${left + w + 6}" y="${y + 18}">${r.ratio.toFixed(2)}</text>${target}`;
  });
  const height = 50 + shown.length * (bar + 10);
  return `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" font-family="sans-serif" font-size="13">` +
    `<rect width="100%" height="100%" fill="white"/>` +
    `<text x="10" y="18" font-weight="bold">quillgate / direct TLS, same run (dashed: target; grey: plain TCP forwarder)</text>` +
    `<line x1="${left + scale}" y1="24" x2="${left + scale}" y2="${height - 10}" stroke="#999"/>${items.join('')}</svg>\n`;
}

async function main() {
  if (process.argv.includes('--render')) {
    // Redraws the chart from the latest results without measuring.
    const latest = JSON.parse(fs.readFileSync(path.join(results, 'latest.json'), 'utf8'));
    fs.writeFileSync(path.join(results, 'latest.svg'), svg(latest.results));
    return;
  }
  if (!fs.existsSync(tool)) throw new Error('build/quillbench is missing: run `node scripts/build.js --target quillbench`');
  const main = await measure([], []);
  const extra = quick ? [] : [
    ['TLS 1.3, no tickets', await measure(['--no-tickets'], ['--setup-only'])],
    ['TLS 1.2 only, no tickets', await measure(['--tls12', '--no-tickets'], ['--setup-only'])],
  ];
  const all = [...rows(main.series), ...floorRows(main.series),
    ...extra.flatMap(([label, r]) => rows(r.series, ` (${label})`))];
  const cpu = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/) || [])[1] || os.arch();
  const machine = `${os.cpus().length} cores, ${cpu}, ${(os.totalmem() / 2 ** 30).toFixed(0)} GiB, Node.js ${process.version}`;
  const date = new Date().toISOString().slice(0, 10);
  const text = table(all, main);
  console.log(`\n${date}, ${machine}${quick ? ' (quick smoke run: figures are not meaningful)' : ''}\n\n${text}\n`);
  if (quick) return;

  fs.mkdirSync(results, { recursive: true });
  fs.writeFileSync(path.join(results, 'latest.json'), `${JSON.stringify({ date, machine, results: all, memory: main.memory,
    max_concurrent: main.max_concurrent, raw: { main: main.series, extra } }, null, 2)}\n`);
  fs.writeFileSync(path.join(results, 'latest.svg'), svg(all));
  const readme = path.join(root, 'README.md');
  const block = `<!-- bench:start -->\nMeasured ${date} on ${machine} (\`npm run bench\`):\n\n${text}\n\n` +
    '![gateway throughput, latency and setup rate as ratios to direct TLS](bench/results/latest.svg)\n<!-- bench:end -->';
  const current = fs.readFileSync(readme, 'utf8');
  if (current.includes('<!-- bench:start -->')) {
    fs.writeFileSync(readme, current.replace(/<!-- bench:start -->[\s\S]*<!-- bench:end -->/, block));
  }
}

main().catch((error) => {
  console.error(`bench: ${error.message}`);
  process.exit(1);
});
