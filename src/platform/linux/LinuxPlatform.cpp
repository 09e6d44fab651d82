// The shipped library's platform: PulseAudio for sound, X11 for the screen.
#include "platform/Platform.h"
#include "platform/pulse/PulseServices.h"
#include "platform/x11/X11Display.h"

namespace ovra {
namespace {

class LinuxPlatform : public Platform {
public:
    LinuxPlatform() : pulse_(pulse::makePulseServices(notificationCenter())), display_(x11::makeX11Display()) {}

    AudioHardware& audioHardware() override { return *pulse_.hardware; }
    std::shared_ptr<AudioEngine> createAudioEngine() override { return pulse_.createEngine(); }
    CapturePermission& capturePermission() override { return *pulse_.permission; }
    Display& display() override { return *display_; }

private:
    pulse::PulseServices pulse_;
    std::unique_ptr<Display> display_;
};

}  // namespace

std::shared_ptr<Platform> makeDefaultPlatform() { return std::make_shared<LinuxPlatform>(); }

}  // namespace ovra
