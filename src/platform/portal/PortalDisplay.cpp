// Placeholder until the portal route lands: every capture fails and says so.
#include "platform/portal/PortalDisplay.h"

#include "interface/Log.h"

namespace ovra::portal {
namespace {

class NoPortal : public Display {
  public:
    DisplayID mainDisplayID() override { return 1; }
    std::shared_ptr<Image> createDisplayImage(DisplayID) override {
        logLine("Error: desktop portal: this build has no portal route\n");
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<Display> makePortalDisplay() {
    return std::make_unique<NoPortal>();
}

}  // namespace ovra::portal
