#include "platform/audio/AudioFormat.h"

#include <cmath>

namespace ovra {

namespace {
bool usableRate(double rate) {
    return std::isfinite(rate) && rate > 0;
}
}  // namespace

std::shared_ptr<const AudioFormat> AudioFormat::fromStreamDescription(
    const AudioStreamBasicDescription& d) {
    if (d.mFormatID != kAudioFormatLinearPCM || d.mChannelsPerFrame == 0 ||
        !usableRate(d.mSampleRate) || d.mFramesPerPacket != 1)
        return nullptr;
    const bool isFloat = d.mFormatFlags & kAudioFormatFlagIsFloat;
    const bool isSigned = d.mFormatFlags & kAudioFormatFlagIsSignedInteger;
    const bool interleaved = !(d.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
    if (d.mFormatFlags & kAudioFormatFlagIsBigEndian) return nullptr;  // never native here
    AudioCommonFormat common;
    if (isFloat && d.mBitsPerChannel == 32)
        common = AudioCommonFormat::pcmFormatFloat32;
    else if (isFloat && d.mBitsPerChannel == 64)
        common = AudioCommonFormat::pcmFormatFloat64;
    else if (!isFloat && isSigned && d.mBitsPerChannel == 16)
        common = AudioCommonFormat::pcmFormatInt16;
    else if (!isFloat && isSigned && d.mBitsPerChannel == 32)
        common = AudioCommonFormat::pcmFormatInt32;
    else
        return nullptr;
    const uint32_t sampleBytes = d.mBitsPerChannel / 8;
    const uint64_t expectedFrameBytes =
        interleaved ? uint64_t(sampleBytes) * d.mChannelsPerFrame : sampleBytes;
    if (d.mBytesPerFrame != expectedFrameBytes || d.mBytesPerPacket != d.mBytesPerFrame)
        return nullptr;
    return std::make_shared<const AudioFormat>(d, common, interleaved);
}

std::shared_ptr<const AudioFormat> AudioFormat::fromCommonFormat(AudioCommonFormat format,
                                                                 double sampleRate,
                                                                 uint32_t channels,
                                                                 bool interleaved) {
    if (channels == 0 || !usableRate(sampleRate)) return nullptr;
    AudioStreamBasicDescription d{};
    d.mSampleRate = sampleRate;
    d.mFormatID = kAudioFormatLinearPCM;
    switch (format) {
        case AudioCommonFormat::pcmFormatFloat32:
            d.mFormatFlags = kAudioFormatFlagIsFloat;
            d.mBitsPerChannel = 32;
            break;
        case AudioCommonFormat::pcmFormatFloat64:
            d.mFormatFlags = kAudioFormatFlagIsFloat;
            d.mBitsPerChannel = 64;
            break;
        case AudioCommonFormat::pcmFormatInt16:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
            d.mBitsPerChannel = 16;
            break;
        case AudioCommonFormat::pcmFormatInt32:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
            d.mBitsPerChannel = 32;
            break;
        default:
            return nullptr;
    }
    d.mFormatFlags |= kAudioFormatFlagIsPacked;
    if (!interleaved) d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    const uint32_t sampleBytes = d.mBitsPerChannel / 8;
    if (interleaved && uint64_t(sampleBytes) * channels > UINT32_MAX) return nullptr;
    d.mChannelsPerFrame = channels;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = interleaved ? sampleBytes * channels : sampleBytes;
    d.mBytesPerPacket = d.mBytesPerFrame;
    return std::make_shared<const AudioFormat>(d, format, interleaved);
}

AudioStreamBasicDescription deliveryStreamDescription() {
    AudioStreamBasicDescription d{};
    d.mSampleRate = 16000.0;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = 2;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 2;
    d.mChannelsPerFrame = 1;
    d.mBitsPerChannel = 16;
    d.mReserved = 0;
    return d;
}

}  // namespace ovra
