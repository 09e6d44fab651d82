// The native half of the ovra-helper package; index.js is the API hosts use.
#include <napi.h>

#include <string>
#include <vector>

#include "Capture.h"
#include "Library.h"
#include "Screen.h"

namespace ovra::node {
namespace {

// load(paths) -> undefined when one of them opened, else one reason per path.
Napi::Value load(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1 || !info[0].IsArray()) throw Napi::TypeError::New(env, "load(paths)");
    auto array = info[0].As<Napi::Array>();
    std::vector<std::string> paths;
    for (uint32_t i = 0; i < array.Length(); ++i)
        paths.push_back(array.Get(i).As<Napi::String>().Utf8Value());
    std::vector<std::string> reasons;
    if (openLibrary(paths, reasons)) return env.Undefined();
    auto out = Napi::Array::New(env, reasons.size());
    for (uint32_t i = 0; i < reasons.size(); ++i) out.Set(i, reasons[i]);
    return out;
}

}  // namespace
}  // namespace ovra::node

static Napi::Object init(Napi::Env env, Napi::Object exports) {
    using namespace ovra::node;
    exports.Set("load", Napi::Function::New(env, load));
    exports.Set("start", Napi::Function::New(env, startCapture));
    exports.Set("stop", Napi::Function::New(env, stopCapture));
    exports.Set("stopNow", Napi::Function::New(env, stopCaptureNow));
    exports.Set("dropped", Napi::Function::New(env, droppedChunks));
    exports.Set("captureScreen", Napi::Function::New(env, captureScreen));
    return exports;
}

NODE_API_MODULE(ovra_helper, init)
