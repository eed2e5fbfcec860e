// Recordings made by sox from the example speech, and what the zek tool makes
// of them: the reference every web test compares bytes with.
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import assert from 'node:assert/strict';

export const pkg = process.env.ZEK_WEB_PACKAGE;
export const work = process.env.ZEK_WEB_WORK;
export const zekBinary = process.env.ZEK_BINARY;
const example = join(process.env.ZEK_SOURCE_DIR, 'docs/example.raw'); // 48 kHz mono speech, 10 s

export const tmp = mkdtempSync(join(work, 'tmp-'));
mkdirSync(join(work, 'artifacts'), { recursive: true });

// 4 s of the example from 1.5 s in (a normal voice, a whisper, a shout), at
// `rate` Hz; a second channel is the first at a quarter of its level, more
// channels quieter still. `sox` adds format arguments (-b 24, -e float...).
export function speech(rate, channels, sox = []) {
  const name = join(tmp, `speech-${rate}-${channels}${sox.join('')}.wav`);
  const remix = channels === 1 ? [] : ['remix', ...Array.from({ length: channels }, (_, c) => `1v${1 / 4 ** c}`)];
  execFileSync('sox', ['-D', '-t', 'raw', '-r', '48000', '-e', 'signed', '-b', '16', '-c', '1', example,
    ...sox, '-r', String(rate), name, 'trim', '1.5', '4', ...remix]);
  return name;
}

// live: the speech-aware mode's short look-ahead, as a stream set up without
// `offline` (the worklet's) levels.
export function zekArgs({ speech, comp, link, live } = {}) {
  return [...(speech ? ['--speech'] : []), ...(speech && live ? ['--live'] : []),
    ...(comp !== undefined ? ['--comp', String(comp)] : []), ...(link ? ['--link'] : [])];
}

// What the zek tool writes for `input` with `options`.
export function zek(input, options) {
  const out = join(tmp, `zek-${Math.random().toString(36).slice(2)}.wav`);
  execFileSync(zekBinary, [...zekArgs(options), input, out], { stdio: 'pipe' });
  return readFileSync(out);
}

export const OPTIONS = [{}, { speech: true }, { comp: 0 }, { comp: 0.37 }, { link: true },
  { speech: true, comp: 0.5, link: true }];

export function wasm(simd) {
  return readFileSync(join(pkg, 'dist', simd ? 'zek-simd.wasm' : 'zek.wasm'));
}

// The 16-bit samples of a WAV file's data chunk (the files here have them).
export function dataOf(wav) {
  const b = Buffer.from(wav);
  const at = b.indexOf('data', 12) + 8;
  return new Int16Array(b.buffer.slice(b.byteOffset + at, b.byteOffset + b.length));
}

// Equal samples, or a message naming the first that differs.
export function sameSamples(actual, expected, what) {
  assert.equal(actual.length, expected.length, `${what}: length`);
  for (let k = 0; k < actual.length; ++k) {
    if (actual[k] !== expected[k]) assert.fail(`${what}: sample ${k} is ${actual[k]}, zek gives ${expected[k]}`);
  }
}
