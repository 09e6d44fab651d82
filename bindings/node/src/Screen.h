// captureScreen() -> Promise<Buffer>: the screenshot's JPEG bytes, taken and decoded off the JS
// thread.
#pragma once

#include <napi.h>

namespace ovra::node {

Napi::Value captureScreen(const Napi::CallbackInfo& info);

}  // namespace ovra::node
