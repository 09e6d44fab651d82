// Where the core gets its formats, buffers and converters. The real implementation serves every
// backend; the simulated platform overrides it to make any of these fail on demand.
#pragma once

#include <memory>

#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PCMBuffer.h"

namespace ovra {

class AudioFacilities {
  public:
    virtual ~AudioFacilities() = default;

    virtual std::shared_ptr<const AudioFormat> makeFormat(const AudioStreamBasicDescription& asbd);
    virtual std::shared_ptr<const AudioFormat> makeFormat(AudioCommonFormat format,
                                                          double sampleRate, uint32_t channels,
                                                          bool interleaved);
    virtual std::shared_ptr<PCMBuffer> makeBuffer(std::shared_ptr<const AudioFormat> format,
                                                  uint32_t frameCapacity);
    // A no-copy view of `list`. When `reuse` is a view of the same format it is re-pointed and
    // returned, so a caller that keeps its view allocates nothing per cycle.
    virtual std::shared_ptr<PCMBuffer> wrapNoCopy(std::shared_ptr<const AudioFormat> format,
                                                  const AudioBufferList* list,
                                                  std::shared_ptr<PCMBuffer> reuse);
    virtual std::shared_ptr<AudioConverter> makeConverter(std::shared_ptr<const AudioFormat> from,
                                                          std::shared_ptr<const AudioFormat> to);
};

}  // namespace ovra
