import { EventEmitter } from 'node:events';

/** One chunk of 16 kHz mono signed 16-bit little-endian PCM. */
export type ChunkHandler = (chunk: Buffer) => void | Promise<void>;

/** A running capture. Keeps the event loop alive until stopped. */
export declare class Capture extends EventEmitter {
  readonly kind: 'systemAudio' | 'microphone';
  /** Chunks dropped because the handler did not keep up and the queue was full. */
  readonly dropped: number;
  /**
   * Stops the capture. Resolves once the last chunk captured before the stop has been handed to
   * the handler; no chunk comes after that. May be called from anywhere, also inside the handler,
   * and more than once (the same promise).
   */
  stop(): Promise<void>;
  /** A chunk handler threw or its promise rejected; the capture goes on. */
  on(event: 'error', listener: (error: unknown) => void): this;
}

/** A start or screenshot that failed: `code` is the library's status. */
export interface OvraError extends Error {
  code: number | 'OVRA_LIBRARY_NOT_FOUND';
  /** Microphone starts only: the library's description of the failure, or null. */
  lastError?: string | null;
}

export interface CaptureOptions {
  /** Chunks waiting for the handler before new ones are dropped (counted in `dropped`); 2048 (at least 10 s of audio). */
  maxQueuedChunks?: number;
}

/** Captures everything the machine plays. Rejects with an OvraError (code -1 or -3). */
export declare function startSystemAudio(onChunk: ChunkHandler, options?: CaptureOptions): Promise<Capture>;
/** Captures the current input device. Rejects with an OvraError (code -1 to -5, lastError). */
export declare function startMicrophone(onChunk: ChunkHandler, options?: CaptureOptions): Promise<Capture>;
/** A screenshot of the main display as JPEG bytes, at most 1920 pixels wide. */
export declare function captureScreen(): Promise<Buffer>;
export declare const SAMPLE_RATE: 16000;
/** A WAV file (16 kHz mono 16-bit PCM) holding the chunks given, in order. */
export declare function wav(chunks: Buffer[]): Buffer;
