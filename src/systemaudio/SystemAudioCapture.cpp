#include "systemaudio/SystemAudioCapture.h"

#include <string>

#include "base/Log.h"
#include "platform/AudioHardware.h"
#include "platform/Platform.h"
#include "platform/PropertyValue.h"
#include "platform/TapDescription.h"
#include "platform/Uuid.h"
#include "platform/audio/AudioFacilities.h"
#include "systemaudio/OutputDeviceListener.h"
#include "systemaudio/TapIOBlock.h"

namespace ovra {

namespace {
constexpr const char* kTapName = "OvraHelper System Audio";
constexpr const char* kDeviceName = "OvraHelper Tap Device";
constexpr const char* kDeviceUIDPrefix = "com.ovrahelper.tap.";
constexpr const char* kQueueLabel = "com.ovrahelper.systemaudio";
}  // namespace

SystemAudioCapture::SystemAudioCapture(ov_data_callback callback, void* userData)
    : callback(callback),
      userData(userData),
      targetFormat(AudioFormat::fromStreamDescription(deliveryStreamDescription())) {}

SystemAudioCapture::~SystemAudioCapture() = default;

void SystemAudioCapture::start() {
    platform = currentPlatform();
    try {
        startSteps(platform->audioHardware(), platform->audioFacilities());
    } catch (...) {
        // The device never ran: a failing start ends at or before deviceStart.
        tearDown(false);
        throw;
    }
}

void SystemAudioCapture::startSteps(AudioHardware& hardware, AudioFacilities& facilities) {
    TapDescription tapDescription = TapDescription::stereoGlobalTapButExcludeProcesses({});
    tapDescription.setMuteBehavior(0);
    tapDescription.setName(kTapName);
    tapDescription.setPrivate(true);
    tapDescription.setExclusive(true);
    tapDescription.setUUID(Uuid::generate());

    AudioObjectID newTap = kAudioObjectUnknown;
    OSStatus status = hardware.createProcessTap(tapDescription, &newTap);
    if (status != noErr) throw TapError::tapCreationFailed(status);
    tapID = newTap;
    logLine("[tap] Created process tap, ID: " + std::to_string(tapID) + "\n");
    const std::string tapUUID = tapDescription.uuid().text();

    // The status of this read is deliberately not examined: the UID read that follows fails on
    // whatever id it left, and that status is the one reported.
    AudioObjectID outputDevice = kAudioObjectUnknown;
    uint32_t size = sizeof(AudioObjectID);
    const AudioObjectPropertyAddress defaultOutputAddress{kAudioHardwarePropertyDefaultOutputDevice,
                                                          kAudioObjectPropertyScopeGlobal,
                                                          kAudioObjectPropertyElementMain};
    hardware.getPropertyData(kAudioObjectSystemObject, defaultOutputAddress, 0, nullptr, &size,
                             &outputDevice);

    StringRef uidRef = nullptr;  // no string written reads as the empty one
    size = sizeof(StringRef);
    const AudioObjectPropertyAddress uidAddress{kAudioDevicePropertyDeviceUID,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    status = hardware.getPropertyData(outputDevice, uidAddress, 0, nullptr, &size, &uidRef);
    const std::unique_ptr<std::string> ownedUID(uidRef);
    if (status != noErr) throw TapError::formatReadFailed(status);
    const std::string outputUID = ownedUID ? *ownedUID : std::string();
    logLine("[tap] Default output device: " + outputUID + "\n");

    const PropertyDictionary deviceDescription{
        {"name", kDeviceName},
        {"uid", std::string(kDeviceUIDPrefix) + Uuid::generate().text()},
        {"master", outputUID},
        {"private", true},
        {"stacked", false},
        {"tapautostart", true},
        {"subdevices", PropertyArray{PropertyDictionary{{"uid", outputUID}}}},
        {"taps", PropertyArray{PropertyDictionary{{"drift", true}, {"uid", tapUUID}}}},
    };
    AudioObjectID newDevice = kAudioObjectUnknown;
    status = hardware.createAggregateDevice(deviceDescription, &newDevice);
    if (status != noErr) throw TapError::aggregateCreationFailed(status);
    aggregateDeviceID = newDevice;
    logLine("[tap] Created aggregate device, ID: " + std::to_string(aggregateDeviceID) + "\n");

    AudioStreamBasicDescription tapFormat{};
    size = sizeof(AudioStreamBasicDescription);
    const AudioObjectPropertyAddress formatAddress{kAudioDevicePropertyStreamFormat,
                                                   kAudioObjectPropertyScopeInput,
                                                   kAudioObjectPropertyElementMain};
    status =
        hardware.getPropertyData(aggregateDeviceID, formatAddress, 0, nullptr, &size, &tapFormat);
    if (status != noErr) throw TapError::formatReadFailed(status);
    logLine("[tap] Tap format: " + formatSampleRate(tapFormat.mSampleRate) + "Hz, " +
            std::to_string(tapFormat.mChannelsPerFrame) + "ch, " +
            std::to_string(tapFormat.mBitsPerChannel) + "bit\n");

    auto format = facilities.makeFormat(tapFormat);
    if (!format) throw TapError::invalidFormat();
    sourceFormat = std::move(format);

    auto newConverter = facilities.makeConverter(sourceFormat, targetFormat);
    if (!newConverter) throw TapError::converterFailed();
    converter = std::move(newConverter);

    auto queue = platform->createDispatchQueue(kQueueLabel, QualityOfService::userInitiated);

    gate = std::make_shared<DeliveryGate>();
    auto block = std::make_shared<TapIOBlock>(
        std::shared_ptr<AudioFacilities>(platform, &facilities), sourceFormat, targetFormat,
        converter, callback, userData, gate);

    AudioDeviceIOProcID newProc = nullptr;
    status = hardware.createIOProcIDWithBlock(&newProc, aggregateDeviceID, queue,
                                              TapIOBlock::bind(std::move(block)));
    if (status != noErr) throw TapError::ioProcFailed(status);
    ioProcID = newProc;

    status = hardware.deviceStart(aggregateDeviceID, ioProcID);
    if (status != noErr) throw TapError::startFailed(status);
    logLine("[tap] System audio capture started (Core Audio Tap)\n");
    // Not examined: a backend whose device never moves has nothing to report.
    hardware.addPropertyListenerBlock(aggregateDeviceID, kMainSubDeviceAddress, std::move(queue),
                                      makeOutputDeviceListener(hardware, aggregateDeviceID));
}

void SystemAudioCapture::tearDown(bool deviceRan) {
    if (!platform) return;  // never started: nothing was made
    AudioHardware& hardware = platform->audioHardware();
    if (aggregateDeviceID != kAudioObjectUnknown)
        hardware.removePropertyListenerBlock(aggregateDeviceID, kMainSubDeviceAddress);
    if (ioProcID) {
        if (deviceRan) hardware.deviceStop(aggregateDeviceID, ioProcID);
        hardware.destroyIOProcID(aggregateDeviceID, ioProcID);
        ioProcID = nullptr;
    }
    if (gate) gate->close();
    if (aggregateDeviceID != kAudioObjectUnknown) {
        hardware.destroyAggregateDevice(aggregateDeviceID);
        aggregateDeviceID = kAudioObjectUnknown;
    }
    if (tapID != kAudioObjectUnknown) {
        hardware.destroyProcessTap(tapID);
        tapID = kAudioObjectUnknown;
    }
}

void SystemAudioCapture::stop() {
    tearDown(true);
    logLine("[tap] System audio capture stopped\n");
}

}  // namespace ovra
