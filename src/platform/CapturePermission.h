// Capture permission for audio input, in the shape of AVCaptureDevice's authorisation.
#pragma once

#include <cstdint>
#include <functional>

namespace ovra {

class CapturePermission {
public:
    virtual ~CapturePermission() = default;
    // 0 notDetermined, 1 restricted, 2 denied, 3 authorized; read without asking the user.
    virtual int64_t authorizationStatus() = 0;
    // Returns at once; calls `completion` exactly once, later, on a thread of its choosing.
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace ovra
