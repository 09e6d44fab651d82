// The platform seam: one object that owns the backend's services. The core reaches the platform
// only through `currentPlatform()` and never includes a backend header.
#pragma once

#include <memory>
#include <string>

#include "platform/DispatchQueue.h"

namespace ovra {

class AudioHardware;
class AudioEngine;
class AudioFacilities;
class CapturePermission;
class Display;
class Graphics;
class NotificationCenter;

class Platform {
public:
    Platform();
    virtual ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    virtual AudioHardware& audioHardware() = 0;
    virtual std::shared_ptr<AudioEngine> createAudioEngine() = 0;
    virtual CapturePermission& capturePermission() = 0;
    virtual Display& display() = 0;

    // Shared by every backend; a backend or the simulation may override them.
    virtual AudioFacilities& audioFacilities();
    virtual Graphics& graphics();
    virtual NotificationCenter& notificationCenter();
    virtual std::shared_ptr<DispatchQueue> createDispatchQueue(const std::string& label,
                                                               QualityOfService qos);

private:
    std::unique_ptr<AudioFacilities> facilities_;
    std::unique_ptr<NotificationCenter> notifications_;
};

// The platform in use. The first call builds the default one (`makeDefaultPlatform`), never
// earlier: nothing of the library runs at load time.
std::shared_ptr<Platform> currentPlatform();
// Replaces the platform in use (tests install a simulated one); nullptr goes back to the default.
void installPlatform(std::shared_ptr<Platform> platform);

// Defined once per binary: the shipped library links the Linux backends' definition, tests and
// benchmarks link the simulated one.
std::shared_ptr<Platform> makeDefaultPlatform();

}  // namespace ovra
