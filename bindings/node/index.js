// ovra-helper: system audio, the microphone and screenshots from libOvraHelper.
'use strict';
const { EventEmitter } = require('node:events');
const path = require('node:path');

const native = require('./build/ovra_helper.node');

const LIBRARY = 'libOvraHelper.so.1';
const SYSTEM_AUDIO = 0;
const MICROPHONE = 1;

let loaded = false;
// Opens the library on first use: OVRAHELPER_LIBRARY, then next to this package, then the
// system's library path.
function ensureLibrary() {
  if (loaded) return;
  const places = [];
  if (process.env.OVRAHELPER_LIBRARY) places.push(['OVRAHELPER_LIBRARY', process.env.OVRAHELPER_LIBRARY]);
  places.push(['next to the package', path.join(__dirname, LIBRARY)]);
  places.push(["the system's library path", LIBRARY]);
  const reasons = native.load(places.map(([, p]) => p));
  if (reasons === undefined) {
    loaded = true;
    return;
  }
  const lines = places.map(([where], i) => `  ${where}: ${reasons[i]}`);
  if (!process.env.OVRAHELPER_LIBRARY) lines.unshift('  OVRAHELPER_LIBRARY: not set');
  const error = new Error(`cannot load ${LIBRARY}; looked in:\n${lines.join('\n')}`);
  error.code = 'OVRA_LIBRARY_NOT_FOUND';
  throw error;
}

const live = new Set();              // captures to stop if the process exits with them running
const stopping = [null, null];       // per kind: the stop in progress, awaited by the next start

// A handler's failure goes to the capture's 'error' listeners; without one it is printed. It never
// ends the process.
function report(capture, error) {
  try {
    if (capture.listenerCount('error') > 0) return void capture.emit('error', error);
  } catch (thrown) {
    error = thrown;
  }
  console.error('ovra-helper: a chunk handler failed (listen for "error" on the capture):', error);
}

class Capture extends EventEmitter {
  #handle = null;
  #stopped = null;

  constructor(kind) {
    super();
    this.kind = kind === SYSTEM_AUDIO ? 'systemAudio' : 'microphone';
  }

  /** Chunks dropped because the host did not take them fast enough (the queue was full). */
  get dropped() {
    return this.#handle ? native.dropped(this.#handle) : 0;
  }

  /** Stops; resolves once the last chunk has been handed to the handler. Safe to call again. */
  stop() {
    if (!this.#stopped) {
      live.delete(this);
      const kind = this.kind === 'systemAudio' ? SYSTEM_AUDIO : MICROPHONE;
      this.#stopped = native.stop(this.#handle);
      stopping[kind] = this.#stopped;
    }
    return this.#stopped;
  }

  static attach(capture, handle) {
    capture.#handle = handle;
    live.add(capture);
  }

  static stopAllNow() {
    for (const capture of live) native.stopNow(capture.#handle);
    live.clear();
  }
}

// Chunks are 5-20 ms: at least 10 s of audio may wait for a busy JS thread, bounded all the same.
const DEFAULT_QUEUED_CHUNKS = 2048;

async function start(kind, onChunk, options = {}) {
  if (typeof onChunk !== 'function') throw new TypeError('onChunk must be a function');
  const queued = options.maxQueuedChunks ?? DEFAULT_QUEUED_CHUNKS;
  if (!Number.isInteger(queued) || queued < 1) throw new RangeError('maxQueuedChunks must be a positive integer');
  ensureLibrary();
  await stopping[kind];
  const capture = new Capture(kind);
  const handle = await native.start(kind, queued, (chunk) => {
    try {
      const result = onChunk(chunk);
      if (result && typeof result.then === 'function') result.then(undefined, (e) => report(capture, e));
    } catch (error) {
      report(capture, error);
    }
  });
  Capture.attach(capture, handle);
  return capture;
}

// The library's rule: every capture is stopped before the process exits.
process.on('exit', () => Capture.stopAllNow());

// A WAV file (16 kHz mono 16-bit) of the chunks given.
function wav(chunks) {
  const data = Buffer.concat(chunks);
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);      // format block size
  header.writeUInt16LE(1, 20);       // PCM
  header.writeUInt16LE(1, 22);       // mono
  header.writeUInt32LE(16000, 24);   // frames per second
  header.writeUInt32LE(32000, 28);   // bytes per second
  header.writeUInt16LE(2, 32);       // bytes per frame
  header.writeUInt16LE(16, 34);      // bits per sample
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  return Buffer.concat([header, data]);
}

module.exports = {
  startSystemAudio: (onChunk, options) => start(SYSTEM_AUDIO, onChunk, options),
  startMicrophone: (onChunk, options) => start(MICROPHONE, onChunk, options),
  captureScreen: async () => {
    ensureLibrary();
    return native.captureScreen();
  },
  wav,
  Capture,
  SAMPLE_RATE: 16000,
};
