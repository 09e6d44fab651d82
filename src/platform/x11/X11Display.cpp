#include "platform/x11/X11Display.h"

namespace ovra::x11 {
namespace {
// Placeholder until the xcb display lands.
class NoDisplay : public Display {
public:
    DisplayID mainDisplayID() override { return 1; }
    std::shared_ptr<Image> createDisplayImage(DisplayID) override { return nullptr; }
};
}  // namespace

std::unique_ptr<Display> makeX11Display() { return std::make_unique<NoDisplay>(); }

}  // namespace ovra::x11
