#include "Screen.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "../../../tools/Base64.h"
#include "Library.h"

namespace ovra::node {
namespace {

class ScreenWorker : public Napi::AsyncWorker {
  public:
    ScreenWorker(Napi::Env env, const Library& lib)
        : Napi::AsyncWorker(env, "ovra-helper screenshot"),
          lib_(lib),
          deferred_(Napi::Promise::Deferred::New(env)) {}
    Napi::Promise promise() { return deferred_.Promise(); }

    void Execute() override {
        uint8_t* text = nullptr;
        int32_t length = 0;
        status_ = lib_.captureScreen(&text, &length);
        if (status_ != 0) return;
        std::vector<uint8_t> base64(text, text + length);
        lib_.freeBuffer(text);
        if (auto bytes = tool::decodeBase64(base64))
            jpeg_ = std::move(*bytes);
        else
            status_ = -1;
    }
    void OnOK() override {
        Napi::Env env = Env();
        if (status_ == 0) {
            deferred_.Resolve(Napi::Buffer<uint8_t>::Copy(env, jpeg_.data(), jpeg_.size()));
            return;
        }
        auto error = Napi::Error::New(env, status_ == 1 ? "the screenshot failed (status 1)"
                                                        : "the screenshot was not valid Base64");
        error.Set("code", Napi::Number::New(env, status_));
        deferred_.Reject(error.Value());
    }

  private:
    const Library& lib_;
    Napi::Promise::Deferred deferred_;
    int32_t status_ = 0;
    std::vector<uint8_t> jpeg_;
};

}  // namespace

Napi::Value captureScreen(const Napi::CallbackInfo& info) {
    const Library* lib = library();
    if (!lib) throw Napi::Error::New(info.Env(), "libOvraHelper is not loaded");
    auto* worker = new ScreenWorker(info.Env(), *lib);
    Napi::Promise promise = worker->promise();
    worker->Queue();
    return promise;
}

}  // namespace ovra::node
