// zek: bit-exact fixed-point automatic gain control for speech, as WebAssembly.

export interface ZekOptions {
  /** Compression weight from 0 (levels nothing) to 1 (the default), as the tool's --comp. */
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
  /** 8000 to 96000 Hz. */
  sampleRate: number;
  /** 1 to 256, interleaved; default 1. */
  channels?: number;
  /** Speech-aware only: look 480 ms ahead, as a recording levelled whole may (levelWav
   * does), rather than the live 30 ms; the latency grows to match. */
  offline?: boolean;
}

export type Samples = Int16Array | Float32Array;

export interface Zek {
  readonly sampleRate: number;
  readonly channels: number;
  /** The delay of the output in frames: one 10 ms window (480 at 48 kHz). */
  readonly latency: number;
  /** Levels interleaved frames and returns as many, delayed by `latency` (the first
   * `latency` frames out are silence). Int16Array samples go in as they are; Float32Array
   * samples (full scale ±1) are rounded to 16 bits and come back as multiples of 1/32768.
   * `out`, of the same type and length (it may be `input`), receives the result. */
  process<T extends Samples>(input: T, out?: T): T;
  /** Ends the recording: its last `latency` frames, into `out` or a new array of the type of
   * the last chunk (Int16Array if none). Afterwards process and flush throw until reset(). */
  flush<T extends Samples>(out: T): T;
  flush(): Samples;
  /** Starts a new recording, as a new stream would. */
  reset(): void;
  /** The gain decided last for a channel (default 0), in dB: 0 is unity. */
  gain(channel?: number): number;
}

export function createZek(options: StreamOptions): Promise<Zek>;

/** A WAV file (PCM of 8 to 32 bits or floating point) levelled as the zek tool levels it:
 * a 16-bit WAV of the same length, rate and channels, its LIST and bext chunks kept. */
export function levelWav(wav: ArrayBuffer | ArrayBufferView, options?: ZekOptions): Promise<ArrayBuffer>;

export interface Recording {
  sampleRate: number;
  channels: number;
  /** Interleaved 16-bit frames. */
  samples: Int16Array;
  /** The speaker positions of a WAVE_FORMAT_EXTENSIBLE file; 0 if none. */
  channelMask?: number;
  /** Metadata chunks kept: LIST and bext. */
  chunks?: { id: string; bytes: Uint8Array }[];
}

/** A WAV file's samples in 16 bits, as the zek tool reads them. */
export function readWav(wav: ArrayBuffer | ArrayBufferView): Recording;
/** 16-bit samples as a WAV file. */
export function writeWav(recording: Recording): ArrayBuffer;

/** The bytes of the module, for the AudioWorklet processor's `wasm` option. */
export function wasmBytes(simd?: boolean): Promise<ArrayBuffer>;
/** Whether this runtime runs the SIMD128 build. */
export function simdSupported(): boolean;
