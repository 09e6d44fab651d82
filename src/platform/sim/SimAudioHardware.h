// Simulated audio hardware. (Placeholder; the system-audio work fills it in.)
#pragma once

#include "platform/AudioHardware.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioHardware : public AudioHardware {
public:
    explicit SimAudioHardware(SimJournal& journal) : journal_(journal) {}
    OSStatus createProcessTap(const TapDescription&, AudioObjectID*) override { return -1; }
    OSStatus destroyProcessTap(AudioObjectID) override { return -1; }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, uint32_t,
                             const void*, uint32_t*, void*) override { return -1; }
    OSStatus createAggregateDevice(const PropertyDictionary&, AudioObjectID*) override { return -1; }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return -1; }
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID*, AudioObjectID,
                                     std::shared_ptr<DispatchQueue>, IOBlock) override { return -1; }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return -1; }

private:
    SimJournal& journal_;
};

}  // namespace ovra::sim
