// The AudioWorklet processor 'zek': levels each render quantum of its input.
//
// processorOptions: { wasm (the module's bytes, from wasmBytes()), channels,
// speech, comp, link, record }. The bytes are compiled here, synchronously,
// so that the first quantum is levelled like every other. Messages to the
// page: { latency, sampleRate } once; { gain: [dB per channel] } at most
// about 30 times a second; with record, { input, output } batches of
// interleaved 16-bit frames, what the stream took and what it gave, from
// the first quantum on. The page's { finish: true } ends the recording:
// the last batch comes with the stream's flushed tail, { tail, done: true }
// (done alone without record), and the stream starts over.
import { ZekStream } from './stream.js';

const METER_HZ = 30;
const RECORD_QUANTA = 32; // quanta per recording message: 85 ms at 48 kHz

class ZekProcessor extends AudioWorkletProcessor {
  constructor({ processorOptions: o }) {
    super();
    this.zek = new ZekStream(new WebAssembly.Module(o.wasm), { ...o, sampleRate });
    this.meterEvery = Math.ceil(sampleRate / 128 / METER_HZ);
    this.quanta = 0;
    this.recording = o.record ? this.batch() : null;
    this.port.onmessage = ({ data }) => data.finish && this.finish();
    this.port.postMessage({ latency: this.zek.latency, sampleRate });
  }

  finish() {
    if (this.recording) this.send({ tail: this.zek.flush(), done: true });
    else this.port.postMessage({ done: true });
    this.zek.reset();
  }

  batch() {
    const n = RECORD_QUANTA * 128 * this.zek.channels;
    return { input: new Int16Array(n), output: new Int16Array(n), at: 0 };
  }

  send(end = {}) {
    const { input, output, at } = this.recording;
    this.port.postMessage({ input: input.subarray(0, at), output: output.subarray(0, at), ...end }, [
      input.buffer,
      output.buffer,
    ]);
    this.recording = this.batch();
  }

  process(inputs, outputs) {
    const zek = this.zek;
    const frames = outputs[0][0].length;
    const n = frames * zek.channels;
    zek.take(inputs[0], frames);
    zek.level(frames);
    zek.give(outputs[0], frames);
    const rec = this.recording;
    if (rec) {
      rec.input.set(zek.input.subarray(0, n), rec.at);
      rec.output.set(zek.output.subarray(0, n), rec.at);
      rec.at += n;
      if (rec.at + n > rec.input.length) this.send();
    }
    if (++this.quanta % this.meterEvery === 0) {
      this.port.postMessage({ gain: Array.from({ length: zek.channels }, (_, c) => zek.gain(c)) });
    }
    return true;
  }
}

registerProcessor('zek', ZekProcessor);
