// The microphone session. (Being built: start fails until the engine capture lands.)
#pragma once

#include <memory>

#include "OvraHelper.h"
#include "mic/MicError.h"

namespace ovra {

class MicCapture : public std::enable_shared_from_this<MicCapture> {
public:
    using MicError = ovra::MicError;
    MicCapture(ov_data_callback callback, void* userData);
    void start();  // throws MicError
    void stop();
    void restart();

private:
    ov_data_callback callback_;
    void* userData_;
};

}  // namespace ovra
