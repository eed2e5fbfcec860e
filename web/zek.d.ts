// zek: bit-exact fixed-point automatic gain control for speech, as WebAssembly.

export interface ZekOptions {
  /** Compression weight from 0 (raises nothing; the ceilings still hold peaks) to 1 (the
   * default), as the tool's --comp: any number from 0 to 1, tiny ones (1e-50) included;
   * anything else throws a RangeError. */
  comp?: number;
  /** Speech-aware: the pauses between sentences are not raised with the speech. */
  speech?: boolean;
  /** One gain for all channels of a frame, decided from the loudest. */
  link?: boolean;
  /** The module to run: a compiled WebAssembly.Module or the bytes of zek.wasm or
   * zek-simd.wasm. By default the SIMD128 build where it runs, the plain one elsewhere. */
  wasm?: WebAssembly.Module | BufferSource;
}

export interface StreamOptions extends ZekOptions {
  /** An integer from 8000 to 96000 (Hz). */
  sampleRate: number;
  /** An integer from 1 to 256, interleaved; default 1. */
  channels?: number;
  /** A loudness in LUFS (-70 to -5) that the output converges on as the recording goes: the
   * gain follows the integrated loudness so far by at most 1 dB a second. */
  target?: number;
  /** A ceiling in dBTP (-9 to 0) under which a look-ahead limiter holds every true peak.
   * With it or `target`, `latency` includes the limiter's look-ahead (111 frames at 48 kHz). */
  truePeak?: number;
}

/** What loudness() measures; null where a figure does not exist (silence). */
export interface Loudness {
  integratedLufs: number | null;
  loudnessRangeLu: number | null;
  /** The largest over the channels, at four times the rate. */
  truePeakDbtp: number | null;
  samplePeakDbfs: number | null;
  momentaryMaxLufs: number | null;
  shorttermMaxLufs: number | null;
}

export interface LoudnessOptions {
  /** 8000 to 96000 Hz. */
  sampleRate: number;
  /** 1 to 256, interleaved; default 1. */
  channels?: number;
  wasm?: WebAssembly.Module | BufferSource;
  /** Speech-aware only: look 480 ms ahead, as a recording levelled whole may (levelWav
   * does), rather than the live 30 ms; the latency grows to match. */
  offline?: boolean;
}

/** The loudness of interleaved samples (Float32Array: full scale ±1, rounded to 16 bits),
 * measured in integers: the same figures as the zek tool's and the Python package's. */
export function loudness(samples: Samples, options: LoudnessOptions): Promise<Loudness>;

export type Samples = Int16Array | Float32Array;

export interface Zek {
  readonly sampleRate: number;
  readonly channels: number;
  /** The delay of the output in frames: one 10 ms window (480 at 48 kHz), and the limiter's
   * look-ahead with `target` or `truePeak`. */
  readonly latency: number;
  /** Levels interleaved frames and returns as many, delayed by `latency` (the first
   * `latency` frames out are silence). Int16Array samples go in as they are; Float32Array
   * samples (full scale ±1) are rounded to 16 bits and come back as multiples of 1/32768.
   * `out`, of the same type and length, receives the result: `input` itself (in place) or
   * memory of its own; an `out` that shares memory with `input` otherwise throws a RangeError. */
  process<T extends Samples>(input: T, out?: T): T;
  /** Ends the recording: its last `latency` frames, into `out` or a new array of the type of
   * the last chunk (Int16Array if none). Afterwards process and flush throw until reset(). */
  flush<T extends Samples>(out: T): T;
  flush(): Samples;
  /** Starts a new recording, as a new stream would. */
  reset(): void;
  /** The gain decided last for a channel (an integer from 0, the default, to channels - 1), in
   * dB: 0 is unity. */
  gain(channel?: number): number;
}

export function createZek(options: StreamOptions): Promise<Zek>;

/** A WAV file (PCM of 1 to 32 bits or 32- or 64-bit floating point) levelled as the zek tool
 * levels it: a 16-bit WAV of the same length, rate and channels, its LIST and bext chunks kept.
 * Read as the tool reads it: one fmt chunk, then one data chunk; the depth from the bits per
 * sample (not the block align); a data size of 0 with samples after it runs to the end. */
export function levelWav(wav: ArrayBuffer | ArrayBufferView, options?: ZekOptions): Promise<ArrayBuffer>;

export interface Recording {
  /** An integer, in Hz: from 1 to what keeps the header's byte rate within 32 bits. */
  sampleRate: number;
  /** An integer from 1 to 32767. */
  channels: number;
  /** Interleaved 16-bit frames: whole frames only. */
  samples: Int16Array;
  /** The speaker positions of a WAVE_FORMAT_EXTENSIBLE file, a 32-bit mask; 0 if none. */
  channelMask?: number;
  /** Metadata chunks kept: LIST and bext. writeWav writes the RIFF, fmt, fact and data chunks
   * itself and refuses them here. */
  chunks?: { id: string; bytes: Uint8Array }[];
}

/** A WAV file's samples in 16 bits, as the zek tool reads them. */
export function readWav(wav: ArrayBuffer | ArrayBufferView): Recording;
/** 16-bit samples as a WAV file, as the zek tool writes one: the plain PCM header for one or
 * two channels; for more WAVE_FORMAT_EXTENSIBLE, its speaker positions as libsndfile writes them
 * (the first `channels` of those channelMask gives, if it gives that many, else the usual layout
 * for 4, 6 or 8 channels, else none), and a fact chunk. Throws a TypeError or RangeError for
 * what such a header cannot say. */
export function writeWav(recording: Recording): ArrayBuffer;

/** The bytes of the module, for the AudioWorklet processor's `wasm` option. */
export function wasmBytes(simd?: boolean): Promise<ArrayBuffer>;
/** Whether this runtime runs the SIMD128 build. */
export function simdSupported(): boolean;
