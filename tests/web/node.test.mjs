// The npm package in Node against the zek tool: same bytes at every rate,
// channel count, option and chunking, with both modules; its refusals; and
// the packed tarball installed into a fresh folder.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { OPTIONS, dataOf, pkg, sameSamples, speech, tmp, wasm, work, zek, zekArgs } from './fixtures.mjs';

const { createZek, levelWav, readWav, writeWav, simdSupported } = await import(join(pkg, 'zek.js'));

const BUILDS = [{ name: 'simd128', simd: true }, { name: 'plain', simd: false }];

// A recording through a stream in chunks of `chunk` frames (a function:
// chunk sizes in turn), in the given sample type, with `out` arrays or not:
// the silence of the latency, then the recording levelled in place.
async function streamed(file, options, { simd, chunk, float = false, inPlace = false }) {
  const { sampleRate, channels, samples } = readWav(readFileSync(file));
  const z = await createZek({ ...options, sampleRate, channels, wasm: wasm(simd) });
  const input = float ? Float32Array.from(samples, (s) => s / 32768) : samples;
  const parts = [];
  for (let at = 0, k = 0; at < input.length; ++k) {
    const piece = input.slice(at, Math.min(input.length, at + chunk(k) * channels));
    parts.push(z.process(piece, inPlace ? piece : undefined));
    at += piece.length;
  }
  parts.push(z.flush());
  const all = parts.flatMap((p) => Array.from(p, (s) => (float ? s * 32768 : s)));
  return { z, out: Int16Array.from(all).subarray(z.latency * channels) };
}

test('SIMD128 is detected here, and both modules import nothing', () => {
  assert.equal(simdSupported(), true);
  for (const { simd } of BUILDS) assert.deepEqual(WebAssembly.Module.imports(new WebAssembly.Module(wasm(simd))), []);
});

test('the SIMD128 path equals the plain one on the engine fuzzer\'s seeds and 20000 mutations', () => {
  execFileSync('node', [join(work, 'fuzz_engine_simd128.js'), join(process.env.ZEK_SOURCE_DIR, 'tests/fuzz/corpus/fuzz_engine'),
    '20000'], { stdio: 'pipe' });
});

test('levelWav gives the zek tool\'s file, byte for byte, at every rate, channel count and option', async () => {
  for (const rate of [8000, 16000, 44100, 48000, 96000]) {
    for (const channels of [1, 2]) {
      const file = speech(rate, channels);
      for (const options of OPTIONS) {
        const expected = zek(file, options);
        for (const { name, simd } of BUILDS) {
          const got = Buffer.from(await levelWav(readFileSync(file), { ...options, wasm: wasm(simd) }));
          assert.ok(got.equals(expected), `${name} ${rate} Hz ${channels} ch ${zekArgs(options).join(' ')}: ` +
            `${got.length} bytes, zek ${expected.length}; first difference at byte ` +
            `${got.findIndex((b, k) => b !== expected[k])}`);
        }
      }
    }
  }
});

test('a stream gives the same samples in any chunks, as Int16Array or Float32Array, in place or not', async () => {
  let seed = 7;
  const random = () => ((seed = (seed * 1103515245 + 12345) % 2 ** 31) % 5000) + 1;
  const chunks = { 1: () => 1, 128: () => 128, 4096: () => 4096, random };
  for (const [rate, channels] of [[44100, 2], [8000, 1]]) {
    const file = speech(rate, channels);
    const options = { speech: true, link: channels > 1 };
    const expected = dataOf(zek(file, { ...options, live: true })); // a stream looks ahead as a live one
    for (const { name, simd } of BUILDS) {
      for (const [size, chunk] of Object.entries(chunks)) {
        for (const variant of [{}, { float: true }, { inPlace: true }]) {
          const { out } = await streamed(file, options, { simd, chunk, ...variant });
          sameSamples(out, expected, `${name} ${rate} Hz chunks of ${size} ${JSON.stringify(variant)}`);
        }
      }
    }
  }
});

test('reset starts a new recording exactly; gain follows the level', async () => {
  const file = speech(16000, 2);
  const { z } = await streamed(file, {}, { simd: true, chunk: () => 1000 });
  assert.throws(() => z.process(new Int16Array(2)), /flushed/);
  assert.throws(() => z.flush(), /flushed/);
  z.reset();
  const { samples } = readWav(readFileSync(file));
  const again = [...z.process(samples), ...z.flush()].slice(z.latency * 2);
  sameSamples(Int16Array.from(again), dataOf(zek(file)), 'after reset');
  assert.ok(z.gain(0) > 0 && z.gain(1) > z.gain(0) + 6, `gains ${z.gain(0)} and ${z.gain(1)} dB: the quieter channel is raised more`);
  assert.equal(z.latency, 160);
});

test('readWav takes the depths the tool takes, as the tool converts them', async () => {
  const formats = [['-b', '8'], ['-b', '24'], ['-b', '32'], ['-e', 'floating-point', '-b', '32'],
    ['-e', 'floating-point', '-b', '64']];
  for (const sox of formats) {
    const file = speech(22050, 2, sox);
    sameSamples(dataOf(await levelWav(readFileSync(file))), dataOf(zek(file)), sox.join(' '));
  }
  // Three channels: WAVE_FORMAT_EXTENSIBLE in and out, the channel mask kept.
  const file = speech(48000, 3);
  const got = await levelWav(readFileSync(file), { link: true });
  sameSamples(dataOf(got), dataOf(zek(file, { link: true })), '3 channels');
  const back = readWav(got);
  assert.equal(back.channels, 3);
  assert.equal(back.channelMask, readWav(readFileSync(file)).channelMask);
});

test('levelWav keeps the strings and the broadcast extension, and refuses a file cut short as zek does', async () => {
  const { sampleRate, channels, samples } = readWav(readFileSync(speech(16000, 1)));
  const info = new TextEncoder().encode('INFOICMT\x06\x00\x00\x00hello\x00');
  const bext = new Uint8Array(602).fill(65);
  const wav = writeWav({ sampleRate, channels, samples, chunks: [{ id: 'LIST', bytes: info }, { id: 'bext', bytes: bext }] });
  const out = readWav(await levelWav(wav));
  assert.deepEqual(out.chunks.map((c) => [c.id, Buffer.from(c.bytes).toString('latin1')]),
    [['LIST', Buffer.from(info).toString('latin1')], ['bext', 'A'.repeat(602)]]);
  // Cut short mid-frame, and shorter than the stream's latency: both refused.
  for (const bytes of [wav.byteLength - 1001, 44 + 602 + 8 + 22 + 200]) {
    const cut = join(tmp, `cut-${bytes}.wav`);
    writeFileSync(cut, Buffer.from(wav).subarray(0, bytes));
    await assert.rejects(levelWav(readFileSync(cut)), /the file is cut short/);
    assert.throws(() => zek(cut), /the file is cut short/);
  }
  // A NaN in a float file: refused by both, naming the same sample.
  const nan = speech(16000, 1, ['-e', 'floating-point', '-b', '32']);
  const bytes = readFileSync(nan);
  bytes.writeFloatLE(NaN, bytes.indexOf('data') + 8 + 4 * 700);
  writeFileSync(nan, bytes);
  await assert.rejects(levelWav(bytes), /NaN at frame 700, channel 0/);
  assert.throws(() => zek(nan), /frame 700, channel 0/);
  // A streaming writer's "until the end" takes what follows, as in the tool.
  const open = Buffer.from(wav);
  open.writeUInt32LE(0xffffffff, open.indexOf('data') + 4);
  const streamed = join(tmp, 'streamed.wav');
  writeFileSync(streamed, open);
  sameSamples(dataOf(await levelWav(open)), dataOf(zek(streamed)), 'data size 0xFFFFFFFF');
});

test('what cannot be levelled is refused with a reason', async () => {
  const refused = [
    [{ sampleRate: 7999 }, RangeError, /sample rate out of range/],
    [{ sampleRate: 48000, channels: 0 }, RangeError, /channel count out of range/],
    [{ sampleRate: 48000, channels: 257 }, RangeError, /channel count out of range/],
    [{ sampleRate: 48000.5 }, TypeError, /sampleRate must be an integer/],
    [{ sampleRate: 48000, comp: 1.01 }, RangeError, /comp is a number from 0 to 1/],
    [{ sampleRate: 48000, comp: NaN }, RangeError, /comp/],
    [{ sampleRate: 48000, comp: '0.5' }, RangeError, /comp/],
  ];
  for (const [options, type, message] of refused) await assert.rejects(createZek(options), { name: type.name, message });
  assert.ok(await createZek({ sampleRate: 96000, channels: 256 }));

  const z = await createZek({ sampleRate: 48000, channels: 2 });
  assert.throws(() => z.process(new Float32Array([0, NaN])), /NaN at frame 0, channel 1/);
  assert.throws(() => z.process(new Int16Array(3)), /not whole frames of 2 channels/);
  assert.throws(() => z.process(new Uint8Array(4)), TypeError);
  assert.throws(() => z.process(new Int16Array(4), new Float32Array(4)), /out must be 4 samples in an Int16Array/);
  assert.throws(() => z.gain(2), /invalid argument/);

  const wav = Buffer.from(writeWav({ sampleRate: 8000, channels: 1, samples: new Int16Array(10) }));
  const ulaw = Buffer.from(wav);
  ulaw.writeUInt16LE(7, 20);
  const noData = Buffer.from(wav);
  noData.write('date', 36);
  for (const [bytes, message] of [[Buffer.from('not a wav file at all'), /no RIFF WAVE header/],
    [ulaw, /mu-law audio/], [noData, /no data chunk/]]) {
    await assert.rejects(levelWav(bytes), message);
  }
});

test('the packed tarball installs into a fresh folder and levels as the tool does', async () => {
  const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination', tmp], { cwd: pkg }).toString().trim();
  const app = join(tmp, 'app');
  mkdirSync(app);
  writeFileSync(join(app, 'package.json'), '{ "type": "module" }');
  execFileSync('npm', ['install', '--no-audit', '--no-fund', '--offline', join(tmp, tarball)], { cwd: app });
  const file = speech(48000, 1);
  writeFileSync(join(app, 'level.js'), `import { readFileSync, writeFileSync } from 'node:fs';
import { levelWav } from 'zek';
writeFileSync('out.wav', Buffer.from(await levelWav(readFileSync(${JSON.stringify(file)}), { speech: true })));`);
  execFileSync('node', ['level.js'], { cwd: app });
  assert.ok(readFileSync(join(app, 'out.wav')).equals(zek(file, { speech: true })));
  for (const f of ['zek.d.ts', 'zek-processor.js', 'dist/zek.wasm', 'dist/zek-simd.wasm']) {
    readFileSync(join(app, 'node_modules/zek', f));
  }
});
