// An audio engine in the shape of AVAudioEngine: an input node with a tap, start and stop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/AudioTypes.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PCMBuffer.h"

namespace ovra {

// What the input node reports for a bus. Unlike AudioFormat this may hold what no format can
// be (0 Hz, 0 channels, NaN): a device with no input answers exactly that.
struct AudioFormatInfo {
    double sampleRate = 0;
    uint32_t channelCount = 0;
    AudioCommonFormat commonFormat = AudioCommonFormat::otherFormat;
    bool interleaved = false;
};

class AudioInputNode {
public:
    // Called with each captured buffer, in the tap's format, on a thread of the engine's.
    using TapBlock = std::function<void(const PCMBuffer& buffer, const AudioTimeStamp* when)>;

    virtual ~AudioInputNode() = default;
    virtual AudioFormatInfo outputFormatForBus(uint32_t bus) = 0;
    virtual void installTapOnBus(uint32_t bus, uint32_t bufferSize,
                                 std::shared_ptr<const AudioFormat> format, TapBlock block) = 0;
    // No call of the tap block begins after this returns.
    virtual void removeTapOnBus(uint32_t bus) = 0;
};

class AudioEngine {
public:
    virtual ~AudioEngine() = default;
    virtual AudioInputNode& inputNode() = 0;
    // False with the platform's localized error description in `errorDescription`.
    virtual bool startAndReturnError(std::string* errorDescription) = 0;
    virtual void stop() = 0;
};

}  // namespace ovra
