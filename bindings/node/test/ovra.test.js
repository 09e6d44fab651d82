'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const { once } = require('node:events');
const { setTimeout: sleep } = require('node:timers/promises');
const { Worker } = require('node:worker_threads');
const { startServers } = require('./servers');
const ovra = require('..');

let servers;
before(async () => { servers = await startServers(); });
after(async () => { await servers.stop(); });

// Runs a small host script in its own node; its standard output.
function host(script, env = {}) {
  return execFileSync(process.execPath, ['-e', script], {
    env: { ...process.env, ...env }, cwd: __dirname, encoding: 'utf8', timeout: 30000,
  });
}

test('both sources deliver their tones, whole, as 16 kHz int16', async () => {
  const rows = [[ovra.startSystemAudio, 660], [ovra.startMicrophone, 440]];
  const received = rows.map(() => []);
  const captures = await Promise.all(rows.map(([start], i) => start((c) => received[i].push(c))));
  await sleep(2000);
  await Promise.all(captures.map((c) => c.stop()));
  rows.forEach(([, tone], i) => {
    const pcm = Buffer.concat(received[i]);
    assert.ok(received[i].every((c) => c.length > 0 && c.length % 2 === 0));
    assert.ok(pcm.length > 1.5 * 32000, `${pcm.length} bytes in 2 s`);
    let crossings = 0;  // the tone's frequency from its zero crossings (16 kHz int16 LE)
    for (let i = 2; i + 1 < pcm.length; i += 2) {
      if ((pcm.readInt16LE(i - 2) < 0) !== (pcm.readInt16LE(i) < 0)) crossings++;
    }
    const hz = crossings / 2 / (pcm.length / 2 / 16000);
    assert.ok(Math.abs(hz - tone) < tone * 0.03, `${hz} Hz, not ${tone}`);
    assert.strictEqual(captures[i].dropped, 0);
  });
});

test('a capture alone keeps node running; a throwing handler is reported; stop inside a handler', () => {
  const out = host(`
    const ovra = require('..');
    let chunks = 0, errors = 0, stopped = false, late = 0;
    ovra.startMicrophone(function (chunk) {
      if (stopped) late++;
      if (++chunks === 1) throw new Error('handler bug');
      if (chunks === 2) return Promise.reject(new Error('async handler bug'));
      if (chunks === 40) capture.stop().then(() => { stopped = true;
        setImmediate(() => console.log(JSON.stringify({ chunks, errors, late }))); });
    }).then((c) => { capture = c; c.on('error', () => errors++); });
    let capture;`);
  const result = JSON.parse(out);
  assert.ok(result.chunks >= 40, out);
  assert.strictEqual(result.errors, 2);
  assert.strictEqual(result.late, 0);
});

test('a busy JS thread neither blocks stop nor loses chunks it has room for', async () => {
  const rows = [[256, false], [2, true]];  // queue size, whether chunks must be dropped
  for (const [maxQueuedChunks, mustDrop] of rows) {
    let chunks = 0;
    const capture = await ovra.startSystemAudio(() => chunks++, { maxQueuedChunks });
    const until = Date.now() + 600;
    while (Date.now() < until);  // holds the JS thread: chunks wait in the queue
    await capture.stop();
    assert.strictEqual(capture.dropped > 0, mustDrop, `${capture.dropped} dropped`);
    assert.ok(chunks > 0 && chunks <= maxQueuedChunks + 100);
  }
});

test('failures reject with the status; a second start of a kind gets -1', async () => {
  for (const start of [ovra.startSystemAudio, ovra.startMicrophone]) {
    const first = await start(() => {});
    await assert.rejects(start(() => {}), (e) => e.code === -1 && /status -1/.test(e.message));
    await first.stop();
  }
  const missing = host(`require('..').captureScreen().catch((e) => console.log(e.code + ' ' + e.message))`,
    { OVRAHELPER_LIBRARY: '/nonexistent/libOvraHelper.so.1' });
  assert.match(missing, /^OVRA_LIBRARY_NOT_FOUND cannot load libOvraHelper.so.1/);
  assert.match(missing, /OVRAHELPER_LIBRARY: \/nonexistent\/libOvraHelper.so.1/);
  assert.match(missing, /next to the package: .*node\/libOvraHelper.so.1/);
});

test('a worker thread that ends with a capture running has it stopped', async () => {
  const worker = new Worker(`require(${JSON.stringify(require.resolve('..'))}).startSystemAudio(() => {})
    .then(() => require('node:worker_threads').parentPort.postMessage('started'))`, { eval: true });
  await once(worker, 'message');
  await worker.terminate();
  await (await ovra.startSystemAudio(() => {})).stop();  // not "already running"
});

test('captureScreen resolves to a JPEG', async () => {
  const jpeg = await ovra.captureScreen();
  assert.deepStrictEqual([...jpeg.subarray(0, 2)], [0xff, 0xd8]);
  assert.deepStrictEqual([...jpeg.subarray(-2)], [0xff, 0xd9]);
});
