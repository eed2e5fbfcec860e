// One zek stream in an instance of its own of the WebAssembly module, and the
// conversions between JavaScript's sample arrays and the module's 16 bits.
// Shared by the package (zek.js) and the AudioWorklet processor, so both run
// the same code on every sample.

// Adding 1.5 * 2^52 to a double of magnitude below 2^51 leaves no bits for
// its fraction: the sum is rounded to an integer, halves to even, and taking
// the constant away again is exact.
const ROUND = 6755399441055744;

// Samples per call into the module: small enough that what is copied in is
// still in the cache when the engine reads it, and its output when copied out.
const BLOCK = 16384;

// Float samples (full scale +-1.0) to 16 bits: scaled by 32768, rounded to
// nearest with halves to even, clipped to -32768..32767, NaN as 0: as the zek
// tool converts floating-point files. n samples of src from `from`, with
// stride `step`, into dst from `to`, with stride `stride`.
export function floatToInt16(src, from, step, dst, to, stride, n) {
  for (let k = 0; k < n; ++k) {
    let v = src[from + k * step] * 32768;
    if (v !== v) v = 0;
    v = v > -32768 ? v : -32768;
    v = v < 32767 ? v : 32767;
    dst[to + k * stride] = v + ROUND - ROUND;
  }
}

// And back: divided by 32768, exactly.
function int16ToFloat(src, from, step, dst, to, stride, n) {
  for (let k = 0; k < n; ++k) dst[to + k * stride] = src[from + k * step] / 32768;
}

function firstNaN(samples) {
  for (let k = 0; k < samples.length; ++k) if (samples[k] !== samples[k]) return k;
  return -1;
}

// An integer argument as the module takes it, a 32-bit int. One past that
// range would wrap modulo 2^32 on the way in (2**32 + 48000 would run at
// 48 kHz), so it goes in as -1, which no argument of the module accepts: it
// is refused as any other value out of range is, with the module's reason.
function integer(value, name) {
  if (!Number.isInteger(value)) throw new TypeError(`zek: ${name} must be an integer, not ${value}`);
  return value === (value | 0) ? value : -1;
}

// comp 0..1 as the zek tool's --comp takes it: any number from 0 to 1, tiny
// ones included (they give a weight of 0), read in single precision, scaled
// to Q15 and truncated, so that 1 gives the built-in 32766. The range is
// checked on the number as given: -1e-300 is below 0 even though its single
// precision value is -0.
function compQ15(comp) {
  if (typeof comp !== 'number' || !(comp >= 0 && comp <= 1)) {
    throw new RangeError(`zek: comp is a number from 0 to 1, not ${comp}`);
  }
  return Math.trunc(Math.fround(comp) * 32766);
}

// Whether two views of samples share memory without being the same samples.
// In place is sound (each block is copied in before its output is copied
// out); any other overlap would have each block's output overwrite input not
// yet levelled.
function overlapsElsewhere(a, b) {
  if (a.buffer !== b.buffer || a.byteOffset === b.byteOffset) return false;
  return a.byteOffset < b.byteOffset + b.byteLength && b.byteOffset < a.byteOffset + a.byteLength;
}

// A number of decibels (or LUFS) from low to high as thousandths, for the
// module; undefined or null: off.
function milliDecibels(value, name, low, high) {
  if (value === undefined || value === null) return null;
  if (typeof value !== 'number' || !(value >= low && value <= high)) {
    throw new RangeError(`zek: ${name} is a number from ${low} to ${high}, not ${value}`);
  }
  return Math.round(value * 1000);
}

export class ZekStream {
  // module: the compiled zek.wasm or zek-simd.wasm.
  constructor(module, { sampleRate, channels = 1, speech = false, comp = 1, link = false, offline = false, target,
    truePeak } = {}) {
    const instance = new WebAssembly.Instance(module, {});
    this._x = instance.exports;
    if (this._x._initialize) this._x._initialize();
    this.sampleRate = integer(sampleRate, 'sampleRate');
    this.channels = integer(channels, 'channels');
    const lufs = milliDecibels(target, 'target', -70, -5), ceiling = milliDecibels(truePeak, 'truePeak', -9, 0);
    this._x.zek_set_loudness(lufs === null ? 0 : 1, lufs ?? 0, ceiling === null ? 0 : 1, ceiling ?? 0);
    this._check(this._x.zek_open(this.sampleRate, this.channels, compQ15(comp), speech ? 1 : 0, link ? 1 : 0,
      offline ? 1 : 0),
      `sampleRate ${sampleRate}, channels ${channels}`);
    this.latency = this._x.zek_latency();
    this._frames = this._x.zek_buffer_frames();
    // The memory never grows, so the views stay valid.
    const memory = this._x.memory.buffer;
    this._in = new Int16Array(memory, this._x.zek_input(), this._frames * this.channels);
    this._out = new Int16Array(memory, this._x.zek_output(), this._frames * this.channels);
    this._lastType = Int16Array;
  }

  _check(result, what) {
    if (result >= 0) return result;
    const bytes = new Uint8Array(this._x.memory.buffer, this._x.zek_strerror(result));
    const message = new TextDecoder().decode(bytes.subarray(0, bytes.indexOf(0)));
    throw new (result === -5 ? Error : RangeError)(`zek: ${message}${what ? ` (${what})` : ''}`);
  }

  // out as given, or a new array of `Type`: `length` samples either way.
  _output(Type, out, length) {
    if (out === undefined) return new Type(length);
    if (!(out instanceof Type) || out.length !== length) {
      throw new TypeError(`zek: out must be ${length} samples in ${Type === Int16Array ? "an" : "a"} ${Type.name}`);
    }
    return out;
  }

  // Levels interleaved frames: returns as many frames, delayed by `latency`.
  process(input, out) {
    const float = input instanceof Float32Array;
    if (!float && !(input instanceof Int16Array)) {
      throw new TypeError('zek: samples come as an Int16Array or a Float32Array');
    }
    out = this._output(float ? Float32Array : Int16Array, out, input.length);
    if (overlapsElsewhere(input, out)) {
      throw new RangeError('zek: out shares memory with the input without being it: give the input itself ' +
        '(in place) or an array of its own');
    }
    const nc = this.channels;
    if (input.length % nc !== 0) {
      throw new RangeError(`zek: ${input.length} samples are not whole frames of ${nc} channels`);
    }
    const nan = float ? firstNaN(input) : -1;
    if (nan >= 0) {
      throw new RangeError(`zek: NaN at frame ${Math.floor(nan / this.channels)}, channel ${nan % this.channels}, ` +
        "which has no 16-bit value");
    }
    const block = Math.max(1, Math.floor(BLOCK / nc)) * nc;
    for (let at = 0; at < input.length; ) {
      const n = Math.min(block, input.length - at);
      if (float) floatToInt16(input, at, 1, this._in, 0, 1, n);
      else this._in.set(input.subarray(at, at + n));
      this._check(this._x.zek_process(n / nc));
      if (float) int16ToFloat(this._out, 0, 1, out, at, 1, n);
      else out.set(this._out.subarray(0, n), at);
      at += n;
    }
    this._lastType = float ? Float32Array : Int16Array;
    return out;
  }

  // Ends the recording: its last `latency` frames, of the type of the last
  // chunk (Int16Array if none) unless out is given.
  flush(out) {
    const n = this.latency * this.channels;
    const Type = out instanceof Float32Array || out instanceof Int16Array ? out.constructor : this._lastType;
    out = this._output(Type, out, n);
    this._check(this._x.zek_flush());
    if (out instanceof Float32Array) int16ToFloat(this._out, 0, 1, out, 0, 1, n);
    else out.set(this._out.subarray(0, n));
    return out;
  }

  reset() {
    this._check(this._x.zek_reset());
  }

  // The gain decided last for a channel, in dB (0 is unity).
  gain(channel = 0) {
    const q8 = this._check(this._x.zek_gain(integer(channel, 'channel')), `channel ${channel}`);
    return 20 * Math.log10(q8 / 256);
  }

  // The steps of one quantum of planar float channels, for the worklet:
  // take `frames` frames of `planar` (missing channels are silence) into the
  // interleaved input, level them into the interleaved output, give those
  // out to `planar` outputs.
  take(planar, frames) {
    const nc = this.channels;
    for (let c = 0; c < nc; ++c) {
      if (c < planar.length) floatToInt16(planar[c], 0, 1, this._in, c, nc, frames);
      else for (let k = 0; k < frames; ++k) this._in[c + k * nc] = 0;
    }
  }

  level(frames) {
    this._check(this._x.zek_process(frames));
  }

  give(planar, frames) {
    const nc = this.channels;
    for (let c = 0; c < nc && c < planar.length; ++c) int16ToFloat(this._out, c, nc, planar[c], 0, 1, frames);
  }

  // The interleaved samples last taken and last levelled.
  get input() {
    return this._in;
  }

  get output() {
    return this._out;
  }
}

// Where n samples of the stream's buffer, which belong at `at` of a recording
// (`at` may be negative: the initial silence), land in `out`.
function place(out, at, buf, n) {
  const skip = Math.max(0, -at);
  const count = Math.min(n, out.length - at) - skip;
  if (count > 0) out.set(buf.subarray(skip, skip + count), at + skip);
}

// A whole recording levelled in place: sample t of the result is input
// sample t under its gain, the latency taken out. z is fresh, and flushed
// after.
export function levelRecording(z, input) {
  const out = new Int16Array(input.length);
  let at = -z.latency * z.channels;
  for (let from = 0; from < input.length; from += z.input.length) {
    const n = Math.min(z.input.length, input.length - from);
    z.input.set(input.subarray(from, from + n));
    z.level(n / z.channels);
    place(out, at, z.output, n);
    at += n;
  }
  z._check(z._x.zek_flush());
  place(out, at, z.output, z.latency * z.channels);
  return out;
}

// The loudness of interleaved frames (Int16Array, or Float32Array with full
// scale +-1.0, converted as for levelling), measured by the module's meter:
// the same figures, to the thousandth, as the zek tool's and Python's; null
// where a figure does not exist (silence).
export function measureLoudness(module, samples, sampleRate, channels = 1) {
  const instance = new WebAssembly.Instance(module, {});
  const x = instance.exports;
  if (x._initialize) x._initialize();
  const result = x.zek_meter_open(integer(sampleRate, 'sampleRate'), integer(channels, 'channels'));
  if (result < 0) throw new RangeError(`zek: sampleRate ${sampleRate} or channels ${channels} out of range`);
  const frames = x.zek_meter_frames();
  const input = new Int16Array(x.memory.buffer, x.zek_input(), frames * channels);
  const total = Math.floor(samples.length / channels);
  for (let at = 0; at < total; at += frames) {
    const n = Math.min(frames, total - at);
    if (samples instanceof Float32Array) {
      floatToInt16(samples, at * channels, 1, input, 0, 1, n * channels);
    } else {
      input.set(samples.subarray(at * channels, (at + n) * channels));
    }
    x.zek_meter_add(n);
  }
  const figure = (which, channel = 0) => {
    const v = x.zek_meter_figure(which, channel);
    return v === -2147483648 ? null : v / 1000;
  };
  const most = (which) => {
    let best = null;
    for (let c = 0; c < channels; ++c) {
      const v = figure(which, c);
      if (v !== null && (best === null || v > best)) best = v;
    }
    return best;
  };
  return {
    integratedLufs: figure(0), loudnessRangeLu: figure(1), truePeakDbtp: most(5), samplePeakDbfs: most(4),
    momentaryMaxLufs: figure(2), shorttermMaxLufs: figure(3),
  };
}
