// An immutable linear-PCM format, in the role of AVAudioFormat.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/AudioTypes.h"

namespace ovra {

enum class AudioCommonFormat : uint32_t {
    otherFormat = 0,
    pcmFormatFloat32 = 1,
    pcmFormatFloat64 = 2,
    pcmFormatInt16 = 3,
    pcmFormatInt32 = 4,
};

class AudioFormat {
  public:
    // nullptr for what is really invalid: a format id other than 'lpcm', 0 channels, a rate that
    // is not finite and positive, a sample size that does not match the flags.
    static std::shared_ptr<const AudioFormat> fromStreamDescription(
        const AudioStreamBasicDescription& asbd);
    // nullptr for otherFormat, 0 channels or a rate that is not finite and positive.
    static std::shared_ptr<const AudioFormat> fromCommonFormat(AudioCommonFormat format,
                                                               double sampleRate, uint32_t channels,
                                                               bool interleaved);

    double sampleRate() const { return asbd_.mSampleRate; }
    uint32_t channelCount() const { return asbd_.mChannelsPerFrame; }
    AudioCommonFormat commonFormat() const { return common_; }
    bool isInterleaved() const { return interleaved_; }
    uint32_t bytesPerSample() const { return asbd_.mBitsPerChannel / 8; }
    const AudioStreamBasicDescription& streamDescription() const { return asbd_; }

    explicit AudioFormat(const AudioStreamBasicDescription& asbd, AudioCommonFormat common,
                         bool interleaved)
        : asbd_(asbd), common_(common), interleaved_(interleaved) {}

  private:
    AudioStreamBasicDescription asbd_;
    AudioCommonFormat common_;
    bool interleaved_;
};

// The delivery format: 16 kHz, mono, signed 16-bit, packed, native byte order.
AudioStreamBasicDescription deliveryStreamDescription();

}  // namespace ovra
