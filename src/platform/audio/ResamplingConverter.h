// The real converter: channel mix to the output's channels, resampling, sample-type conversion.
#pragma once

#include <memory>

#include "platform/audio/AudioConverter.h"

namespace ovra {

// nullptr when the pair of formats is not supported.
std::shared_ptr<AudioConverter> makeResamplingConverter(std::shared_ptr<const AudioFormat> from,
                                                        std::shared_ptr<const AudioFormat> to);

}  // namespace ovra
