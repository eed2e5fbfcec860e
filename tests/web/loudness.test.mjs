// The package's loudness in Node: the module's meter gives zek-report's
// figures to the thousandth, at several rates and channel counts and from
// both sample types; null for silence; and the stream's loudness options.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pkg, speech, wasm } from './fixtures.mjs';

const { createZek, loudness, readWav } = await import(join(pkg, 'zek.js'));

// zek-report's figures of IN (its JSON), keys as the package names them.
// OUT is IN itself, which zek does not make of it: exit status 3.
function reported(file) {
  const run = spawnSync(process.env.ZEK_REPORT_BINARY, ['--json', file, file], { encoding: 'utf8' });
  assert.equal(run.status, 3, run.stderr);
  const json = JSON.parse(run.stdout);
  const i = json.input;
  return {
    integratedLufs: i.integrated_lufs, loudnessRangeLu: i.loudness_range_lu, truePeakDbtp: i.true_peak_dbtp,
    samplePeakDbfs: i.sample_peak_dbfs, momentaryMaxLufs: i.momentary_max_lufs, shorttermMaxLufs: i.shortterm_max_lufs,
  };
}

test('loudness gives zek-report\'s figures at every rate and channel count, from either sample type', async () => {
  for (const [rate, channels] of [[48000, 1], [44100, 2], [16000, 1], [96000, 3]]) {
    const file = speech(rate, channels);
    const { samples } = readWav(readFileSync(file));
    const expected = reported(file);
    for (const simd of [true, false]) {
      assert.deepEqual(await loudness(samples, { sampleRate: rate, channels, wasm: wasm(simd) }), expected, `${rate} Hz`);
    }
    const floats = Float32Array.from(samples, (s) => s / 32768);
    assert.deepEqual(await loudness(floats, { sampleRate: rate, channels }), expected, `${rate} Hz, floats`);
  }
});

test('silence has no loudness; bad arguments are refused', async () => {
  const figures = await loudness(new Int16Array(48000 * 2), { sampleRate: 48000 });
  assert.ok(Object.values(figures).every((v) => v === null));
  await assert.rejects(loudness(new Int16Array(10), { sampleRate: 7999 }), RangeError);
  await assert.rejects(createZek({ sampleRate: 48000, target: -80 }), /target is a number from -70 to -5/);
  await assert.rejects(createZek({ sampleRate: 48000, truePeak: 1 }), /truePeak is a number from -9 to 0/);
});

test('a stream with a ceiling holds its true peaks under it, and its latency says the look-ahead', async () => {
  const file = speech(48000, 1);
  const { samples } = readWav(readFileSync(file));
  const plain = await createZek({ sampleRate: 48000 });
  const z = await createZek({ sampleRate: 48000, truePeak: -3, target: -20 });
  assert.equal(z.latency, plain.latency + 111);
  const out = Int16Array.from([...z.process(samples), ...z.flush()]);
  assert.ok((await loudness(out, { sampleRate: 48000 })).truePeakDbtp <= -3);
});
