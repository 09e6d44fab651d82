// The shipped library's platform: PulseAudio for sound; for the screen, the route that suits the
// session (X11, wlroots screen-copy or the desktop portal, see platform/ScreenRoute.h).
#include "platform/Platform.h"
#include "platform/ScreenRoute.h"
#include "platform/portal/PortalDisplay.h"
#include "platform/pulse/PulseServices.h"
#include "platform/wayland/ScreenCopyDisplay.h"
#include "platform/x11/X11Display.h"

namespace ovra {
namespace {

class LinuxPlatform : public Platform {
  public:
    LinuxPlatform()
        : pulse_(pulse::makePulseServices(notificationCenter())),
          x11_(x11::makeX11Display()),
          screenCopy_(wayland::makeScreenCopyDisplay()),
          display_(
              SessionProbes{[this] { return x11_->serverKind(); },
                            [this](std::string& why) { return screenCopy_->offered(why); }},
              [this]() -> Display& { return *x11_; }, [this]() -> Display& { return *screenCopy_; },
              [this]() -> Display& {
                  if (!portal_) portal_ = portal::makePortalDisplay();
                  return *portal_;
              }) {}

    AudioHardware& audioHardware() override { return *pulse_.hardware; }
    std::shared_ptr<AudioEngine> createAudioEngine() override { return pulse_.createEngine(); }
    CapturePermission& capturePermission() override { return *pulse_.permission; }
    Display& display() override { return display_; }

  private:
    pulse::PulseServices pulse_;
    std::unique_ptr<x11::X11Display> x11_;
    std::unique_ptr<wayland::ScreenCopyDisplay> screenCopy_;
    std::unique_ptr<Display> portal_;  // made when first chosen, under the chooser's lock
    RoutedDisplay display_;
};

}  // namespace

std::shared_ptr<Platform> makeDefaultPlatform() {
    return std::make_shared<LinuxPlatform>();
}

}  // namespace ovra
