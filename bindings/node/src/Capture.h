// One audio capture as the host's JavaScript sees it: the library's data callback hands each chunk
// to the JS thread through a thread-safe function with a bounded queue, and never waits for it.
#pragma once

#include <napi.h>

namespace ovra::node {

// start(kind, maxQueuedChunks, onChunk) -> Promise<handle>; kind 0 system audio, 1 microphone.
Napi::Value startCapture(const Napi::CallbackInfo& info);
// stop(handle) -> Promise<void>, resolved once the last queued chunk has been handed to onChunk.
Napi::Value stopCapture(const Napi::CallbackInfo& info);
// stopNow(handle): stops on the calling thread; for the process's 'exit' event.
Napi::Value stopCaptureNow(const Napi::CallbackInfo& info);
// dropped(handle) -> number of chunks dropped because the queue was full.
Napi::Value droppedChunks(const Napi::CallbackInfo& info);

}  // namespace ovra::node
