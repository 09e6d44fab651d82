#include "Capture.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Library.h"

namespace ovra::node {
namespace {

enum class Kind { SystemAudio = 0, Microphone = 1 };

struct Chunk {
    std::vector<uint8_t> bytes;
};

struct Session;
void deliver(Napi::Env env, Napi::Function onChunk, Session*, Chunk* chunk);
using ChunkQueue = Napi::TypedThreadSafeFunction<Session, Chunk, deliver>;

struct Session {
    explicit Session(Kind k) : kind(k) {}
    const Kind kind;
    ChunkQueue queue;
    std::atomic<uint64_t> dropped{0};

    // Whether `queue` may still be called: false once it is released or being finalized.
    // Held only around a non-blocking call, so the audio thread never waits on the JS thread.
    std::mutex queueMutex;
    bool queueOpen = true;

    // The start's outcome, which may come on another thread (a permission request).
    std::mutex statusMutex;
    std::condition_variable statusChanged;
    std::optional<int32_t> status;

    bool stopping = false;  // JS thread only
    std::atomic<bool> libraryStopped{false};  // nothing of it runs in the library any more
    std::optional<Napi::Promise::Deferred> stopped;  // resolved when the queue is finalized

    void closeQueue() {
        std::lock_guard lock(queueMutex);
        queueOpen = false;
    }
    // After the library's stop returned: no more calls come, so the queue can be let go.
    void release() {
        closeQueue();
        queue.Release();
    }
};
using SessionRef = std::shared_ptr<Session>;

void deliver(Napi::Env env, Napi::Function onChunk, Session*, Chunk* chunk) {
    std::unique_ptr<Chunk> owned(chunk);
    if (env == nullptr || onChunk.IsEmpty()) return;  // the environment is going away
    // A copy, not an external buffer: Electron's memory cage refuses external buffers.
    try {
        onChunk.Call({Napi::Buffer<uint8_t>::Copy(env, owned->bytes.data(), owned->bytes.size())});
    } catch (const Napi::Error& e) {
        // index.js catches handler errors; this is only reached if that wrapper itself fails.
        fprintf(stderr, "ovra-helper: chunk delivery failed: %s\n", e.Message().c_str());
    }
}

// On the library's audio thread: copy and queue, never wait.
void onData(const uint8_t* data, int32_t bytes, void* user) {
    auto* s = static_cast<Session*>(user);
    auto* chunk = new Chunk{std::vector<uint8_t>(data, data + bytes)};
    napi_status queued = napi_closing;
    {
        std::lock_guard lock(s->queueMutex);
        if (s->queueOpen) queued = s->queue.NonBlockingCall(chunk);
    }
    if (queued == napi_ok) return;
    if (queued == napi_queue_full) s->dropped.fetch_add(1, std::memory_order_relaxed);
    delete chunk;
}

void onStatus(int32_t status, void* user) {
    auto* s = static_cast<Session*>(user);
    std::lock_guard lock(s->statusMutex);
    s->status = status;
    s->statusChanged.notify_all();
}

void stopInLibrary(const Library& lib, Session& s) {
    if (s.kind == Kind::SystemAudio)
        lib.stopSystemAudio();
    else
        lib.stopMic();
    s.libraryStopped = true;
}

void onQueueFinalized(Napi::Env, SessionRef* ref, Session*) {
    std::unique_ptr<SessionRef> owned(ref);
    Session& s = **owned;
    // The environment is going away (a worker thread ended) with the capture running: stop it
    // before the session, its user pointer, can go. Callbacks in progress find the queue closing.
    if (!s.libraryStopped) stopInLibrary(*library(), s);
    s.closeQueue();
    if (!s.stopped) return;
    try {
        s.stopped->Resolve(s.stopped->Env().Undefined());
    } catch (const Napi::Error&) {  // the environment is being torn down: nobody awaits it
    }
}

Napi::Error statusError(Napi::Env env, const std::string& message, int32_t code) {
    auto error = Napi::Error::New(env, message);
    error.Set("code", Napi::Number::New(env, code));
    return error;
}

// Starts off the JS thread: the start may take a while (a server connection), and a microphone
// permission request may answer from yet another thread.
class StartWorker : public Napi::AsyncWorker {
  public:
    StartWorker(Napi::Env env, const Library& lib, SessionRef s)
        : Napi::AsyncWorker(env, "ovra-helper start"),
          lib_(lib),
          s_(std::move(s)),
          deferred_(Napi::Promise::Deferred::New(env)) {}
    Napi::Promise promise() { return deferred_.Promise(); }

    void Execute() override {
        if (s_->kind == Kind::SystemAudio)
            lib_.startSystemAudio(onData, s_.get(), onStatus, s_.get());
        else
            lib_.startMic(onData, s_.get(), onStatus, s_.get());
        std::unique_lock lock(s_->statusMutex);
        s_->statusChanged.wait(lock, [&] { return s_->status.has_value(); });
        status_ = *s_->status;
        lock.unlock();
        if (status_ != 0 && s_->kind == Kind::Microphone) {
            uint8_t* text = nullptr;
            int32_t length = 0;
            lib_.getLastMicError(&text, &length);
            if (text) lastError_.assign(reinterpret_cast<char*>(text), size_t(length));
            lib_.freeBuffer(text);
        }
    }
    void OnOK() override {
        Napi::Env env = Env();
        if (status_ == 0) {
            deferred_.Resolve(Napi::External<SessionRef>::New(
                env, new SessionRef(s_), [](Napi::Env, SessionRef* ref) { delete ref; }));
            return;
        }
        s_->libraryStopped = true;  // a failed start delivers nothing
        s_->release();
        const char* what = s_->kind == Kind::SystemAudio ? "system audio" : "microphone";
        std::string message =
            std::string(what) + " capture did not start (status " + std::to_string(status_) + ")";
        if (!lastError_.empty()) message += ": " + lastError_;
        auto error = statusError(env, message, status_);
        if (s_->kind == Kind::Microphone)
            error.Set("lastError",
                      lastError_.empty() ? env.Null() : Napi::String::New(env, lastError_));
        deferred_.Reject(error.Value());
    }

  private:
    const Library& lib_;
    SessionRef s_;
    Napi::Promise::Deferred deferred_;
    int32_t status_ = 0;
    std::string lastError_;
};

// Stops off the JS thread: the library's stop waits for a callback in progress, and that
// callback never waits for the JS thread, so neither thread can hold the other up.
class StopWorker : public Napi::AsyncWorker {
  public:
    StopWorker(Napi::Env env, const Library& lib, SessionRef s)
        : Napi::AsyncWorker(env, "ovra-helper stop"), lib_(lib), s_(std::move(s)) {}
    void Execute() override { stopInLibrary(lib_, *s_); }
    void OnOK() override { s_->release(); }  // the queue drains, then resolves `stopped`

  private:
    const Library& lib_;
    SessionRef s_;
};

const Library& requireLibrary(Napi::Env env) {
    const Library* lib = library();
    if (!lib) throw Napi::Error::New(env, "libOvraHelper is not loaded");
    return *lib;
}

SessionRef& sessionOf(const Napi::CallbackInfo& info) {
    if (info.Length() < 1 || !info[0].IsExternal())
        throw Napi::TypeError::New(info.Env(), "expected a capture handle");
    return *info[0].As<Napi::External<SessionRef>>().Data();
}

}  // namespace

Napi::Value startCapture(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    const Library& lib = requireLibrary(env);
    if (info.Length() < 3 || !info[0].IsNumber() || !info[1].IsNumber() || !info[2].IsFunction())
        throw Napi::TypeError::New(env, "start(kind, maxQueuedChunks, onChunk)");
    const auto queued = size_t(std::max(1, info[1].As<Napi::Number>().Int32Value()));
    auto s = std::make_shared<Session>(
        info[0].As<Napi::Number>().Int32Value() == 1 ? Kind::Microphone : Kind::SystemAudio);
    // Referenced until released: a running capture keeps the event loop alive.
    s->queue = ChunkQueue::New(env, info[2].As<Napi::Function>(), "ovra-helper chunks", queued, 1,
                               s.get(), onQueueFinalized, new SessionRef(s));
    auto* worker = new StartWorker(env, lib, s);
    Napi::Promise promise = worker->promise();
    worker->Queue();
    return promise;
}

Napi::Value stopCapture(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    SessionRef s = sessionOf(info);
    if (s->stopping) {  // index.js hands out the first promise; this is only a fallback
        auto done = Napi::Promise::Deferred::New(env);
        done.Resolve(env.Undefined());
        return done.Promise();
    }
    s->stopping = true;
    s->stopped = Napi::Promise::Deferred::New(env);
    (new StopWorker(env, requireLibrary(env), s))->Queue();
    return s->stopped->Promise();
}

Napi::Value stopCaptureNow(const Napi::CallbackInfo& info) {
    SessionRef s = sessionOf(info);
    // Also when an asynchronous stop is still queued: it will not run once the process exits.
    stopInLibrary(requireLibrary(info.Env()), *s);
    if (!s->stopping) {
        s->stopping = true;
        s->release();
    }
    return info.Env().Undefined();
}

Napi::Value droppedChunks(const Napi::CallbackInfo& info) {
    return Napi::Number::New(info.Env(), double(sessionOf(info)->dropped.load()));
}

}  // namespace ovra::node
