#include "platform/audio/AudioFacilities.h"

#include "platform/audio/ResamplingConverter.h"

namespace ovra {

std::shared_ptr<const AudioFormat> AudioFacilities::makeFormat(
    const AudioStreamBasicDescription& asbd) {
    return AudioFormat::fromStreamDescription(asbd);
}

std::shared_ptr<const AudioFormat> AudioFacilities::makeFormat(AudioCommonFormat format,
                                                               double sampleRate, uint32_t channels,
                                                               bool interleaved) {
    return AudioFormat::fromCommonFormat(format, sampleRate, channels, interleaved);
}

std::shared_ptr<PCMBuffer> AudioFacilities::makeBuffer(std::shared_ptr<const AudioFormat> format,
                                                       uint32_t frameCapacity) {
    return PCMBuffer::withCapacity(std::move(format), frameCapacity);
}

std::shared_ptr<PCMBuffer> AudioFacilities::wrapNoCopy(std::shared_ptr<const AudioFormat> format,
                                                       const AudioBufferList* list,
                                                       std::shared_ptr<PCMBuffer> reuse) {
    if (reuse && reuse->isNoCopy() && reuse->formatRef() == format)
        return reuse->rewrap(list) ? reuse : nullptr;
    return PCMBuffer::noCopy(std::move(format), list);
}

std::shared_ptr<AudioConverter> AudioFacilities::makeConverter(
    std::shared_ptr<const AudioFormat> from, std::shared_ptr<const AudioFormat> to) {
    return makeResamplingConverter(std::move(from), std::move(to));
}

}  // namespace ovra
