#include "systemaudio/SystemAudioCapture.h"

namespace ovra {

SystemAudioCapture::SystemAudioCapture(ov_data_callback callback, void* userData)
    : callback_(callback), userData_(userData) {}

void SystemAudioCapture::start() { throw TapError::tapCreationFailed(kAudioHardwareNotRunningError); }
void SystemAudioCapture::stop() {}

}  // namespace ovra
