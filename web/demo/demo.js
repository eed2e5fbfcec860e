// The page: a WAV file levelled to a download, and the microphone levelled
// live through the AudioWorklet, both plotted before and after.
import { levelWav, readWav, writeWav, wasmBytes } from '../zek.js';

const $ = (id) => document.getElementById(id);

function options() {
  return { speech: $('speech').checked, link: $('link').checked, comp: Number($('comp').value) };
}

function offer(link, wav, name) {
  if (link.href) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([wav], { type: 'audio/wav' }));
  link.download = name;
  link.hidden = false;
}

// Peak level per 20 ms step, in dBFS, over all channels of interleaved frames.
function peaks({ samples, channels, sampleRate }) {
  const step = Math.max(1, Math.round(sampleRate / 50)) * channels;
  const out = [];
  for (let at = 0; at < samples.length; at += step) {
    let peak = 0;
    for (let k = at; k < Math.min(at + step, samples.length); ++k) peak = Math.max(peak, Math.abs(samples[k]));
    out.push(peak > 0 ? 20 * Math.log10(peak / 32768) : -Infinity);
  }
  return out;
}

function describe(rec) {
  const p = peaks(rec);
  const top = Math.max(...p);
  const seconds = rec.samples.length / rec.channels / rec.sampleRate;
  return { p, top: Number.isFinite(top) ? top.toFixed(1) : '-inf', seconds: seconds.toFixed(1) };
}

const FLOOR = -60; // dBFS at the bottom of the plot

// Level envelopes (dBFS per 20 ms step) on a dBFS scale over seconds.
function plot(canvas, before, after) {
  const ratio = window.devicePixelRatio || 1;
  const w = (canvas.width = Math.round(canvas.clientWidth * ratio));
  const h = (canvas.height = Math.round(canvas.clientHeight * ratio));
  const g = canvas.getContext('2d');
  const style = getComputedStyle(document.documentElement);
  const px = (v) => v * ratio;
  const left = px(30);
  const bottom = h - px(18);
  const y = (db) => px(6) + ((Math.max(db, FLOOR) / FLOOR) * (bottom - px(6)));
  const n = Math.max(before.length, after.length, 2);
  const x = (k) => left + ((w - left - px(4)) * k) / (n - 1);
  g.font = `${px(11)}px system-ui, sans-serif`;
  g.fillStyle = style.getPropertyValue('--muted');
  g.strokeStyle = style.getPropertyValue('--line');
  g.lineWidth = ratio;
  for (let db = 0; db >= FLOOR; db -= 20) {
    g.beginPath();
    g.moveTo(left, y(db));
    g.lineTo(w, y(db));
    g.stroke();
    g.fillText(String(db), px(2), y(db) + px(4));
  }
  // A second mark every 1, 2, 5, 10... s, whichever leaves room for the labels.
  const seconds = n / 50;
  const every = [1, 2, 5, 10, 20, 30, 60, 120, 300, 600].find((s) => ((w - left) * s) / seconds >= px(40)) ?? 1200;
  for (let s = 0; s <= seconds; s += every) {
    const label = `${s} s`;
    g.fillText(label, Math.min(x(s * 50) - (s ? px(8) : 0), w - g.measureText(label).width - px(2)), h - px(4));
  }
  for (const [levels, colour] of [[before, '--before'], [after, '--accent']]) {
    g.strokeStyle = style.getPropertyValue(colour);
    g.lineWidth = 1.5 * ratio;
    g.beginPath();
    levels.forEach((db, k) => g.lineTo(x(k), y(db)));
    g.stroke();
  }
}

function show(figure, canvas, before, after, what) {
  figure.hidden = false;
  const b = describe(before);
  const a = describe(after);
  canvas.setAttribute('aria-label', `Peak level of ${what} over ${b.seconds} s: highest ${b.top} dBFS before, ${a.top} dBFS after`);
  plot(canvas, b.p, a.p);
}

// ---- a file ----

let file = null;

async function levelFile() {
  if (!file) return;
  const status = $('file-status');
  status.textContent = `Levelling ${file.name}…`;
  try {
    const bytes = await file.arrayBuffer();
    const levelled = await levelWav(bytes, options());
    const before = readWav(bytes);
    const after = readWav(levelled);
    const name = file.name.replace(/\.wav$/i, '') + '.agc.wav';
    offer($('download'), levelled, name);
    $('download').textContent = `Download ${name}`;
    const d = describe(before);
    status.textContent = `${file.name}: ${d.seconds} s, ${before.channels} channel${before.channels > 1 ? 's' : ''} ` +
      `at ${before.sampleRate} Hz, levelled.`;
    show($('file-figure'), $('file-plot'), before, after, file.name);
  } catch (e) {
    $('download').hidden = true;
    status.textContent = `${file.name}: ${e.message}`;
  }
}

function takeFile(f) {
  if (!f) return;
  file = f;
  levelFile();
}

$('file').addEventListener('change', (e) => takeFile(e.target.files[0]));
const drop = $('drop');
drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  takeFile(e.dataTransfer.files[0]);
});

// ---- live ----

let live = null; // { context, stream, source, channels, wasm, node }

function joined(parts) {
  const out = new Int16Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) out.set(p, (at += p.length) - p.length);
  return out;
}

// The levelled take lines up with the original: the stream's latency taken
// out of the front, its flushed tail put on the end.
function finishTake(take, tail) {
  const input = joined(take.input);
  const output = joined([...take.output, tail]).subarray(take.latency * take.channels);
  const rec = { sampleRate: take.sampleRate, channels: take.channels };
  const stamp = new Date().toISOString().slice(0, 19).replace(/[:T]/g, '-');
  offer($('take-levelled'), writeWav({ ...rec, samples: output }), `take-${stamp}.agc.wav`);
  offer($('take-original'), writeWav({ ...rec, samples: input }), `take-${stamp}.wav`);
  show($('live-figure'), $('live-plot'), { ...rec, samples: input }, { ...rec, samples: output }, 'the take');
}

// A new node, and with it a new stream and a new take.
function connect() {
  const { context, source, channels } = live;
  const node = new AudioWorkletNode(context, 'zek', {
    numberOfInputs: 1,
    numberOfOutputs: 1,
    channelCount: channels,
    channelCountMode: 'explicit',
    outputChannelCount: [channels],
    processorOptions: { wasm: live.wasm, channels, record: $('record').checked, ...options() },
  });
  let take = null;
  node.port.onmessage = ({ data }) => {
    if (data.latency !== undefined) {
      take = { channels, sampleRate: data.sampleRate, latency: data.latency, input: [], output: [] };
      $('live-status').textContent = `Listening: ${channels} channel${channels > 1 ? 's' : ''} at ` +
        `${data.sampleRate} Hz, ${(1000 * data.latency / data.sampleRate).toFixed(1)} ms behind the microphone.`;
    }
    if (data.gain && live?.node === node) { // not a late one from a stopped or replaced node
      const db = Math.max(...data.gain);
      $('meter').value = db;
      $('gain').textContent = `${db >= 0 ? '+' : ''}${db.toFixed(1)} dB`;
    }
    if (data.input) {
      take.input.push(data.input);
      take.output.push(data.output);
    }
    if (data.tail) finishTake(take, data.tail);
  };
  node.onprocessorerror = () => ($('live-status').textContent = 'zek stopped with an error: reload the page.');
  source.connect(node);
  if ($('monitor').checked) node.connect(context.destination);
  live.node = node;
}

function disconnect() {
  live.source.disconnect();
  live.node.disconnect();
  live.node.port.postMessage({ finish: true });
}

async function start() {
  const button = $('live');
  button.disabled = true;
  try {
    // The browser's own processing would level and gate the voice before zek hears it.
    const stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
    });
    const context = new AudioContext();
    await context.audioWorklet.addModule(new URL('../zek-processor.js', import.meta.url));
    const wasm = await wasmBytes();
    const channels = stream.getAudioTracks()[0].getSettings().channelCount || 1;
    live = { context, stream, source: context.createMediaStreamSource(stream), channels, wasm };
    connect();
    button.textContent = 'Stop';
    $('record').disabled = true;
  } catch (e) {
    $('live-status').textContent = `The microphone cannot be used: ${e.message}`;
    live = null;
  }
  button.disabled = false;
}

function stop() {
  disconnect();
  const { context, stream } = live;
  stream.getTracks().forEach((t) => t.stop());
  live.node.port.addEventListener('message', ({ data }) => data.done && context.close());
  live = null;
  $('live').textContent = 'Start';
  $('record').disabled = false;
  $('live-status').textContent = 'Stopped.';
  // Nothing is levelled now: the meter empties rather than hold the last gain.
  $('meter').value = $('meter').min;
  $('gain').textContent = '—';
}

$('live').addEventListener('click', () => (live ? stop() : start()));
$('monitor').addEventListener('change', () => {
  if (!live) return;
  if ($('monitor').checked) live.node.connect(live.context.destination);
  else live.node.disconnect(live.context.destination);
});

// Options apply to the file at once, and to the microphone from a fresh
// stream (a new take).
for (const id of ['speech', 'link', 'comp']) {
  $(id).addEventListener('change', () => {
    levelFile();
    if (live) {
      disconnect();
      connect();
    }
  });
}
$('comp').addEventListener('input', () => ($('comp-value').textContent = Number($('comp').value).toFixed(2)));
