#include "platform/portal/PortalDisplay.h"

#include <chrono>
#include <mutex>

#include "base/Log.h"
#include "platform/portal/PictureFile.h"
#include "platform/portal/PngPicture.h"
#include "platform/portal/ScreenshotRequest.h"

namespace ovra::portal {
namespace {

constexpr DisplayID kMainDisplay = 1;

// Long enough for a portal that flashes the screen or saves a large PNG (the wlroots backend
// answers in well under a second at 2880x1800), short enough for a host that waits on the call.
constexpr std::chrono::milliseconds kPortalAnswerBound{5000};

class PortalDisplay : public Display {
  public:
    DisplayID mainDisplayID() override { return kMainDisplay; }

    std::shared_ptr<Image> createDisplayImage(DisplayID display) override {
        if (display != kMainDisplay) return nullptr;
        // One request at a time: they share the connection, and the wlroots backend writes
        // every picture to the same file.
        std::lock_guard lock(mutex_);
        const timespec start = pictureClockNow();
        std::string why;
        const auto uri = request_.take(kPortalAnswerBound, start, why);
        if (!uri) return fail(why);
        const auto path = pathOfFileUri(*uri);
        if (!path) return fail("the picture is not a local file: " + *uri);
        auto image = readPngPicture(*path, why);
        removeIfMadeForCall(*path, start);
        return image ? image : fail(why);
    }

  private:
    static std::shared_ptr<Image> fail(const std::string& why) {
        logLine("Error: Screenshot portal: " + why + "\n");
        return nullptr;
    }

    std::mutex mutex_;
    ScreenshotRequest request_;
};

}  // namespace

std::unique_ptr<Display> makePortalDisplay() {
    return std::make_unique<PortalDisplay>();
}

}  // namespace ovra::portal
