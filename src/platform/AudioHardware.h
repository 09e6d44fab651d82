// Audio hardware in the shape of the Core Audio HAL: object ids, property reads, process taps,
// aggregate devices and I/O procedures registered as blocks on a serial queue.
// Every call returns a status; 0 (noErr) is success.
#pragma once

#include <functional>
#include <memory>

#include "platform/AudioTypes.h"
#include "platform/DispatchQueue.h"
#include "platform/PropertyValue.h"
#include "platform/TapDescription.h"

namespace ovra {

// A string property value (the device UID, data size 8) is written into the data area as a
// `std::string*` made with `new`; the reader owns it and deletes it.
using StringRef = std::string*;

class AudioHardware {
  public:
    // Parameters: current time, input data, input time, output data, output time.
    using IOBlock =
        std::function<void(const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                           AudioBufferList*, const AudioTimeStamp*)>;

    virtual ~AudioHardware() = default;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

    virtual OSStatus getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     uint32_t qualifierSize, const void* qualifier,
                                     uint32_t* ioDataSize, void* outData) = 0;

    virtual OSStatus createAggregateDevice(const PropertyDictionary& description,
                                           AudioObjectID* outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // From a successful deviceStart on, `block` is called on `queue`, one call at a time.
    virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* outProc, AudioObjectID device,
                                             std::shared_ptr<DispatchQueue> queue,
                                             IOBlock block) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    // No call of the block begins after this returns; the block is released.
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) = 0;

    // Property changes, in the shape of AudioObjectAddPropertyListenerBlock: `block` is called on
    // `queue` with the changed address after each change of that property of `object`. A backend
    // whose objects never change answers 'who?' (the default).
    using PropertyListenerBlock =
        std::function<void(uint32_t count, const AudioObjectPropertyAddress* addresses)>;
    virtual OSStatus addPropertyListenerBlock(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::shared_ptr<DispatchQueue> queue,
                                              PropertyListenerBlock block);
    // Removes every listener on that property of `object`; after this returns no call of theirs
    // begins.
    virtual OSStatus removePropertyListenerBlock(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address);
};

inline OSStatus AudioHardware::addPropertyListenerBlock(AudioObjectID,
                                                        const AudioObjectPropertyAddress&,
                                                        std::shared_ptr<DispatchQueue>,
                                                        PropertyListenerBlock) {
    return kAudioHardwareUnknownPropertyError;
}

inline OSStatus AudioHardware::removePropertyListenerBlock(AudioObjectID,
                                                           const AudioObjectPropertyAddress&) {
    return kAudioHardwareUnknownPropertyError;
}

}  // namespace ovra
