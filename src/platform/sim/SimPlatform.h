// The simulated platform: scriptable devices, formats, displays and permission answers, with a
// journal of every call and a failure that can be arranged at every call that can fail.
#pragma once

#include <memory>

#include "platform/Platform.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioHardware;
class SimAudioEngines;
class SimPermission;
class SimDisplay;
class SimGraphics;
class SimAudioFacilities;

class SimPlatform : public Platform {
public:
    SimPlatform();
    ~SimPlatform() override;

    SimJournal& journal() { return journal_; }
    SimAudioHardware& hardware() { return *hardware_; }
    SimAudioEngines& engines() { return *engines_; }
    SimPermission& permission() { return *permission_; }
    SimDisplay& simDisplay() { return *display_; }
    SimGraphics& simGraphics() { return *graphics_; }
    SimAudioFacilities& facilities() { return *facilities_; }

    AudioHardware& audioHardware() override;
    std::shared_ptr<AudioEngine> createAudioEngine() override;
    CapturePermission& capturePermission() override;
    Display& display() override;
    AudioFacilities& audioFacilities() override;
    Graphics& graphics() override;
    std::shared_ptr<DispatchQueue> createDispatchQueue(const std::string& label,
                                                       QualityOfService qos) override;

private:
    SimJournal journal_;
    std::unique_ptr<SimAudioHardware> hardware_;
    std::unique_ptr<SimAudioEngines> engines_;
    std::unique_ptr<SimPermission> permission_;
    std::unique_ptr<SimDisplay> display_;
    std::unique_ptr<SimGraphics> graphics_;
    std::unique_ptr<SimAudioFacilities> facilities_;
};

// Installs a fresh simulated platform and returns it.
std::shared_ptr<SimPlatform> installSimPlatform();

}  // namespace ovra::sim
