// WAV files in and out, in JavaScript: read to 16-bit samples as the zek
// tool reads them (through libsndfile), written as the tool writes them.
// Never through decodeAudioData, which resamples to its context's rate and
// scales samples asymmetrically.
import { floatToInt16 } from './stream.js';

const PCM = 1;
const FLOAT = 3;
const EXTENSIBLE = 0xfffe;
// The 14 bytes after the format tag that every standard subformat GUID shares.
const GUID_TAIL = [0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71];
// Chunks of metadata that stay true of a levelled recording and that the
// tool keeps too: the strings (LIST INFO) and the broadcast extension.
const KEPT = ['LIST', 'bext'];
// Chunks that writeWav makes itself, from the recording.
const WRITTEN = ['RIFF', 'fmt ', 'fact', 'data'];
const CODECS = { 2: 'MS ADPCM', 6: 'A-law', 7: 'mu-law', 0x11: 'IMA ADPCM', 0x55: 'MP3' };

const littleEndian = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

function bytesOf(data) {
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('zek: a WAV file comes as an ArrayBuffer or a typed array');
}

function fourcc(b, at) {
  return String.fromCharCode(b[at], b[at + 1], b[at + 2], b[at + 3]);
}

function wavError(what) {
  return new Error(`zek: not a WAV file zek can read: ${what}`);
}

function readFormat(view, at, size) {
  if (size < 16) throw wavError(`its fmt chunk has ${size} bytes, fewer than the 16 of a format`);
  const f = {
    tag: view.getUint16(at, true),
    channels: view.getUint16(at + 2, true),
    sampleRate: view.getUint32(at + 4, true),
    bits: view.getUint16(at + 14, true),
    channelMask: 0,
  };
  if (f.tag === EXTENSIBLE && size >= 40) {
    f.channelMask = view.getUint32(at + 20, true);
    const sub = view.getUint16(at + 24, true);
    const standard = GUID_TAIL.every((byte, k) => view.getUint8(at + 26 + k) === byte);
    f.tag = standard ? sub : -1;
  }
  // Each sample takes its bits rounded up to whole bytes, as the tool reads
  // it; the block align is not consulted: where a writer gets it wrong,
  // libsndfile and ffmpeg both go by the bits.
  f.width = Math.ceil(f.bits / 8);
  return f;
}

// Each sample of a frame's container, at `at`, to 16 bits: 8-bit samples are
// unsigned; deeper integers keep their top 16 bits (no dither); floats are
// scaled, rounded and clipped (a NaN is refused).
function decode(view, b, f, start, frames) {
  const count = frames * f.channels;
  const width = f.width;
  const out = new Int16Array(count);
  if (f.tag === FLOAT) {
    const src = new (width === 4 ? Float32Array : Float64Array)(count);
    for (let k = 0; k < count; ++k) {
      src[k] = width === 4 ? view.getFloat32(start + 4 * k, true) : view.getFloat64(start + 8 * k, true);
      // A NaN has no 16-bit value: refused, as the tool refuses it.
      if (src[k] !== src[k]) {
        throw wavError(`it holds a NaN at frame ${Math.floor(k / f.channels)}, channel ${k % f.channels}, ` +
          'which has no 16-bit value');
      }
    }
    floatToInt16(src, 0, 1, out, 0, 1, count);
  } else if (width === 1) {
    for (let k = 0; k < count; ++k) out[k] = (b[start + k] - 128) << 8;
  } else if (width === 2 && littleEndian && (b.byteOffset + start) % 2 === 0) {
    out.set(new Int16Array(b.buffer, b.byteOffset + start, count));
  } else {
    const top = start + width - 2; // the most significant two bytes
    for (let k = 0; k < count; ++k) out[k] = view.getInt16(top + width * k, true);
  }
  return out;
}

// Whether a 32-bit length is one that streaming writers put in place of the
// real one: the 0xFFFFFFFF family, 0x80000000 and 0x7FFFF000, 0x7F000000,
// each less up to a frame, as the tool takes them.
function placeholderLength(n) {
  const below = (mark) => n <= mark && mark - n <= 0xffff;
  return n >= 0xffff0000 || below(0x7f000000) || below(0x80000000);
}

// After a data chunk that gives a size of 0: whether samples follow it (the
// size was never filled in) rather than nothing or another chunk (an empty
// recording, its metadata after it). A chunk is told by an id of four
// printable ASCII characters and a size that ends within the RIFF chunk.
function samplesFollow(b, view, at, riffEnd) {
  if (at >= b.length) return false;
  if (at + 8 > b.length) return true;
  for (let k = 0; k < 4; ++k) if (b[at + k] < 0x20 || b[at + k] > 0x7e) return true;
  return at + 8 + view.getUint32(at + 4, true) > riffEnd;
}

// A WAV file's samples as 16-bit interleaved frames, with what a writer needs
// to keep: { sampleRate, channels, samples, channelMask, chunks }. One fmt
// chunk, then one data chunk, as the tool takes them: a second of either, or
// samples before their format, leave readers to guess which recording is
// meant, and each guesses differently.
export function readWav(data) {
  const b = bytesOf(data);
  const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
  if (b.length < 12 || fourcc(b, 8) !== 'WAVE') throw wavError('it has no RIFF WAVE header');
  if (fourcc(b, 0) !== 'RIFF') throw wavError(`${fourcc(b, 0)} files are not read here, only RIFF`);
  const riffEnd = 8 + view.getUint32(4, true);
  let f = null;
  let span = null; // where the samples lie: { start, bytes, toEnd }
  const chunks = [];
  for (let at = 12; at + 8 <= b.length; ) {
    const id = fourcc(b, at);
    const size = view.getUint32(at + 4, true);
    const body = at + 8;
    const end = Math.min(body + size, b.length);
    if (id === 'fmt ') {
      if (f) throw wavError('it has a second fmt chunk: which format its samples are in is not clear');
      f = readFormat(view, body, end - body);
    } else if (id === 'data') {
      if (!f) throw wavError('its samples (the data chunk) come before any fmt chunk to say what they are');
      if (span) throw wavError('it has a second data chunk: a WAV file holds its samples in one');
      // A streaming writer's placeholder, or a size never filled in: the
      // samples go on to the end of the file. Any other size is a promise.
      const toEnd = placeholderLength(size) || (size === 0 && samplesFollow(b, view, body, riffEnd));
      span = { start: body, bytes: toEnd ? b.length - body : size, toEnd };
      if (toEnd) break;
    } else if (KEPT.includes(id) && end === body + size) chunks.push({ id, bytes: b.slice(body, end) });
    at = body + size + (size & 1);
  }
  if (!f) throw wavError('it has no fmt chunk');
  if (!span) throw wavError('it has no data chunk');
  if (f.channels === 0) throw wavError('its header gives 0 channels');
  if (f.tag !== PCM && f.tag !== FLOAT) {
    const codec = f.tag < 0 ? 'WAVE_FORMAT_EXTENSIBLE with a nonstandard subformat'
      : CODECS[f.tag] ?? `format 0x${f.tag.toString(16).padStart(4, '0')}`;
    throw wavError(`${codec} audio; zek reads PCM and floating-point WAV: convert it first, ` +
      'e.g. sox in.wav -e signed -b 16 out.wav');
  }
  const widths = f.tag === PCM ? [1, 2, 3, 4] : [4, 8];
  if (!widths.includes(f.width)) {
    throw wavError(`its fmt chunk gives ${f.bits}-bit ${f.tag === PCM ? 'integer' : 'floating-point'} samples; ` +
      'zek reads integers of 1 to 32 bits and floats of 32 or 64');
  }
  const frame = f.width * f.channels;
  const held = b.length - span.start;
  if (!span.toEnd && held < span.bytes) {
    throw wavError(`its header announces ${Math.floor(span.bytes / frame)} frames but the file holds ` +
      `${Math.floor(held / frame)}: the file is cut short`);
  }
  return {
    sampleRate: f.sampleRate,
    channels: f.channels,
    samples: decode(view, b, f, span.start, Math.floor(span.bytes / frame)),
    channelMask: f.channelMask,
    chunks,
  };
}

// What a WAV header can say of 16-bit frames, checked before a byte is
// written: its channel count and block align are 16-bit fields, its rate and
// byte rate 32-bit ones, which would otherwise wrap to another recording.
function checkRecording({ sampleRate, channels, samples, channelMask, chunks }) {
  if (!(samples instanceof Int16Array)) throw new TypeError('zek: a WAV file\'s samples come as an Int16Array');
  if (!Number.isInteger(channels)) throw new TypeError(`zek: channels must be an integer, not ${channels}`);
  if (channels < 1 || channels > 32767) {
    throw new RangeError(`zek: a WAV file of 16-bit samples holds 1 to 32767 channels, not ${channels}`);
  }
  if (!Number.isInteger(sampleRate)) throw new TypeError(`zek: sampleRate must be an integer, not ${sampleRate}`);
  const fastest = Math.floor(0xffffffff / (2 * channels)); // its byte rate still fits 32 bits
  if (sampleRate < 1 || sampleRate > fastest) {
    throw new RangeError(`zek: sampleRate is 1 to ${fastest} Hz in a WAV file of ${channels} channel` +
      `${channels > 1 ? 's' : ''}, not ${sampleRate}`);
  }
  if (samples.length % channels !== 0) {
    throw new RangeError(`zek: ${samples.length} samples are not whole frames of ${channels} channels`);
  }
  if (!Number.isInteger(channelMask) || channelMask < 0 || channelMask > 0xffffffff) {
    throw new RangeError(`zek: channelMask is a 32-bit mask of speaker positions, not ${channelMask}`);
  }
  for (const c of chunks) {
    if (typeof c.id !== 'string' || !/^[\x20-\x7e]{4}$/.test(c.id) || !(c.bytes instanceof Uint8Array)) {
      throw new TypeError('zek: a chunk is { id: four ASCII characters, bytes: a Uint8Array }');
    }
    if (WRITTEN.includes(c.id)) throw new RangeError(`zek: writeWav writes the ${c.id.trim()} chunk itself`);
  }
}

// The speaker positions a WAVE_FORMAT_EXTENSIBLE header gets, as libsndfile
// writes them for the tool: the first `channels` of the 18 named positions
// the mask gives, when it gives that many; otherwise libsndfile's layout for
// the channel count (quad, 5.1, 7.1), or none.
function writtenMask(mask, channels) {
  let bits = 0;
  let n = 0;
  for (let k = 0; k < 18 && n < channels; ++k) {
    if (mask & (1 << k)) {
      bits |= 1 << k;
      n += 1;
    }
  }
  if (n === channels) return bits;
  return { 4: 0x33, 6: 0x3f, 8: 0xff }[channels] ?? 0;
}

// 16-bit interleaved frames as a WAV file, as the tool writes one: the plain
// PCM header for one or two channels; for more, WAVE_FORMAT_EXTENSIBLE (with
// channelMask) and the frame count in a fact chunk, as libsndfile writes
// them. The chunks given go before the samples.
export function writeWav({ sampleRate, channels, samples, channelMask = 0, chunks = [] }) {
  checkRecording({ sampleRate, channels, samples, channelMask, chunks });
  const extensible = channels > 2;
  const fmtBytes = extensible ? 40 : 16;
  const factBytes = extensible ? 12 : 0;
  const extra = chunks.reduce((n, c) => n + 8 + c.bytes.length + (c.bytes.length & 1), 0);
  const dataStart = 12 + 8 + fmtBytes + factBytes + extra + 8;
  const total = dataStart + samples.length * 2;
  if (total - 8 > 0xffffffff) throw new RangeError('zek: more than 4 GiB of samples do not fit a WAV file');
  const out = new ArrayBuffer(total);
  const b = new Uint8Array(out);
  const view = new DataView(out);
  let at = 0;
  const id = (s) => {
    for (let k = 0; k < 4; ++k) b[at + k] = s.charCodeAt(k);
    at += 4;
  };
  const u32 = (v) => (view.setUint32(at, v, true), (at += 4));
  const u16 = (v) => (view.setUint16(at, v, true), (at += 2));
  id('RIFF'), u32(total - 8), id('WAVE');
  id('fmt '), u32(fmtBytes), u16(extensible ? EXTENSIBLE : PCM), u16(channels), u32(sampleRate);
  u32(sampleRate * channels * 2), u16(channels * 2), u16(16);
  if (extensible) {
    u16(22), u16(16), u32(writtenMask(channelMask, channels)), u16(PCM);
    for (const byte of GUID_TAIL) b[at++] = byte;
    id('fact'), u32(4), u32(samples.length / channels);
  }
  for (const c of chunks) {
    id(c.id), u32(c.bytes.length);
    b.set(c.bytes, at);
    at += c.bytes.length + (c.bytes.length & 1);
  }
  id('data'), u32(samples.length * 2);
  if (littleEndian) new Int16Array(out, at, samples.length).set(samples);
  else for (let k = 0; k < samples.length; ++k) view.setInt16(at + 2 * k, samples[k], true);
  return out;
}
