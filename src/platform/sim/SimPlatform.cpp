#include "platform/sim/SimPlatform.h"

#include "platform/sim/SimAudioEngine.h"
#include "platform/sim/SimAudioFacilities.h"
#include "platform/sim/SimAudioHardware.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPermission.h"

namespace ovra::sim {

SimPlatform::SimPlatform()
    : hardware_(std::make_unique<SimAudioHardware>(journal_)),
      engines_(std::make_unique<SimAudioEngines>(journal_)),
      permission_(std::make_unique<SimPermission>(journal_)),
      display_(std::make_unique<SimDisplay>(journal_)),
      graphics_(std::make_unique<SimGraphics>(journal_)),
      facilities_(std::make_unique<SimAudioFacilities>(journal_)) {}

SimPlatform::~SimPlatform() = default;

AudioHardware& SimPlatform::audioHardware() { return *hardware_; }
std::shared_ptr<AudioEngine> SimPlatform::createAudioEngine() { return engines_->create(); }
CapturePermission& SimPlatform::capturePermission() { return *permission_; }
Display& SimPlatform::display() { return *display_; }
AudioFacilities& SimPlatform::audioFacilities() { return *facilities_; }
Graphics& SimPlatform::graphics() { return *graphics_; }

std::shared_ptr<DispatchQueue> SimPlatform::createDispatchQueue(const std::string& label,
                                                                QualityOfService qos) {
    journal_.record("createDispatchQueue " + label + " qos=" + std::to_string(int(qos)));
    return Platform::createDispatchQueue(label, qos);
}

std::shared_ptr<SimPlatform> installSimPlatform() {
    auto p = std::make_shared<SimPlatform>();
    installPlatform(p);
    return p;
}

}  // namespace ovra::sim
