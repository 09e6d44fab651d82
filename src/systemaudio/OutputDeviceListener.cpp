#include "systemaudio/OutputDeviceListener.h"

#include <memory>
#include <string>

#include "base/Log.h"

namespace ovra {

AudioHardware::PropertyListenerBlock makeOutputDeviceListener(AudioHardware& hardware,
                                                              AudioObjectID device) {
    return [&hardware, device](uint32_t, const AudioObjectPropertyAddress*) {
        StringRef uidRef = nullptr;
        uint32_t size = sizeof(StringRef);
        const OSStatus status =
            hardware.getPropertyData(device, kMainSubDeviceAddress, 0, nullptr, &size, &uidRef);
        const std::unique_ptr<std::string> uid(uidRef);
        if (status != noErr || !uid) return;  // the device is being destroyed
        logLine("[tap] Default output device changed: " + *uid + "\n");
    };
}

}  // namespace ovra
