#include "platform/pulse/PulseServices.h"

#include "platform/pulse/PulseChangeNotifier.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseEngine.h"
#include "platform/pulse/PulsePermission.h"

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

}  // namespace

PulseServices makePulseServices(NotificationCenter& notifications) {
    PulseServices s;
    s.hardware = std::make_unique<NoServerHardware>();
    auto notifier = std::make_shared<PulseChangeNotifier>(notifications);
    s.createEngine = [notifier] { return makePulseEngine(PulseConnection::shared(), notifier); };
    s.permission = makePulsePermission();
    return s;
}

}  // namespace ovra::pulse
