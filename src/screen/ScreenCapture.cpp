#include "screen/ScreenCapture.h"

#include "base/Log.h"
#include "platform/Display.h"
#include "platform/Graphics.h"
#include "platform/Platform.h"
#include "screen/Downscale.h"
#include "screen/HandOver.h"

namespace ovra {

namespace {
constexpr double kJpegQuality = 0.5;
}  // namespace

int32_t runScreenCapture(uint8_t** outBuf, int32_t* outLen) {
    const auto platform = currentPlatform();
    Display& display = platform->display();
    Graphics& graphics = platform->graphics();

    auto displayImage = display.createDisplayImage(display.mainDisplayID());
    if (!displayImage) {
        logLine("Error: CGDisplayCreateImage returned nil\n");
        return 1;
    }
    auto image = imageForEncoding(graphics, std::move(displayImage));

    auto jpeg = std::make_shared<MutableData>();
    auto destination = graphics.createImageDestination(jpeg, kJpegTypeIdentifier, 1);
    if (!destination) {
        logLine("Error: Failed to create image destination\n");
        return 1;
    }
    graphics.addImage(*destination, std::move(image), ImageProperties{kJpegQuality});
    if (!graphics.finalize(*destination)) {
        logLine("Error: Failed to finalize image\n");
        return 1;
    }
    return handOverAsBase64(*jpeg, outBuf, outLen);
}

}  // namespace ovra
