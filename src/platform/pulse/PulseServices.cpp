#include "platform/pulse/PulseServices.h"

namespace ovra::pulse {
namespace {

// Placeholder until the libpulse backend lands: no server is ever reachable.
class NoServerHardware : public AudioHardware {
public:
    OSStatus createProcessTap(const TapDescription&, AudioObjectID*) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareBadObjectError; }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, uint32_t,
                             const void*, uint32_t*, void*) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus createAggregateDevice(const PropertyDictionary&, AudioObjectID*) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareBadObjectError; }
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID*, AudioObjectID,
                                     std::shared_ptr<DispatchQueue>, IOBlock) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return noErr; }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return noErr; }
};

class NoInputNode : public AudioInputNode {
public:
    AudioFormatInfo outputFormatForBus(uint32_t) override { return {}; }
    void installTapOnBus(uint32_t, uint32_t, std::shared_ptr<const AudioFormat>, TapBlock) override {}
    void removeTapOnBus(uint32_t) override {}
};

class NoInputEngine : public AudioEngine {
public:
    AudioInputNode& inputNode() override { return node_; }
    bool startAndReturnError(std::string* error) override {
        if (error) *error = "no audio server";
        return false;
    }
    void stop() override {}

private:
    NoInputNode node_;
};

class Authorized : public CapturePermission {
public:
    int64_t authorizationStatus() override { return 3; }
    void requestAccess(std::function<void(bool)> completion) override { completion(true); }
};

}  // namespace

PulseServices makePulseServices(NotificationCenter&) {
    PulseServices s;
    s.hardware = std::make_unique<NoServerHardware>();
    s.createEngine = [] { return std::make_shared<NoInputEngine>(); };
    s.permission = std::make_unique<Authorized>();
    return s;
}

}  // namespace ovra::pulse
