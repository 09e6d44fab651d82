// The system-audio session: a private process tap on the mix of every process, wrapped in a
// private aggregate device on the default output device, whose I/O block converts each cycle to
// the delivery format and hands it to the host.
#pragma once

#include <memory>

#include "OvraHelper.h"
#include "delivery/DeliveryGate.h"
#include "platform/AudioTypes.h"
#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioFormat.h"
#include "systemaudio/TapError.h"

namespace ovra {

class AudioHardware;
class AudioFacilities;
class Platform;

class SystemAudioCapture {
  public:
    using TapError = ovra::TapError;

    SystemAudioCapture(ov_data_callback callback, void* userData);
    // Releases the formats and the converter; destroys no platform object (stop does).
    ~SystemAudioCapture();
    SystemAudioCapture(const SystemAudioCapture&) = delete;
    SystemAudioCapture& operator=(const SystemAudioCapture&) = delete;

    // Builds the tap, the aggregate device, the converter and the I/O block, and starts the
    // device. Throws TapError; a start that fails has destroyed what it had created.
    void start();
    // Stops and destroys everything start made, newest first. Afterwards no data callback of this
    // session is running (but the caller's own, when called from inside one) or will start.
    // Safe in any state, any number of times.
    void stop();
    // No data callback starts after this; returns at once. stop() must still follow.
    void shutDelivery() {
        if (gate) gate->shut();
    }
    bool deliveringOnThisThread() const { return gate && gate->deliveringOnThisThread(); }

  private:
    void startSteps(AudioHardware& hardware, AudioFacilities& facilities);
    // Destroys the I/O procedure (stopping the device first when it ran), the aggregate device
    // and the tap, then closes the delivery gate.
    void tearDown(bool deviceRan);

    AudioObjectID tapID = 0;
    AudioObjectID aggregateDeviceID = 0;
    AudioDeviceIOProcID ioProcID = nullptr;
    std::shared_ptr<AudioConverter> converter;
    std::shared_ptr<const AudioFormat> sourceFormat;
    const ov_data_callback callback;
    void* const userData;
    const std::shared_ptr<const AudioFormat> targetFormat;

    // The platform whose objects start created; stop destroys them there.
    std::shared_ptr<Platform> platform;
    // Shared with the I/O block: closed by stop, so no delivery outlives it.
    std::shared_ptr<DeliveryGate> gate;
};

}  // namespace ovra
