// The real converter: mixes any accepted source down to mono, resamples it and writes signed
// 16-bit mono. Output that does not fit the caller's buffer is kept for the next call.
#pragma once

#include <memory>

#include "platform/audio/AudioConverter.h"

namespace ovra {

// nullptr when the pair of formats is not supported: the source must be float32, float64,
// int16 or int32 with at least one channel; the destination mono signed 16-bit.
std::shared_ptr<AudioConverter> makeResamplingConverter(std::shared_ptr<const AudioFormat> from,
                                                        std::shared_ptr<const AudioFormat> to);

}  // namespace ovra
