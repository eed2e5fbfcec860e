// The web package's speed: in Node, samples per second of both modules, their
// hop path alone and through the package's stream, against the native
// engine's AVX2 hop path; in headless Chromium (when the tests have installed
// puppeteer-core), the time of one render quantum as the worklet levels it.
//
//   node bench/wasm_bench.mjs [BUILD_DIR]
//
// BUILD_DIR (default build) holds bench/engine_bench and, after ./run-tests,
// web/package (the staged package), web/tree/web/dist (the engine's wasm builds) and
// web/deps (puppeteer-core). Needs emcc.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const build = resolve(process.argv[2] ?? 'build');
const pkg = join(build, 'web/package');
const { createZek } = await import(join(pkg, 'zek.js'));
const median = (v) => [...v].sort((a, b) => a - b)[v.length >> 1];

// 20 s of the example speech, 48 kHz mono.
const raw = readFileSync(new URL('../docs/example.raw', import.meta.url));
const once = new Int16Array(raw.buffer, raw.byteOffset, raw.length >> 1);
const signal = new Int16Array(2 * once.length);
signal.set(once);
signal.set(once, once.length);
const out = new Int16Array(signal.length);

// Each measurement: a function that levels the 20 s once (the hop path: its
// whole hops), and the samples it levels. zek.process in
// 4096-frame chunks and in one call, into an array written before; and the
// hop path alone, as engine_bench times it natively (wasm_hops.cpp over the
// engine that build.sh compiled for each module, in BUILD_DIR/web/tree/web/dist/.build).
const runs = {};
const hopsWork = mkdtempSync(join(tmpdir(), 'zek-hops-'));
for (const [name, file, flags, tree] of [['simd128', 'zek-simd.wasm', ['-msimd128'], 'simd'], ['plain', 'zek.wasm', [], 'plain']]) {
  const wasmFile = join(hopsWork, `${name}.wasm`);
  execFileSync('emcc', ['-O3', '-std=c++20', ...flags, '-I', new URL('../src', import.meta.url).pathname,
    new URL('wasm_hops.cpp', import.meta.url).pathname, join(build, `web/tree/web/dist/.build/${tree}/libagc.a`),
    '--no-entry', '-sSTANDALONE_WASM', '-sTOTAL_STACK=65536', '-o', wasmFile]);
  const x = new WebAssembly.Instance(new WebAssembly.Module(readFileSync(wasmFile)), {}).exports;
  x._initialize?.();
  new Int16Array(x.memory.buffer, x.signal(), signal.length).set(signal);
  const hops = Math.floor(signal.length / 240);
  runs[`${name} hop path`] = [() => x.hops(hops, name === 'simd128' ? 1 : 0), hops * 240];
  const zek = await createZek({ sampleRate: 48000, wasm: readFileSync(join(pkg, 'dist', file)) });
  for (const [what, chunk] of [['4096-frame chunks', 4096], ['the whole 20 s', signal.length]]) {
    runs[`${name} ${what}`] = [() => {
      for (let at = 0; at < signal.length; at += chunk) {
        const end = Math.min(at + chunk, signal.length);
        zek.process(signal.subarray(at, end), out.subarray(at, end));
      }
    }, signal.length];
  }
}

// Blocks of rounds of every wasm measurement, each block followed by one run
// of the native engine (the AVX2 hop path, and the stream on the best path
// this CPU has), so that both sides see the same load on a shared machine;
// the first two blocks, while V8 compiles its optimised code, left out.
const rates = {};
const native = { 'BM_fast/2': [], 'BM_stream/4096': [] };
for (let block = 0; block < 8; ++block) {
  for (let round = 0; round < 5; ++round) {
    for (const [name, [run, samples]] of Object.entries(runs)) {
      const t0 = performance.now();
      run();
      if (block >= 2) (rates[name] ??= []).push(samples / ((performance.now() - t0) / 1000));
    }
  }
  const report = JSON.parse(execFileSync(join(build, 'bench/engine_bench'), [
    '--benchmark_filter=BM_fast/2$|BM_stream/4096$', '--benchmark_min_time=0.2', '--benchmark_format=json'],
  { stdio: ['ignore', 'pipe', 'ignore'] }));
  if (block >= 2) for (const b of report.benchmarks) native[b.name].push(b.items_per_second);
}
const avx2 = median(native['BM_fast/2']);

const G = (r) => `${(r / 1e9).toFixed(3)} G`;
console.log('Node', process.version, '- samples per second, medians of 30 rounds over 20 s of 48 kHz mono speech');
for (const name in rates) {
  console.log(`  wasm ${name.padEnd(30)} ${G(median(rates[name]))}  ${(median(rates[name]) / avx2).toFixed(2)} x AVX2`);
}
console.log(`  native AVX2 hop path (BM_fast/2)    ${G(avx2)}  1.00 x AVX2`);
console.log(`  native stream, best path here (BM_stream/4096)  ${G(median(native['BM_stream/4096']))}`);
for (const file of ['zek-simd.wasm', 'zek.wasm']) {
  console.log(`  ${file}: ${readFileSync(join(pkg, 'dist', file)).length} bytes`);
}

// Chromium: one 128-frame stereo quantum at 48 kHz as the worklet runs it
// (take, level, give), timed over 30000 quanta on the page's thread.
const deps = join(build, 'web/deps');
if (!existsSync(join(deps, 'node_modules/puppeteer-core'))) {
  console.log('Chromium: skipped (run ./run-tests first, which installs puppeteer-core)');
  process.exit(0);
}
const puppeteer = createRequire(join(deps, '/'))('puppeteer-core');
const server = spawn('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', pkg],
  { stdio: ['ignore', 'pipe', 'ignore'] });
const origin = await new Promise((ok) => server.stdout.on('data', (d) => {
  const port = /port (\d+)/.exec(d.toString());
  if (port) ok(`http://127.0.0.1:${port[1]}`);
}));
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  userDataDir: mkdtempSync(join(tmpdir(), 'zek-bench-')),
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = await browser.newPage();
  await page.goto(`${origin}/demo/`);
  const result = await page.evaluate(async () => {
    const { wasmBytes } = await import('../zek.js');
    const { ZekStream } = await import('../stream.js');
    const results = {};
    for (const simd of [true, false]) {
      const z = new ZekStream(new WebAssembly.Module(await wasmBytes(simd)), { sampleRate: 48000, channels: 2 });
      // 1000 quanta of a tone, loud and then faint by turns, on both channels.
      const signal = Float32Array.from({ length: 128000 }, (_, t) => 0.3 * Math.sin(t * 0.05) * ((t >> 14) % 3 ? 1 : 0.01));
      const output = [new Float32Array(128), new Float32Array(128)];
      const times = [];
      for (let round = 0; round < 40; ++round) {
        const t0 = performance.now();
        for (let q = 0; q < 1000; ++q) {
          const quantum = signal.subarray(128 * q, 128 * q + 128);
          z.take([quantum, quantum], 128);
          z.level(128);
          z.give(output, 128);
        }
        if (round >= 10) times.push((performance.now() - t0) / 1000);
      }
      times.sort((a, b) => a - b);
      results[simd ? 'simd128' : 'plain'] = times[times.length >> 1];
    }
    return { results, agent: navigator.userAgent };
  });
  console.log(result.agent.match(/Chrom\S+/)[0], '- one 128-frame stereo quantum at 48 kHz (budget 2667 us), ' +
    'median of 30 rounds of 1000');
  for (const [name, ms] of Object.entries(result.results)) {
    console.log(`  wasm ${name.padEnd(8)} ${(ms * 1000).toFixed(2)} us  ${((ms * 1000 * 100) / 2667).toFixed(2)} % of the budget`);
  }
} finally {
  await browser.close();
  server.kill();
}
