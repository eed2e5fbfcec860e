// The npm package in Node against the zek tool: same bytes at every rate,
// channel count, option and chunking, with both modules; its refusals; and
// the packed tarball installed into a fresh folder.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { cpSync, mkdirSync, readFileSync, readdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { OPTIONS, dataOf, pkg, sameSamples, speech, tmp, wasm, work, zek, zekArgs, zekBinary } from './fixtures.mjs';

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

// WAV files built chunk by chunk, as a hostile or careless writer might.
const le = (bytes, v) => {
  const b = Buffer.alloc(bytes);
  if (bytes === 2) b.writeUInt16LE(v);
  else b.writeUInt32LE(v);
  return b;
};
const chunk = (id, body, size = body.length) =>
  Buffer.concat([Buffer.from(id, 'latin1'), le(4, size), body, Buffer.alloc(body.length & 1)]);
function fmt({ tag = 1, channels = 1, rate = 16000, bits = 16, align = channels * Math.ceil(bits / 8), mask } = {}) {
  const extensible = mask === undefined ? [] : [le(2, 22), le(2, bits), le(4, mask), le(2, tag),
    Buffer.from('000000001000800000aa00389b71', 'hex')];
  return chunk('fmt ', Buffer.concat([le(2, mask === undefined ? tag : 0xfffe), le(2, channels), le(4, rate),
    le(4, rate * align), le(2, align), le(2, bits), ...extensible]));
}
function riff(chunks, size) {
  const body = Buffer.concat([Buffer.from('WAVE'), ...chunks]);
  return Buffer.concat([Buffer.from('RIFF'), le(4, size ?? body.length), body]);
}
// 60000 bytes of a swelling tone as 16-bit samples, starting at 0.
const TONE = Buffer.alloc(60000);
for (let k = 0; k < 30000; ++k) TONE.writeInt16LE(Math.round((k / 4) * Math.sin(k / 7)), 2 * k);

// What the zek tool makes of `bytes`, from a file or through a pipe: its
// output, or its refusal.
function zekOn(bytes, pipe) {
  const input = join(tmp, 'crafted.wav');
  const out = join(tmp, `crafted-${pipe ? 'pipe' : 'file'}.out.wav`);
  writeFileSync(input, bytes);
  writeFileSync(out, 'an earlier result');
  const r = pipe ? spawnSync('sh', ['-c', `cat "$1" | "$2" /dev/stdin "$3"`, 'sh', input, zekBinary, out])
    : spawnSync(zekBinary, [input, out]);
  return r.status === 0 ? { out: readFileSync(out) } : { status: r.status, error: r.stderr.toString() };
}

test('crafted WAV headers: the zek tool, from a file and a pipe, and levelWav read each alike', async () => {
  const list = chunk('LIST', Buffer.from('INFOICMT\x06\x00\x00\x00hello\x00', 'latin1'));
  // Where a header gives no length, zek writes RF64 that turns back into WAV
  // (a JUNK chunk where the ds64 was): then the samples are compared.
  const open = { samplesOnly: true };
  // [what, bytes, frames read or the refusal's reason, { pipe: what a pipe gives if not that, samplesOnly }]
  const cases = [
    ['the plain header', riff([fmt(), chunk('data', TONE)]), 30000],
    ['data size 0 with the RIFF size filled in, samples after it', riff([fmt(), chunk('data', TONE, 0)]), 30000, open],
    ['data and RIFF sizes 0, as flac -d writes into a pipe', riff([fmt(), chunk('data', TONE, 0)], 0), 30000, open],
    ['data size 0, then a LIST chunk: an empty recording', riff([fmt(), chunk('data', Buffer.alloc(0)), list]), 0],
    ['two fmt chunks', riff([fmt({ rate: 8000 }), fmt({ channels: 2 }), chunk('data', TONE)]), /a second fmt chunk/],
    ['two fmt chunks that agree', riff([fmt(), fmt(), chunk('data', TONE)]), /a second fmt chunk/],
    ['data before fmt', riff([chunk('data', TONE), fmt()]), /come before any fmt chunk/],
    ['two data chunks', riff([fmt(), chunk('data', TONE.subarray(0, 20000)), chunk('data', TONE.subarray(20000))]),
      /a second data chunk/, { pipe: 10000 }],
    ['bitsPerSample 0', riff([fmt({ bits: 0, align: 2 }), chunk('data', TONE)]), /0-bit integer samples/],
    ['16-bit floats', riff([fmt({ tag: 3, bits: 16 }), chunk('data', TONE)]), /16-bit floating-point samples/],
    ['blockAlign 4 for 16-bit mono', riff([fmt({ align: 4 }), chunk('data', TONE)]), 30000],
    ['blockAlign 2 for 8-bit mono', riff([fmt({ bits: 8, align: 2 }), chunk('data', TONE)]), 60000],
    ['blockAlign 2 for 24-bit mono', riff([fmt({ bits: 24, align: 2 }), chunk('data', TONE)]), 20000],
    ['12 bits in 2 bytes', riff([fmt({ bits: 12 }), chunk('data', TONE)]), 30000],
    ['3 channels, a mask of 4 positions', riff([fmt({ channels: 3, mask: 0x33 }), chunk('data', TONE)]), 10000],
    ['4 channels, a mask of 3 positions', riff([fmt({ channels: 4, mask: 0x80000007 }), chunk('data', TONE)]), 7500],
    ['6 channels, WAVE_FORMAT_EXTENSIBLE without a mask', riff([fmt({ channels: 6, mask: 0 }), chunk('data', TONE)]),
      5000],
    ['8 channels in a plain PCM header', riff([fmt({ channels: 8 }), chunk('data', TONE)]), 3750],
  ];
  for (const [what, bytes, expected, { pipe: fromPipe = expected, samplesOnly = false } = {}] of cases) {
    const file = zekOn(bytes, false);
    const pipe = zekOn(bytes, true);
    let js;
    try {
      js = { out: Buffer.from(await levelWav(bytes)) };
    } catch (e) {
      js = { error: e.message };
    }
    const readers = [['zek', file, expected], ['zek through a pipe', pipe, fromPipe], ['levelWav', js, expected]];
    for (const [who, got, want] of readers) {
      if (want instanceof RegExp) {
        assert.match(got.error ?? 'no refusal', want, `${what}: ${who}`);
        if (who !== 'levelWav') assert.equal(got.status, 1, `${what}: ${who}'s exit status`);
      } else {
        assert.ok(got.out, `${what}: ${who} refused it: ${got.error}`);
        const { channels, samples } = readWav(got.out);
        assert.equal(samples.length / channels, want, `${what}: ${who}'s frames`);
      }
    }
    if (js.out && samplesOnly) sameSamples(dataOf(js.out), dataOf(file.out), `${what}: levelWav`);
    else if (js.out) {
      assert.ok(js.out.equals(file.out), `${what}: levelWav's file differs from zek's at byte ` +
        `${js.out.findIndex((b, k) => b !== file.out[k])}`);
    }
    if (pipe.out && fromPipe === expected) sameSamples(dataOf(pipe.out), dataOf(file.out), `${what}: through a pipe`);
  }
});

test('a stream refuses an out that overlaps its input elsewhere, and levels in place', async () => {
  const z = await createZek({ sampleRate: 48000, wasm: wasm(true) });
  const { samples } = readWav(riff([fmt({ rate: 48000 }), chunk('data', TONE)]));
  const expected = z.process(samples);
  const n = samples.length;
  // [what, input and out as views of one buffer, whether allowed]
  const cases = [
    ['out 50 samples ahead', (b) => [b.subarray(0, n), b.subarray(50, n + 50)], false],
    ['out 50 samples behind', (b) => [b.subarray(50, n + 50), b.subarray(0, n)], false],
    ['floats, out 50 ahead', () => [new Float32Array(n + 50)].flatMap((f) => [f.subarray(0, n), f.subarray(50)]),
      false],
    ['in place', (b) => [b.subarray(0, n), b.subarray(0, n)], true],
    ['another view of the same samples', (b) => [b.subarray(0, n), new Int16Array(b.buffer, 0, n)], true],
    ['out just after the input', (b) => [b.subarray(0, n), b.subarray(n, 2 * n)], true],
  ];
  for (const [what, views, allowed] of cases) {
    z.reset();
    const [input, out] = views(new Int16Array(2 * n));
    if (!allowed) assert.throws(() => z.process(input, out), { name: 'RangeError', message: /shares memory/ }, what);
    else sameSamples(z.process((input.set(samples), input), out), expected, what);
  }
});

test('integer options past 32 bits are refused, not wrapped; comp takes every number from 0 to 1', async () => {
  const at = (options) => ({ sampleRate: 48000, wasm: wasm(false), ...options });
  for (const [options, message] of [[{ sampleRate: 2 ** 32 + 48000 }, /sample rate out of range/],
    [{ channels: 2 ** 32 + 1 }, /channel count out of range/], [{ comp: -1e-300 }, /comp is a number from 0 to 1/],
    [{ comp: 1 + 2 ** -52 }, /comp is a number from 0 to 1/]]) {
    await assert.rejects(createZek(at(options)), { name: 'RangeError', message }, JSON.stringify(options));
  }
  // Tiny weights are weights of 0, as 0 itself: the same samples.
  const { samples } = readWav(riff([fmt({ rate: 48000 }), chunk('data', TONE)]));
  const none = (await createZek(at({ comp: 0 }))).process(samples);
  for (const comp of [1e-50, -0]) sameSamples((await createZek(at({ comp }))).process(samples), none, `comp ${comp}`);
  const z = await createZek(at({}));
  assert.throws(() => z.gain(2 ** 32), { name: 'RangeError', message: /invalid argument/ }, 'gain(2 ** 32)');
});

test('writeWav refuses what a WAV header cannot say', () => {
  const ok = { sampleRate: 8000, channels: 2, samples: new Int16Array(4) };
  const refused = [
    ['70000 channels', { channels: 70000, samples: new Int16Array(7e4) }, RangeError, /1 to 32767 channels, not 70000/],
    ['3 samples for 2 channels', { samples: new Int16Array(3) }, RangeError, /3 samples are not whole frames of 2/],
    ['rate -1', { sampleRate: -1 }, RangeError, /sampleRate is 1 to 1073741823 Hz in a WAV file of 2 channels, not -1/],
    ['a fractional rate', { sampleRate: 44100.5 }, TypeError, /sampleRate must be an integer/],
    ['Float32 samples', { samples: new Float32Array([0.1, 2.5]) }, TypeError, /Int16Array/],
    ['a data chunk of its own', { chunks: [{ id: 'data', bytes: new Uint8Array(2) }] }, RangeError, /data chunk/],
  ];
  for (const [what, change, type, message] of refused) {
    assert.throws(() => writeWav({ ...ok, ...change }), { name: type.name, message }, what);
  }
});

// The tarball npm pack made in web/ (in the build step), installed into a new
// project as the README does, and a script there: an .mjs file, an ES module
// whatever the project's package.json says.
test('the packed tarball installs into a fresh folder and levels as the tool does', async () => {
  const tarball = readdirSync(work).find((f) => /^zek-.*\.tgz$/.test(f));
  assert.ok(tarball, `no tarball in ${work}`);
  const app = join(tmp, 'app');
  mkdirSync(app);
  writeFileSync(join(app, 'package.json'), '{}');
  execFileSync('npm', ['install', '--no-audit', '--no-fund', '--offline', join(work, tarball)], { cwd: app });
  const file = speech(48000, 1);
  writeFileSync(join(app, 'level.mjs'), `import { readFileSync, writeFileSync } from 'node:fs';
import { levelWav } from 'zek';
writeFileSync('out.wav', Buffer.from(await levelWav(readFileSync(${JSON.stringify(file)}), { speech: true })));`);
  execFileSync('node', ['level.mjs'], { cwd: app });
  assert.ok(readFileSync(join(app, 'out.wav')).equals(zek(file, { speech: true })));
  for (const f of ['zek.d.ts', 'zek-processor.js', 'dist/zek.wasm', 'dist/zek-simd.wasm']) {
    readFileSync(join(app, 'node_modules/zek', f));
  }
});

// npm pack builds what the package ships (its prepack runs build.sh): where
// that cannot be done, here web/ alone without the engine's sources, it must
// fail and make no tarball, rather than pack one without its modules.
test('npm pack refuses to make a tarball when the modules cannot be built', () => {
  const alone = join(tmp, 'web-alone');
  cpSync(join(process.env.ZEK_SOURCE_DIR, 'web'), alone, { recursive: true, filter: (f) => !/(\/dist|\.tgz)$/.test(f) });
  assert.throws(() => execFileSync('npm', ['pack', '--silent'], { cwd: alone, stdio: 'pipe' }));
  assert.deepEqual(readdirSync(alone).filter((f) => f.endsWith('.tgz')), []);
});
