// The system-audio session. (Being built: start fails until the process tap lands.)
#pragma once

#include <memory>

#include "OvraHelper.h"
#include "systemaudio/TapError.h"

namespace ovra {

class SystemAudioCapture {
public:
    using TapError = ovra::TapError;
    SystemAudioCapture(ov_data_callback callback, void* userData);
    void start();  // throws TapError
    void stop();

private:
    ov_data_callback callback_;
    void* userData_;
};

}  // namespace ovra
