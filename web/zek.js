// zek in JavaScript: bit-exact fixed-point automatic gain control for speech,
// run as WebAssembly in browsers and in Node 18 or later.
//
//   createZek({ sampleRate, channels, speech, comp, link,
//               target, truePeak })                          a stream
//   levelWav(wavBytes, options)                               a levelled WAV
//   loudness(samples, { sampleRate, channels })               LUFS, LU, dBTP
//   wasmBytes()                                               for the AudioWorklet
import { ZekStream, levelRecording, measureLoudness } from './stream.js';
import { readWav, writeWav } from './wav.js';

export { readWav, writeWav };

// The smallest module that uses a SIMD128 instruction (i8x16.splat): it
// validates only where the engine runs SIMD128.
const SIMD_PROBE = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 8, 1, 6, 0, 65, 0, 253, 15, 11,
]);

export function simdSupported() {
  return WebAssembly.validate(SIMD_PROBE);
}

// The bytes of the module: the SIMD128 build where it runs (or as asked),
// the plain one otherwise. Both give the same samples.
export async function wasmBytes(simd = simdSupported()) {
  const url = new URL(simd ? './dist/zek-simd.wasm' : './dist/zek.wasm', import.meta.url);
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    const b = await readFile(url);
    return b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`zek: cannot load ${url}: ${response.status} ${response.statusText}`);
  return response.arrayBuffer();
}

const compiled = new Map(); // simd or not: the module, compiled once

function moduleFor(wasm) {
  if (wasm instanceof WebAssembly.Module) return wasm;
  if (wasm !== undefined) return new WebAssembly.Module(wasm);
  const simd = simdSupported();
  if (!compiled.has(simd)) {
    const module = wasmBytes(simd).then((bytes) => WebAssembly.compile(bytes));
    module.catch(() => compiled.delete(simd)); // a failed load is tried again next time
    compiled.set(simd, module);
  }
  return compiled.get(simd);
}

// A stream: options { sampleRate (8000..96000), channels (1..256, default 1),
// speech, comp (0..1, default 1), link, offline (the speech-aware mode's long
// look-ahead, for a recording levelled whole), wasm (a WebAssembly.Module or
// the bytes of zek.wasm or zek-simd.wasm: default the best build here) }.
export async function createZek(options = {}) {
  return new ZekStream(await moduleFor(options.wasm), options);
}

// A WAV file levelled as the zek tool levels it: 16-bit samples, the same
// length, rate and channels, the strings and broadcast extension kept.
// Options as createZek's, less sampleRate and channels (the file's).
export async function levelWav(data, options = {}) {
  const wav = readWav(data);
  const zek = await createZek({ ...options, sampleRate: wav.sampleRate, channels: wav.channels, offline: true });
  return writeWav({ ...wav, samples: levelRecording(zek, wav.samples) });
}

// The loudness of interleaved samples (Int16Array, or Float32Array with full
// scale +-1.0): { integratedLufs, loudnessRangeLu, truePeakDbtp,
// samplePeakDbfs, momentaryMaxLufs, shorttermMaxLufs }, null where a figure
// does not exist (silence). Options: sampleRate, channels (default 1), wasm.
export async function loudness(samples, options = {}) {
  return measureLoudness(await moduleFor(options.wasm), samples, options.sampleRate, options.channels ?? 1);
}
