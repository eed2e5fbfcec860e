// The worklet and the page in headless Chromium, served as the README says
// (python3 -m http.server), against the zek tool: an OfflineAudioContext
// rendering through the worklet, the page's file path, and its live path on
// Chromium's fake microphone. Screenshots go to WORK/artifacts.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { dataOf, pkg, sameSamples, speech, tmp, work, zek } from './fixtures.mjs';

const puppeteer = createRequire(join(process.env.ZEK_WEB_DEPS, '/'))('puppeteer-core');

let server;
let browser;
let origin;
const mic = speech(48000, 1); // what the fake microphone plays

before(async () => {
  server = spawn('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', pkg],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  origin = await new Promise((resolve, reject) => {
    server.stdout.on('data', (d) => {
      const port = /port (\d+)/.exec(d.toString());
      if (port) resolve(`http://127.0.0.1:${port[1]}`);
    });
    server.on('exit', (code) => reject(new Error(`http.server exited with ${code}`)));
  });
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    userDataDir: mkdtempSync(join(tmp, 'chromium-')),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required', '--use-fake-ui-for-media-stream',
      '--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${mic}`],
  });
});

after(async () => {
  await browser?.close();
  server?.kill();
});

async function demoPage(viewport = { width: 1280, height: 900 }) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
  await page.setViewport(viewport);
  await page.goto(`${origin}/demo/`, { waitUntil: 'load' });
  return { page, errors };
}

// The bytes behind a link the page offers for download.
async function download(page, selector) {
  await page.waitForSelector(`${selector}:not([hidden])`, { timeout: 60000 });
  const base64 = await page.$eval(selector, async (a) => {
    const bytes = new Uint8Array(await (await fetch(a.href)).arrayBuffer());
    let s = '';
    for (let k = 0; k < bytes.length; k += 0x8000) s += String.fromCharCode(...bytes.subarray(k, k + 0x8000));
    return btoa(s);
  });
  return Buffer.from(base64, 'base64');
}

test('an OfflineAudioContext at 48 kHz renders through the worklet what the stream gives', async () => {
  const { page, errors } = await demoPage();
  const file = speech(48000, 2);
  for (const options of [{}, { speech: true, link: true, comp: 0.6 }]) {
    const rendered = await page.evaluate(async (wav, options) => {
      const zek = await import('../zek.js');
      const { channels, samples } = zek.readWav(Uint8Array.from(atob(wav), (c) => c.charCodeAt(0)));
      const frames = samples.length / channels;
      const context = new OfflineAudioContext(channels, frames, 48000);
      await context.audioWorklet.addModule('../zek-processor.js');
      const buffer = context.createBuffer(channels, frames, 48000);
      for (let c = 0; c < channels; ++c) {
        buffer.getChannelData(c).set(Float32Array.from({ length: frames }, (_, t) => samples[t * channels + c] / 32768));
      }
      const source = new AudioBufferSourceNode(context, { buffer });
      const node = new AudioWorkletNode(context, 'zek', {
        channelCount: channels, channelCountMode: 'explicit', outputChannelCount: [channels],
        processorOptions: { wasm: await zek.wasmBytes(), channels, ...options },
      });
      source.connect(node).connect(context.destination);
      source.start();
      const out = await context.startRendering();
      return Array.from({ length: frames * channels }, (_, k) => out.getChannelData(k % channels)[Math.floor(k / channels)] * 32768);
    }, readFileSync(file).toString('base64'), options);
    // The stream's output: the latency's silence (one window, and the live
    // look-ahead when speech-aware), then the recording levelled in place.
    const aligned = dataOf(zek(file, { ...options, live: true }));
    const latency = options.speech ? 1920 : 480;
    const expected = new Int16Array(aligned.length);
    expected.set(aligned.subarray(0, aligned.length - latency * 2), latency * 2);
    sameSamples(Int16Array.from(rendered), expected, `worklet ${JSON.stringify(options)}`);
  }
  assert.deepEqual(errors, []);
  await page.close();
});

test('the page levels a chosen file to exactly what zek writes, on a desktop and a phone', async () => {
  const file = speech(44100, 2);
  const screens = { desktop: { width: 1280, height: 900 }, phone: { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true } };
  for (const [name, viewport] of Object.entries(screens)) {
    const { page, errors } = await demoPage(viewport);
    await page.click('#link');
    await (await page.$('#file')).uploadFile(file);
    const got = await download(page, '#download');
    assert.ok(got.equals(zek(file, { link: true })), `${name}: the download differs from zek's output`);
    assert.equal(await page.$eval('#download', (a) => a.download), 'speech-44100-2.agc.wav');
    await page.screenshot({ path: join(work, 'artifacts', `page-${name}.png`), fullPage: true });
    assert.deepEqual(errors, []);
    await page.close();
  }
});

test('the live path levels the fake microphone as zek levels the take', async () => {
  const { page, errors } = await demoPage();
  // The gain meter is empty until a gain comes, and again once stopped.
  const meterIsEmpty = () => page.$eval('#meter', (m) => m.value === m.min);
  assert.ok(await meterIsEmpty(), 'the meter shows a gain before anything runs');
  await page.click('#speech');
  await page.click('#live');
  await page.waitForFunction(() => /Listening/.test(document.querySelector('#live-status').textContent));
  await page.waitForFunction(() => /dB/.test(document.querySelector('#gain').textContent));
  await new Promise((r) => setTimeout(r, 2500));
  await page.click('#live');
  assert.ok(await meterIsEmpty(), 'the meter still shows a gain once stopped');
  const levelled = await download(page, '#take-levelled');
  const original = await download(page, '#take-original');
  const take = join(tmp, 'take.wav');
  writeFileSync(take, original);
  assert.ok(dataOf(original).length > 48000, `a take of ${dataOf(original).length} samples`);
  assert.ok(dataOf(original).some((s) => s !== 0), 'the take is silent');
  sameSamples(dataOf(levelled), dataOf(zek(take, { speech: true, live: true })), 'levelled take');
  assert.ok(levelled.equals(zek(take, { speech: true, live: true })));
  await page.screenshot({ path: join(work, 'artifacts', 'page-live.png'), fullPage: true });
  assert.deepEqual(errors, []);
  await page.close();
});
