#include "mic/MicCapture.h"

namespace ovra {

MicCapture::MicCapture(ov_data_callback callback, void* userData)
    : callback_(callback), userData_(userData) {}

void MicCapture::start() { throw MicError::noInputDevice(); }
void MicCapture::stop() {}
void MicCapture::restart() {}

}  // namespace ovra
